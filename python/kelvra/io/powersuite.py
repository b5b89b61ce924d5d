"""PowerSuite text exports (.txt): a header "Frequency, Zre, Zimg" and
tab-separated rows. The imaginary part has its usual sign.
"""
from __future__ import annotations

from typing import List

from ._source import Source, Table, split_on
from ._spectrum import FREQUENCY, IMAGINARY, REAL, Sweep

NAME = "powersuite"
SUFFIXES = ()

_COLUMNS = {FREQUENCY: "Frequency", REAL: "Zre", IMAGINARY: "Zimg"}


def sniff(head: str) -> bool:
    return split_on("\t")(head.split("\n", 1)[0]) == list(_COLUMNS.values())


def parse(source: Source) -> List[Sweep]:
    if source.count == 0:
        raise source.error(None, "expected a header row")
    table = Table(source, 1, split_on("\t")(source.line(1)), split_on("\t"))
    columns = table.read(2, source.count + 1, {key: table.require(name) for key, name in _COLUMNS.items()})
    if len(columns[FREQUENCY]) == 0:
        raise source.error(1, "expected data rows after the header")
    return [(columns, {})]
