"""How `kelvra.ranking` fits its candidates: a screen, a nesting repair and a refinement.

Every candidate is first screened with one Levenberg-Marquardt run from its
start. A built-in model whose screened fit is worse than that of a model
nested in it (the core derives the nesting from the topologies) stopped in a
local minimum and is restarted from the nested model's fit. The candidates
that can still win are refined at the full fit's tolerance.
"""
import math
import re
from dataclasses import dataclass, replace
from typing import Any, Optional

import numpy as np

from . import _core, tables
from ._criteria import CRITERIA, FLAG_NO_GUESS, TWO_PI, information_criteria, parameter_flags
from ._threads import map_in_threads, thread_count
from .ranking import RankedFit, Ranking


# --- candidates ---------------------------------------------------------------

@dataclass(frozen=True)
class _Candidate:
    circuit: Any
    model: str
    # False when no trained model serves the topology: the fit then starts
    # from the circuit's own values instead of warning on every spectrum.
    guess_init: Optional[bool] = None
    placeholder_start: bool = False


def _candidates(extra, include_builtin):
    candidates = []
    if include_builtin:
        candidates.extend(_Candidate(_core.Circuit(name), name) for name in tables.MODELS)
    for item in extra or ():
        if isinstance(item, str):
            candidates.append(_Candidate(tables.make_circuit(item), ""))
        elif isinstance(item, _core.Circuit):
            candidates.append(_Candidate(item, ""))
        else:
            raise TypeError(f"a candidate is a circuit string or a Circuit, not {type(item).__name__}")
    if not candidates:
        raise ValueError("no candidates to rank")
    return candidates


def _without_guess_where_none_serves(candidate, frequencies, impedances):
    """The candidate, set to start from its own values when no trained model
    serves its topology; `placeholder_start` records whether those values
    are only the elements' defaults."""
    if candidate.model:
        return candidate
    try:
        candidate.circuit.guess(frequencies, impedances)
        return candidate
    except ValueError:
        return replace(candidate, guess_init=False, placeholder_start=not candidate.circuit.explicit_values)


def _map(task, count, workers, progress):
    """task(0..count-1) on the batch threads, results in index order."""
    return map_in_threads(task, count, thread_count(workers), progress)

# --- one fit ----------------------------------------------------------------------

# Ranking screens every candidate with one Levenberg-Marquardt run from its
# start (the learned guess or its own values) instead of the full fit, which
# retries up to eight more starts whenever a result is implausible: that is
# every time for a circuit with an element the spectrum does not need, and
# most of the cost of a ranking. The run stops once chi-square settles to
# this relative tolerance instead of crawling such an element towards zero
# for hundreds of iterations; it leaves chi-square within about 1 % of where
# the full tolerance would, under one AIC unit on 100 residuals.
SCREENING_TOLERANCE = 1e-6
# Screened candidates within this many criterion units of the best get a
# short run more at the full fit's tolerance, so that the order among the
# circuits that can win is exact.
CONTENDER_MARGIN = 4.0
CONTENDER_TOLERANCE = 1e-8
CONTENDER_ITERATIONS = 20
# The fit options screening honours; any other sends every candidate
# through the full `Circuit.fit` with those options.
SCREENING_OPTIONS = frozenset({"weight", "jacobian"})
# `Circuit.fit`'s default iteration budget, which screening keeps.
SCREENING_ITERATIONS = 200

# The simpler built-in models nested in each one, as the core derives them
# from the topologies: a limit of its parameters (an element shorted at its
# floor, an exponent at 1) gives them. A model can therefore always fit at
# least as well as every model nested in it; when its screened fit does not,
# that fit stopped in a local minimum, and it is restarted from the nested
# model's fit.
NESTED = {model.name: model.nested for model in tables.MODELS.values()}
# How much more chi-square than a nested model's a screened fit may keep
# before it counts as stuck: the screening tolerance accounts for under 1 %.
NESTING_SLACK = 0.02
# The restarts put each element the nested model lacks at about these
# shares of the smallest measured modulus. At its floor (0) the start
# reproduces the nested fit, so the restart cannot end worse than it, but
# the element has almost no gradient to grow along; at a tenth it is near
# the nested fit yet large enough for the solver to feel.
EMBEDDING_SHARES = (0.0, 0.1)
_ELEMENT_LABEL = re.compile(r"([A-Za-z]+)(\d*)")


def _with_batch_jacobian(fit_options):
    return {"jacobian": tables.MANY_FITS_JACOBIAN, **fit_options}


def _screened(candidate, frequencies, impedances, fit_options):
    return _core._screening_fit(candidate.circuit, frequencies, impedances, guess_init=candidate.guess_init,
                                ftol=SCREENING_TOLERANCE, xtol=SCREENING_TOLERANCE,
                                max_iterations=SCREENING_ITERATIONS, **_with_batch_jacobian(fit_options))


def _full_fit(candidate, frequencies, impedances, fit_options):
    options = {**tables.MANY_FITS_OPTIONS, **fit_options}
    if candidate.guess_init is not None:
        options["guess_init"] = False
    return candidate.circuit.fit(frequencies, impedances, **options)


def _fit_one(candidate, frequencies, impedances, fit):
    """The unranked fit of one candidate, `fit()` giving its FitResult, or
    its failure as a fit with an error."""
    circuit = candidate.circuit
    n_params = len(circuit.param_names())
    n_residuals = 2 * len(frequencies)
    text = circuit.text
    try:
        result = fit()
    except Exception as error:  # this candidate's failure, in its own row; the others go on
        return RankedFit(0, text, candidate.model, math.nan, math.nan, math.nan, n_params, n_residuals,
                         {}, {}, {}, False, str(error))
    fitted = result.circuit
    params = result.params
    stderr = result.stderr or {}
    flags = parameter_flags(fitted, params, stderr)
    if candidate.placeholder_start:
        flags[""] = (FLAG_NO_GUESS,)
    aic, bic = information_criteria(result.chi_square, n_residuals, n_params)
    names = fitted.param_names()
    return RankedFit(0, fitted.text, candidate.model, aic, bic, result.chi_square, n_params,
                     n_residuals, {name: params[name] for name in names},
                     {name: stderr.get(name, math.nan) for name in names}, flags, result.success,
                     fitted=fitted)


def _ranked(fits, criterion, source="", sweep=0):
    # NaN (a failed fit) sorts after every number, and a fit that did not
    # converge after every one that did, whatever its criterion: its figure
    # is where the solver gave up, not a minimum. Ties keep candidate order.
    values = [getattr(fit, criterion) for fit in fits]
    order = sorted(range(len(fits)), key=lambda i: (math.isnan(values[i]), not fits[i].success, values[i], i))
    ranked = tuple(replace(fits[i], rank=position + 1) for position, i in enumerate(order))
    return Ranking(ranked, criterion, source, sweep)


def rank_prepared(prepared, candidates, builtin, criterion, workers, progress, fit_options):
    if criterion not in CRITERIA:
        raise ValueError(f"unknown criterion {criterion!r}, expected one of {', '.join(CRITERIA)}")
    pool = _candidates(candidates, builtin)
    if prepared:
        pool = [_without_guess_where_none_serves(candidate, *prepared[0][:2]) for candidate in pool]
    per_spectrum = len(pool)
    screen = set(fit_options) <= SCREENING_OPTIONS
    first_fit = _screened if screen else _full_fit

    def task(index):
        frequencies, impedances, _, _ = prepared[index // per_spectrum]
        candidate = pool[index % per_spectrum]
        return _fit_one(candidate, frequencies, impedances,
                        lambda: first_fit(candidate, frequencies, impedances, fit_options))

    fits = _map(task, len(prepared) * per_spectrum, workers, progress)
    if screen:
        _repair_nesting(fits, prepared, pool, workers, fit_options)
        _refine_contenders(fits, prepared, pool, criterion, workers, fit_options)
    return [_ranked(fits[i * per_spectrum:(i + 1) * per_spectrum], criterion, source, sweep)
            for i, (_, _, source, sweep) in enumerate(prepared)]


def _refine_contenders(fits, prepared, pool, criterion, workers, fit_options):
    """Refines in place each screened fit within CONTENDER_MARGIN of its
    spectrum's best."""
    per_spectrum = len(pool)
    restarts = []
    for first in range(0, len(fits), per_spectrum):
        values = [getattr(fit, criterion) for fit in fits[first:first + per_spectrum]]
        best = min((value for value in values if not math.isnan(value)), default=math.nan)
        restarts.extend((first + offset, fits[first + offset].fitted) for offset, value in enumerate(values)
                        if value <= best + CONTENDER_MARGIN)
    _restart(fits, restarts, prepared, pool, workers, fit_options, CONTENDER_TOLERANCE, CONTENDER_ITERATIONS)


def _repair_nesting(fits, prepared, pool, workers, fit_options):
    """Restarts in place each built-in model whose screened chi-square is
    worse than that of a model nested in it, from that model's fit (once for
    each of EMBEDDING_SHARES)."""
    per_spectrum = len(pool)
    restarts = []
    for first in range(0, len(fits), per_spectrum):
        by_model = {pool[offset].model: first + offset for offset in range(per_spectrum) if pool[offset].model}
        for model, index in by_model.items():
            nested = [fits[by_model[name]] for name in NESTED.get(model, ()) if name in by_model]
            nested = [fit for fit in nested if fit.chi_square >= 0.0]
            if not nested:
                continue
            best = min(nested, key=lambda fit: fit.chi_square)
            if not fits[index].chi_square <= best.chi_square * (1.0 + NESTING_SLACK):
                frequencies, impedances, _, _ = prepared[index // per_spectrum]
                outer = fits[index].fitted or pool[index % per_spectrum].circuit
                restarts.extend((index, _embedded(best, outer, frequencies, impedances, share))
                                for share in EMBEDDING_SHARES)
    _restart(fits, restarts, prepared, pool, workers, fit_options, SCREENING_TOLERANCE, SCREENING_ITERATIONS)


def _restart(fits, restarts, prepared, pool, workers, fit_options, tolerance, iterations):
    """Runs each (index, start) of `restarts` once more from the circuit
    `start`, and keeps the run where it lowers the fit's chi-square."""
    per_spectrum = len(pool)

    def task(position):
        index, start = restarts[position]
        frequencies, impedances, _, _ = prepared[index // per_spectrum]
        return _fit_one(pool[index % per_spectrum], frequencies, impedances,
                        lambda: _core._screening_fit(start, frequencies, impedances, guess_init=False,
                                                     ftol=tolerance, xtol=tolerance, max_iterations=iterations,
                                                     **_with_batch_jacobian(fit_options)))

    for (index, _), rerun in zip(restarts, _map(task, len(restarts), workers, False)):
        old = fits[index].chi_square
        if rerun.chi_square < old or (math.isnan(old) and not math.isnan(rerun.chi_square)):
            fits[index] = rerun


def _embedded(inner, outer, frequencies, impedances, share):
    """The circuit `outer` with the values of `inner`, a fit of a model
    nested in it: shared parameters copied, a CPE taking the capacitance of
    the capacitor it replaces with exponent 1, and each element `inner`
    lacks set to contribute about `share` of the smallest measured modulus,
    or to its floor for a share of 0; other parameters keep `outer`'s
    values."""
    # Only points with a positive frequency and a finite, nonzero modulus say
    # how small is small; without any, the elements start at their floors.
    omega = TWO_PI * np.asarray(frequencies, dtype=float)
    moduli = np.abs(np.asarray(impedances, dtype=complex))
    usable = np.isfinite(omega) & (omega > 0.0) & np.isfinite(moduli) & (moduli > 0.0)
    if usable.any():
        scale = share * float(moduli[usable].min())
        lowest, highest = float(omega[usable].min()), float(omega[usable].max())
    else:
        scale, lowest, highest = 0.0, 1.0, 1.0
    # The size of a vanishing field that gives |Z| about `scale` inside the
    # band, by its unit: a resistance as it is, an inductance at the highest
    # frequency, a Warburg coefficient at the lowest.
    sizes = {"ohm": scale, "H": scale / highest, "ohm*s^-0.5": scale * math.sqrt(lowest)}
    values = inner.params
    start = []
    for name, value, unit, (floor, _) in zip(outer.param_names(), outer.param_values(), outer.param_units(),
                                             outer.param_bounds()):
        label, field = name.split(".")
        code, number = _ELEMENT_LABEL.fullmatch(label).groups()
        kind = tables.element_kind(code)
        # The element of integer order this one becomes with its exponent at 1.
        reduced = tables.ELEMENT_KINDS[kind.exponent_one_kind] if kind.exponent_one_kind else None
        reduced_name = f"{reduced.code}{number}.{reduced.fields[0]}" if reduced else ""
        if name in values:
            start.append(values[name])
        elif reduced_name in values:
            start.append(1.0 if field == kind.exponent_field else values[reduced_name])
        elif field == kind.vanishing_field and unit in sizes:
            start.append(max(sizes[unit], floor))
        else:
            start.append(value)
    return outer.with_values(start)
