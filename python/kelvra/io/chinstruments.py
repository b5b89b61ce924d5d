"""CH Instruments text exports (.txt): "key = value" settings, a line of
comma-separated column names, then comma-separated rows. The imaginary part
("Z\"/ohm") has its usual sign; a name written with a leading minus is negated.
"""
from __future__ import annotations

import re
from typing import Any, Dict, List

from ._source import Source, Table, split_on
from ._spectrum import FREQUENCY, IMAGINARY, REAL, Sweep

NAME = "chinstruments"
SUFFIXES = ()

_TECHNIQUE = "A.C. Impedance"
_SETTING = re.compile(r"(.+?)\s*=\s*(.+?)\s*$")
_FACTS = {"Init E (V)": "dc_potential_v"}


def sniff(head: str) -> bool:
    return _TECHNIQUE in head.split("\n")[:3] and "Freq/Hz" in head


def parse(source: Source) -> List[Sweep]:
    header = source.require(lambda text: text.startswith("Freq/Hz"), "the column names ('Freq/Hz, ...')")
    facts: Dict[str, Any] = {"date": source.line(1).strip()}
    for line in range(2, header):
        match = _SETTING.match(source.line(line))
        if match and match.group(1) in _FACTS:
            key, value = match.groups()
            try:
                facts[_FACTS[key]] = float(value)
            except ValueError:
                raise source.error(line, f"expected a number after {key!r}, found {value!r}") from None
    table = Table(source, header, split_on(",")(source.line(header)), split_on(","))
    positions = {FREQUENCY: table.require("Freq/Hz"), REAL: table.require("Z'/ohm"),
                 IMAGINARY: table.require('Z"/ohm', '-Z"/ohm')}
    negated = table.names[positions[IMAGINARY]].startswith("-")
    columns = table.read(header + 1, source.count + 1, positions)
    if len(columns[FREQUENCY]) == 0:
        raise source.error(header, "expected data rows after the column names")
    if negated:
        columns[IMAGINARY] = -columns[IMAGINARY]
    return [(columns, facts)]
