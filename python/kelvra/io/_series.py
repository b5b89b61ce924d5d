"""A whole experiment as one long battery-data dataframe.

`read_frame` turns every sweep of one file into the rows of one frame, told
apart by key columns; `read_series` does the same for several files or a
folder, in the order the experiment ran. Either frame goes straight into
``kelvra.batch.fit_many`` or ``kelvra.series.fit_series`` with its key.
"""
from __future__ import annotations

import os
from datetime import datetime
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

import numpy as np

from ._source import FormatError, PathLike, path_text
from ._spectrum import Spectrum, as_frame

# The key columns: the spectrum's place in the series, the file it came
# from, its place in that file, and the cycle where the file records one.
SPECTRUM = "Spectrum"
FILE = "File"
SWEEP = "Sweep"
CYCLE = "Cycle"
# Start times as the supported instruments write them (date, then time).
_START_FORMATS = ("%m-%d-%Y %H:%M:%S", "%m/%d/%Y %H:%M:%S", "%A, %B %d, %Y %I:%M:%S %p", "%b. %d, %Y %H:%M:%S",
                  "%Y-%m-%d %H:%M:%S")
ORDERS = ("time", "name")


def start_time(spectrum: Spectrum) -> Optional[datetime]:
    """When the file says the measurement started, or None when it does not say."""
    facts = spectrum.metadata
    text = " ".join(str(facts[key]) for key in ("date", "time") if key in facts)
    text = " ".join(text.split())
    for pattern in _START_FORMATS:
        try:
            return datetime.strptime(text, pattern)
        except ValueError:
            continue
    return None


def _rows(spectra: Sequence[Spectrum], first: int) -> List[Dict[str, np.ndarray]]:
    """One block of columns per spectrum, keys first."""
    cycles = any("cycle" in s.metadata for s in spectra)
    blocks = []
    for offset, spectrum in enumerate(spectra):
        count = len(spectrum.frequencies)
        block: Dict[str, Any] = {SPECTRUM: np.full(count, first + offset), FILE: np.full(count, spectrum.path,
                                                                                       dtype=object),
                                 SWEEP: np.full(count, spectrum.metadata["sweep"])}
        if cycles:
            block[CYCLE] = np.full(count, spectrum.metadata.get("cycle", -1))
        block.update({name: np.asarray(values) for name, values in spectrum.data.items()})
        blocks.append(block)
    return blocks


def frame_of(spectra: Sequence[Spectrum]) -> Any:
    """The spectra as one long pandas DataFrame: the key columns "Spectrum"
    (0, 1, ... in the given order), "File", "Sweep" and, where a file records
    cycles, "Cycle"; then each spectrum's own columns (absent ones NaN)."""
    import pandas

    blocks = _rows(spectra, 0)
    if not blocks:
        return as_frame({SPECTRUM: np.empty(0, dtype=np.int64), FILE: np.empty(0, dtype=object),
                         SWEEP: np.empty(0, dtype=np.int64)})
    return pandas.concat([pandas.DataFrame(block) for block in blocks], ignore_index=True)


def read_frame(path: PathLike, format: Optional[str] = None) -> Any:
    """Every sweep of one measured file as one long battery-data dataframe.

    Parameters
    ----------
    path : str or os.PathLike
        A file in any format ``kelvra.io.read`` reads.
    format : str, optional
        The format's name instead of detecting it.

    Returns
    -------
    pandas.DataFrame
        The key columns "Spectrum", "File", "Sweep" and, for a file that
        records cycles, "Cycle"; then the frequency and the real and
        imaginary impedance under their battery-data names
        (``kelvra.tables.BATTERY_COLUMNS``) and, where recorded, "Test Time /
        s", "Voltage / V" and "Current / A".

    Raises
    ------
    FormatError
        When the file does not hold what its format requires.
    """
    from . import read

    return frame_of(read(path, format))


def series_files(source: Union[PathLike, Iterable[PathLike]]) -> List[str]:
    """The files of a series: a directory's recognised files, a list of
    paths as given, or one file."""
    from . import detect

    if isinstance(source, (str, bytes, os.PathLike)):
        path = path_text(source)
        if not os.path.isdir(path):
            return [path]
        found = []
        for name in sorted(os.listdir(path)):
            inside = os.path.join(path, name)
            if not os.path.isfile(inside):
                continue
            try:
                detect(inside)
            except (OSError, FormatError):
                continue
            found.append(inside)
        if not found:
            raise FormatError(path, None, "no measured spectrum file in this directory")
        return found
    return [path_text(p) for p in source]


def read_spectra(source: Union[PathLike, Iterable[PathLike]], format: Optional[str] = None, *,
                 order: str = "time") -> List[Spectrum]:
    """Every sweep of every file of a series, in the experiment's order.

    With ``order="time"`` the files are ordered by the start time each
    records, when every one of them records one; otherwise (and with
    ``order="name"``) by file name. Sweeps keep their order within a file.
    """
    from . import read

    if order not in ORDERS:
        raise ValueError(f"unknown order {order!r}, expected one of {', '.join(ORDERS)}")
    files = [read(path, format) for path in series_files(source)]
    files.sort(key=lambda spectra: os.path.basename(spectra[0].path) if spectra else "")
    if order == "time":
        starts = [start_time(spectra[0]) if spectra else None for spectra in files]
        if all(start is not None for start in starts):
            # A stable sort: files started in the same second keep name order.
            files = [files[i] for i in sorted(range(len(files)), key=lambda i: starts[i])]
    return [spectrum for spectra in files for spectrum in spectra]


def read_series(source: Union[PathLike, Iterable[PathLike]], format: Optional[str] = None, *,
                order: str = "time") -> Any:
    """A series of spectra (one multi-sweep file, a list of files, or a
    directory) as one long battery-data dataframe.

    Parameters
    ----------
    source : path, or iterable of paths
        One file, several files, or a directory whose recognised files are read.
    format : str, optional
        The files' format instead of detecting it.
    order : {"time", "name"}
        The order of the files: by the start time they record (by name when
        some file records none), or by name.

    Returns
    -------
    pandas.DataFrame
        As `read_frame`, with "Spectrum" counting through the whole series.

    Raises
    ------
    FormatError
        For a file that cannot be read, or a directory without any.
    """
    return frame_of(read_spectra(source, format, order=order))
