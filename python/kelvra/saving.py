"""Saving a fit to JSON and loading it back.

The file holds the circuit string, the parameters (name, value, standard
error, unit, bounds), chi-square, the fit's method and settings, and the
spectrum it was fitted to. Numbers are written in the shortest form that
reads back as the same float64, so a loaded fit is exactly the saved one;
the non-finite ones, which JSON cannot hold, as the strings "inf", "-inf"
and "nan".
"""
from __future__ import annotations

import json
import os
from typing import Any, Dict, Union

import numpy as np

from .fitting import FitReport, ParameterFit, json_number

FORMAT_NAME = "kelvra-fit"
FORMAT_VERSION = 1

PathLike = Union[str, "os.PathLike[str]"]


def fit_to_dict(report: FitReport) -> Dict[str, Any]:
    return {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION,
        "circuit": report.circuit,
        "parameters": [{"name": p.name, "value": json_number(p.value), "stderr": json_number(p.stderr),
                        "unit": p.unit, "lower": json_number(p.lower), "upper": json_number(p.upper)}
                       for p in report.parameters],
        "chi_square": json_number(report.chi_square),
        "success": report.success,
        "iterations": report.iterations,
        "impedance_evals": report.impedance_evals,
        "method": report.method,
        "settings": {key: _plain(value) for key, value in report.settings.items()},
        "source": report.source,
        "sweep": report.sweep,
        "spectrum": {
            "frequency_hertz": [json_number(float(f)) for f in report.frequencies],
            "real_impedance_ohm": [json_number(float(z.real)) for z in report.impedances],
            "imaginary_impedance_ohm": [json_number(float(z.imag)) for z in report.impedances],
        },
    }


def _plain(value: Any) -> Any:
    """A fit setting as JSON holds it: sequences (weights) become lists."""
    if isinstance(value, (np.ndarray, list, tuple)):
        return [json_number(float(item)) for item in np.asarray(value, dtype=np.float64).ravel()]
    if isinstance(value, np.generic):
        value = value.item()
    return json_number(value)


def save_fit(report: FitReport, path: PathLike) -> None:
    """Write `report` to `path` as JSON."""
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(fit_to_dict(report), handle, indent=1, allow_nan=False)
        handle.write("\n")


def _floats(values: Any, what: str) -> np.ndarray:
    try:
        return np.array([float(value) for value in values], dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"saved fit: {what} must be a list of numbers") from None


def fit_from_dict(saved: Dict[str, Any]) -> FitReport:
    if saved.get("format") != FORMAT_NAME or saved.get("version") != FORMAT_VERSION:
        raise ValueError(f"not a saved fit: expected format {FORMAT_NAME!r} version {FORMAT_VERSION}")
    try:
        parameters = tuple(ParameterFit(p["name"], float(p["value"]), float(p["stderr"]), p["unit"],
                                        float(p["lower"]), float(p["upper"])) for p in saved["parameters"])
        spectrum = saved["spectrum"]
        frequencies = _floats(spectrum["frequency_hertz"], "frequency_hertz")
        real = _floats(spectrum["real_impedance_ohm"], "real_impedance_ohm")
        imaginary = _floats(spectrum["imaginary_impedance_ohm"], "imaginary_impedance_ohm")
        if not len(frequencies) == len(real) == len(imaginary):
            raise ValueError("saved fit: the spectrum's columns differ in length")
        settings = dict(saved["settings"])
        return FitReport(saved["circuit"], parameters, float(saved["chi_square"]), bool(saved["success"]),
                         int(saved["iterations"]), int(saved["impedance_evals"]), frequencies, real + 1j * imaginary,
                         settings, saved["source"], int(saved["sweep"]))
    except KeyError as missing:
        raise ValueError(f"saved fit: missing entry {missing}") from None


def load_fit(path: PathLike) -> FitReport:
    """Read a fit written by `save_fit`. Its ``fitted_circuit`` holds the saved values."""
    with open(path, encoding="utf-8") as handle:
        return fit_from_dict(json.load(handle))
