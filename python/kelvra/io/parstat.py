"""Parstat text exports (.txt): one header row and tab-separated rows.

The file interleaves DC records (frequency 0, no impedance) with the AC
points of one or more sweeps; each unbroken run of AC rows is one sweep, and
the DC records, not being impedance measurements, belong to no spectrum.
The imaginary part has its usual sign.
"""
from __future__ import annotations

from typing import List

from ._source import Source, Table, split_on
from ._spectrum import CURRENT, FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Sweep, split_runs, take

NAME = "parstat"
SUFFIXES = ()

_COLUMNS = {FREQUENCY: "Frequency (Hz)", REAL: "Zre (ohms)", IMAGINARY: "Zim (ohms)",
            TIME: "Elapsed Time (s)", VOLTAGE: "Potential (V)", CURRENT: "Current (A)"}


def sniff(head: str) -> bool:
    first = head.split("\n", 1)[0]
    return all(name in first for name in ("Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"))


def parse(source: Source) -> List[Sweep]:
    if source.count == 0:
        raise source.error(None, "expected a header row")
    table = Table(source, 1, split_on("\t")(source.line(1)), split_on("\t"))
    columns = table.read(2, source.count + 1, {key: table.require(name) for key, name in _COLUMNS.items()})
    ac = columns[FREQUENCY] != 0
    runs = [rows for rows in split_runs(ac) if ac[rows.start]]
    if not runs:
        raise source.error(source.count, "expected rows with a nonzero frequency")
    dc_rows = int((~ac).sum())
    return [(take(columns, rows), {"dc_records": dc_rows}) for rows in runs]
