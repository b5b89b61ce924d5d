"""Arc identity: interchangeable sub-circuits reported in a fixed order.

In ``R0-(R1,CPE1)-(R2,CPE2)`` the two (R, CPE) pairs sit in series, so
swapping their values leaves the impedance unchanged and a fit may return
either order. Along a series of spectra that makes trajectories jump from
one arc to the other. `order_by_time_constant` puts every set of such
groups (parallel groups of the same shape, directly in the circuit's
top-level series) in order of their time constants, the fastest process
(smallest τ, highest frequency) first, so that ``R1`` always names the
faster arc.

A group's time constant is 1 / (2π f_peak), f_peak being the frequency at
which the group's own −Im Z peaks: τ = R·C for an (R, C) pair,
(R·Q)^(1/α) for an (R, CPE) pair, and a sensible characteristic time for any
other shape, without a formula per element kind.
"""
from __future__ import annotations

import dataclasses
import math
import re
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

# The frequency grid that locates each group's −Im Z peak: wide enough for
# any electrochemical process, fine enough to order processes a tenth of a
# decade apart.
_PEAK_GRID_HZ = np.logspace(-9, 12, 21 * 20 + 1)
_ELEMENT = re.compile(r"([A-Za-z]+)(\d+)")


def _top_level_terms(text: str) -> List[str]:
    """The terms of the circuit's outermost series, as written."""
    terms, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char == "(":
            depth += 1
        elif char == ")":
            depth -= 1
        elif char == "-" and depth == 0:
            terms.append(text[start:i])
            start = i + 1
    terms.append(text[start:])
    return terms


def _shape(term: str) -> str:
    """A term with its labels' digits dropped and codes in one case: two
    terms of one shape hold the same elements in the same arrangement."""
    return _ELEMENT.sub(lambda m: m.group(1).upper(), term)


def interchangeable_groups(circuit: Any) -> List[List[Tuple[str, List[str]]]]:
    """The sets of interchangeable parallel groups of `circuit`.

    Returns a list of sets, each a list of (term text, its parameter names in
    parameter order) in circuit order; only shapes that occur at least twice
    in the top-level series make a set.
    """
    names = circuit.param_names()
    by_shape: dict = {}
    for term in _top_level_terms(circuit.text):
        if not term.startswith("("):
            continue
        labels = {m.group(0) for m in _ELEMENT.finditer(term)}
        params = [name for name in names if name.split(".", 1)[0] in labels]
        by_shape.setdefault(_shape(term), []).append((term, params))
    return [groups for groups in by_shape.values() if len(groups) > 1]


def time_constant(term: str, values: dict) -> float:
    """τ = 1 / (2π f_peak) of one group (`term`, a parallel group's text) with
    the given parameter values; NaN when its −Im Z has no peak on the grid."""
    import kelvra

    group = kelvra.Circuit(term)
    try:
        group = group.with_named_values({name: values[name] for name in group.param_names()})
        capacitive = -np.asarray(group.impedance(_PEAK_GRID_HZ)).imag
    except (ValueError, KeyError):
        return math.nan
    if not np.all(np.isfinite(capacitive)):
        return math.nan
    peak = int(np.argmax(capacitive))
    if capacitive[peak] <= 0 or peak in (0, len(_PEAK_GRID_HZ) - 1):
        return math.nan  # no arc, or one whose top lies beyond the grid
    # The vertex of the parabola through the peak and its neighbours, in
    # log frequency: the peak to a small fraction of the grid's step.
    below, top, above = capacitive[peak - 1: peak + 2]
    curvature = below - 2 * top + above
    shift = 0.5 * (below - above) / curvature if curvature < 0 else 0.0
    log_step = math.log(_PEAK_GRID_HZ[1] / _PEAK_GRID_HZ[0])
    return 1.0 / (2 * math.pi * _PEAK_GRID_HZ[peak] * math.exp(shift * log_step))


def arc_permutation(circuit: Any, values: Optional[Sequence[float]] = None) -> List[int]:
    """The parameter permutation that orders each set of interchangeable
    groups by time constant: parameter i of the ordered circuit takes the
    value of parameter ``perm[i]`` of the given one. Groups whose time
    constant cannot be found keep their places."""
    names = circuit.param_names()
    values = list(circuit.param_values() if values is None else values)
    by_name = dict(zip(names, values))
    index = {name: i for i, name in enumerate(names)}
    perm = list(range(len(names)))
    for groups in interchangeable_groups(circuit):
        taus = [time_constant(term, by_name) for term, _ in groups]
        if any(math.isnan(tau) for tau in taus):
            continue
        # A stable sort: groups of equal time constant keep their order.
        order = sorted(range(len(groups)), key=lambda g: taus[g])
        for slot, source in enumerate(order):
            for target_name, source_name in zip(groups[slot][1], groups[source][1]):
                perm[index[target_name]] = index[source_name]
    return perm


def order_by_time_constant(circuit: Any) -> Tuple[Any, List[int]]:
    """`circuit` (a Circuit with values) with its interchangeable groups
    ordered fastest first, and the permutation used (see `arc_permutation`)."""
    perm = arc_permutation(circuit)
    values = circuit.param_values()
    if perm == list(range(len(perm))):
        return circuit, perm
    return circuit.with_values([values[j] for j in perm]), perm


def order_report(report: Any) -> Any:
    """A fit report with its interchangeable groups ordered fastest first:
    each parameter record takes the value and standard error of the one whose
    place it takes. Returns `report` itself when nothing moves."""
    perm = arc_permutation(report.fitted_circuit)
    if perm == list(range(len(perm))):
        return report
    from .report import basic_verdict

    old = report.parameters
    parameters = tuple(dataclasses.replace(old[i], value=old[j].value, stderr=old[j].stderr)
                       for i, j in enumerate(perm))
    # The verdict names parameters: one drawn from the flags is drawn again
    # for the new names; a verdict judged otherwise is kept as it stands.
    verdict = report.verdict
    if verdict == basic_verdict(report.success, report.chi_square, old):
        verdict = basic_verdict(report.success, report.chi_square, parameters)
    return dataclasses.replace(report, parameters=parameters, verdict=verdict)
