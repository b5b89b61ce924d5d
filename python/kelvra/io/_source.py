"""A text file as numbered lines, and the numeric tables the readers cut out of it.

Instruments write Latin-1 (micro signs in unit names), UTF-8 with or without
a byte-order mark, and any line ending (one exporter doubles the carriage
return); every reader sees the same normalised lines, numbered from 1 as an
editor shows them, so that each error can point at its line.
"""
from __future__ import annotations

import codecs
import os
import re
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Union

import numpy as np

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_LINE_END = re.compile(r"\r*\n|\r")
# Enough of a file's start to recognise every supported format by content.
SNIFF_CHARACTERS = 4096


class FormatError(ValueError):
    """A file that does not hold what its format requires.

    ``path`` and ``line`` (1-based; None when the fault is not on one line)
    say where, the message what was expected there.
    """

    def __init__(self, path: str, line: Optional[int], reason: str) -> None:
        self.path = path
        self.line = line
        self.reason = reason
        where = path if line is None else f"{path}, line {line}"
        super().__init__(f"{where}: {reason}")

    def __reduce__(self):
        return (type(self), (self.path, self.line, self.reason))


def path_text(path: Any) -> str:
    """`path` (str, bytes or os.PathLike) as text; bytes that are no valid
    UTF-8 keep their values as the file system's escapes, so the name still
    opens the same file."""
    return os.fsdecode(path)


def decode(raw: bytes) -> str:
    # Some exporters write UTF-16 with a byte-order mark; read as Latin-1 it
    # would become a NUL after every character and match no format.
    if raw.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        try:
            text = raw.decode("utf-16")
        except UnicodeDecodeError:
            text = raw.decode("latin-1")
        return _LINE_END.sub("\n", text)
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    # A carriage return doubled before the line feed still ends one line.
    return _LINE_END.sub("\n", text)


class Source:
    """The lines of one file, addressed by 1-based line number."""

    def __init__(self, path: PathLike, text: str) -> None:
        self.path = path_text(path)
        lines = text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()  # the final line ending, not an empty last line
        self.lines = lines

    @classmethod
    def open(cls, path: PathLike) -> "Source":
        with open(path, "rb") as handle:
            source = cls(path, decode(handle.read()))
        # A NUL never occurs in a text export: the file is binary, or UTF-16
        # without the byte-order mark that says so.
        for number, text in enumerate(source.lines, 1):
            if "\0" in text:
                raise source.error(number, "file holds NUL bytes: expected a text export (save it as UTF-8 "
                                   "or Latin-1 text; UTF-16 needs its byte-order mark)")
        return source

    @property
    def count(self) -> int:
        return len(self.lines)

    def line(self, number: int) -> str:
        return self.lines[number - 1]

    def error(self, number: Optional[int], reason: str) -> FormatError:
        # An empty file has no line to point at.
        return FormatError(self.path, number if self.count else None, reason)

    def find(self, predicate: Callable[[str], bool], start: int = 1) -> Optional[int]:
        """The number of the first line from `start` on that satisfies `predicate`."""
        for number in range(start, self.count + 1):
            if predicate(self.line(number)):
                return number
        return None

    def require(self, predicate: Callable[[str], bool], expected: str, start: int = 1) -> int:
        number = self.find(predicate, start)
        if number is None:
            raise self.error(self.count, f"file ends without {expected}")
        return number


Splitter = Callable[[str], List[str]]


def split_on(separator: Optional[str]) -> Splitter:
    """Splits a row on `separator` (None: on runs of white space), ignoring
    white space around the fields and one trailing separator, which several
    instruments write at the end of every row."""

    def split(text: str) -> List[str]:
        text = text.strip()
        if separator is None:
            return text.split()
        if separator.strip() and text.endswith(separator):
            text = text[: -len(separator)]
        return [field.strip() for field in text.split(separator)]

    return split


def number(source: Source, line: int, cell: str, column: str) -> float:
    try:
        return float(cell)
    except ValueError:
        raise source.error(line, f"expected a number in column {column!r}, found {cell!r}") from None


class Table:
    """A header of column names and the data rows under it, all of one width."""

    def __init__(self, source: Source, header_line: int, names: Sequence[str], split: Splitter) -> None:
        self.source = source
        self.header_line = header_line
        self.names = list(names)
        self.split = split

    def index(self, *candidates: str) -> Optional[int]:
        """Position of the first of `candidates` among the names, ignoring case."""
        folded = [name.casefold() for name in self.names]
        for candidate in candidates:
            if candidate.casefold() in folded:
                return folded.index(candidate.casefold())
        return None

    def require(self, *candidates: str) -> int:
        found = self.index(*candidates)
        if found is None:
            wanted = " or ".join(repr(name) for name in candidates)
            raise self.source.error(self.header_line, f"expected a column {wanted} in the header")
        return found

    def positions(self, required: Mapping[str, str], optional: Mapping[str, str] = {}) -> Dict[str, int]:
        """Where each required column is (an error names a missing one), and
        each optional column that is present."""
        found = {key: self.require(name) for key, name in required.items()}
        for key, name in optional.items():
            position = self.index(name)
            if position is not None:
                found[key] = position
        return found

    def read(self, first: int, stop: int, columns: Dict[str, int]) -> Dict[str, np.ndarray]:
        """The columns at the given positions, as float arrays, from the rows on
        lines first..stop-1. Blank lines carry no data and are passed over."""
        values: Dict[str, List[float]] = {key: [] for key in columns}
        width = len(self.names)
        # The line of each row read, so that a check on the values can point at it.
        self.row_lines: List[int] = []
        for line in range(first, stop):
            text = self.source.line(line)
            if not text.strip():
                continue
            self.row_lines.append(line)
            fields = self.split(text)
            if len(fields) != width:
                raise self.source.error(line, f"expected {width} fields, found {len(fields)}")
            for key, position in columns.items():
                values[key].append(number(self.source, line, fields[position], self.names[position]))
        return {key: np.array(column, dtype=np.float64) for key, column in values.items()}
