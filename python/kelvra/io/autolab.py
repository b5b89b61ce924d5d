"""Autolab analyser text exports (.txt): a quoted title line, empty quoted
lines, a settings line, the number of points, the quoted column names, then
comma-separated rows. The columns are those of the ZPlot layout; the count
is exact, so fewer rows means the file was cut short.
"""
from __future__ import annotations

from typing import List

from ._source import Source, Table, split_on
from ._spectrum import FREQUENCY, Sweep
from .zplot import table_positions

NAME = "autolab"
SUFFIXES = ()

_TITLE_MARK = "Data File: Version"


def sniff(head: str) -> bool:
    first = head.split("\n", 1)[0]
    return first.startswith('"') and _TITLE_MARK in first


def _is_header(text: str) -> bool:
    return text.startswith('"') and "Freq" in text


def parse(source: Source) -> List[Sweep]:
    header = source.require(_is_header, "the quoted column names")
    count_text = source.line(header - 1).strip() if header > 1 else ""
    if not count_text.isdecimal():
        raise source.error(max(header - 1, 1), f"expected the number of points before the column names, "
                           f"found {count_text!r}")
    planned = int(count_text)
    names = source.line(header).strip().strip('"').split()
    # The names are separated by runs of spaces, but "Freq (Hz)" holds one.
    names = " ".join(names).replace("Freq (Hz)", "Freq(Hz)").split()
    table = Table(source, header, names, split_on(","))
    columns = table.read(header + 1, source.count + 1, table_positions(table))
    rows = len(columns[FREQUENCY])
    if rows != planned:
        raise source.error(source.count, f"file holds {rows} data rows, expected the {planned} it announces")
    return [(columns, {"planned_points": planned})]
