"""Which circuit describes a spectrum: every built-in model fitted and ranked.

`rank` fits each of the built-in models from its learned starting values,
together with any candidates the caller adds, and sorts the fits by the
Bayesian information criterion (BIC) or, on request, the Akaike criterion
(AIC); `rank_many` does the same for many spectra.

Information criteria. The fit minimises chi-square, the sum of the m = 2K
squared weighted residuals of K points (real and imaginary parts; with the
default "modulus" weighting they are relative residuals). Taking those
residuals as independent Gaussian errors of one common variance, estimated
from the fit itself as sigma^2 = chi-square / m, the maximised
log-likelihood is -m/2 (ln(2 pi sigma^2) + 1), and with k = n + 1 estimated
quantities (n circuit parameters and the variance):

    AIC = m ln(2 pi chi-square / m) + m + 2 k
    BIC = m ln(2 pi chi-square / m) + m + k ln m

Only differences between models fitted to the same spectrum mean anything:
a model whose AIC is lower by more than about 2 is supported by the data
over the other, while a difference below 2 does not separate them.

BIC is the default. The built-in models nest in one another (a CPE exponent
at 1 is a capacitor, an inductance at 0 is no inductance), and an element a
spectrum does not need still lowers chi-square by a noise-sized amount,
which beats AIC's penalty of 2 on about one spectrum in six; BIC's penalty
of ln m (4.6 on 100 residuals) lets that happen about one time in thirty.
On synthetic spectra with 0.5 % noise (bench/rank_bench.py) BIC names the
true topology more often than AIC, both over every spectrum and over those
where every element leaves a visible mark.
"""

import math
import re
from dataclasses import dataclass, field, replace
from typing import Any, Dict, Optional, Tuple

import numpy as np

from . import _core, tables
from ._threads import map_in_threads, thread_count
from .report import ParameterFit

FLAG_NO_GUESS = "no_learned_guess"

TWO_PI = 6.283185307179586


@dataclass(frozen=True)
class RankedFit:
    """One candidate's fit to one spectrum, with its place in the ranking.

    `model` is the built-in model's name, empty for a candidate of the
    caller's. `flags` maps each parameter a careful user would distrust to
    the reasons ("undetermined", "on_bound", "low_exponent"); the key "" holds
    reasons that concern the whole fit ("no_learned_guess" when no trained
    model served the candidate and it started from placeholder values).
    `error` is the message of a fit that failed, whose figures are then NaN
    and which ranks last.
    """

    rank: int
    circuit: str
    model: str
    aic: float
    bic: float
    chi_square: float
    n_params: int
    n_residuals: int
    params: Dict[str, float]
    stderr: Dict[str, float]
    flags: Dict[str, Tuple[str, ...]]
    success: bool
    error: str = ""
    fitted: Optional[Any] = field(default=None, repr=False, compare=False)

    @property
    def trusted(self):
        """No flag on any parameter or on the fit, and the fit ran."""
        return not self.flags and not self.error

    def flag_text(self):
        """The flags as one string: "name:reason+reason" items joined by spaces."""
        return " ".join(f"{name}:{'+'.join(reasons)}" if name else "+".join(reasons)
                        for name, reasons in self.flags.items())


@dataclass(frozen=True)
class Ranking:
    """The ranked fits of one spectrum, best (lowest `criterion`) first."""

    fits: Tuple[RankedFit, ...]
    criterion: str = "bic"
    source: str = ""
    sweep: int = 0

    @property
    def best(self):
        return self.fits[0]

    def __iter__(self):
        return iter(self.fits)

    def __len__(self):
        return len(self.fits)

    def delta_aic(self):
        """AIC of each fit minus the lowest AIC, in rank order."""
        return self._deltas("aic")

    def delta_bic(self):
        """BIC of each fit minus the lowest BIC, in rank order."""
        return self._deltas("bic")

    def _deltas(self, criterion):
        values = [getattr(fit, criterion) for fit in self.fits]
        lowest = min((value for value in values if not math.isnan(value)), default=math.nan)
        return [value - lowest for value in values]

    def rows(self):
        """One flat record per fit in rank order, for a table: the spectrum,
        the figures, the flags, then each parameter's value under its name
        and its standard error under the name followed by "_stderr"."""
        rows = []
        for fit, delta_aic, delta_bic in zip(self.fits, self.delta_aic(), self.delta_bic()):
            row = {"file": self.source, "sweep": self.sweep, "rank": fit.rank, "circuit": fit.circuit,
                   "model": fit.model, "aic": fit.aic, "bic": fit.bic, "chi_square": fit.chi_square,
                   "delta_aic": delta_aic, "delta_bic": delta_bic, "n_params": fit.n_params,
                   "success": fit.success, "flags": fit.flag_text(), "error": fit.error}
            for name, value in fit.params.items():
                row[name] = value
                row[f"{name}_stderr"] = fit.stderr.get(name, math.nan)
            rows.append(row)
        return rows

    def __str__(self):
        return self.text()

    def text(self):
        """The ranking as a table for a terminal, one line per fit, with the
        ranking criterion's difference to the best."""
        heading = f"{self.source} (sweep {self.sweep})" if self.source else "spectrum"
        width = max(len("circuit"), *(len(fit.circuit) for fit in self.fits))
        model_width = max(len("model"), *(len(fit.model) for fit in self.fits))
        delta = "d" + self.criterion.upper()
        lines = [heading,
                 f"  {'rank':>4}  {'model':<{model_width}}  {'circuit':<{width}}  {'AIC':>10}  {'BIC':>10}  "
                 f"{delta:>8}  {'chi-square':>11}  flags"]
        for fit, difference in zip(self.fits, self._deltas(self.criterion)):
            notes = fit.error or fit.flag_text()
            lines.append(f"  {fit.rank:>4}  {fit.model:<{model_width}}  {fit.circuit:<{width}}  {fit.aic:>10.2f}  "
                         f"{fit.bic:>10.2f}  {difference:>8.2f}  {fit.chi_square:>11.4e}  {notes}".rstrip())
        return "\n".join(lines)

    def summary(self):
        """One line: the spectrum and the best fit, with its lead over the runner-up."""
        heading = f"{self.source} (sweep {self.sweep})" if self.source else "spectrum"
        best = self.best
        if best.error:
            return f"{heading}: no fit ({best.error})"
        deltas = self._deltas(self.criterion)
        lead = f", d{self.criterion.upper()} {deltas[1]:.2f} to the next" if len(deltas) > 1 else ""
        trust = "" if best.trusted else f", flags {best.flag_text()}"
        return f"{heading}: best {best.model or best.circuit} ({best.circuit}){lead}{trust}"

    def table(self):
        """The rows as a pandas DataFrame."""
        import pandas

        return pandas.DataFrame(self.rows())

    to_frame = table

    def __repr__(self):
        return (f"Ranking({len(self.fits)} fits, best={self.best.model or self.best.circuit!r}, "
                f"criterion={self.criterion!r}" + (f", source={self.source!r}, sweep={self.sweep})" if self.source
                                                    else ")"))

    def _repr_html_(self):
        import html

        columns = ("rank", "model", "circuit", "aic", "bic", "chi_square", "flags")
        deltas = self._deltas(self.criterion)
        head = "".join(f"<th>{name}</th>" for name in columns) + f"<th>d{self.criterion.upper()}</th>"
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(str(value))}</td>" for value in (
                fit.rank, fit.model, fit.circuit, f"{fit.aic:.2f}", f"{fit.bic:.2f}", f"{fit.chi_square:.4e}",
                fit.error or fit.flag_text())) + f"<td>{delta:.2f}</td></tr>" for fit, delta in zip(self.fits, deltas))
        heading = html.escape(f"{self.source} (sweep {self.sweep})" if self.source else "spectrum")
        return f"<p>{heading}</p><table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def information_criteria(chi_square, n_residuals, n_params):
    """(AIC, BIC) of a least-squares fit, with the residual variance
    estimated from the fit (see the module's documentation). A NaN
    chi-square gives NaN; an exact fit, -inf."""
    if not chi_square >= 0.0:
        return math.nan, math.nan
    k = n_params + 1
    m = n_residuals
    fit_term = m * math.log(TWO_PI * chi_square / m) + m if chi_square > 0.0 else -math.inf
    return fit_term + 2 * k, fit_term + k * math.log(m)


# --- candidates ---------------------------------------------------------------

@dataclass(frozen=True)
class _Candidate:
    circuit: Any
    model: str
    # False when no trained model serves the topology: the fit then starts
    # from the circuit's own values instead of warning on every spectrum.
    guess_init: Optional[bool] = None
    placeholder_start: bool = False


def builtin_models():
    """{name: topology} of the built-in models, in table order."""
    return {model.name: model.topology for model in tables.MODELS.values()}


def _candidates(extra, include_builtin):
    candidates = []
    if include_builtin:
        candidates.extend(_Candidate(_core.Circuit(name), name) for name in builtin_models())
    for item in extra or ():
        if isinstance(item, str):
            candidates.append(_Candidate(_core.Circuit(item), ""))
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
        circuit = candidate.circuit
        defaults = _core.Circuit(circuit.text).param_values()
        return replace(candidate, guess_init=False, placeholder_start=circuit.param_values() == defaults)


# --- one fit ----------------------------------------------------------------------

def _flags(circuit, params, stderr):
    """{name: flags} of the flagged parameters, by the one rule of `kelvra.report.ParameterFit`."""
    flags = {}
    for name, unit, (low, high) in zip(circuit.param_names(), circuit.param_units(), circuit.param_bounds()):
        reasons = ParameterFit(name, params[name], stderr.get(name, math.nan), unit, low, high).flags
        if reasons:
            flags[name] = reasons
    return flags


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
SCREENING_OPTIONS = frozenset({"weight"})
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


def _screened(candidate, frequencies, impedances, fit_options):
    return _core._screening_fit(candidate.circuit, frequencies, impedances, guess_init=candidate.guess_init,
                                ftol=SCREENING_TOLERANCE, xtol=SCREENING_TOLERANCE,
                                max_iterations=SCREENING_ITERATIONS, **fit_options)


def _full_fit(candidate, frequencies, impedances, fit_options):
    options = {"early_stop": tables.MANY_FITS_EARLY_STOP, **fit_options}
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
    except ValueError as error:
        return RankedFit(0, text, candidate.model, math.nan, math.nan, math.nan, n_params, n_residuals,
                         {}, {}, {}, False, str(error))
    fitted = result.circuit
    params = result.params
    stderr = result.stderr or {}
    flags = _flags(fitted, params, stderr)
    if candidate.placeholder_start:
        flags[""] = (FLAG_NO_GUESS,)
    aic, bic = information_criteria(result.chi_square, n_residuals, n_params)
    names = fitted.param_names()
    return RankedFit(0, fitted.text, candidate.model, aic, bic, result.chi_square, n_params,
                     n_residuals, {name: params[name] for name in names},
                     {name: stderr.get(name, math.nan) for name in names}, flags, result.success,
                     fitted=fitted)


CRITERIA = ("aic", "bic")


def _ranked(fits, criterion, source="", sweep=0):
    # NaN (a failed fit) sorts after every number; ties keep candidate order.
    values = [getattr(fit, criterion) for fit in fits]
    order = sorted(range(len(fits)), key=lambda i: (math.isnan(values[i]), values[i], i))
    ranked = tuple(replace(fits[i], rank=position + 1) for position, i in enumerate(order))
    return Ranking(ranked, criterion, source, sweep)


# --- spectra ----------------------------------------------------------------------

def _spectrum(spectrum, impedances=None):
    """(frequencies, impedances, source, sweep) of anything `kelvra.io.as_spectrum` accepts."""
    from .io import as_spectrum

    measured = as_spectrum(spectrum, impedances)
    return measured.frequencies, measured.impedances, measured.source, measured.sweep


def _map(task, count, workers, progress):
    """task(0..count-1) on the batch threads, results in index order."""
    return map_in_threads(task, count, thread_count(workers), progress)


def rank(frequencies, impedances=None, candidates=None, *, builtin=True, criterion="bic", workers=None,
         **fit_options):
    """Fits every built-in model (and each extra candidate) to one spectrum
    and returns a `Ranking`, best first.

    The spectrum is frequencies with impedances, or a `kelvra.io.Spectrum`
    as the only argument. `candidates` adds circuit strings or Circuits; a
    Circuit with explicit values starts from them, any other candidate from
    the learned guess where a model serves its topology and from placeholder
    values (flagged "no_learned_guess") where none does. `builtin=False`
    leaves the built-in models out. `criterion` "aic" ranks by AIC instead
    of BIC, which penalises each parameter less (2 instead of ln m) and so
    more often prefers a larger model that fits only slightly better.

    Each candidate is fitted by one Levenberg-Marquardt run from its start,
    and the ones that can win are refined at the full tolerance; `weight` is
    the only fit option this fast path takes. Any other option in
    `fit_options` (a `method`, `max_iterations`, ...) fits every candidate
    with `Circuit.fit` and those options instead, which is thorough but
    costs ten times more; those fits stop at a repeated result as well
    (early_stop="repeat") unless `early_stop` says otherwise. The fits run on `workers` threads (default: every
    usable core).
    """
    return _rank_prepared([_spectrum(frequencies, impedances)], candidates, builtin, criterion, workers, False,
                          fit_options)[0]


def rank_many(spectra, candidates=None, *, builtin=True, criterion="bic", workers=None, progress=None,
              **fit_options):
    """`rank` for each of many spectra; returns one `Ranking` per spectrum,
    in input order. `spectra` holds (frequencies, impedances) pairs or
    `kelvra.io.Spectrum`s. Every fit of every spectrum is one task on the
    batch threads; `progress` shows a bar as in `kelvra.batch.fit_many`."""
    return _rank_prepared([_spectrum(item) for item in spectra], candidates, builtin, criterion, workers,
                          progress, fit_options)


def _rank_prepared(prepared, candidates, builtin, criterion, workers, progress, fit_options):
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
                                                     **fit_options))

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
    vanishing = {"r": scale, "z0": scale, "l": scale / highest, "aw": scale * math.sqrt(lowest)}
    values = inner.params
    start = []
    for name, value, (floor, _) in zip(outer.param_names(), outer.param_values(), outer.param_bounds()):
        label, field = name.split(".")
        kind, number = _ELEMENT_LABEL.fullmatch(label).groups()
        capacitor = f"C{number}.c"
        if name in values:
            start.append(values[name])
        elif kind == "CPE" and capacitor in values:
            start.append(values[capacitor] if field == "q" else 1.0)
        elif field in vanishing:
            start.append(max(vanishing[field], floor))
        else:
            start.append(value)
    return outer.with_values(start)
