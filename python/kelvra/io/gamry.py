"""Gamry DTA files: tagged header lines, then tables; the spectrum is the ZCURVE table.

A header line reads TAG<tab>TYPE<tab>VALUE...; a table starts with a line
TAG<tab>TABLE, then a row of column names and a row of units, and its rows
all start with a tab. The imaginary part is stored with its usual sign.
"""
from __future__ import annotations

from typing import Any, Dict, List

from ._source import Source, Table, split_on
from ._spectrum import CURRENT, FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Sweep

NAME = "gamry"
SUFFIXES = (".dta",)

_SPECTRUM_TABLE = "ZCURVE"
_HEADER_FACTS = {"TITLE": "title", "DATE": "date", "TIME": "time", "VDC": "dc_potential_v", "EOC": "open_circuit_v"}
_COLUMNS = {FREQUENCY: "Freq", REAL: "Zreal", IMAGINARY: "Zimag"}
_OPTIONAL = {TIME: "Time", CURRENT: "Idc", VOLTAGE: "Vdc"}


def sniff(head: str) -> bool:
    return head.startswith("EXPLAIN\n") and "\nTAG\t" in head


def _header_facts(source: Source, stop: int) -> Dict[str, Any]:
    facts: Dict[str, Any] = {}
    for number in range(1, stop):
        fields = source.line(number).split("\t")
        if len(fields) >= 3 and fields[0] in _HEADER_FACTS:
            value: Any = fields[2]
            if fields[1] in ("QUANT", "POTEN"):
                try:
                    value = float(value)
                except ValueError:
                    pass
            facts[_HEADER_FACTS[fields[0]]] = value
    return facts


def _is_table_start(text: str) -> bool:
    return text.split("\t")[:2] == [_SPECTRUM_TABLE, "TABLE"]


def parse(source: Source) -> List[Sweep]:
    sweeps = []
    start = source.require(_is_table_start, f"a {_SPECTRUM_TABLE} table")
    facts = _header_facts(source, start)
    while True:
        header = start + 1
        if header + 1 > source.count:
            raise source.error(source.count, f"file ends inside the heading of the {_SPECTRUM_TABLE} table")
        table = Table(source, header, source.line(header).strip("\t").split("\t"), split_on("\t"))
        positions = table.positions(_COLUMNS, _OPTIONAL)
        first = header + 2  # after the units row
        stop = source.find(lambda text: not text.startswith("\t"), first) or source.count + 1
        columns = table.read(first, stop, positions)
        if len(columns[FREQUENCY]) == 0:
            raise source.error(min(first, source.count), f"expected rows in the {_SPECTRUM_TABLE} table")
        sweeps.append((columns, dict(facts)))
        next_start = source.find(_is_table_start, stop)
        if next_start is None:
            return sweeps
        start = next_start
