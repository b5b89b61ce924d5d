"""BioLogic EC-Lab text exports (.mpt): a counted header, then a tab-separated table.

The second line says how many header lines there are; the last of them names
the columns. The imaginary part is stored negated ("-Im(Z)/Ohm"). Each value
of the "cycle number" column is one sweep.
"""
from __future__ import annotations

import re
from typing import List

import numpy as np

from ._source import Source, Table, split_on
from ._spectrum import CURRENT, FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Sweep, split_runs, take

NAME = "biologic"
SUFFIXES = (".mpt",)

_MAGIC = ("EC-Lab ASCII FILE", "BT-Lab ASCII FILE")
_HEADER_COUNT = re.compile(r"Nb header lines\s*:\s*(\d+)\s*$")
_MILLIAMPERE = 1e-3
_CYCLE = "cycle"


def sniff(head: str) -> bool:
    return head.startswith(_MAGIC)


def parse(source: Source) -> List[Sweep]:
    match = _HEADER_COUNT.match(source.line(2)) if source.count >= 2 else None
    if match is None:
        raise source.error(2 if source.count >= 2 else source.count, "expected 'Nb header lines : N' on line 2")
    header = int(match.group(1))
    if not 2 < header <= source.count:
        raise source.error(2, f"header of {header} lines does not fit a file of {source.count} lines")
    table = Table(source, header, split_on("\t")(source.line(header)), split_on("\t"))
    positions = {FREQUENCY: table.require("freq/Hz"), REAL: table.require("Re(Z)/Ohm"),
                 IMAGINARY: table.require("-Im(Z)/Ohm", "Im(Z)/Ohm")}
    negated = table.names[positions[IMAGINARY]].startswith("-")
    positions.update(table.positions({}, {TIME: "time/s", VOLTAGE: "<Ewe>/V", CURRENT: "<I>/mA",
                                          _CYCLE: "cycle number"}))
    columns = table.read(header + 1, source.count + 1, positions)
    if negated:
        columns[IMAGINARY] = -columns[IMAGINARY]
    if CURRENT in columns:
        columns[CURRENT] = columns[CURRENT] * _MILLIAMPERE
    cycles = columns.pop(_CYCLE, np.zeros(len(columns[FREQUENCY])))
    if len(cycles) == 0:
        raise source.error(header, "expected data rows after the header")
    whole = np.isfinite(cycles) & (cycles == np.round(cycles))
    if not whole.all():
        row = int(np.flatnonzero(~whole)[0])
        cell = table.split(source.line(table.row_lines[row]))[positions[_CYCLE]]
        raise source.error(table.row_lines[row], f"expected a whole number in column 'cycle number', found {cell!r}")
    return [(take(columns, rows), {"cycle": int(cycles[rows.start])}) for rows in split_runs(cycles)]
