"""A fit that looks for a better minimum where local minima hide.

`robust_fit` runs the ordinary fit, then tries the starts that escape the
traps a measured spectrum sets for it, and keeps the lowest chi-square:

1. Nested repair. Each element that can leave the circuit (`kelvra.nesting`)
   is held at its vanishing value and the rest refitted. A circuit can
   always match a circuit nested in it, so a nested fit with a lower
   chi-square shows that the full fit stopped in a local minimum; the full
   circuit is then restarted from the nested fit, once exactly there and
   once each with the element brought back small and at full size.
   The nested fits also tell the verdict whether each element is needed.
   Where the ordinary fit started from the circuit's own or the user's
   values, or the learned guess puts a parameter on its bound, the learned
   guess is tried as a start too.
2. Revival. An element the best fit has let vanish (a resistance at its
   floor, say) is brought back, small and at full size, and the fit
   restarted: at its floor the solver feels no gradient along it. A fit
   found so is revived in turn.
3. When the best fit so far looks like a local minimum (`_suspect`: no
   convergence; a parameter absurd or undetermined that neither lies on a
   bound nor is explained by an element the data do not need; or, with
   systematic residuals, any undetermined parameter or an element not
   needed), starts from the peaks of the distribution of relaxation times
   (`kelvra.drt`): the circuit's parallel R-C and R-CPE pairs at the
   resistances and time constants of each choice among the largest peaks.
4. When it still does, a short seeded global search: `GLOBAL_STARTS`
   random starts, each a short Levenberg-Marquardt run within the user's
   controls, the best of them run to convergence.

Restarts near a fit already made (1, 2) run within a small budget and go
on only while they come near the best fit.

Every start that puts a bounded parameter (an exponent) exactly on its
bound runs with that parameter held there: the solver moves bounded
parameters freely and clamps them only at the end, and from such a start it
can run far past the bound and end worse than it began. A best fit found
that way is fitted once more with everything free from where it ended
before the next stage, so that the stages go on from a free fit and the
result's standard errors are the circuit's own.

The result names the start that won.
"""
from __future__ import annotations

import itertools
import math
import re
import warnings
from dataclasses import dataclass, replace
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import _core, tables
from .nesting import Vanishing, _parallel_labels, band as spectrum_band, vanishing_elements, whole_branches
from .report import FLAG_UNDETERMINED, UNDETERMINED_RELATIVE_STDERR, FitReport
from .verdict import SYSTEMATIC, NestedFit, judge, not_needed, parallel_pairs, time_constants

# The last-resort global search: this many random starts, each one short
# Levenberg-Marquardt run, spread this many decades either side of the
# best fit's open parameters; it costs about as much as two ordinary fits.
GLOBAL_STARTS = 8
GLOBAL_DECADES = 2.0
# The global search's random starts and the peak starts only scout: they
# stop once chi-square settles to this relative tolerance (within about 1 %
# of where the full tolerance ends, as in the ranking's screening) or after
# this many iterations. Whatever they find near or below the best fit is
# run again to the full tolerance.
SCOUT_TOLERANCE = 1e-6
SCOUT_ITERATIONS = 50
SCOUT_SLACK = 0.02
# A nested fit runs on past a scout's budget: the better minimum it is
# there to find often lies at the end of a slow crawl that a small budget
# stops early. It first runs within a budget of `NESTED_SCOUT_ITERATIONS`
# (in the core's iterations, each n + 1 evaluations), where nearly every
# nested fit converges; one still running then goes on to
# `NESTED_ITERATIONS` only if it has come within `NESTED_CONTINUE` times
# the best chi-square so far. Further off it can neither beat the best fit
# nor fit as well by the information criterion (a nested model with two
# parameters fewer does so below about 1.1 times the full chi-square), and
# such fits are the ones that crawl: a vanished element whose loss the rest
# of the circuit cannot make up.
NESTED_SCOUT_ITERATIONS = 10
NESTED_ITERATIONS = 100
NESTED_CONTINUE = 2.0
# A nested fit's chi-square is only compared (with the best fit's, and by the
# information criterion, whose margins are percents): it stops once
# chi-square settles to this relative tolerance.
NESTED_TOLERANCE = 1e-6
# The relaxation-time distribution behind the peak starts is computed on
# this many grid points per decade, half the default: a start needs a
# peak's place to a fraction of a decade, which the solver then refines,
# and the coarser grid costs a third to a sixth as much and merges the
# spurious shoulders a finer one resolves.
DRT_POINTS_PER_DECADE = 5
# The peak starts use this many of the largest peaks, and start an
# exponent the best fit has on a bound here.
DRT_PEAKS = 3
DRT_EXPONENT = 0.9
# Exponents of random starts are drawn from here up: below it an element
# is more a diffusion tail than the arc it is meant to be.
LOWEST_EXPONENT = 0.5
# The seed of the global search when none is given, so that a robust fit of
# the same data gives the same result on every run.
DEFAULT_SEED = 20
# Rounds of revival: each from the best fit the round before found.
REVIVAL_ROUNDS = 5
# An element whose impedance is below this share of the small size a
# revival brings it back at has vanished.
VANISHED_SHARE = 1e-3
# A start only wins with a chi-square lower by more than rounding.
IMPROVEMENT = 1e-9

START_GIVEN = "given"
START_GLOBAL = "global search"
START_DRT = "relaxation-time peaks"
START_LEARNED = "learned guess"
# The verdict's reasons that point to a local minimum (kelvra.verdict,
# kelvra.report.basic_verdict).
LOCAL_MINIMUM_REASONS = ("not converged", "chi-square is not finite")
_EXPONENTS = tables.exponent_fields()


@dataclass(frozen=True)
class RobustFit:
    """The best fit found, the start it came from, the chi-square of the
    ordinary fit, and the nested fits the verdict uses."""

    result: Any  # a FitResult
    start: str
    plain_chi_square: float
    nested: Tuple[NestedFit, ...]


def _fixed_values(fixed: Any, params: Mapping[str, float]) -> Dict[str, float]:
    if not fixed:
        return {}
    if isinstance(fixed, Mapping):
        return dict(fixed)
    return {name: params[name] for name in fixed}


def _inside(values: Dict[str, float], bounds: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]],
            physical: Mapping[str, Tuple[float, float]]) -> Dict[str, float]:
    """`values` clamped into the bounds the fit runs within, since a start
    outside them is an error."""
    out = {}
    for name, value in values.items():
        low, high = physical[name]
        if bounds and name in bounds:
            low = low if bounds[name][0] is None else bounds[name][0]
            high = high if bounds[name][1] is None else bounds[name][1]
        out[name] = min(max(value, low), high)
    return out


def _better(candidate: Any, best: Any) -> bool:
    old, new = best.chi_square, candidate.chi_square
    if math.isnan(old):
        return not math.isnan(new)
    return new < old * (1.0 - IMPROVEMENT)


class _Search:
    """One robust fit's shared state: the spectrum, the controls, the best
    result so far and where it started."""

    def __init__(self, circuit, frequencies, impedances, fixed, bounds, options):
        self.circuit = circuit
        self.frequencies = frequencies
        self.impedances = impedances
        self.fixed = fixed
        self.bounds = bounds
        self.options = options
        names = circuit.param_names()
        self.physical = dict(zip(names, circuit.param_bounds()))
        self.units = dict(zip(names, circuit.param_units()))
        self.limits = fitted_bounds(circuit, bounds)
        self.best = None
        self.start = START_GIVEN
        self.best_held = False
        self.last_held = False  # whether the last run held parameters on their bounds
        self.suspect_of = None  # the best fit `suspect` was judged for
        self.suspect = False
        self.nested_results: Dict[str, Any] = {}  # by NestedFit.description
        self.restarted: set = set()  # the starts `restart` has run, as sorted items

    def offer(self, result: Any, start: str, held: bool = False) -> None:
        if self.best is None or _better(result, self.best):
            self.best, self.start, self.best_held = result, start, held

    def on_bounds(self, values: Mapping[str, float], fixed_values: Mapping[str, float]) -> Dict[str, float]:
        """The free bounded parameters (an exponent, say) that `values` puts
        exactly on a bound of the fit. The solver moves such a parameter
        freely and clamps it at the end; from a start on its bound it can
        run far past it, and end worse than the start, which it then keeps
        unmoved. Held there, the other parameters converge."""
        held = {}
        for name, value in values.items():
            low, high = self.limits[name]
            if name not in fixed_values and math.isfinite(high) and value in (low, high):
                held[name] = value
        return held

    def local_options(self) -> Dict[str, Any]:
        """The options of the fit that its local runs share: the weighting,
        and the Jacobian the caller asked for (a batch's analytic one)."""
        return {"weight": self.options.get("weight", "modulus"), "jacobian": self.options.get("jacobian")}

    def fit_from(self, values: Mapping[str, float], start: str, fixed_values: Dict[str, float],
                 scouting: bool = False, offer: bool = True, budget: Optional[int] = None) -> Optional[Any]:
        """One Levenberg-Marquardt run from `values` (the fixed values
        written over them), offered as a candidate unless `offer` is false;
        a `scouting` run stops early (`SCOUT_TOLERANCE`, `SCOUT_ITERATIONS`),
        `budget` caps the iterations of another. None when the core refuses
        the start."""
        options = self.local_options()
        if scouting:
            options.update(ftol=SCOUT_TOLERANCE, xtol=SCOUT_TOLERANCE, max_iterations=SCOUT_ITERATIONS)
        elif budget is not None:
            options.update(max_iterations=budget)
        values = _inside({**values, **fixed_values}, self.bounds, self.physical)
        held = self.on_bounds(values, fixed_values)
        self.last_held = bool(held)
        try:
            result = _core._screening_fit(self.circuit.with_named_values(values), self.frequencies, self.impedances,
                                          guess_init=False, fixed={**fixed_values, **held} or None,
                                          bounds=self.bounds, **options)
        except ValueError:
            return None
        if offer:
            self.offer(result, start, held=bool(held))
        return result

    def release(self, fixed_values: Dict[str, float]) -> None:
        """The best fit, if it held parameters on their bounds, fitted again
        with them free from where it ended: its standard errors are then
        those of the circuit the user fitted, and the solver keeps that
        point unless it finds a lower one."""
        if not self.best_held:
            return
        values = _inside({**self.best.params, **fixed_values}, self.bounds, self.physical)
        try:
            freed = _core._screening_fit(self.circuit.with_named_values(values), self.frequencies, self.impedances,
                                         guess_init=False, fixed=fixed_values or None, bounds=self.bounds,
                                         **self.local_options())
        except ValueError:
            return
        if not freed.chi_square > self.best.chi_square:
            self.best, self.best_held = freed, False

    def restart(self, values: Mapping[str, float], start: str, fixed_values: Dict[str, float]) -> None:
        """A restart near a fit already made (a nested fit, the best fit with
        an element brought back): run within `NESTED_SCOUT_ITERATIONS`,
        where such restarts converge, and on to the full budget only while
        it is still running and within `NESTED_CONTINUE` times the best
        chi-square. A restart that puts a large element back where the data
        have no room for it crawls through its whole budget far above the
        best fit. A start already restarted from (a revival of the nested fit
        that won) is not run again."""
        key = tuple(sorted(values.items()))
        if key in self.restarted:
            return
        self.restarted.add(key)
        scout = self.fit_from(values, start, fixed_values, offer=False, budget=NESTED_SCOUT_ITERATIONS)
        if scout is None:
            return
        if not scout.success and scout.chi_square < NESTED_CONTINUE * self.best.chi_square:
            self.fit_from(dict(scout.params), start, fixed_values)
        else:
            self.offer(scout, start, held=self.last_held)

    def try_start(self, values: Mapping[str, float], start: str, fixed_values: Dict[str, float]) -> None:
        """A scouting run from `values`, run on to the full tolerance when it
        ends within `SCOUT_SLACK` of the best fit so far."""
        scout = self.fit_from(values, start, fixed_values, scouting=True, offer=False)
        if scout is not None and scout.chi_square < self.best.chi_square * (1.0 + SCOUT_SLACK):
            self.fit_from(dict(scout.params), start, fixed_values)

    def nested_fit(self, way: Vanishing, fixed_values: Dict[str, float]) -> Optional[Any]:
        """The circuit without `way.element`, fitted from the best fit. The
        element's other parameters (a vanished CPE's exponent) are held too:
        they no longer act on the impedance, and left free the solver
        wanders along them to its iteration limit."""
        values = _inside({**self.best.params, way.parameter: way.value}, self.bounds, self.physical)
        label = way.element + "."
        gone = {name: value for name, value in values.items() if name.startswith(label)}
        held = {**self.on_bounds(values, {**fixed_values, **gone}), **gone}
        fitted = None
        for budget in (NESTED_SCOUT_ITERATIONS, NESTED_ITERATIONS):
            try:
                fitted = _core._screening_fit(self.circuit.with_named_values(values), self.frequencies,
                                              self.impedances, guess_init=False, **self.local_options(),
                                              fixed={**fixed_values, **held}, bounds=self.bounds,
                                              max_iterations=budget, ftol=NESTED_TOLERANCE, xtol=NESTED_TOLERANCE)
            except ValueError:
                return fitted
            if fitted.success or not fitted.chi_square < NESTED_CONTINUE * self.best.chi_square:
                break
            values = dict(fitted.params)
        return fitted


def _vanishing_allowed(way: Vanishing, fixed_values: Mapping[str, float], bounds: Optional[Mapping]) -> bool:
    # An element the user holds or bounds stays as the user put it.
    label = way.element + "."
    if any(name.startswith(label) for name in fixed_values):
        return False
    return not (bounds and any(name.startswith(label) for name in bounds))


def _nested_repair(search: _Search, fixed_values: Dict[str, float]) -> List[NestedFit]:
    plain = search.best
    names = search.circuit.param_names()
    nested: List[NestedFit] = []
    restarts: List[Tuple[Dict[str, float], str]] = []
    # Shorting an element that is a whole branch of a parallel group shorts
    # the group: one fit serves every such element of the group.
    branches = whole_branches(search.circuit.text)
    shorted: Dict[int, Any] = {}
    for way in vanishing_elements(search.circuit, search.frequencies, search.impedances, plain.params):
        if not _vanishing_allowed(way, fixed_values, search.bounds):
            continue
        group = branches.get(way.element) if way.how == "short" else None
        shared = shorted.get(group) if group is not None else None
        fitted = shared if shared is not None else search.nested_fit(way, fixed_values)
        if fitted is None:
            continue
        if group is not None:
            shorted[group] = fitted
        removed = sum(1 for name in names if name.startswith(way.element + "."))
        nested.append(NestedFit(way.description, fitted.chi_square, removed, way.element))
        search.nested_results[way.description] = fitted
        if shared is None and _better(fitted, plain):
            start = f"nested: {way.description}"
            search.offer(fitted, start, held=True)
            restarts.append((dict(fitted.params), start))
            restarts.append(({**fitted.params, way.parameter: way.restart_value}, start))
            restarts.append(({**fitted.params, way.parameter: way.full_value}, start))
    for values, start in restarts:
        search.restart(values, start, fixed_values)
    return nested


def _vanished(way: Vanishing, value: float) -> bool:
    """Whether `value` of `way.parameter` has the element all but gone the
    way `way` takes it out: its impedance below `VANISHED_SHARE` of the
    small size a restart brings it back at (above its inverse, for an open
    circuit), or at the value that takes it out. The solver leaves such a
    value a hair off the floor, not on it, and there it feels no more
    gradient than on the floor."""
    if not math.isfinite(value):
        return False
    toward_huge = way.restart_value < way.value
    if toward_huge:
        return value >= min(way.restart_value / VANISHED_SHARE, way.value)
    return value <= max(way.restart_value * VANISHED_SHARE, way.value)


def _vanished_elements(search: _Search) -> set:
    """The elements the best fit has let vanish."""
    best = search.best.params
    return {way.element for way in vanishing_elements(search.circuit, search.frequencies, search.impedances, best)
            if _vanished(way, best[way.parameter])}


def _revive(search: _Search, fixed_values: Dict[str, float]) -> None:
    """Restarts of the best fit with each element it has let vanish brought
    back, small and at full size (`kelvra.nesting`). An element that went
    to its floor early in a run is stuck there: at the floor the solver
    feels no gradient along it, whether or not the data need it. A better
    fit found so is revived in turn, up to `REVIVAL_ROUNDS` times: it can
    have let other elements vanish on its way."""
    for _ in range(REVIVAL_ROUNDS):
        search.release(fixed_values)
        best = search.best
        for way in vanishing_elements(search.circuit, search.frequencies, search.impedances, best.params):
            if _vanishing_allowed(way, fixed_values, search.bounds) and _vanished(way, best.params[way.parameter]):
                start = f"revived: {way.element}"
                for value in (way.restart_value, way.full_value):
                    search.restart({**best.params, way.parameter: value}, start, fixed_values)
        if search.best is best:
            break
    search.release(fixed_values)


def _drt_starts(search: _Search, fixed_values: Dict[str, float]) -> None:
    """Starts from the relaxation-time peaks: the circuit's parallel pairs,
    in the order of their time constants, at each choice of as many of the
    `DRT_PEAKS` largest peaks, also in time order (a single pair tries each
    peak: the largest is often a diffusion tail's, not the arc's); with
    fewer peaks than pairs, the largest peak for the pair with the largest
    resistance. A lone series resistance starts at the distribution's
    high-frequency resistance, an exponent on its bound at
    `DRT_EXPONENT`."""
    from . import drt

    best = search.best.params
    # A pair whose time constant the best fit leaves undefined (an exponent
    # of 0) sorts last.
    known = time_constants(search.circuit.text, best)
    constants = {what: known.get(what, math.inf) for what in parallel_pairs(search.circuit.text)}
    if not constants:
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the DRT's own notes on the data concern the fit no further
        try:
            found = drt.drt(search.frequencies, search.impedances, points_per_decade=DRT_POINTS_PER_DECADE)
        except (ValueError, ArithmeticError):
            return
    peaks = sorted(drt.peak_starts(found), key=lambda peak: -peak[1])[:DRT_PEAKS]
    if not peaks:
        return
    if len(peaks) >= len(constants):
        pairs = sorted(constants, key=lambda what: constants[what] if math.isfinite(constants[what]) else math.inf)
        choices = [sorted(chosen) for chosen in itertools.combinations(peaks, len(pairs))]
    else:
        pairs = sorted(constants, key=lambda what: -best[what.split("||")[0] + ".r"])
        choices = [peaks]
    series = [name for name in best if name.endswith(".r") and name[:-2] not in _parallel_labels(search.circuit.text)
              and tables.element_kind(re.match(r"[A-Za-z]+", name).group(0)).name == tables.element_kind("R").name]
    for chosen in choices:
        values = dict(best)
        if len(series) == 1 and found.r_inf > 0:
            values[series[0]] = found.r_inf
        for what, (tau, resistance) in zip(pairs, chosen):
            resistor, other = what.split("||")
            values[f"{resistor}.r"] = resistance
            if other.startswith("CPE"):
                alpha = values.get(f"{other}.alpha", DRT_EXPONENT)
                if search.on_bounds({f"{other}.alpha": alpha}, fixed_values):
                    alpha = values[f"{other}.alpha"] = DRT_EXPONENT
                values[f"{other}.q"] = tau ** alpha / resistance
            else:
                values[f"{other}.c"] = tau / resistance
        search.try_start(values, START_DRT, fixed_values)


def _log_uniform(rng: np.random.Generator, low: float, high: float) -> float:
    return float(10.0 ** rng.uniform(math.log10(low), math.log10(high)))


def _random_start(rng: np.random.Generator, search: _Search, ranges: Mapping[str, Tuple[float, float]],
                  band: Tuple[float, float, float, float]) -> Dict[str, float]:
    """A start drawn across what the spectrum allows: each open parameter
    log-uniformly over the values whose impedance, somewhere in the
    measured band, lies between a thousandth of the smallest and ten times
    the largest measured modulus (by the parameter's unit); exponents
    uniformly over [`LOWEST_EXPONENT`, upper bound]; other bounded
    parameters over their range; anything else within `GLOBAL_DECADES` of
    the best fit."""
    w_lo, w_hi, z_lo, z_hi = band
    small, large = z_lo * 1e-3, z_hi * 10.0
    values: Dict[str, float] = {}
    for name, (low, high) in ranges.items():
        if math.isfinite(high):
            if name.rsplit(".", 1)[-1] in _EXPONENTS:
                low = max(low, min(LOWEST_EXPONENT, high))
            values[name] = rng.uniform(low, high)
    for name, (low, high) in ranges.items():
        if name in values:
            continue
        label = name.rsplit(".", 1)[0]
        unit = search.units[name]
        exponent = next((values[f"{label}.{field}"] for field in _EXPONENTS if f"{label}.{field}" in values), 1.0)
        if unit == "ohm":
            value = _log_uniform(rng, small, large)
        elif unit == "F" or unit.startswith("ohm^-1*s^"):
            value = 1.0 / (_log_uniform(rng, small, large) * _log_uniform(rng, w_lo, w_hi) ** exponent)
        elif unit.startswith("H"):
            value = _log_uniform(rng, small, large) / _log_uniform(rng, w_lo, w_hi) ** exponent
        elif unit == "ohm*s^-0.5":
            value = _log_uniform(rng, small, large) * math.sqrt(_log_uniform(rng, w_lo, w_hi))
        elif unit == "s":
            value = 1.0 / _log_uniform(rng, w_lo, w_hi)
        else:
            best = search.best.params[name]
            value = max(abs(best), low) * 10.0 ** rng.uniform(-GLOBAL_DECADES, GLOBAL_DECADES)
        values[name] = max(value, low)
    return values


def _global_search(search: _Search, fixed_values: Dict[str, float], seed: int, starts: int) -> None:
    """`starts` seeded random starts (`_random_start`), each one short
    Levenberg-Marquardt run; the best of them is run again to convergence
    when it ended within `SCOUT_SLACK` of the best fit, as in `try_start`."""
    band = spectrum_band(search.frequencies, search.impedances)
    if band is None:
        return
    rng = np.random.default_rng(seed)
    ranges = fitted_bounds(search.circuit, search.bounds)
    found = []
    for _ in range(starts):
        values = _random_start(rng, search, ranges, band)
        # A short run is only a scout: the best one is run to convergence.
        result = search.fit_from(values, START_GLOBAL, fixed_values, scouting=True, offer=False)
        if result is not None:
            found.append(result)
    finite = [result for result in found if result.chi_square >= 0.0]
    if finite:
        winner = min(finite, key=lambda result: result.chi_square)
        if winner.chi_square < search.best.chi_square * (1.0 + SCOUT_SLACK):
            search.fit_from(dict(winner.params), START_GLOBAL, fixed_values)


def _learned_start(search: _Search, fixed_values: Dict[str, float], started_elsewhere: bool) -> None:
    """The learned guess as a start, where one serves the circuit's
    topology, and either the ordinary fit started elsewhere (the circuit's
    own values or the user's) or the guess puts a parameter on its bound,
    where the ordinary fit's run from it may have gone astray past the
    bound (`_Search.on_bounds`)."""
    try:
        guessed = dict(zip(search.circuit.param_names(),
                           search.circuit.guess(search.frequencies, search.impedances)))
    except (ValueError, AttributeError):
        return
    if started_elsewhere or search.on_bounds(guessed, fixed_values):
        search.try_start(guessed, START_LEARNED, fixed_values)


def robust_fit(circuit: Any, frequencies: Sequence[float], impedances: Sequence[complex], *,
               start: Optional[Mapping[str, float]] = None, fixed: Any = None,
               bounds: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]] = None,
               seed: Optional[int] = None, global_starts: int = GLOBAL_STARTS, search_always: bool = False,
               **options: Any) -> RobustFit:
    """The best of the ordinary fit and the starts described in the module
    documentation.

    Parameters
    ----------
    circuit : Circuit
    frequencies, impedances : the spectrum, as arrays.
    start, fixed, bounds : as ``Circuit.fit`` takes them; every start honours
        them.
    seed : the seed of the global search (default `DEFAULT_SEED`), and of the
        ordinary fit where its method is a seeded global one.
    global_starts : the global search's budget in starts; 0 leaves it out.
    search_always : run the global search on a trusted fit too (for
        reference searches).
    options : further ``Circuit.fit`` options. A method other than
        Levenberg-Marquardt is already a global search: the result is then
        that fit alone.

    Returns
    -------
    RobustFit

    Raises
    ------
    ValueError
        What ``Circuit.fit`` raises for the ordinary fit.
    """
    frequencies = np.asarray(frequencies, dtype=float)
    impedances = np.asarray(impedances, dtype=complex)
    seeded = options if seed is None else {**options, "seed": seed}  # the seed also serves a global method
    plain = circuit.fit(frequencies, impedances, start=start, fixed=fixed, bounds=bounds, **seeded)
    if options.get("method", tables.DEFAULT_METHOD) != tables.DEFAULT_METHOD:
        return RobustFit(plain, START_GIVEN, plain.chi_square, ())
    lm_options = {key: value for key, value in options.items() if key not in ("guess_init", "weights", "seed")}
    search = _Search(circuit, frequencies, impedances, fixed, bounds, lm_options)
    search.offer(plain, START_GIVEN)
    fixed_values = _fixed_values(fixed, plain.params)
    # Each stage hands the next a best fit with nothing held (`release`):
    # freed, a fit held on a bound can move on to a much lower minimum.
    _learned_start(search, fixed_values, bool(circuit.explicit_values or start or options.get("guess_init") is False))
    search.release(fixed_values)
    nested = _nested_repair(search, fixed_values)
    search.release(fixed_values)
    _revive(search, fixed_values)
    if search_always or _suspect(search, fixed_values, bounds, nested):
        _drt_starts(search, fixed_values)
        search.release(fixed_values)
    if global_starts > 0 and (search_always or _suspect(search, fixed_values, bounds, nested)):
        _global_search(search, fixed_values, DEFAULT_SEED if seed is None else seed, global_starts)
        search.release(fixed_values)
    return RobustFit(search.best, search.start, plain.chi_square, tuple(nested))


def fitted_bounds(circuit: Any, bounds: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]]
                  ) -> Dict[str, Tuple[float, float]]:
    """{name: (lower, upper)}: the circuit's physical bounds with the
    user's bounds put in where given."""
    out = dict(zip(circuit.param_names(), circuit.param_bounds()))
    for name, (low, high) in (bounds or {}).items():
        physical_low, physical_high = out[name]
        out[name] = (physical_low if low is None else low, physical_high if high is None else high)
    return out


def report_of(result: Any, frequencies: np.ndarray, impedances: np.ndarray, *, fixed: Any = None,
              bounds: Optional[Mapping] = None, **report_options: Any) -> FitReport:
    """The FitReport of `result`, its parameters marked fixed where held and
    bounded by the bounds the fit ran within."""
    held = list(fixed.keys()) if isinstance(fixed, Mapping) else list(fixed or ())
    report = FitReport.from_result(result, frequencies, impedances, fixed=held, **report_options)
    if not bounds:
        return report
    limits = fitted_bounds(result.circuit, bounds)
    parameters = tuple(replace(p, lower=limits[p.name][0], upper=limits[p.name][1]) for p in report.parameters)
    return replace(report, parameters=parameters, verdict=None)


def _suspect(search: _Search, fixed_values: Mapping[str, float], bounds: Optional[Mapping],
             nested: Sequence[NestedFit]) -> bool:
    """Whether the best fit so far looks like a local minimum: it did not
    converge, or a parameter is absurd or undetermined for no reason but
    where the fit stopped. The verdict's other reasons are not removed by a
    better minimum: systematic residuals, a low exponent or an element not
    needed say that the circuit does not suit the data, and a parameter on a
    bound is a minimum on the boundary. So is a parameter undetermined on
    its bound. Where the residuals are at the noise (not systematic), so is
    a parameter undetermined or absurd in an element a nested fit shows the
    data do not need: such an element has left the circuit by running to a
    limit (a parallel resistance to an open circuit), the data cannot pin
    down what they do not show, and a fit at the noise leaves no room for a
    better minimum. With systematic residuals such a fit can be a local
    minimum in which the elements the data need have given up: it is
    searched further."""
    if search.suspect_of is search.best:
        return search.suspect
    report = report_of(search.best, search.frequencies, search.impedances, fixed=list(fixed_values), bounds=bounds)
    reasons = judge(report, nested).reasons
    systematic = any(reason.startswith(SYSTEMATIC) for reason in reasons)
    unneeded = [] if systematic else not_needed(report, nested)
    explained = {fit.element for fit in unneeded}
    # Systematic residuals beside an element the data do not need though it
    # has not vanished (revival has tried those): the circuit has an element
    # to spare yet misses the data's shape, so the fit has likely left that
    # element where it does nothing.
    found = systematic and bool({fit.element for fit in not_needed(report, nested)} - _vanished_elements(search))
    for reason in reasons:
        if found:
            break
        if reason in LOCAL_MINIMUM_REASONS:
            found = True
        elif reason.endswith(f" {FLAG_UNDETERMINED}"):
            name = reason[:-len(FLAG_UNDETERMINED) - 1]
            parameter = next(p for p in report.parameters if p.name == name)
            found = not ((parameter.on_bound and not systematic) or name.rsplit(".", 1)[0] in explained
                         or any(_determined(search.nested_results.get(fit.description), name)
                                for fit in unneeded))
        elif " absurd (" in reason:
            found = not _absurd_elements(reason) & explained
    search.suspect_of, search.suspect = search.best, found
    return found


def _determined(result: Any, name: str) -> bool:
    """Whether `result` (a nested fit, or None) determines parameter
    `name`: where the full fit's parameters are undetermined only because an
    element it does not need ran off to a limit, the nested fit without that
    element determines them."""
    if result is None or not result.stderr or name not in result.stderr:
        return False
    error = result.stderr[name]
    return math.isfinite(error) and error <= UNDETERMINED_RELATIVE_STDERR * abs(result.params[name])


def _absurd_elements(reason: str) -> set:
    """The elements an absurd-value reason of the verdict names: "R1.r
    absurd (...)" R1, "time constant of R1||CPE1 absurd (...)" R1 and CPE1."""
    what = reason[:reason.index(" absurd (")].removeprefix("time constant of ")
    return {part.rsplit(".", 1)[0] for part in what.split("||")}
