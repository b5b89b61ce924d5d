"""Plain delimited text (.csv, .txt): rows of frequency, real and imaginary
part, separated by commas, semicolons, tabs or spaces, with or without a row
of column names. Lines starting with '#' are comments.

Named columns are recognised by their usual spellings ("freq/Hz",
"Re(Z)/Ohm", "Z'", "Zreal", the battery-data-format names, ...); a name
written with a leading minus ("-Im(Z)/Ohm", "-Z''") holds the negated
imaginary part. Without names the file must have exactly three columns,
taken as frequency, real part and imaginary part with its usual sign.
"""
from __future__ import annotations

import re
from typing import Dict, List, Optional, Tuple

import numpy as np

from ._source import Source, Table, split_on
from ._spectrum import CURRENT, FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Sweep

NAME = "csv"
SUFFIXES = (".csv",)

_COMMENT = "#"
_SEPARATORS = ("\t", ";", ",")
_SPELLINGS = {
    FREQUENCY: {"freq", "frequency", "f", "frequency_hertz"},
    REAL: {"re(z)", "z'", "zre", "zreal", "z_real", "re", "real", "realimpedance", "real_impedance_ohm"},
    IMAGINARY: {"im(z)", "z''", 'z"', "zim", "zimag", "zimg", "z_imag", "im", "imag", "imaginaryimpedance",
                "imaginary_impedance_ohm"},
    TIME: {"time", "t", "testtime", "test_time_second"},
    VOLTAGE: {"<ewe>", "ewe", "e", "voltage", "potential", "voltage_volt"},
    CURRENT: {"<i>", "i", "current", "current_ampere"},
}
_REQUIRED = (FREQUENCY, REAL, IMAGINARY)
# Units a name may carry after a slash or in brackets, and what they scale by.
_UNITS = {"hz": 1.0, "ohm": 1.0, "ohms": 1.0, "\u03c9": 1.0, "\u2126": 1.0, "s": 1.0, "v": 1.0, "a": 1.0,
          "ma": 1e-3}
_BRACKETED_UNIT = re.compile(r"^(.*?)[(\[]([^()\[\]]*)[)\]]$")


def _first_data_line(source: Source) -> Optional[int]:
    return source.find(lambda text: bool(text.strip()) and not text.lstrip().startswith(_COMMENT))


def _separator(text: str) -> Optional[str]:
    for separator in _SEPARATORS:
        if separator in text:
            return separator
    return None


def _all_numbers(fields: List[str]) -> bool:
    try:
        [float(field) for field in fields]
    except ValueError:
        return False
    return True


def sniff(head: str) -> bool:
    lines = [line for line in head.split("\n") if line.strip() and not line.lstrip().startswith(_COMMENT)]
    if not lines:
        return False
    split = split_on(_separator(lines[0]))
    fields = split(lines[0])
    if _all_numbers(fields):
        return len(fields) == len(_REQUIRED)
    return _recognise([field.strip('"') for field in fields])[0] is not None


def _meaning(name: str) -> Tuple[Optional[str], float]:
    """What a column name holds, and the factor that turns it into the
    battery-data-format unit (negative for a negated quantity)."""
    text = name.strip().strip('"').casefold().replace(" ", "")
    sign = -1.0 if text.startswith("-") else 1.0
    text = text.lstrip("-")
    scale = 1.0
    base, slash, unit = text.partition("/")
    if not slash:
        bracketed = _BRACKETED_UNIT.match(text)
        if bracketed and bracketed.group(2) in _UNITS:
            base, unit = bracketed.groups()
    if unit:
        if unit not in _UNITS:
            return None, 1.0
        scale = _UNITS[unit]
    for key, spellings in _SPELLINGS.items():
        if base in spellings:
            return key, sign * scale
    return None, 1.0


def _recognise(names: List[str]) -> Tuple[Optional[Dict[str, Tuple[int, float]]], List[str]]:
    found: Dict[str, Tuple[int, float]] = {}
    for position, name in enumerate(names):
        key, factor = _meaning(name)
        if key is not None and key not in found:
            found[key] = (position, factor)
    missing = [key for key in _REQUIRED if key not in found]
    return (found if not missing else None), missing


def parse(source: Source) -> List[Sweep]:
    first = _first_data_line(source)
    if first is None:
        raise source.error(None, "expected rows of frequency, real and imaginary part")
    split = split_on(_separator(source.line(first)))
    fields = split(source.line(first))
    if _all_numbers(fields):
        if len(fields) != len(_REQUIRED):
            raise source.error(first, f"expected 3 columns (frequency, real and imaginary part), found {len(fields)}")
        names = ["frequency", "real part", "imaginary part"]
        table = Table(source, first, names, split)
        found = {key: (position, 1.0) for position, key in enumerate(_REQUIRED)}
        data_start = first
    else:
        names = [field.strip('"') for field in fields]
        table = Table(source, first, names, split)
        recognised, missing = _recognise(names)
        if recognised is None:
            wanted = {FREQUENCY: "frequency ('freq/Hz')", REAL: "real part ('Re(Z)/Ohm')",
                      IMAGINARY: "imaginary part ('Im(Z)/Ohm' or '-Im(Z)/Ohm')"}
            raise source.error(first, "expected a column for the " + " and the ".join(wanted[key] for key in missing))
        found = recognised
        data_start = first + 1
    columns = _read_around_comments(table, data_start, source.count + 1,
                                    {key: position for key, (position, _) in found.items()})
    if len(columns[FREQUENCY]) == 0:
        raise source.error(first, "expected data rows")
    for key, (_, factor) in found.items():
        if factor != 1.0:
            columns[key] = columns[key] * factor
    return [(columns, {})]


def _read_around_comments(table: Table, first: int, stop: int, positions: Dict[str, int]) -> Dict[str, np.ndarray]:
    parts = []
    start = first
    for line in range(first, stop + 1):
        if line == stop or table.source.line(line).lstrip().startswith(_COMMENT):
            parts.append(table.read(start, line, positions))
            start = line + 1
    return {key: np.concatenate([part[key] for part in parts]) for key in positions}
