"""The compiled core's shared facts, read once from it.

The battery-data-format column names, the fit methods and weighting
schemes, the built-in models with the models nested in each, and the
element kinds with their fields, units, defaults, bounds and limits all live
in the core; this module only turns its tables into read-only Python values,
so that no other module writes them down again.
"""
from __future__ import annotations

from types import MappingProxyType
from typing import Mapping, NamedTuple, Optional, Tuple

from . import _core


class Model(NamedTuple):
    """A built-in model: its name, its topology (a circuit string), and the
    names of the built-in models a limit of its parameters gives."""

    name: str
    topology: str
    nested: Tuple[str, ...]


class ElementKind(NamedTuple):
    """One element kind of the catalogue.

    `exponent_field` is the field raised to a power (alpha, gamma) or None;
    `vanishing_field` the field whose floor shorts the element, or None;
    `exponent_one_kind` the kind the element becomes with its exponent at 1
    (a CPE becomes a capacitor), or None.
    """

    name: str
    code: str
    alternate_code: Optional[str]
    fields: Tuple[str, ...]
    units: Tuple[str, ...]
    defaults: Tuple[float, ...]
    bounds: Tuple[Tuple[float, float], ...]
    exponent_field: Optional[str]
    vanishing_field: Optional[str]
    exponent_one_kind: Optional[str]


#: {quantity: (name, other name)} for "frequency", "real", "imaginary",
#: "modulus" and "phase", each pair in the order `Circuit.fit` tries it.
BATTERY_COLUMNS: Mapping[str, Tuple[str, str]] = MappingProxyType(dict(_core._battery_columns()))
#: The method names `Circuit.fit` accepts, the default first.
FIT_METHODS: Tuple[str, ...] = tuple(_core._fit_methods())
DEFAULT_METHOD: str = FIT_METHODS[0]
# Methods that draw random numbers but take no seed: a seed does not make them repeat.
UNSEEDED_METHODS: Tuple[str, ...] = tuple(_core._unseeded_fit_methods())
#: The weighting schemes `weight` accepts, the default first.
WEIGHTINGS: Tuple[str, ...] = tuple(_core._weightings())
DEFAULT_WEIGHTING: str = WEIGHTINGS[0]
#: {name: what it does} of the rules `Circuit.fit` accepts as `early_stop`, the default first.
EARLY_STOP_RULES: Mapping[str, str] = MappingProxyType(dict(_core._early_stop_rules()))
#: The rule of the many-fit entry points (`kelvra.batch.fit_many`, the
#: command line, ranking's full fits): each run also ends once its
#: chi-square has settled, which cuts the few fits that would crawl through
#: their whole budget; a starting point's run ends once it joins the path
#: of an earlier start's run, which it would follow to the same end, or once
#: it lags so far behind the earlier starts' best that it could not catch up
#: at its pace; fits that find no plausible result and so run every start
#: take most of a batch's time. A single `Circuit.fit` keeps the default rule.
MANY_FITS_EARLY_STOP: str = "lagging"
assert MANY_FITS_EARLY_STOP in EARLY_STOP_RULES
#: {name: what it does} of the methods `Circuit.fit` accepts as `jacobian`, the default first.
JACOBIAN_METHODS: Mapping[str, str] = MappingProxyType(dict(_core._jacobian_methods()))
#: The Jacobian of the many-fit entry points: derivatives by the chain rule
#: through the circuit cost about one evaluation a step instead of 2n, and
#: differ from central differences only by the latter's truncation error.
MANY_FITS_JACOBIAN: str = "analytic"
assert MANY_FITS_JACOBIAN in JACOBIAN_METHODS
#: The options in which the many-fit entry points differ from a single
#: `Circuit.fit`; a caller's own values of them win.
MANY_FITS_OPTIONS: Mapping[str, str] = MappingProxyType({"early_stop": MANY_FITS_EARLY_STOP,
                                                          "jacobian": MANY_FITS_JACOBIAN})
#: {name: Model} of the built-in models, in table order.
MODELS: Mapping[str, Model] = MappingProxyType({row[0]: Model(*row) for row in _core._models()})
#: {display name: ElementKind}, in kind order.
ELEMENT_KINDS: Mapping[str, ElementKind] = MappingProxyType(
    {kind["name"]: ElementKind(**kind) for kind in _core._element_kinds()})
_KIND_BY_CODE = {code: kind for kind in ELEMENT_KINDS.values()
                 for code in (kind.code, kind.alternate_code) if code is not None}


def element_kind(code: str) -> ElementKind:
    """The element kind a circuit-string code ("R", "CPE", "Cpe", ...) names."""
    return _KIND_BY_CODE[code]


def exponent_fields() -> frozenset:
    """The field names that are exponents of some kind (alpha, gamma)."""
    return frozenset(kind.exponent_field for kind in ELEMENT_KINDS.values() if kind.exponent_field)


def model_suggestions(text: str) -> Tuple[str, ...]:
    """The built-in model names close to `text` (a misspelt model name), best first."""
    import difflib

    return tuple(difflib.get_close_matches(text.strip().casefold(), list(MODELS), n=3, cutoff=0.6))


def make_circuit(text: str) -> _core.Circuit:
    """``Circuit(text)``; a text that fails to parse and is close to a
    built-in model's name gets the names suggested after the parser's
    message, as a misspelt parameter name gets the right one."""
    try:
        return _core.Circuit(text)
    except ValueError as error:
        close = model_suggestions(text) if isinstance(text, str) else ()
        if not close:
            raise
        names = " or ".join(repr(name) for name in close)
        raise ValueError(f"{text!r} is not a built-in model (did you mean {names}?) nor a circuit string:\n"
                         f"{error}") from None
