"""Fitting a measured spectrum into a self-contained report.

`fit_spectrum` fits one spectrum and `fit_file` every sweep of a file; both
return `FitReport`s, which hold everything needed to print, tabulate, plot
or save the fit without the objects that produced it.
"""
from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _core

CircuitLike = Union[str, _core.Circuit]

# "Circuit {text} ({n} parameter[s])", the first line of a circuit's repr.
_CIRCUIT_HEADING = re.compile(r"Circuit (.*) \(\d+ parameters?\)")
# What Circuit.fit uses when no method is named.
DEFAULT_METHOD = "levenberg_marquardt"
# The battery-data-format column names, each pair in the order Circuit.fit tries them.
_FREQUENCY = ("Frequency / Hz", "frequency_hertz")
_REAL = ("Real Impedance / ohm", "real_impedance_ohm")
_IMAGINARY = ("Imaginary Impedance / ohm", "imaginary_impedance_ohm")
_MODULUS = ("Absolute Impedance / ohm", "absolute_impedance_ohm")
_PHASE = ("Phase / deg", "phase_degree")


def circuit_text(circuit: _core.Circuit) -> str:
    """The circuit string that builds `circuit`'s topology, labels included."""
    heading = repr(circuit).split("\n", 1)[0]
    match = _CIRCUIT_HEADING.fullmatch(heading)
    if match is None:
        raise ValueError(f"unexpected circuit text {heading!r}")
    return match.group(1)


@dataclass(frozen=True)
class ParameterFit:
    """One fitted parameter: value, standard error (NaN when the fit gives
    none), unit and bounds."""

    name: str
    value: float
    stderr: float
    unit: str
    lower: float
    upper: float

    @property
    def undetermined(self) -> bool:
        """The data do not pin it down: no finite standard error, or one larger than the value."""
        return not math.isfinite(self.stderr) or self.stderr > abs(self.value)

    @property
    def on_bound(self) -> bool:
        return self.value == self.lower or self.value == self.upper


@dataclass(frozen=True, eq=False)
class FitReport:
    """A finished fit of one spectrum, with the spectrum it was fitted to.

    ``settings`` holds the method and the other arguments given to
    ``Circuit.fit`` besides the spectrum (weight, seed, ...).
    """

    circuit: str
    parameters: Tuple[ParameterFit, ...]
    chi_square: float
    success: bool
    iterations: int
    impedance_evals: int
    frequencies: np.ndarray
    impedances: np.ndarray
    settings: Dict[str, Any] = field(default_factory=dict)
    source: str = ""
    sweep: int = 0

    @property
    def method(self) -> str:
        return str(self.settings.get("method", DEFAULT_METHOD))

    @property
    def params(self) -> Dict[str, float]:
        return {p.name: p.value for p in self.parameters}

    @property
    def stderr(self) -> Dict[str, float]:
        return {p.name: p.stderr for p in self.parameters}

    @property
    def fitted_circuit(self) -> _core.Circuit:
        """A Circuit of this topology holding the fitted values."""
        return _core.Circuit(self.circuit).with_named_values(self.params)

    def model(self, frequencies: Optional[Sequence[float]] = None) -> np.ndarray:
        """The fitted model's impedance at `frequencies` (default: the measured ones)."""
        return self.fitted_circuit.impedance(self.frequencies if frequencies is None else frequencies)

    def row(self) -> Dict[str, Any]:
        """The flat record of one results-table row: the fit's identity and
        figures, then each parameter's value under its name and its standard
        error under the name followed by "_stderr"."""
        row: Dict[str, Any] = {
            "file": self.source, "sweep": self.sweep, "circuit": self.circuit, "method": self.method,
            "success": self.success, "chi_square": self.chi_square, "error": "",
            "undetermined": " ".join(p.name for p in self.parameters if p.undetermined),
            "on_bound": " ".join(p.name for p in self.parameters if p.on_bound),
        }
        for p in self.parameters:
            row[p.name] = p.value
            row[f"{p.name}_stderr"] = p.stderr
        return row


def _column(frame: Any, names: Tuple[str, str]) -> Optional[np.ndarray]:
    for name in names:
        try:
            return np.asarray(frame[name], dtype=np.float64)
        except (KeyError, IndexError, TypeError, ValueError):
            continue
    return None


def _required_column(frame: Any, names: Tuple[str, str]) -> np.ndarray:
    found = _column(frame, names)
    if found is None:  # the frame changed since the fit read it
        raise ValueError(f"the spectrum has no column {names[0]!r} or {names[1]!r}")
    return found


def _spectrum_arrays(spectrum: Any, impedances: Any) -> Tuple[np.ndarray, np.ndarray]:
    """The spectrum `Circuit.fit` saw, for a call it has already accepted:
    the two sequences as given, or a frame's columns read as it reads them."""
    if impedances is not None:
        return np.asarray(spectrum, dtype=np.float64), np.asarray(impedances, dtype=np.complex128)
    frequencies = _required_column(spectrum, _FREQUENCY)
    real, imaginary = _column(spectrum, _REAL), _column(spectrum, _IMAGINARY)
    if real is not None and imaginary is not None:
        measured = real + 1j * imaginary
    else:
        measured = _required_column(spectrum, _MODULUS) * np.exp(1j * np.radians(_required_column(spectrum, _PHASE)))
    # The fit drops rows whose frequency is not positive; so does the report.
    kept = frequencies > 0
    return frequencies[kept], measured[kept]


def fit_spectrum(circuit: CircuitLike, spectrum: Any, impedances: Any = None, *, source: str = "", sweep: int = 0,
                 **options: Any) -> FitReport:
    """Fit `circuit` (a Circuit or a circuit string) to a spectrum and report.

    `spectrum` is what ``Circuit.fit`` accepts: frequencies with `impedances`,
    or a frame with the battery-data-format columns (such as a
    ``kelvra.io.Spectrum``). `options` go to ``Circuit.fit`` unchanged.
    Raises what ``Circuit.fit`` raises.
    """
    if isinstance(circuit, str):
        circuit = _core.Circuit(circuit)
    result = circuit.fit(spectrum, impedances, **options)
    frequencies, measured = _spectrum_arrays(spectrum, impedances)
    fitted = result.circuit
    values, stderr = result.params, result.stderr or {}
    parameters = tuple(
        ParameterFit(name, values[name], stderr.get(name, math.nan), unit, lower, upper)
        for name, unit, (lower, upper) in zip(fitted.param_names(), fitted.param_units(), fitted.param_bounds()))
    settings = {"method": DEFAULT_METHOD, **options}
    return FitReport(circuit_text(fitted), parameters, result.chi_square, result.success, result.iterations,
                     result.impedance_evals, frequencies, measured, settings, os.fspath(source), sweep)


def fit_file(path: Union[str, "os.PathLike[str]"], circuit: CircuitLike, *, format: Optional[str] = None,
             **options: Any) -> List[FitReport]:
    """Read every sweep of a measured file and fit `circuit` to each.

    Raises ``kelvra.io.FormatError`` for a file that cannot be read, and what
    ``Circuit.fit`` raises for a spectrum that cannot be fitted.
    """
    from . import io

    return [fit_spectrum(circuit, spectrum, source=spectrum.path, sweep=spectrum.metadata["sweep"], **options)
            for spectrum in io.read(path, format)]


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
