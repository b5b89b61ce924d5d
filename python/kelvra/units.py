"""Readable units and area normalisation of fitted parameters.

The core states every parameter's unit ("ohm", "F", "ohm^-1*s^alpha", ...).
Here a value is shown with an SI prefix that keeps it between 1 and 1000
(35 mΩ rather than 0.035 ohm), and a parameter is normalised to the
electrode area: an impedance-like parameter (a resistance, inductance,
Warburg coefficient) is multiplied by the area (Ω·cm²), an admittance-like
one (a capacitance, a CPE's Q) divided by it (F/cm²); time constants and
exponents do not change.
"""
from __future__ import annotations

import math
from typing import Any, Optional, Tuple

import numpy as np

# SI prefixes by power of 1000, from pico to giga.
_PREFIXES = {-4: "p", -3: "n", -2: "\u00b5", -1: "m", 0: "", 1: "k", 2: "M", 3: "G"}
_SYMBOLS = {"ohm^-1": "\u03a9\u207b\u00b9", "ohm": "\u03a9", "^alpha": "^\u03b1", "^(gamma-1)": "^(\u03b3\u22121)"}
# Units that take a prefix: the plain ones; composite units stay as they are.
_PREFIXABLE = ("ohm", "F", "H", "s", "ohm*cm^2", "F/cm^2", "H*cm^2")
AREA_UNIT = "cm^2"


def area_exponent(unit: str) -> int:
    """+1 for an impedance-like unit, -1 for an admittance-like one, 0 otherwise."""
    if unit.startswith("ohm^-1") or unit.startswith("F"):
        return -1
    if unit.startswith("ohm") or unit.startswith("H"):
        return 1
    return 0


def per_area(values: Any, unit: str, area: Optional[float]) -> Tuple[Any, str]:
    """`values` of `unit` normalised to an electrode of `area` cm² (None: unchanged)."""
    if area is None:
        return values, unit
    if not (isinstance(area, (int, float)) and math.isfinite(area) and area > 0):
        raise ValueError(f"area must be a positive number of cm^2, got {area!r}")
    exponent = area_exponent(unit)
    if exponent == 0:
        return values, unit
    scaled = np.asarray(values, dtype=np.float64) * area ** exponent
    if np.ndim(values) == 0:
        scaled = float(scaled)
    return scaled, (f"{unit}*{AREA_UNIT}" if exponent > 0 else f"{unit}/{AREA_UNIT}")


def prefix_scale(values: Any, unit: str) -> Tuple[float, str]:
    """(factor, label): divide by `factor` to show `values` in the unit
    `label`, whose prefix brings the largest finite magnitude into [1, 1000)."""
    label = symbol(unit)
    if unit not in _PREFIXABLE:
        return 1.0, label
    magnitudes = np.abs(np.asarray(values, dtype=np.float64)).ravel()
    magnitudes = magnitudes[np.isfinite(magnitudes) & (magnitudes > 0)]
    if magnitudes.size == 0:
        return 1.0, label
    power = int(math.floor(math.log10(float(magnitudes.max())) / 3))
    power = min(max(power, min(_PREFIXES)), max(_PREFIXES))
    # Seconds are read as seconds from 1 s up: no kiloseconds.
    if unit == "s" and power > 0:
        power = 0
    return 1000.0 ** power, _PREFIXES[power] + label


def symbol(unit: str) -> str:
    """The unit as printed: Ω for ohm, ² for ^2, · for *; "-" stays for dimensionless."""
    for name, sign in _SYMBOLS.items():
        unit = unit.replace(name, sign)
    return unit.replace("^2", "\u00b2").replace("*", "\u00b7")


def format_quantity(value: float, unit: str, digits: int = 4) -> str:
    """`value` of `unit` with a readable prefix, as "35.02 mΩ"."""
    if not math.isfinite(value):
        return f"{value} {symbol(unit)}"
    factor, label = prefix_scale([value], unit)
    text = f"{value / factor:.{digits}g}"
    return text if label in ("-", "") else f"{text} {label}"
