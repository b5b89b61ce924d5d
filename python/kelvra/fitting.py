"""Fitting a measured spectrum into a self-contained report.

`fit_spectrum` fits one spectrum and `fit_file` every sweep of a file; both
return `FitReport`s, which hold everything needed to print, tabulate, plot
or save the fit without the objects that produced it.
"""
from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

from . import _core

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


def error_row(source: str, circuit: str, message: str) -> Dict[str, Any]:
    """The results-table row of a file that could not be read or fitted."""
    return {"file": source, "sweep": "", "circuit": circuit, "method": "", "success": False, "chi_square": math.nan,
            "error": message, "undetermined": "", "on_bound": ""}


def write_table(rows: Sequence[Mapping[str, Any]], path: Union[str, "os.PathLike[str]"]) -> None:
    """Write result rows as CSV, or as a JSON list of objects when `path` ends in ".json".

    The columns are the union of the rows' keys, in first-seen order; CSV
    leaves a cell empty where a row has no value.
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


def json_number(value: Any) -> Any:
    """`value`, with a non-finite float written as the string "inf", "-inf" or "nan" that
    ``float()`` reads back, since JSON has no such numbers."""
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return value
