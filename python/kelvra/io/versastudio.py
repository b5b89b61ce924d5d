"""VersaStudio files (.par): XML-like sections; each <SegmentN> section holds
one sweep as a "Definition=" line of column names and comma-separated rows,
and must end with its closing tag. The imaginary part has its usual sign.
"""
from __future__ import annotations

import re
from typing import Any, Dict, List, Optional

from ._source import Source, Table, split_on
from ._spectrum import CURRENT, FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Sweep

NAME = "versastudio"
SUFFIXES = (".par",)

_SEGMENT = re.compile(r"<(Segment\d+)>\s*$")
_DEFINITION = "Definition="
_COLUMNS = {FREQUENCY: "Frequency(Hz)", REAL: "Z Real", IMAGINARY: "Z Imag"}
_OPTIONAL = {TIME: "Elapsed Time(s)", VOLTAGE: "E(V)", CURRENT: "I(A)"}
_FACTS = {"DateAcquired": "date", "TimeAcquired": "time", "Measured Open Circuit": "open_circuit"}


def sniff(head: str) -> bool:
    return head.startswith("<Application>") and "Name=VersaStudio" in head


def _facts(source: Source, stop: int) -> Dict[str, Any]:
    facts = {}
    for number in range(1, stop):
        key, _, value = source.line(number).partition("=")
        if key in _FACTS and _FACTS[key] not in facts:
            facts[_FACTS[key]] = value.strip()
    return facts


def _names(definition: str) -> List[str]:
    names = split_on(",")(definition[len(_DEFINITION):])
    # The list closes with a bare number that names no column.
    if names and names[-1].isdecimal():
        names.pop()
    return names


def parse(source: Source) -> List[Sweep]:
    first = source.require(lambda text: _SEGMENT.match(text) is not None, "a <SegmentN> section")
    facts = _facts(source, first)
    sweeps = []
    start: Optional[int] = first
    while start is not None:
        tag = source.line(start).strip()[1:-1]
        closing = f"</{tag}>"
        end = source.require(lambda text: text.strip() == closing, f"the closing {closing}", start + 1)
        header = source.find(lambda text: text.startswith(_DEFINITION), start + 1)
        if header is None or header > end:
            raise source.error(start, f"expected a {_DEFINITION!r} line in <{tag}>")
        table = Table(source, header, _names(source.line(header)), split_on(","))
        columns = table.read(header + 1, end, table.positions(_COLUMNS, _OPTIONAL))
        if len(columns[FREQUENCY]) == 0:
            raise source.error(header, f"expected data rows in <{tag}>")
        sweeps.append((columns, {"segment": tag, **facts}))
        start = source.find(lambda text: _SEGMENT.match(text) is not None, end + 1)
    return sweeps
