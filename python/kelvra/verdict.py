"""Whether a fitted result deserves trust, and why not when it does not.

The core's ``success`` says only that the solver stopped where its
tolerances say it converged. A converged fit can still be useless: a
parameter the data do not determine, a value absurd for the spectrum, an
element the data do not need, or a model that misses the data's shape.
`judge` checks each and returns a `Verdict`: ``trusted`` and, when it is
not, the reasons in words.

The rules, each with the constant that sets it:

- every reason of `kelvra.report.basic_verdict`: not converged, a free
  parameter undetermined (no finite standard error, or one larger than its
  value), on a bound it was fitted within, or an exponent below 0.5.
- absurd: a resistance above ``ABSURD_FACTOR`` times the largest measured
  modulus; an inductance whose reactance at the highest frequency is that
  large; a time constant (R·C, (R·Q)^(1/alpha) of a parallel pair, or a
  time-constant parameter) more than ``BAND_DECADES`` decades outside
  1/(2π f) of the measured band.
- not needed: a model with one element taken out (`kelvra.nesting`) has a
  Bayesian information criterion no higher than the full fit's: the
  element lowers chi-square by no more than a parameter's worth of noise.
- systematic residuals: the signs of the relative residuals, real and
  imaginary parts each in frequency order, form fewer runs than chance
  allows (Wald-Wolfowitz runs test, z below ``RUNS_Z``), and the residuals
  are large enough to matter (root mean square above ``SYSTEMATIC_RMS``).
  Measured spectra always carry some model error; a runs test alone would
  distrust nearly every fit of a real cell, while a misfit below one
  percent is within what impedance analysers state for their accuracy.

References
----------
A. Wald, J. Wolfowitz, "On a test whether two samples are from the same
population", Ann. Math. Statist. 11 (1940) 147-162.
G. Schwarz, "Estimating the dimension of a model", Ann. Statist. 6 (1978)
461-464.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Dict, Iterable, List, Mapping, Sequence

import numpy as np

from ._criteria import information_criteria
from . import tables
from .report import (BOUND_TOLERANCE, LOW_EXPONENT, UNDETERMINED_RELATIVE_STDERR, FitReport, Verdict,
                     basic_verdict)

ABSURD_FACTOR = 1e3
BAND_DECADES = 3.0
RUNS_Z = -3.29  # one-sided p = 0.0005
SYSTEMATIC_RMS = 0.01
TWO_PI = 2 * math.pi
# How the reason for systematic residuals begins.
SYSTEMATIC = "systematic residuals"

_PAIR = re.compile(r"p?\(\s*(R\d+)\s*,\s*((?:C|CPE)\d+)\s*\)|p?\(\s*((?:C|CPE)\d+)\s*,\s*(R\d+)\s*\)")


@dataclass(frozen=True)
class NestedFit:
    """A fit of the circuit with one element taken out: what was taken out,
    its chi-square, and how many parameters it no longer fits."""

    description: str
    chi_square: float
    removed_params: int
    element: str = ""


def runs_z(signs: Iterable[np.ndarray]) -> float:
    """The Wald-Wolfowitz z-score of the sign runs over several sequences
    (summed runs, means and variances); NaN when no sequence has both signs."""
    runs = mean = variance = 0.0
    for sequence in signs:
        sequence = sequence[sequence != 0]
        n = sequence.size
        positive = float(np.count_nonzero(sequence > 0))
        negative = n - positive
        if positive == 0 or negative == 0:
            continue
        runs += 1 + np.count_nonzero(sequence[1:] != sequence[:-1])
        mu = 2 * positive * negative / n + 1
        mean += mu
        variance += (mu - 1) * (mu - 2) / (n - 1)
    return (runs - mean) / math.sqrt(variance) if variance > 0 else math.nan


def _number(value: float) -> str:
    return f"{value:.3g}"


def _power(base: float, exponent: float) -> float:
    """``base ** exponent``, or infinity where that leaves double range: a
    global search can end at a CPE whose time constant is past it, and such a
    time constant is absurd, not an error."""
    try:
        return base ** exponent
    except OverflowError:
        return math.inf


def parallel_pairs(circuit_text: str) -> List[str]:
    """"R||C" for each resistor in parallel with a capacitor or a
    constant-phase element, as `time_constants` names them."""
    return [f"{match.group(1) or match.group(4)}||{match.group(2) or match.group(3)}"
            for match in _PAIR.finditer(circuit_text)]


def time_constants(circuit_text: str, params: Mapping[str, float]) -> Dict[str, float]:
    """{description: seconds} for each resistor in parallel with a
    capacitor or a constant-phase element, and each time-constant
    parameter."""
    found: Dict[str, float] = {}
    for match in _PAIR.finditer(circuit_text):
        resistor = match.group(1) or match.group(4)
        other = match.group(2) or match.group(3)
        r = params.get(f"{resistor}.r")
        if r is None:
            continue
        if other.startswith("CPE"):
            q, alpha = params.get(f"{other}.q"), params.get(f"{other}.alpha")
            if q is None or alpha is None or not alpha > 0:
                continue
            tau = _power(r * q, 1.0 / alpha)
        else:
            c = params.get(f"{other}.c")
            if c is None:
                continue
            tau = r * c
        found[f"{resistor}||{other}"] = tau
    for name, value in params.items():
        if name.rsplit(".", 1)[-1] in ("tau", "tau_k"):
            found[name] = value
    return found


def judge(report: FitReport, nested: Sequence[NestedFit] = ()) -> Verdict:
    """The verdict on a fitted result.

    Parameters
    ----------
    report : FitReport
        The fit, with the spectrum it was fitted to; its parameters' bounds
        are those the fit ran within, and fixed parameters are marked.
    nested : sequence of NestedFit
        Fits of the circuit with one element taken out (`kelvra.robust`
        computes them); without them that rule is not applied.

    Returns
    -------
    Verdict
        `report.basic_verdict`'s reasons (not converged, undetermined, on a
        bound, low exponent), then absurd values, elements not needed and
        systematic residuals.
    """
    reasons = list(basic_verdict(report.success, report.chi_square, report.parameters).reasons)
    f = np.asarray(report.frequencies, dtype=float)
    z = np.asarray(report.impedances, dtype=complex)
    usable = _usable(f, z)
    if usable.any():
        f, z = f[usable], z[usable]
        reasons.extend(_absurd(report, f, z))
        reasons.extend(_not_needed(report, nested))
        reasons.extend(_systematic(report, f, z))
    return Verdict.from_reasons(reasons)


def _absurd(report: FitReport, f: np.ndarray, z: np.ndarray) -> List[str]:
    largest = float(np.abs(z).max())
    w_lo, w_hi = TWO_PI * float(f.min()), TWO_PI * float(f.max())
    reasons = []
    for p in report.parameters:
        if p.unit == "ohm" and p.value > ABSURD_FACTOR * largest:
            reasons.append(f"{p.name} absurd ({_number(p.value)} ohm, above {ABSURD_FACTOR:g} x the largest |Z| "
                           f"{_number(largest)} ohm)")
        if p.unit == "H" and p.value * w_hi > ABSURD_FACTOR * largest:
            reasons.append(f"{p.name} absurd ({_number(p.value)} H, a reactance above {ABSURD_FACTOR:g} x the "
                           f"largest |Z| at the highest frequency)")
    tau_lo, tau_hi = 1.0 / w_hi, 1.0 / w_lo
    margin = 10.0 ** BAND_DECADES
    for what, tau in time_constants(report.circuit, report.params).items():
        if not tau_lo / margin <= tau <= tau_hi * margin:
            reasons.append(f"time constant of {what} absurd ({_number(tau)} s, more than {BAND_DECADES:g} decades "
                           f"outside the measured {_number(tau_lo)} to {_number(tau_hi)} s)")
    return reasons


def not_needed(report: FitReport, nested: Sequence[NestedFit]) -> List[NestedFit]:
    """The nested fits whose Bayesian information criterion is no higher
    than the full fit's: the elements they take out are not needed."""
    n_residuals = 2 * int(np.count_nonzero(_usable(np.asarray(report.frequencies, dtype=float),
                                                   np.asarray(report.impedances, dtype=complex))))
    n_free = sum(1 for p in report.parameters if not p.fixed)
    _, own = information_criteria(report.chi_square, n_residuals, n_free)
    return [other for other in nested
            if information_criteria(other.chi_square, n_residuals, n_free - other.removed_params)[1] <= own]


def _usable(f: np.ndarray, z: np.ndarray) -> np.ndarray:
    return (f > 0) & np.isfinite(np.abs(z)) & (np.abs(z) > 0)


def _not_needed(report: FitReport, nested: Sequence[NestedFit]) -> List[str]:
    unneeded = [other.description for other in not_needed(report, nested)]
    if not unneeded:
        return []
    return [f"not needed (the circuit fits as well by BIC without it): {', '.join(unneeded)}"]


def _systematic(report: FitReport, f: np.ndarray, z: np.ndarray) -> List[str]:
    try:
        model = report.model(f)
    except ValueError:
        return []
    relative = (model - z) / np.abs(z)
    if not np.all(np.isfinite(relative)):
        return []
    order = np.argsort(f, kind="stable")
    score = runs_z([np.sign(relative.real[order]), np.sign(relative.imag[order])])
    rms = float(np.sqrt(np.mean(np.abs(relative) ** 2) / 2))
    if score < RUNS_Z and rms > SYSTEMATIC_RMS:
        return [f"{SYSTEMATIC} ({100 * rms:.2g} % root mean square, sign runs z = {score:.1f})"]
    return []


def trusted_column(names: Sequence[str], params: Mapping[str, np.ndarray], stderr: Mapping[str, np.ndarray],
                   success: np.ndarray, chi_square: np.ndarray) -> np.ndarray:
    """`basic_verdict` over a batch table: per row, converged with a finite
    chi-square and no parameter undetermined, on its physical bound or with
    a low exponent. A parameter a row's circuit lacks (NaN value) is not
    judged. The checks that need the spectrum are `judge`'s."""
    trusted = np.asarray(success, dtype=bool) & np.isfinite(np.asarray(chi_square, dtype=float))
    for name in names:
        value = np.asarray(params[name], dtype=float)
        error = np.asarray(stderr[name], dtype=float)
        label, field = name.rsplit(".", 1)
        kind = tables.element_kind(re.match(r"[A-Za-z]+", label).group(0))
        lower, upper = kind.bounds[kind.fields.index(field)]
        present = ~np.isnan(value)
        with np.errstate(invalid="ignore"):
            flagged = ~np.isfinite(error) | (error > UNDETERMINED_RELATIVE_STDERR * np.abs(value))
            for bound in (lower, upper):
                if math.isfinite(bound):
                    flagged |= np.abs(value - bound) <= BOUND_TOLERANCE * np.maximum(abs(bound), np.abs(value))
            if field == kind.exponent_field:
                flagged |= value < LOW_EXPONENT
        trusted &= ~(present & flagged)
    return trusted
