"""Which circuit describes a spectrum: every built-in model fitted and ranked.

`rank` fits each of the built-in models from its learned starting values,
together with any candidates the caller adds, and sorts the fits by the
Bayesian information criterion (BIC) or, on request, the Akaike criterion
(AIC); `rank_many` does the same for many spectra.

This module holds the API and its types; the information criteria and
flags are in `kelvra._criteria` (see there for the formulas and their
references), the search strategy in `kelvra._search`.
"""

import math
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple

from . import tables
from ._criteria import CRITERIA, FLAG_NO_GUESS, information_criteria, parameter_flags as _flags  # noqa: F401


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
        """The fit ran and converged, with no flag on any parameter or on the fit."""
        return self.success and not self.flags and not self.error

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
                   "success": fit.success, "trusted": fit.trusted, "flags": fit.flag_text(), "error": fit.error}
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
                 f"{delta:>8}  {'chi-square':>11}  success  trusted  flags"]
        for fit, difference in zip(self.fits, self._deltas(self.criterion)):
            notes = fit.error or fit.flag_text()
            lines.append(f"  {fit.rank:>4}  {fit.model:<{model_width}}  {fit.circuit:<{width}}  {fit.aic:>10.2f}  "
                         f"{fit.bic:>10.2f}  {difference:>8.2f}  {fit.chi_square:>11.4e}  "
                         f"{'yes' if fit.success else 'NO':<7}  {'yes' if fit.trusted else 'no':<7}  {notes}".rstrip())
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


# --- spectra ----------------------------------------------------------------------

def _spectrum(spectrum, impedances=None):
    """(frequencies, impedances, source, sweep) of anything `kelvra.io.as_spectrum` accepts."""
    from .io import as_spectrum

    measured = as_spectrum(spectrum, impedances)
    return measured.frequencies, measured.impedances, measured.source, measured.sweep


def rank(frequencies, impedances=None, candidates=None, *, builtin=True, criterion="bic", workers=None,
         **fit_options):
    """Fit every built-in model (and each extra candidate) to one spectrum and rank the fits.

    Each candidate is fitted by one Levenberg-Marquardt run from its start,
    the ones that can win are refined at the full tolerance, and a model
    that ends worse than a model nested in it is restarted from that model's
    fit.

    Parameters
    ----------
    frequencies : Spectrum, dataframe, pair or sequence
        Anything `kelvra.io.as_spectrum` accepts: a spectrum read from a
        file as the only argument, or the frequencies (Hz) with `impedances`.
    impedances : sequence of complex, optional
    candidates : sequence of str or Circuit, optional
        Circuits to rank besides the built-in models. A Circuit with explicit
        values starts from them; any other candidate from the learned guess
        where a model serves its topology, and from placeholder values
        (flagged "no_learned_guess") where none does.
    builtin : bool
        False leaves the built-in models out.
    criterion : {"bic", "aic"}
        The information criterion that orders the fits. AIC penalises each
        parameter less (2 instead of ln m) and so more often prefers a larger
        model that fits only slightly better.
    workers : int, optional
        Fitting threads (default: every usable core).
    **fit_options
        ``weight`` and ``jacobian`` are the fit options the fast path
        takes; its fits take the analytic Jacobian (``jacobian="analytic"``)
        unless told otherwise. Any other (``method``, ``max_iterations``,
        ...) fits every candidate with ``Circuit.fit`` and those options
        instead: thorough, but about ten times slower; their runs end once
        chi-square has settled, they join an earlier start's path or they
        lag behind the earlier starts' best (``early_stop="lagging"``) and take the analytic Jacobian unless
        ``early_stop`` or ``jacobian`` say otherwise.

    Returns
    -------
    Ranking
        The fits, best (lowest criterion) first; a failed fit ranks last.

    Raises
    ------
    kelvra.io.PointError
        The spectrum has a point no fit can use.
    ValueError
        An unknown criterion, no candidates, or a candidate that is no circuit.

    References
    ----------
    The criteria and their assumptions are described in `kelvra._criteria`
    (Akaike 1974, Schwarz 1978).
    """
    from ._search import rank_prepared

    return rank_prepared([_spectrum(frequencies, impedances)], candidates, builtin, criterion, workers, False,
                         fit_options)[0]


def rank_many(spectra, candidates=None, *, builtin=True, criterion="bic", workers=None, progress=None,
              **fit_options):
    """`rank` for each of many spectra.

    Parameters
    ----------
    spectra : iterable
        Items `kelvra.io.as_spectrum` accepts: ``kelvra.io.Spectrum`` objects
        or (frequencies, impedances) pairs.
    candidates, builtin, criterion, workers, **fit_options
        As for `rank`.
    progress : bool, optional
        A progress bar, as in `kelvra.batch.fit_many`.

    Returns
    -------
    list of Ranking
        One per spectrum, in input order. Every fit of every spectrum is one
        task on the shared threads.

    Raises
    ------
    kelvra.io.PointError
        A spectrum has a point no fit can use; coerce the spectra one by one
        with `kelvra.io.as_spectrum` first to leave such spectra out.
    """
    from ._search import rank_prepared

    return rank_prepared([_spectrum(item) for item in spectra], candidates, builtin, criterion, workers,
                         progress, fit_options)


def builtin_models():
    """{name: topology} of the built-in models, in table order."""
    return {model.name: model.topology for model in tables.MODELS.values()}


def __getattr__(name):
    # The search's settings and helpers, where callers of this module found them.
    from . import _search

    try:
        return getattr(_search, name)
    except AttributeError:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None
