"""Readers for measured impedance spectra.

``read(path)`` recognises the format from the file's content, or failing
that from its name, and returns one `Spectrum` per sweep in the file. Each
format also has its own function (``read_gamry``, ``read_biologic``, ...).
A file that does not hold what its format requires raises `FormatError`,
which names the file, the line and what was expected there.
"""
from __future__ import annotations

import os
from types import ModuleType
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from . import autolab, biologic, chinstruments, delimited, gamry, parstat, powersuite, versastudio, zplot
from ._coerce import PointError, PointWarning, as_spectrum
from ._source import SNIFF_CHARACTERS, FormatError, PathLike, Source, decode, path_text
from ._series import read_frame, read_series, read_spectra
from ._spectrum import CURRENT, FREQUENCY, IMAGINARY, REAL, TIME, VOLTAGE, Spectrum, build

# In the order they are tried: the plain delimited reader recognises the
# widest range of content and comes last.
_MODULES = (gamry, biologic, zplot, autolab, parstat, chinstruments, versastudio, powersuite, delimited)
FORMATS: Dict[str, ModuleType] = {module.NAME: module for module in _MODULES}

__all__ = ["read", "detect", "as_spectrum", "spectrum_files", "read_files", "describe_failure", "FormatError", "PointError", "PointWarning", "Spectrum", "FORMATS",
           "FREQUENCY", "REAL", "IMAGINARY", "TIME", "VOLTAGE", "CURRENT", "read_frame", "read_series", "read_spectra",
           *(f"read_{name}" for name in FORMATS)]


def detect(path: PathLike, head: Optional[str] = None) -> str:
    """The name of the format of the file at `path`: by content, then by name."""
    if head is None:
        with open(path, "rb") as handle:
            head = decode(handle.read(SNIFF_CHARACTERS))
    for module in _MODULES:
        if module.sniff(head):
            return module.NAME
    suffix = os.path.splitext(path_text(path))[1].casefold()
    for module in _MODULES:
        if suffix in module.SUFFIXES:
            return module.NAME
    raise FormatError(path_text(path), 1, "unknown format: expected one of " + ", ".join(FORMATS))


def spectrum_files(paths: Iterable[PathLike]) -> Iterator[str]:
    """Each path as given, with a directory replaced by the files directly
    inside it whose format is recognised, in name order."""
    for path in paths:
        path = path_text(path)
        if not os.path.isdir(path):
            yield path
            continue
        for name in sorted(os.listdir(path)):
            inside = os.path.join(path, name)
            if os.path.isfile(inside) and _recognised(inside):
                yield inside


def _recognised(path: str) -> bool:
    try:
        detect(path)
    except (OSError, ValueError):
        return False
    return True


def read_files(paths: Iterable[PathLike], format: Optional[str] = None) -> List[Tuple[str, Any]]:
    """(path, its spectra, or the exception that stopped reading it) for
    every file of `paths`, directories expanded by `spectrum_files`."""
    files: List[Tuple[str, Any]] = []
    for path in spectrum_files(paths):
        try:
            files.append((path, read(path, format)))
        except Exception as error:  # one unreadable file is that file's failure, never the batch's
            files.append((path, error))
    return files


def describe_failure(where: str, error: BaseException) -> str:
    """The message of a file or spectrum that failed, naming it once: the
    reader's and the point rule's errors name the file themselves."""
    if isinstance(error, (OSError, FormatError, PointError)):
        return str(error)
    return f"{where}: {error}"


def read(path: PathLike, format: Optional[str] = None, *, frame: bool = False) -> List[Spectrum]:
    """Read every sweep of a measured spectrum file.

    Parameters
    ----------
    path : str or path-like
    format : str, optional
        A key of ``FORMATS``, instead of detecting the format from the
        file's content and then its name.
    frame : bool
        True gives each spectrum's ``data`` as a pandas DataFrame instead of
        a dict of NumPy arrays.

    Returns
    -------
    list of Spectrum
        One per sweep, in file order, with every row as the file has it
        (`as_spectrum` applies the rule for broken points).

    Raises
    ------
    FormatError
        The file does not hold what its format requires; the message names
        the file, the line and what was expected.
    ValueError
        An unknown `format`.
    OSError
        The file cannot be read.
    """
    source = Source.open(path)
    if format is None:
        format = detect(path, "\n".join(source.lines)[:SNIFF_CHARACTERS])
    elif format not in FORMATS:
        raise ValueError(f"unknown format {format!r}, expected one of {', '.join(FORMATS)}")
    return build(source.path, format, FORMATS[format].parse(source), frame)


def _reader(module: ModuleType) -> Callable[..., List[Spectrum]]:
    def read_format(path: PathLike, *, frame: bool = False) -> List[Spectrum]:
        return read(path, module.NAME, frame=frame)

    read_format.__name__ = read_format.__qualname__ = f"read_{module.NAME}"
    read_format.__doc__ = f"Read every sweep of a {module.NAME} file.\n\n{module.__doc__}"
    return read_format


read_gamry = _reader(gamry)
read_biologic = _reader(biologic)
read_zplot = _reader(zplot)
read_autolab = _reader(autolab)
read_parstat = _reader(parstat)
read_chinstruments = _reader(chinstruments)
read_versastudio = _reader(versastudio)
read_powersuite = _reader(powersuite)
read_csv = _reader(delimited)
