"""The simpler circuits nested in a circuit: each element taken out.

An element leaves a circuit in the limit of one of its parameters: a
resistance, inductance or Warburg coefficient at its floor is a short
circuit (the field the core names as the kind's vanishing field), a
resistance in a parallel group at a huge value an open one, a capacitance
or constant-phase coefficient at its floor is an open circuit and at a huge
value a short. Holding that parameter at such a value
(a `Circuit.fit` with ``fixed=``) fits the nested circuit in the same
parameter space, so the nested fit is also a point the full circuit can
start from, and its chi-square is one the full circuit can always match.

The values are set from the data: "short" means an impedance far below the
smallest measured modulus at every measured frequency, "open" one far above
the largest, so that the nested circuit is the same whatever the spectrum's
scale.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _core, tables

# A vanished element's impedance is this factor below the smallest measured
# modulus (short) or above the largest (open) across the measured band:
# a millionth changes no residual of a spectrum measured to 0.01 %.
VANISHING_FACTOR = 1e6
# How a restart brings a vanished element back: contributing about this
# share of the smallest modulus (short) or this share's inverse times the
# largest (open), near the nested fit yet large enough for the solver to
# feel a gradient. A second restart brings it back at full size, its
# impedance the largest measured modulus: from a small start the solver can
# slide back into the minimum where the element vanished, when the element
# the data need is large (a diffusion tail that dominates the low
# frequencies).
RESTART_SHARE = 0.1

_LABEL = re.compile(r"([A-Za-z]+)(\d*)")


@dataclass(frozen=True)
class Vanishing:
    """One way an element leaves the circuit: the parameter held and the
    value it is held at, and the parameter and value that bring it back."""

    element: str
    how: str  # "short" or "open"
    parameter: str
    value: float
    restart_value: float
    full_value: float

    @property
    def description(self) -> str:
        return f"{self.element} as {'a short' if self.how == 'short' else 'an open'} circuit"


def _capacitive(kind: "tables.ElementKind") -> bool:
    """A capacitor, or an element that is one with its exponent at 1."""
    return kind.name == tables.element_kind("C").name or kind.exponent_one_kind == tables.element_kind("C").name


def _code(label: str) -> str:
    match = _LABEL.fullmatch(label)
    return match.group(1) if match else label


def _parallel_labels(text: str) -> set:
    """Labels of the leaves inside a parallel group: only there can an
    element be an open circuit without opening the whole circuit."""
    inside = set()
    depth = 0
    for token in re.findall(r"[A-Za-z]+\d*|[(),-]", text):
        if token == "(":
            depth += 1
        elif token == ")":
            depth -= 1
        elif token not in (",", "-") and depth > 0 and not (token == "p"):
            inside.add(token)
    return inside


def whole_branches(text: str) -> Dict[str, int]:
    """{label: group}: the leaves that are by themselves a whole branch of a
    parallel group, with a number for the group. Shorting any of them
    shorts the group, so they share one nested circuit."""
    stack: List[List[List[str]]] = []  # the open groups, each a list of branches
    found: Dict[str, int] = {}
    groups = 0
    for token in re.findall(r"[A-Za-z]+\d*|[(),-]", text):
        if token == "(":
            stack.append([[]])
        elif token == ",":
            stack[-1].append([])
        elif token == ")":
            branches = stack.pop()
            groups += 1
            for branch in branches:
                if len(branch) == 1 and branch[0]:
                    found[branch[0]] = groups
            if stack:
                stack[-1][-1].append("")  # a group inside a branch: never a leaf alone
        elif token != "-" and token != "p" and stack:
            stack[-1][-1].append(token)
    return found


def band(frequencies: np.ndarray, impedances: np.ndarray) -> Optional[Tuple[float, float, float, float]]:
    """(lowest and highest angular frequency, smallest and largest modulus)
    over the usable points, or None without any."""
    modulus = np.abs(impedances)
    usable = (frequencies > 0) & np.isfinite(frequencies) & np.isfinite(modulus) & (modulus > 0)
    if not usable.any():
        return None
    omega = 2 * math.pi * frequencies[usable]
    return float(omega.min()), float(omega.max()), float(modulus[usable].min()), float(modulus[usable].max())


def vanishing_elements(circuit: _core.Circuit, frequencies: Sequence[float], impedances: Sequence[complex],
                       values: Optional[Dict[str, float]] = None) -> List[Vanishing]:
    """Every way an element of `circuit` can leave it, valued for this
    spectrum. `values` (default: the circuit's own) gives the exponent a
    constant-phase element keeps while it vanishes. An element that is the
    whole circuit's only path is never opened."""
    measured = band(np.asarray(frequencies, dtype=float), np.asarray(impedances, dtype=complex))
    if measured is None:
        return []
    w_lo, w_hi, z_lo, z_hi = measured
    names = circuit.param_names()
    bounds = dict(zip(names, circuit.param_bounds()))
    values = dict(zip(names, circuit.param_values())) if values is None else values
    in_parallel = _parallel_labels(_text(circuit))
    small, large = z_lo / VANISHING_FACTOR, z_hi * VANISHING_FACTOR
    back_small, back_large = z_lo * RESTART_SHARE, z_hi / RESTART_SHARE
    found: List[Vanishing] = []
    for name in names:
        label, field = name.rsplit(".", 1)
        kind = tables.element_kind(_code(label))
        floor = bounds[name][0]
        exponent = values.get(f"{label}.{kind.exponent_field}", 1.0) if kind.exponent_field else 1.0
        # (how, held value, the element's impedance at the restarts as a function of it -> value)
        ways: List[Tuple[str, float, Callable[[float], float]]] = []
        if field == kind.vanishing_field:
            # Its floor shorts the element; coming back it is a
            # resistance-like term, or a reactance of that size at the
            # band's top (an inductance) or bottom (a Warburg coefficient).
            if kind.units[kind.fields.index(field)].startswith("H"):
                ways.append(("short", floor, lambda z: z / w_hi ** exponent))
            elif kind.units[kind.fields.index(field)] == "ohm*s^-0.5":
                ways.append(("short", floor, lambda z: z * math.sqrt(w_lo)))
            else:
                ways.append(("short", floor, lambda z: z))
                if label in in_parallel and kind.units[kind.fields.index(field)] == "ohm":
                    # A resistance in parallel opens at a huge value: an
                    # arc becomes its capacitance alone.
                    ways.append(("open", large, lambda z: z))
        elif _capacitive(kind) and field == kind.fields[0]:
            # 1/(q w^alpha): huge q shorts it, its floor opens it.
            ways.append(("short", 1.0 / (small * w_lo ** exponent), lambda z: 1.0 / (z * w_lo ** exponent)))
            if label in in_parallel:
                ways.append(("open", max(floor, 1.0 / (large * w_hi ** exponent)),
                             lambda z: 1.0 / (z * w_hi ** exponent)))
        for how, value, of_impedance in ways:
            back = of_impedance(back_small if how == "short" else back_large)
            found.append(Vanishing(label, how, name, max(value, floor), max(back, floor),
                                   max(of_impedance(z_hi), floor)))
    return found


def _text(circuit: _core.Circuit) -> str:
    return circuit.text
