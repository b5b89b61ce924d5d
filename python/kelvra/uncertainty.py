"""How well a fit pins down its parameters: covariance, correlation and intervals.

`linearised` reads them from the Jacobian of the weighted residuals at the
optimum, scaled by the residual variance (the same estimate behind the
standard errors of ``Circuit.fit``), with Student-t intervals. `bootstrap`
refits the model to spectra rebuilt from the fitted impedance and the
resampled residuals, for when a linear picture of the optimum cannot be
trusted (a parameter near a bound, strongly curved or correlated ones).

References
----------
B. Efron and R. J. Tibshirani, *An Introduction to the Bootstrap*, Chapman &
Hall, 1993, ch. 9 (bootstrapping regression models by their residuals).
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from statistics import NormalDist
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np

# The level of the intervals everything reports unless told otherwise.
DEFAULT_LEVEL = 0.95
# A singular value below this fraction of the largest, times the row count,
# leaves some combination of parameters undetermined (the rank test of
# numpy.linalg.matrix_rank).
_RANK_TOLERANCE = np.finfo(np.float64).eps
# The weight of a measured point of zero modulus, as the residuals use it.
_SMALLEST_WEIGHT = 1e-30
# Bootstrap refits that failed, as a fraction of those asked for, beyond
# which the bootstrap is no estimate at all.
_MOST_FAILED_REFITS = 0.5


@dataclass(frozen=True, eq=False)
class Uncertainty:
    """The uncertainty of a fit's parameters.

    ``covariance`` is n × n in parameter order; ``low`` and ``high`` bound the
    interval of the given ``level`` (clipped to each parameter's bounds).
    ``method`` is "linear" or "bootstrap"; for a bootstrap, ``samples`` holds
    the refitted parameters, one row per resampled spectrum that could be
    fitted. Everything is NaN where the data do not determine it (no degrees
    of freedom, a singular Jacobian).
    """

    names: Tuple[str, ...]
    values: np.ndarray
    covariance: np.ndarray
    low: np.ndarray
    high: np.ndarray
    level: float
    method: str
    dof: int
    samples: Optional[np.ndarray] = None

    @property
    def stderr(self) -> np.ndarray:
        return np.sqrt(np.where(np.diag(self.covariance) >= 0, np.diag(self.covariance), np.nan))

    @property
    def correlation(self) -> np.ndarray:
        """The covariance scaled to unit diagonal: entries in [-1, 1]."""
        scale = self.stderr
        with np.errstate(invalid="ignore", divide="ignore"):
            correlation = self.covariance / np.outer(scale, scale)
        return np.clip(correlation, -1.0, 1.0)

    def interval(self, name: str) -> Tuple[float, float]:
        """(low, high) of the parameter called `name`."""
        i = self.names.index(name)
        return float(self.low[i]), float(self.high[i])

    def as_dict(self) -> Dict[str, Dict[str, float]]:
        """Per parameter: value, stderr, low and high."""
        return {name: {"value": float(v), "stderr": float(s), "low": float(lo), "high": float(hi)}
                for name, v, s, lo, hi in zip(self.names, self.values, self.stderr, self.low, self.high)}

    def to_frame(self) -> Any:
        """The parameters as a pandas DataFrame indexed by name."""
        import pandas

        return pandas.DataFrame({"value": self.values, "stderr": self.stderr, "low": self.low,
                                 "high": self.high}, index=pandas.Index(self.names, name="parameter"))

    def __repr__(self) -> str:
        return f"Uncertainty({self.method}, {len(self.names)} parameters, {self.level:.0%} intervals, dof={self.dof})"


def t_quantile(p: float, dof: float) -> float:
    """The `p` quantile of Student's t distribution with `dof` degrees of freedom.

    Exact for one and two degrees of freedom, otherwise the Cornish–Fisher
    expansion about the normal quantile (Abramowitz and Stegun 26.7.5), good
    to better than 1e-4 from three degrees of freedom on.
    """
    if not 0.0 < p < 1.0 or not dof > 0:
        return math.nan
    if dof == 1:
        return math.tan(math.pi * (p - 0.5))
    if dof == 2:
        return (2 * p - 1) / math.sqrt(2 * p * (1 - p))
    if math.isinf(dof):
        return NormalDist().inv_cdf(p)
    z = NormalDist().inv_cdf(p)
    g1 = (z**3 + z) / 4
    g2 = (5 * z**5 + 16 * z**3 + 3 * z) / 96
    g3 = (3 * z**7 + 19 * z**5 + 17 * z**3 - 15 * z) / 384
    g4 = (79 * z**9 + 776 * z**7 + 1482 * z**5 - 1920 * z**3 - 945 * z) / 92160
    return z + g1 / dof + g2 / dof**2 + g3 / dof**3 + g4 / dof**4


def _bounds(circuit: Any) -> Tuple[np.ndarray, np.ndarray]:
    bounds = np.asarray(circuit.param_bounds(), dtype=np.float64).reshape(-1, 2)
    return bounds[:, 0], bounds[:, 1]


def _check_level(level: float) -> float:
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    return float(level)


def linearised(circuit: Any, frequencies: Any, impedances: Any, *, weight: str = "modulus",
               level: float = DEFAULT_LEVEL, fixed: Sequence[str] = ()) -> Uncertainty:
    """Covariance, correlation and intervals of a fitted circuit from its Jacobian.

    Parameters
    ----------
    circuit : Circuit
        The fitted circuit (its values are the optimum).
    frequencies, impedances : array_like
        The spectrum it was fitted to, in Hz and ohm.
    weight : {"modulus", "unit"}
        The weighting the fit used.
    level : float
        The intervals' coverage.
    fixed : sequence of str
        Parameters the fit held: they have no spread (NaN covariance, an
        interval of the value alone) and take no part in the others'.

    Returns
    -------
    Uncertainty
        ``covariance = s² (JᵀJ)⁻¹`` with ``s² = χ² / (2K − n)``, from the
        singular values of the column-scaled Jacobian rather than the normal
        equations, since the parameters span many decades; intervals
        value ± t · stderr.
    """
    level = _check_level(level)
    names = tuple(circuit.param_names())
    values = np.asarray(circuit.param_values(), dtype=np.float64)
    f = np.asarray(frequencies, dtype=np.float64)
    z = np.asarray(impedances, dtype=np.complex128)
    n = len(values)
    free = np.array([name not in fixed for name in names], dtype=bool)
    dof = 2 * len(f) - int(free.sum())
    covariance = np.full((n, n), np.nan)
    if dof > 0 and free.any():
        jacobian = np.asarray(circuit.jacobian(list(values), f, z, weight), dtype=np.float64).reshape(-1, n)
        residuals = np.asarray(circuit.residuals(list(values), f, z, weight), dtype=np.float64)
        covariance[np.ix_(free, free)] = _scaled_inverse(jacobian[:, free], float(residuals @ residuals) / dof)
    stderr = np.sqrt(np.where(np.diag(covariance) >= 0, np.diag(covariance), np.nan))
    half = np.where(free, t_quantile(0.5 + level / 2, dof) * stderr, 0.0)
    lower, upper = _bounds(circuit)
    return Uncertainty(names, values, covariance, np.maximum(values - half, lower), np.minimum(values + half, upper),
                       level, "linear", dof)


def _scaled_inverse(jacobian: np.ndarray, variance: float) -> np.ndarray:
    """variance · (JᵀJ)⁻¹, NaN throughout when J is rank deficient or not finite."""
    n = jacobian.shape[1]
    if not np.all(np.isfinite(jacobian)) or not math.isfinite(variance):
        return np.full((n, n), np.nan)
    # Unit columns first: the singular values then measure how independent
    # the parameters are, not how many decades apart their units are.
    norms = np.linalg.norm(jacobian, axis=0)
    if np.any(norms == 0):
        return np.full((n, n), np.nan)
    _, singular, vt = np.linalg.svd(jacobian / norms, full_matrices=False)
    if singular[-1] <= singular[0] * max(jacobian.shape) * _RANK_TOLERANCE:
        return np.full((n, n), np.nan)
    root = vt.T / singular
    return variance * (root @ root.T) / np.outer(norms, norms)


def _weights(impedances: np.ndarray, weight: str) -> np.ndarray:
    if weight == "unit":
        return np.ones(len(impedances))
    return np.maximum(np.nan_to_num(np.abs(impedances), nan=0.0), _SMALLEST_WEIGHT)


def resampled_spectra(circuit: Any, frequencies: Any, impedances: Any, count: int, *, weight: str = "modulus",
                      seed: Optional[int] = None) -> np.ndarray:
    """`count` synthetic spectra (count × K): the fitted impedance plus the
    fit's weighted residuals, drawn with replacement, each scaled back by the
    weight of the point it lands on and inflated by √(2K / (2K − n)) for the
    degrees of freedom the fit used."""
    f = np.asarray(frequencies, dtype=np.float64)
    z = np.asarray(impedances, dtype=np.complex128)
    model = np.asarray(circuit.impedance(f), dtype=np.complex128)
    w = _weights(z, weight)
    # Each point's residual as one complex number: its real and imaginary
    # parts come from one measurement and travel together.
    relative = (z - model) / w
    dof = 2 * len(f) - len(circuit.param_names())
    if dof > 0:
        relative = relative * math.sqrt(2 * len(f) / dof)
    rng = np.random.default_rng(seed)
    drawn = rng.integers(0, len(f), size=(count, len(f)))
    return model + w * relative[drawn]


def bootstrap(circuit: Any, frequencies: Any, impedances: Any, count: int, *, weight: str = "modulus",
              seed: Optional[int] = None, level: float = DEFAULT_LEVEL, workers: Optional[int] = None,
              **fit_options: Any) -> Uncertainty:
    """Residual bootstrap of a fitted circuit.

    Parameters
    ----------
    circuit : Circuit
        The fitted circuit; every refit starts from its values.
    frequencies, impedances : array_like
        The spectrum it was fitted to.
    count : int
        Resampled spectra to refit (a few hundred for 95 % intervals).
    weight : {"modulus", "unit"}
        The weighting of the original fit, used for the refits too.
    seed : int, optional
        Seeds the resampling: the same seed gives the same intervals, with
        any number of workers.
    level : float
        The intervals' coverage: the percentile interval of the refits.
    workers : int, optional
        Threads for the refits (default: every usable core).
    **fit_options
        Passed to each refit's ``Circuit.fit`` (the Levenberg–Marquardt fit
        from the optimum unless a method is named).

    Returns
    -------
    Uncertainty
        Covariance of the refitted parameters, percentile intervals, and the
        refits in ``samples``.

    Raises
    ------
    ValueError
        For a count below 2, or when more than half the refits fail.
    """
    from ._threads import map_in_threads, thread_count

    level = _check_level(level)
    if isinstance(count, bool) or not isinstance(count, int) or count < 2:
        raise ValueError(f"bootstrap needs a count of at least 2 resamples, got {count!r}")
    f = np.asarray(frequencies, dtype=np.float64)
    spectra = resampled_spectra(circuit, f, impedances, count, weight=weight, seed=seed)
    names = tuple(circuit.param_names())
    options = {"weight": weight, **fit_options}

    def refit(i: int) -> Optional[np.ndarray]:
        try:
            result = circuit.fit(f, spectra[i], **options)
        except ValueError:
            return None
        values = np.array([result.params[name] for name in names])
        return values if np.all(np.isfinite(values)) else None

    refits = [r for r in map_in_threads(refit, count, thread_count(workers)) if r is not None]
    if len(refits) < (1 - _MOST_FAILED_REFITS) * count:
        raise ValueError(f"bootstrap: only {len(refits)} of {count} resampled spectra could be fitted")
    samples = np.array(refits)
    values = np.asarray(circuit.param_values(), dtype=np.float64)
    covariance = np.atleast_2d(np.cov(samples, rowvar=False))
    tail = (1 - level) / 2 * 100
    low, high = np.percentile(samples, [tail, 100 - tail], axis=0)
    # A held parameter has no spread, as in the linearised picture.
    held = fit_options.get("fixed") or ()
    fixed = np.array([name in held for name in names], dtype=bool)
    covariance[fixed, :] = np.nan
    covariance[:, fixed] = np.nan
    low[fixed], high[fixed] = values[fixed], values[fixed]
    return Uncertainty(names, values, covariance, low, high, level, "bootstrap", 2 * len(f) - len(names), samples)


def report_uncertainty(report: Any, *, bootstrap_count: Optional[int] = None, seed: Optional[int] = None,
                       level: float = DEFAULT_LEVEL, workers: Optional[int] = None) -> Uncertainty:
    """The uncertainty of a fitted report (anything with ``fitted_circuit``,
    ``frequencies``, ``impedances`` and ``settings``): linearised, or a
    residual bootstrap of `bootstrap_count` refits."""
    weight = str(report.settings.get("weight", "modulus"))
    circuit = report.fitted_circuit
    fixed = [p.name for p in report.parameters if getattr(p, "fixed", False)]
    if bootstrap_count is None:
        return linearised(circuit, report.frequencies, report.impedances, weight=weight, level=level, fixed=fixed)
    # The refits hold what the fit held, within the bounds it was given.
    held = {key: report.settings[key] for key in ("fixed", "bounds") if report.settings.get(key)}
    return bootstrap(circuit, report.frequencies, report.impedances, bootstrap_count, weight=weight, seed=seed,
                     level=level, workers=workers, **held)

