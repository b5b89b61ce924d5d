"""From a DRT to a circuit: the built-in model its peaks imply, with starting values.

The rule, applied to the peaks whose tau lies inside the measured band
(1 / (2 pi f_max) to 1 / (2 pi f_min)):

* each peak is one parallel (R, C) or (R, CPE) arc, R its area. A peak no
  wider than `RC_WIDTH_DECADES` is an ideal RC (C = tau / R); a wider one a
  CPE, whose exponent is the one a ZARC of that width has once the
  broadening of the regularisation is taken out in quadrature, and
  Q = tau^alpha / R;
* a diffusion tail, which makes gamma climb towards the longest tau and
  -Im Z grow as the frequency falls (below an arc it shrinks as w^alpha),
  is a Warburg element in series with the last arc's resistance: the
  semi-infinite one (W) when -Im Z grows as w^-1/2 at the lowest
  frequencies, the finite one with a reflecting end (Wo) when it grows as
  w^-1, as a capacitance's does. The arcs are then the peaks of gamma short
  of the valley where the climb starts;
* a series inductance goes in when its reactance at the highest frequency
  is at least `INDUCTANCE_SHARE` of the smallest |Z| of the spectrum;
* more than two peaks keep the two largest.

The model is the built-in one whose topology that makes, looked up in the
core's model table; models with an inductance have no diffusion element, so
an inductive spectrum with a tail keeps the tail and drops the inductance.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from kelvra import _core

# The width, in decades, of the DRT of an ideal RC arc with the default
# basis and 0.5 % noise is 0.15 to 0.25; a ZARC of exponent 0.9 gives 0.5.
RC_WIDTH_DECADES = 0.3
# The regularisation broadens every peak by about this much (decades, in
# quadrature), which a CPE exponent read from the width must discount.
RESOLUTION_DECADES = 0.2
# Noise alone (0.5 %) gave inductive reactances of up to about 6 % of the
# smallest |Z| on spectra without an inductance.
INDUCTANCE_SHARE = 0.1
# The lowest points over which the slope of log(-Im Z) is taken; a slope
# below TAIL_SLOPE is a diffusion tail, and SLOPE_BETWEEN tells W (-1/2)
# from Wo (-1).
SLOPE_POINTS = 5
TAIL_SLOPE = -0.25
# The DRT of the points above a tail keeps some of the tail and is noisier
# than a whole spectrum's: it chooses lambda by the modified GCV, and a peak
# there must stand out by 15 % of its largest gamma. With plain GCV and the
# usual 10 %, a ripple passed for a second arc in 3 or 4 of 10 synthetic
# Randles spectra (0.5 % noise); with these, in 1 of 50.
TAIL_OPTIONS = {"method": "mgcv"}
TAIL_PROMINENCE = 0.15
TAIL_WO_PROMINENCE = 0.1
# Below an arc -Im Z shrinks into the noise, where its slope means nothing:
# a tail must hold -Im Z at this fraction of |Z| over those points.
TAIL_REACTANCE_SHARE = 0.05
SLOPE_BETWEEN = -0.75
# CPE exponents read from a width stay within these.
ALPHA_RANGE = (0.5, 1.0)


@dataclass(frozen=True)
class CircuitSuggestion:
    """A built-in model (its name and circuit string), the starting values
    of its parameters, and why it was chosen."""

    model: str
    circuit: str
    params: Dict[str, float]
    reasons: List[str] = field(default_factory=list)

    def to_circuit(self) -> Any:
        """The model as a `Circuit` holding the starting values."""
        return _core.Circuit(self.circuit).with_named_values(self.params)

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={value:.4g}" for name, value in self.params.items())
        return f"CircuitSuggestion({self.model!r}: {self.circuit}; {values})"


def zarc_width(alpha: float) -> float:
    """Full width at half maximum, in decades, of the DRT of
    R / (1 + (j w tau)^alpha)."""
    if alpha >= 1.0:
        return 0.0
    return 2.0 * math.acosh(2.0 + math.cos(alpha * math.pi)) / (alpha * math.log(10.0))


def alpha_from_width(width: float) -> float:
    """The CPE exponent whose ZARC has the DRT width `width` once the
    regularisation's broadening is taken out; by bisection, as the width
    falls monotonically with alpha."""
    true_width = math.sqrt(max(width * width - RESOLUTION_DECADES ** 2, 0.0))
    low, high = ALPHA_RANGE
    if zarc_width(low) <= true_width:
        return low
    for _ in range(60):
        mid = 0.5 * (low + high)
        if zarc_width(mid) > true_width:
            low = mid
        else:
            high = mid
    return 0.5 * (low + high)


def _band(result: Any) -> Tuple[float, float]:
    f = result.frequencies
    return 1.0 / (2 * math.pi * f.max()), 1.0 / (2 * math.pi * f.min())


def _low_frequency_slope(result: Any) -> float:
    """d log(-Im Z) / d log w over the lowest frequencies: about +alpha below
    an arc, -1/2 on a semi-infinite diffusion tail, -1 on a capacitive one."""
    order = np.argsort(result.frequencies)[:SLOPE_POINTS]
    f, z = result.frequencies[order], result.impedances[order]
    usable = -z.imag > 0
    if usable.sum() < 2 or np.min(-z.imag / np.abs(z)) < TAIL_REACTANCE_SHARE:
        return math.nan
    return float(np.polyfit(np.log(f[usable]), np.log(-z.imag[usable]), 1)[0])


def _arc_peaks(result: Any, tail: bool, prominence: float = TAIL_PROMINENCE) -> List[Any]:
    """The peaks that stand for arcs. A diffusion tail has no finite DRT:
    fitting one drives gamma up to the long end of the grid and leaves it
    ragged beneath, so with a tail the arcs are the peaks of the DRT of the
    points above the valley of -Im Z where the tail begins."""
    peaks = list(result.peaks)
    frequencies = result.frequencies
    if tail:
        order = np.argsort(frequencies)
        reactance = -result.impedances.imag[order]
        valley = 0
        # Up from the lowest frequency while -Im Z keeps falling.
        while valley + 1 < len(order) and reactance[valley + 1] <= reactance[valley]:
            valley += 1
        kept = order[valley:]
        from kelvra.drt import drt

        try:
            sub = drt(frequencies[kept], result.impedances[kept], **{**result.options, **TAIL_OPTIONS})
        except ValueError:
            return []
        from kelvra.drt import DrtPeak

        peaks = [DrtPeak(*map(float, row)) for row in _core._drt_peaks(sub.tau, sub.gamma, prominence)]
        frequencies = sub.frequencies
    shortest, longest = 1.0 / (2 * math.pi * frequencies.max()), 1.0 / (2 * math.pi * frequencies.min())
    peaks = [p for p in peaks if shortest <= p.tau <= longest]
    if len(peaks) > 2:
        peaks = sorted(sorted(peaks, key=lambda p: -p.resistance)[:2], key=lambda p: p.tau)
    return peaks


def _inductive(result: Any) -> bool:
    if not result.inductance > 0:
        return False
    reactance = 2 * math.pi * result.frequencies.max() * result.inductance
    return reactance >= INDUCTANCE_SHARE * float(np.abs(result.impedances).min())


def _topology(arcs: int, cpe: bool, tail: Optional[str], inductive: bool) -> str:
    """The circuit string of the built-in shape with these features."""
    element = "CPE" if cpe else "C"
    parts = ["R0"]
    for k in range(1, arcs + 1):
        resistor = f"R{k}" + (f"-{tail}{k}" if tail and k == arcs else "")
        parts.append(f"({resistor},{element}{k})")
    text = "-".join(parts)
    return ("L0-" + text) if inductive and not tail else text


def suggest_circuit(result: Any) -> CircuitSuggestion:
    """The built-in model and starting values that the peaks of the DRT
    `result` imply (the rule is in this module's description).

    Raises
    ------
    ValueError
        When no built-in model has the shape the DRT implies.
    """
    reasons: List[str] = []
    slope = _low_frequency_slope(result)
    tail = None
    if slope < TAIL_SLOPE:
        tail = "Wo" if slope < SLOPE_BETWEEN else "W"
        reasons.append(f"a diffusion tail: -Im Z grows as w^{slope:.2f} at the lowest frequencies ({tail})")
    peaks = _arc_peaks(result, tail is not None)
    if tail == "Wo" and len(peaks) < 2:
        # The one built-in model with Wo has two arcs: look for the second
        # with the prominence every DRT's peaks are held to.
        peaks = _arc_peaks(result, True, TAIL_WO_PROMINENCE)
    if not peaks:
        if tail is None:
            raise ValueError("the DRT has no peak inside the measured band and no diffusion tail")
        reasons.append("no peak inside the band: one arc assumed at the shortest measured tau")
    inductive = _inductive(result)
    if inductive and tail:
        reasons.append("the inductance is left out: no built-in model has both it and a diffusion element")
    elif inductive:
        reasons.append(f"series inductance {result.inductance:.3g} H")
    alphas = [alpha_from_width(p.width) if p.width > RC_WIDTH_DECADES else 1.0 for p in peaks]
    cpe = bool(tail) or any(a < 1.0 for a in alphas)
    arcs = max(len(peaks), 1)
    topology = _topology(arcs, cpe, tail, inductive)
    models = {text: name for name, text in _core.Circuit.ml_circuits().items()}
    if topology not in models:
        raise ValueError(f"no built-in model has the shape {topology} that the DRT implies")
    reasons.insert(0, f"{len(peaks)} peak(s) inside the measured band")
    params = _starting_values(result, peaks, alphas, cpe, tail, inductive and not tail)
    circuit = _core.Circuit(topology)
    names = circuit.param_names()
    return CircuitSuggestion(model=models[topology], circuit=topology,
                             params={name: params[name] for name in names if name in params}, reasons=reasons)


def _starting_values(result: Any, peaks: List[Any], alphas: List[float], cpe: bool, tail: Optional[str],
                     inductive: bool) -> Dict[str, float]:
    tiny = 1e-9
    values: Dict[str, float] = {"R0.r": max(result.r_inf, tiny * result.polarization_resistance, tiny)}
    if inductive:
        values["L0.l"] = result.inductance
    if not peaks:
        tau = 1.0 / (2 * math.pi * result.frequencies.max())
        peaks_values = [(tau, max(result.polarization_resistance, tiny), 1.0)]
    else:
        peaks_values = [(p.tau, max(p.resistance, tiny), a) for p, a in zip(peaks, alphas)]
    for k, (tau, resistance, alpha) in enumerate(peaks_values, start=1):
        values[f"R{k}.r"] = resistance
        if cpe:
            alpha = min(alpha, 0.99)
            values[f"CPE{k}.q"] = tau ** alpha / resistance
            values[f"CPE{k}.alpha"] = alpha
        else:
            values[f"C{k}.c"] = tau / resistance
    last = len(peaks_values)
    if tail:
        order = np.argsort(result.frequencies)
        f_low, z_low = result.frequencies[order[0]], result.impedances[order[0]]
        w_low = 2 * math.pi * f_low
        reactance = max(-z_low.imag, tiny)
        if tail == "W":
            values[f"W{last}.aw"] = reactance * math.sqrt(w_low)
        else:
            tau = 1.0 / w_low
            values[f"Wo{last}.tau"] = tau
            values[f"Wo{last}.z0"] = reactance * w_low * tau
    return values
