"""Scribner ZPlot files (.z): a commented header, then tab-separated rows.

The header ends with the line "End Comments"; the line before it names the
columns, and "Data Points:" gives the number of points planned. A sweep
stopped early has fewer rows than planned, which is not a fault; more rows
than planned is. The imaginary part ("Z''(b)") has its usual sign.
"""
from __future__ import annotations

import re
from typing import Any, Dict, List

from ._source import Source, Table, split_on
from ._spectrum import FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Sweep

NAME = "zplot"
SUFFIXES = (".z",)

# The analyser's column layout, shared with its other text exports.
COLUMNS = {FREQUENCY: "Freq(Hz)", REAL: "Z'(a)", IMAGINARY: "Z''(b)"}
OPTIONAL_COLUMNS = {TIME: "Time(Sec)", VOLTAGE: "Bias"}

_END_OF_HEADER = "End Comments"
_FACTS = {"Date": "date", "Time": "time", "Open Circuit Potential (V)": "open_circuit_v",
          "Potential-DC": "dc_potential_v"}
_FACT_LINE = re.compile(r"\s*([^:]+?):\s*(.*?)\s*$")
_PLANNED = "Data Points"


def sniff(head: str) -> bool:
    return head.startswith("ZPLOT2 ASCII\n")


def table_positions(table: Table) -> Dict[str, int]:
    positions = {key: table.require(name, name.replace("(", " (")) for key, name in COLUMNS.items()}
    for key, name in OPTIONAL_COLUMNS.items():
        found = table.index(name, name.replace("(", " ("))
        if found is not None:
            positions[key] = found
    return positions


def parse(source: Source) -> List[Sweep]:
    end = source.require(lambda text: text.strip() == _END_OF_HEADER, f"the line {_END_OF_HEADER!r}")
    if end < 2:
        raise source.error(end, "expected the column names before 'End Comments'")
    facts: Dict[str, Any] = {}
    planned = None
    for number in range(2, end - 1):
        match = _FACT_LINE.match(source.line(number))
        if match is None:
            continue
        key, value = match.groups()
        if key == _PLANNED:
            planned = int(value) if value.isdecimal() else None
        elif key in _FACTS and _FACTS[key] not in facts:
            facts[_FACTS[key]] = value
    table = Table(source, end - 1, split_on("\t")(source.line(end - 1)), split_on("\t"))
    columns = table.read(end + 1, source.count + 1, table_positions(table))
    count = len(columns[FREQUENCY])
    if count == 0:
        raise source.error(end, "expected data rows after 'End Comments'")
    if planned is not None:
        if count > planned:
            raise source.error(source.count, f"{count} data rows, more than the {planned} the header announces")
        facts["planned_points"] = planned
    return [(columns, facts)]
