"""Fitting a measured spectrum into a self-contained report.

`fit_spectrum` fits one spectrum and `fit_file` every sweep of a file; both
return `FitReport`s, which hold everything needed to print, tabulate, plot
or save the fit without the objects that produced it.
"""
from __future__ import annotations

import math
import os
import re
from dataclasses import replace
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

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


def select_points(frequencies: np.ndarray, impedances: np.ndarray, *, fmin: Optional[float] = None,
                  fmax: Optional[float] = None, drop_inductive: bool = False) -> np.ndarray:
    """The mask of the points a fit keeps: frequencies within [`fmin`,
    `fmax`] (either end open when None), and with `drop_inductive` only
    points whose imaginary part is not positive.

    Raises
    ------
    ValueError
        `fmin` or `fmax` not a positive number, `fmin` above `fmax`, or no
        point left.
    """
    for name, value in (("fmin", fmin), ("fmax", fmax)):
        if value is not None and not (isinstance(value, (int, float)) and value > 0 and math.isfinite(value)):
            raise ValueError(f"{name} must be a positive frequency in Hz, got {value!r}")
    if fmin is not None and fmax is not None and fmin > fmax:
        raise ValueError(f"fmin {fmin:g} Hz is above fmax {fmax:g} Hz")
    keep = np.ones(len(frequencies), dtype=bool)
    if fmin is not None:
        keep &= frequencies >= fmin
    if fmax is not None:
        keep &= frequencies <= fmax
    if drop_inductive:
        keep &= ~(impedances.imag > 0)
    if not keep.any():
        raise ValueError("no point of the spectrum is left to fit after the frequency window and the dropped "
                         "inductive points")
    return keep


def _has_inductor(circuit: _core.Circuit) -> bool:
    from .tables import element_kind

    return any(element_kind(re.match(r"[A-Za-z]+", name).group(0)).units[0].startswith("H")
               for name in circuit.param_names())


def fit_spectrum(circuit: CircuitLike, spectrum: Any, impedances: Any = None, *, source: Optional[str] = None,
                 sweep: Optional[int] = None, robust: bool = False, start: Optional[Mapping[str, float]] = None,
                 fixed: Any = None, bounds: Optional[Mapping[str, Any]] = None, fmin: Optional[float] = None,
                 fmax: Optional[float] = None, drop_inductive: bool = False, **options: Any) -> FitReport:
    """Fit a circuit to one spectrum and report, with a verdict.

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
    robust : bool
        Look for a better minimum after the fit (`kelvra.robust`): nested
        models, relaxation-time peaks and a short global search. The
        report's ``settings["winning_start"]`` names the start that won.
    start, fixed, bounds : dict, optional
        Start values, fixed parameters and custom bounds, as ``Circuit.fit``
        takes them.
    fmin, fmax : float, optional
        Fit only the points within this frequency window (Hz, inclusive).
    drop_inductive : bool
        Leave out the points with a positive imaginary part, for a circuit
        without an inductor that cannot describe them.
    **options
        Passed to ``Circuit.fit`` (method, weight, seed, ...).

    Returns
    -------
    FitReport
        With the verdict of `kelvra.verdict.judge`; the spectrum kept is the
        points fitted.

    Raises
    ------
    kelvra.io.PointError
        A point of the spectrum cannot be fitted (see `kelvra.io.as_spectrum`).
    ValueError
        What ``Circuit.fit`` raises for a circuit or options it cannot fit;
        a bad window; `drop_inductive` for a circuit with an inductor.
    """
    from .io._coerce import checked_arrays
    from .robust import report_of, robust_fit
    from .verdict import judge

    if isinstance(circuit, str):
        circuit = _core.Circuit(circuit)
    # The checked arrays, not a Spectrum: its complex column would be built again on every read.
    all_f, all_z, source, sweep, _ = checked_arrays(spectrum, impedances, source=source, sweep=sweep)
    if drop_inductive and _has_inductor(circuit):
        raise ValueError(f"drop_inductive leaves out the points an inductor describes, and {circuit.text} has one")
    keep = select_points(all_f, all_z, fmin=fmin, fmax=fmax, drop_inductive=drop_inductive)
    frequencies, measured_z = all_f[keep], all_z[keep]
    controls = {key: value for key, value in (("start", start), ("fixed", fixed), ("bounds", bounds))
                if value is not None}
    settings = dict(options, **controls)
    settings.update({key: value for key, value in (("fmin", fmin), ("fmax", fmax)) if value is not None})
    if drop_inductive:
        settings["drop_inductive"] = True
    if robust:
        found = robust_fit(circuit, frequencies, measured_z, **controls, **options)
        result, nested = found.result, found.nested
        settings.update(robust=True, winning_start=found.start)
    else:
        result, nested = circuit.fit(frequencies, measured_z, **controls, **options), ()
    report = report_of(result, frequencies, measured_z, fixed=fixed, bounds=bounds, settings=settings,
                       source=source, sweep=0 if sweep is None else sweep)
    return replace(report, verdict=judge(report, nested))


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
        except Exception as error:  # one spectrum's failure, recorded; the others go on
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
    # A file name that is not valid UTF-8 holds lone surrogates; they go back
    # out as the bytes they stand for, so the cell still names that file.
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=list(columns), restval="")
        writer.writeheader()
        writer.writerows(rows)
