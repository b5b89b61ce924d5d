"""One fitted result for every command: `FitReport`, its parameter records and its verdict.

A report holds everything needed to print, tabulate, plot or save a fit of
one spectrum without the objects that produced it. Every parameter is
judged by one flag rule (`ParameterFit.flags`), and every report carries a
`Verdict` that says whether the fit can be trusted and why not.
"""
from __future__ import annotations

import html
import math
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Optional, Sequence, Tuple

import numpy as np

from . import _core, tables

# A parameter whose standard error exceeds this multiple of its value is not
# determined by the data.
UNDETERMINED_RELATIVE_STDERR = 1.0
# A value this close to a finite bound, relative to the larger of the two,
# lies on it: a fit clamps onto a bound exactly, but an open parameter
# approaches its floor of 1e-12 only to within rounding (1.000000000005e-12).
BOUND_TOLERANCE = 1e-6
# An exponent below this describes diffusion or porosity more than a
# capacitance; in an arc meant as a double layer it is suspect.
LOW_EXPONENT = 0.5

FLAG_UNDETERMINED = "undetermined"
FLAG_ON_BOUND = "on_bound"
FLAG_LOW_EXPONENT = "low_exponent"
FLAG_FIXED = "fixed"
#: Every parameter flag, in the order `ParameterFit.flags` lists them.
PARAMETER_FLAGS = (FLAG_UNDETERMINED, FLAG_ON_BOUND, FLAG_LOW_EXPONENT, FLAG_FIXED)

_EXPONENT_FIELDS = tables.exponent_fields()


def on_bound(value: float, lower: float, upper: float) -> bool:
    """Whether `value` lies on a finite bound, to the relative `BOUND_TOLERANCE`."""
    return any(math.isfinite(bound) and abs(value - bound) <= BOUND_TOLERANCE * max(abs(bound), abs(value))
               for bound in (lower, upper))


@dataclass(frozen=True)
class ParameterFit:
    """One fitted parameter: value, standard error (NaN when the fit gives
    none), unit, bounds, and whether it was held fixed."""

    name: str
    value: float
    stderr: float
    unit: str
    lower: float
    upper: float
    fixed: bool = False

    @property
    def undetermined(self) -> bool:
        """The data do not pin it down: no finite standard error, or one
        larger than the value. A fixed parameter is never undetermined."""
        if self.fixed:
            return False
        return not math.isfinite(self.stderr) or self.stderr > UNDETERMINED_RELATIVE_STDERR * abs(self.value)

    @property
    def on_bound(self) -> bool:
        """The value lies on a finite bound (relative tolerance 1e-6)."""
        return not self.fixed and on_bound(self.value, self.lower, self.upper)

    @property
    def low_exponent(self) -> bool:
        """An exponent (alpha, gamma) below 0.5."""
        return not self.fixed and self.name.rsplit(".", 1)[-1] in _EXPONENT_FIELDS and self.value < LOW_EXPONENT

    @property
    def flags(self) -> Tuple[str, ...]:
        """The reasons to distrust this value, in `PARAMETER_FLAGS` order."""
        return tuple(flag for flag, on in zip(PARAMETER_FLAGS, (self.undetermined, self.on_bound, self.low_exponent,
                                                                self.fixed)) if on)


@dataclass(frozen=True)
class Verdict:
    """Whether a result can be trusted, and every reason it cannot.

    ``reasons`` are short texts ("not converged", "R1.r undetermined", ...);
    a trusted verdict has none.
    """

    trusted: bool
    reasons: Tuple[str, ...] = ()

    @classmethod
    def from_reasons(cls, reasons: Iterable[str]) -> "Verdict":
        reasons = tuple(reasons)
        return cls(not reasons, reasons)

    def __str__(self) -> str:
        return "trusted" if self.trusted else "untrusted: " + "; ".join(self.reasons)


def basic_verdict(success: bool, chi_square: float, parameters: Sequence[ParameterFit]) -> Verdict:
    """The verdict every fit gets: not trusted when it did not converge, has
    no finite chi-square, or has a flagged parameter (fixed ones aside)."""
    reasons = []
    if not success:
        reasons.append("not converged")
    if not math.isfinite(chi_square):
        reasons.append("chi-square is not finite")
    reasons.extend(f"{p.name} {flag}" for p in parameters for flag in p.flags if flag != FLAG_FIXED)
    return Verdict.from_reasons(reasons)


def _number(value: float) -> str:
    return f"{value:.6g}" if math.isfinite(value) else str(value)


@dataclass(frozen=True, eq=False)
class FitReport:
    """A finished fit of one spectrum, with the spectrum it was fitted to.

    ``settings`` holds the method and the other arguments given to
    ``Circuit.fit`` besides the spectrum (weight, seed, ...). ``verdict`` is
    the fit's `Verdict`; left out, it is `basic_verdict` of the fit.
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
    verdict: Optional[Verdict] = None

    def __post_init__(self) -> None:
        if self.verdict is None:
            object.__setattr__(self, "verdict", basic_verdict(self.success, self.chi_square, self.parameters))

    @classmethod
    def from_result(cls, result: Any, frequencies: Optional[np.ndarray] = None,
                    impedances: Optional[np.ndarray] = None, *, settings: Optional[Dict[str, Any]] = None,
                    source: str = "", sweep: int = 0, fixed: Iterable[str] = ()) -> "FitReport":
        """The report of a `FitResult` from ``Circuit.fit``.

        Parameters
        ----------
        result : FitResult
            What ``Circuit.fit`` returned; it keeps the spectrum it was fitted to.
        frequencies, impedances : ndarray, optional
            The spectrum to keep instead of the result's own.
        settings : dict, optional
            The arguments given to ``Circuit.fit`` besides the spectrum; the
            method defaults to ``levenberg_marquardt``.
        source, sweep : str, int
            The file and sweep the spectrum came from.
        fixed : iterable of str
            Names of parameters the fit held fixed.

        Returns
        -------
        FitReport
        """
        fitted = result.circuit
        values, errors = result.params, result.stderr or {}
        held = frozenset(fixed)
        parameters = tuple(
            ParameterFit(name, values[name], errors.get(name, math.nan), unit, lower, upper, name in held)
            for name, unit, (lower, upper) in zip(fitted.param_names(), fitted.param_units(), fitted.param_bounds()))
        return cls(fitted.text, parameters, result.chi_square, result.success, result.iterations,
                   result.impedance_evals, result.frequencies if frequencies is None else frequencies,
                   result.impedances if impedances is None else impedances,
                   {"method": tables.DEFAULT_METHOD, **(settings or {})}, str(source), sweep)

    @property
    def method(self) -> str:
        return str(self.settings.get("method", tables.DEFAULT_METHOD))

    @property
    def trusted(self) -> bool:
        return self.verdict.trusted

    @property
    def params(self) -> Dict[str, float]:
        return {p.name: p.value for p in self.parameters}

    @property
    def stderr(self) -> Dict[str, float]:
        return {p.name: p.stderr for p in self.parameters}

    @property
    def flags(self) -> Dict[str, Tuple[str, ...]]:
        """{name: flags} of every flagged parameter."""
        return {p.name: p.flags for p in self.parameters if p.flags}

    @property
    def fitted_circuit(self) -> _core.Circuit:
        """A Circuit of this topology holding the fitted values."""
        return _core.Circuit(self.circuit).with_named_values(self.params)

    def uncertainty(self, *, bootstrap: Optional[int] = None, seed: Optional[int] = None, level: float = 0.95,
                    workers: Optional[int] = None) -> Any:
        """Covariance, correlation and `level` intervals of the parameters:
        from the Jacobian at the optimum, or from `bootstrap` seeded
        residual-bootstrap refits. See ``kelvra.uncertainty``."""
        from .uncertainty import report_uncertainty

        return report_uncertainty(self, bootstrap_count=bootstrap, seed=seed, level=level, workers=workers)

    def model(self, frequencies: Optional[Sequence[float]] = None) -> np.ndarray:
        """The fitted model's impedance at `frequencies` (default: the measured ones)."""
        return self.fitted_circuit.impedance(self.frequencies if frequencies is None else frequencies)

    def row(self) -> Dict[str, Any]:
        """The flat record of one results-table row: the fit's identity and
        figures, its verdict, then each parameter's value under its name and
        its standard error under the name followed by "_stderr"."""
        row: Dict[str, Any] = {
            "file": self.source, "sweep": self.sweep, "circuit": self.circuit, "method": self.method,
            "success": self.success, "chi_square": self.chi_square, "error": "",
            "trusted": self.verdict.trusted, "verdict": "; ".join(self.verdict.reasons),
            "undetermined": " ".join(p.name for p in self.parameters if p.undetermined),
            "on_bound": " ".join(p.name for p in self.parameters if p.on_bound),
        }
        for p in self.parameters:
            row[p.name] = p.value
            row[f"{p.name}_stderr"] = p.stderr
        return row

    def to_frame(self) -> Any:
        """The parameters as a pandas DataFrame indexed by name: value,
        stderr, unit, lower, upper and flags (space-separated)."""
        import pandas

        return pandas.DataFrame(
            {"value": [p.value for p in self.parameters], "stderr": [p.stderr for p in self.parameters],
             "unit": [p.unit for p in self.parameters], "lower": [p.lower for p in self.parameters],
             "upper": [p.upper for p in self.parameters], "flags": [" ".join(p.flags) for p in self.parameters]},
            index=pandas.Index([p.name for p in self.parameters], name="parameter"))

    def heading(self) -> str:
        status = "success" if self.success else "NOT CONVERGED"
        where = f"{self.source} (sweep {self.sweep}): " if self.source else ""
        return f"{where}{self.circuit}, chi-square {_number(self.chi_square)}, {status}, {self.verdict}"

    def text(self) -> str:
        """The parameter table for a terminal, as `kelvra fit` prints it."""
        width = max([len("parameter"), *(len(p.name) for p in self.parameters)])
        lines = [self.heading(), f"  {'parameter':<{width}}  {'value':>12}  {'stderr':>12}  {'unit':<16}  flags"]
        for p in self.parameters:
            lines.append(f"  {p.name:<{width}}  {_number(p.value):>12}  {_number(p.stderr):>12}  {p.unit:<16}  "
                         f"{' '.join(p.flags)}".rstrip())
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.text()

    def __repr__(self) -> str:
        where = f", source={self.source!r}, sweep={self.sweep}" if self.source else ""
        return (f"FitReport({self.circuit!r}, chi_square={_number(self.chi_square)}, success={self.success}, "
                f"trusted={self.verdict.trusted}, points={len(self.frequencies)}{where})")

    def _repr_html_(self) -> str:
        cells = "".join(
            f"<tr><td>{html.escape(p.name)}</td><td>{_number(p.value)}</td><td>{_number(p.stderr)}</td>"
            f"<td>{html.escape(p.unit)}</td><td>{html.escape(' '.join(p.flags))}</td></tr>" for p in self.parameters)
        return (f"<p>{html.escape(self.heading())}</p><table><thead><tr><th>parameter</th><th>value</th>"
                f"<th>stderr</th><th>unit</th><th>flags</th></tr></thead><tbody>{cells}</tbody></table>")
