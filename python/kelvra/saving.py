"""Saving fits to JSON and loading them back.

One format serves `save_fit` and ``kelvra fit --out FILE.json``::

    {"format": "kelvra-fit", "version": 2,
     "fits": [{circuit, parameters, chi_square, success, ..., spectrum}, ...],
     "failures": [{"file": ..., "sweep": ..., "error": ...}, ...]}

Each fit holds the circuit string, the parameters (name, value, standard
error, unit, bounds, fixed), chi-square, the counters, the method and
settings, the source, the verdict and the spectrum it was fitted to.
Numbers are written in the shortest form that reads back as the same
float64, so a loaded fit is exactly the saved one; the non-finite ones,
which JSON cannot hold, as the strings "inf", "-inf" and "nan". Files of
the first version (one fit, no list) still load.

`load_fit` checks everything it reads: a file that is not a saved fit, or
one whose fields are missing, of the wrong type or inconsistent with each
other (parameters that are not the circuit's), raises a ValueError naming
the file and the field.
"""
from __future__ import annotations

import json
import math
import os
import tempfile
from typing import Any, Dict, Iterable, List, Mapping, Tuple, Union

import numpy as np

from .report import FitReport, ParameterFit, Verdict

FORMAT_NAME = "kelvra-fit"
FORMAT_VERSION = 2
READABLE_VERSIONS = (1, 2)

PathLike = Union[str, "os.PathLike[str]"]
# A fit a failure list records instead: (file, sweep or "", message).
Failure = Mapping[str, Any]


def json_number(value: Any) -> Any:
    """`value`, with a non-finite float written as the string "inf", "-inf" or "nan"
    that ``float()`` reads back, since JSON has no such numbers."""
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return value


def _plain(value: Any) -> Any:
    """A fit setting as JSON holds it: sequences (weights) become lists,
    mappings (start values, fixed values, bounds) objects."""
    if isinstance(value, Mapping):
        return {str(key): _plain(item) for key, item in value.items()}
    if isinstance(value, np.ndarray) or (isinstance(value, (list, tuple)) and
                                         all(isinstance(v, (int, float, np.number)) for v in value)):
        return [json_number(float(item)) for item in np.asarray(value, dtype=np.float64).ravel()]
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, np.generic):
        value = value.item()
    return json_number(value)


def as_report(fit: Any) -> FitReport:
    """A `FitReport`, or the report of a `FitResult` from ``Circuit.fit``."""
    if isinstance(fit, FitReport):
        return fit
    if hasattr(fit, "frequencies") and hasattr(fit, "circuit") and hasattr(fit, "chi_square"):
        return FitReport.from_result(fit)
    raise TypeError(f"expected a FitReport or a FitResult, not {type(fit).__name__}")


def fit_to_dict(fit: Any) -> Dict[str, Any]:
    """One fit as the JSON object the saved format holds."""
    report = as_report(fit)
    return {
        "circuit": report.circuit,
        "parameters": [{"name": p.name, "value": json_number(p.value), "stderr": json_number(p.stderr),
                        "unit": p.unit, "lower": json_number(p.lower), "upper": json_number(p.upper),
                        "fixed": p.fixed}
                       for p in report.parameters],
        "chi_square": json_number(report.chi_square),
        "success": report.success,
        "iterations": report.iterations,
        "impedance_evals": report.impedance_evals,
        "method": report.method,
        "settings": {key: _plain(value) for key, value in report.settings.items()},
        "source": report.source,
        "sweep": report.sweep,
        "verdict": {"trusted": report.verdict.trusted, "reasons": list(report.verdict.reasons)},
        "spectrum": {
            "frequency_hertz": [json_number(float(f)) for f in report.frequencies],
            "real_impedance_ohm": [json_number(float(z.real)) for z in report.impedances],
            "imaginary_impedance_ohm": [json_number(float(z.imag)) for z in report.impedances],
        },
    }


def fits_to_dict(fits: Iterable[Any], failures: Iterable[Failure] = ()) -> Dict[str, Any]:
    return {"format": FORMAT_NAME, "version": FORMAT_VERSION, "fits": [fit_to_dict(fit) for fit in fits],
            "failures": [{"file": str(f.get("file", "")), "sweep": f.get("sweep", ""), "error": str(f.get("error", ""))}
                         for f in failures]}


def save_fit(fits: Any, path: PathLike, failures: Iterable[Failure] = ()) -> None:
    """Write fits to `path` as JSON.

    Parameters
    ----------
    fits : FitReport, FitResult, or a sequence of them
        What ``Circuit.fit`` or `kelvra.fitting.fit_spectrum` returned.
    path : str or path-like
    failures : iterable of mappings, optional
        Spectra that could not be fitted: "file", "sweep" and "error" each.

    Returns
    -------
    None

    Raises
    ------
    TypeError
        Something in `fits` is neither a report nor a result; nothing is written.
    OSError
        The file cannot be written; a file already at `path` is left as it was.
    """
    if isinstance(fits, (list, tuple)):
        saved = fits_to_dict(fits, failures)
    else:
        saved = fits_to_dict([fits], failures)
    text = json.dumps(saved, indent=1, allow_nan=False) + "\n"
    # Written beside the target and renamed over it, so that a failure
    # leaves no empty or half-written file.
    directory = os.path.dirname(os.path.abspath(os.fspath(path)))
    handle, temporary = tempfile.mkstemp(prefix=".kelvra-", suffix=".json", dir=directory)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


# --- loading -----------------------------------------------------------------

class _Reader:
    """Checked reads of one saved file: each failure is a ValueError naming the file and the field."""

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)

    def fail(self, field: str, what: str) -> ValueError:
        return ValueError(f"{self.path}: {field}: {what}" if field else f"{self.path}: {what}")

    def entry(self, saved: Mapping[str, Any], key: str, field: str) -> Any:
        if key not in saved:
            raise self.fail(field, "missing")
        return saved[key]

    def mapping(self, value: Any, field: str) -> Mapping[str, Any]:
        if not isinstance(value, dict):
            raise self.fail(field, f"expected an object, found {type(value).__name__}")
        return value

    def items(self, value: Any, field: str) -> List[Any]:
        if not isinstance(value, list):
            raise self.fail(field, f"expected a list, found {type(value).__name__}")
        return value

    def text(self, value: Any, field: str) -> str:
        if not isinstance(value, str):
            raise self.fail(field, f"expected a string, found {type(value).__name__}")
        return value

    def flag(self, value: Any, field: str) -> bool:
        if not isinstance(value, bool):
            raise self.fail(field, f"expected true or false, found {value!r}")
        return value

    def count(self, value: Any, field: str) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise self.fail(field, f"expected a non-negative integer, found {value!r}")
        return value

    def number(self, value: Any, field: str) -> float:
        """A JSON number, or one of the strings "inf", "-inf" and "nan"."""
        if isinstance(value, str) and value in ("inf", "-inf", "nan"):
            return float(value)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.fail(field, f"expected a number, found {value!r:.40}")
        try:
            return float(value)
        except OverflowError:
            raise self.fail(field, "number too large for a float") from None

    def numbers(self, value: Any, field: str) -> np.ndarray:
        return np.array([self.number(item, f"{field}[{i}]") for i, item in enumerate(self.items(value, field))],
                        dtype=np.float64)


def _read_fit(reader: _Reader, saved: Any, field: str) -> FitReport:
    from . import _core

    saved = reader.mapping(saved, field)

    def get(key: str) -> Any:
        return reader.entry(saved, key, f"{field}.{key}" if field else key)

    def name(key: str) -> str:
        return f"{field}.{key}" if field else key

    circuit = reader.text(get("circuit"), name("circuit"))
    try:
        expected = _core.Circuit(circuit).param_names()
    except ValueError:
        raise reader.fail(name("circuit"), f"not a circuit string: {circuit!r:.80}") from None
    parameters = []
    for i, entry in enumerate(reader.items(get("parameters"), name("parameters"))):
        where = f"{name('parameters')}[{i}]"
        entry = reader.mapping(entry, where)
        fields = {key: reader.entry(entry, key, f"{where}.{key}") for key in
                  ("name", "value", "stderr", "unit", "lower", "upper")}
        parameters.append(ParameterFit(
            reader.text(fields["name"], f"{where}.name"), reader.number(fields["value"], f"{where}.value"),
            reader.number(fields["stderr"], f"{where}.stderr"), reader.text(fields["unit"], f"{where}.unit"),
            reader.number(fields["lower"], f"{where}.lower"), reader.number(fields["upper"], f"{where}.upper"),
            reader.flag(entry.get("fixed", False), f"{where}.fixed")))
    names = [p.name for p in parameters]
    if names != expected:
        duplicated = sorted({n for n in names if names.count(n) > 1})
        problem = (f"duplicate {duplicated}" if duplicated else
                   f"expected {expected} for circuit {circuit!r}, found {names}")
        raise reader.fail(name("parameters"), problem)
    spectrum = reader.mapping(get("spectrum"), name("spectrum"))
    columns = [reader.numbers(reader.entry(spectrum, key, f"{name('spectrum')}.{key}"), f"{name('spectrum')}.{key}")
               for key in ("frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm")]
    if not len(columns[0]) == len(columns[1]) == len(columns[2]):
        raise reader.fail(name("spectrum"), "the spectrum's columns differ in length")
    settings = dict(reader.mapping(saved.get("settings", {}), name("settings")))
    method = saved.get("method")
    if method is not None:
        settings["method"] = reader.text(method, name("method"))
    verdict = None
    if "verdict" in saved:
        shown = reader.mapping(saved["verdict"], name("verdict"))
        reasons = tuple(reader.text(r, f"{name('verdict.reasons')}[{i}]")
                        for i, r in enumerate(reader.items(shown.get("reasons", []), name("verdict.reasons"))))
        verdict = Verdict(reader.flag(reader.entry(shown, "trusted", name("verdict.trusted")), name("verdict.trusted")),
                          reasons)
    return FitReport(circuit, tuple(parameters), reader.number(get("chi_square"), name("chi_square")),
                     reader.flag(get("success"), name("success")),
                     reader.count(get("iterations"), name("iterations")),
                     reader.count(get("impedance_evals"), name("impedance_evals")),
                     columns[0], columns[1] + 1j * columns[2], settings,
                     reader.text(saved.get("source", ""), name("source")),
                     reader.count(saved.get("sweep", 0), name("sweep")), verdict)


def load_fits(path: PathLike) -> Tuple[List[FitReport], List[Dict[str, Any]]]:
    """Read every fit and failure of a file written by `save_fit` or ``kelvra fit --out``.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    fits : list of FitReport
    failures : list of dict
        "file", "sweep" and "error" of each spectrum that could not be fitted.

    Raises
    ------
    ValueError
        The file is not a saved fit, or a field is missing, of the wrong type
        or inconsistent; the message names the file and the field.
    OSError
        The file cannot be read.
    """
    reader = _Reader(path)
    with open(path, "rb") as handle:
        raw = handle.read()
    try:
        saved = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError:
        raise reader.fail("", "not a saved fit: not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise reader.fail("", f"not a saved fit: not JSON ({error.msg} at line {error.lineno})") from None
    except RecursionError:
        raise reader.fail("", "not a saved fit: nested too deeply") from None
    if not isinstance(saved, dict) or saved.get("format") != FORMAT_NAME:
        raise reader.fail("format", f"not a saved fit: expected format {FORMAT_NAME!r}")
    version = saved.get("version")
    if isinstance(version, bool) or version not in READABLE_VERSIONS:
        raise reader.fail("version", f"expected one of {list(READABLE_VERSIONS)}, found {version!r}")
    if version == 1:
        return [_read_fit(reader, saved, "")], []
    fits = [_read_fit(reader, fit, f"fits[{i}]") for i, fit in enumerate(reader.items(
        reader.entry(saved, "fits", "fits"), "fits"))]
    failures = []
    for i, failure in enumerate(reader.items(saved.get("failures", []), "failures")):
        failure = reader.mapping(failure, f"failures[{i}]")
        failures.append({"file": reader.text(failure.get("file", ""), f"failures[{i}].file"),
                         "sweep": failure.get("sweep", ""),
                         "error": reader.text(failure.get("error", ""), f"failures[{i}].error")})
    return fits, failures


def load_fit(path: PathLike) -> FitReport:
    """Read the one fit of a file written by `save_fit` or ``kelvra fit --out``.

    Its ``fitted_circuit`` holds the saved values.

    Raises
    ------
    ValueError
        As `load_fits`, and when the file holds no fit or more than one.
    """
    fits, _ = load_fits(path)
    if len(fits) != 1:
        raise ValueError(f"{os.fspath(path)}: fits: holds {len(fits)} fits, expected one (load_fits reads them all)")
    return fits[0]


def fit_from_dict(saved: Dict[str, Any], path: PathLike = "saved fit") -> FitReport:
    """One fit from the JSON object `fit_to_dict` made."""
    return _read_fit(_Reader(path), saved, "")


__all__ = ["save_fit", "load_fit", "load_fits", "fit_to_dict", "fit_from_dict", "json_number", "as_report",
           "FORMAT_NAME", "FORMAT_VERSION"]

