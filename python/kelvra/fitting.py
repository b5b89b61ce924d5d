"""Fitting a measured spectrum into a self-contained report.

`fit_spectrum` fits one spectrum and `fit_file` every sweep of a file; both
return `FitReport`s, which hold everything needed to print, tabulate, plot
or save the fit without the objects that produced it.
"""
from __future__ import annotations

import math
import os
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import _core

from .saving import json_number
from .report import FitReport, ParameterFit, Verdict  # noqa: F401  (the report types, where they were)
from .tables import DEFAULT_METHOD  # noqa: F401

CircuitLike = Union[str, _core.Circuit]


def circuit_text(circuit: _core.Circuit) -> str:
    """The circuit string that builds `circuit`'s topology, labels included."""
    return circuit.text


def _spectrum_arrays(spectrum: Any, impedances: Any) -> Any:
    """(frequencies, impedances) of a spectrum by the rule of `kelvra.io.as_spectrum`."""
    from .io import as_spectrum

    measured = as_spectrum(spectrum, impedances)
    return measured.frequencies, measured.impedances


def fit_spectrum(circuit: CircuitLike, spectrum: Any, impedances: Any = None, *, source: Optional[str] = None,
                 sweep: Optional[int] = None, **options: Any) -> FitReport:
    """Fit a circuit to one spectrum and report.

    Parameters
    ----------
    circuit : Circuit or str
        The circuit, or a circuit string or model name.
    spectrum : Spectrum, dataframe, pair or sequence
        Anything `kelvra.io.as_spectrum` accepts: a spectrum read from a
        file, a battery-data-format dataframe, or the frequencies (Hz) with
        `impedances` (ohm).
    impedances : sequence of complex, optional
    source, sweep : str, int, optional
        The file and sweep, for the report and messages; a `Spectrum` brings its own.
    **options
        Passed to ``Circuit.fit`` unchanged (method, weight, seed, ...).

    Returns
    -------
    FitReport

    Raises
    ------
    kelvra.io.PointError
        A point of the spectrum cannot be fitted (see `kelvra.io.as_spectrum`).
    ValueError
        What ``Circuit.fit`` raises for a circuit or options it cannot fit.
    """
    from .io import as_spectrum

    if isinstance(circuit, str):
        circuit = _core.Circuit(circuit)
    measured = as_spectrum(spectrum, impedances, source=source, sweep=sweep)
    result = circuit.fit(measured.frequencies, measured.impedances, **options)
    held = options.get("fixed") or ()
    return FitReport.from_result(result, settings=options, source=measured.source, sweep=measured.sweep,
                                 fixed=list(held.keys()) if isinstance(held, Mapping) else list(held))


def fit_file(path: Union[str, "os.PathLike[str]"], circuit: CircuitLike, *, format: Optional[str] = None,
             **options: Any) -> List[FitReport]:
    """Read every sweep of a measured file and fit `circuit` to each.

    Parameters
    ----------
    path : str or path-like
    circuit : Circuit or str
    format : str, optional
        A key of ``kelvra.io.FORMATS``; detected from the file when None.
    **options
        Passed to ``Circuit.fit``.

    Returns
    -------
    list of FitReport
        One per sweep, in file order.

    Raises
    ------
    kelvra.io.FormatError
        The file cannot be read.
    ValueError
        A spectrum cannot be fitted (`kelvra.io.PointError` for a broken point).
    """
    from . import io

    return [fit_spectrum(circuit, spectrum, **options) for spectrum in io.read(path, format)]


# (path, the reports of its spectra, or the exception that stopped the file)
FileOutcome = Tuple[str, Union[List[FitReport], BaseException]]


def fit_files(paths: Iterable[Union[str, "os.PathLike[str]"]], circuit: CircuitLike, *, format: Optional[str] = None,
              workers: Optional[int] = None, progress: Optional[bool] = None, **options: Any) -> List[FileOutcome]:
    """Fit every spectrum of every file, all on the user layer's threads.

    Parameters
    ----------
    paths : iterable of str or path-like
        Files, or directories whose recognised files are all read.
    circuit : Circuit or str
    format : str, optional
        The files' format instead of detecting it.
    workers : int, optional
        Fitting threads (default: every usable core).
    progress : bool, optional
        A progress bar, as in `kelvra.batch.fit_many`.
    **options
        Passed to ``Circuit.fit``.

    Returns
    -------
    list of (path, list of FitReport or exception)
        In input order. A file that cannot be read, or one of whose spectra
        cannot be fitted, has the exception that says why instead of its
        reports; the other files go on.
    """
    from ._threads import map_in_threads, thread_count
    from .io import read_files

    if isinstance(circuit, str):
        circuit = _core.Circuit(circuit)
    files = read_files(paths, format)
    spectra = [spectrum for _, read in files if not isinstance(read, BaseException) for spectrum in read]

    def fit_one(i: int) -> Any:
        try:
            return fit_spectrum(circuit, spectra[i], **options)
        except ValueError as error:
            return error

    reports = iter(map_in_threads(fit_one, len(spectra), thread_count(workers), progress))
    outcomes: List[FileOutcome] = []
    for path, read in files:
        if isinstance(read, BaseException):
            outcomes.append((path, read))
            continue
        fitted = [next(reports) for _ in read]
        failure = next((outcome for outcome in fitted if isinstance(outcome, BaseException)), None)
        outcomes.append((path, fitted if failure is None else failure))
    return outcomes


def error_row(source: str, circuit: str, message: str) -> Dict[str, Any]:
    """The results-table row of a file that could not be read or fitted."""
    return {"file": source, "sweep": "", "circuit": circuit, "method": "", "success": False, "chi_square": math.nan,
            "error": message, "undetermined": "", "on_bound": ""}


def table(rows: Sequence[Mapping[str, Any]]) -> Any:
    """Result rows as a pandas DataFrame, the columns the union of the rows' keys in first-seen order."""
    import pandas

    columns: Dict[str, None] = {}
    for row in rows:
        columns.update(dict.fromkeys(row))
    return pandas.DataFrame(list(rows), columns=list(columns))


def write_table(rows: Sequence[Mapping[str, Any]], path: Union[str, "os.PathLike[str]"]) -> None:
    """Write result rows as CSV, or as a JSON list of objects when `path` ends in ".json".

    The columns are the union of the rows' keys, in first-seen order; CSV
    leaves a cell empty where a row has no value.

    Raises
    ------
    OSError
        The file cannot be written.
    """
    import csv
    import json

    columns: Dict[str, None] = {}
    for row in rows:
        columns.update(dict.fromkeys(row))
    if os.fspath(path).casefold().endswith(".json"):
        with open(path, "w", encoding="utf-8") as handle:
            json.dump([{key: json_number(value) for key, value in row.items()} for row in rows], handle, indent=1,
                      allow_nan=False)
            handle.write("\n")
        return
    with open(path, "w", encoding="utf-8", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=list(columns), restval="")
        writer.writeheader()
        writer.writerows(rows)
