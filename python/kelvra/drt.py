"""Distribution of relaxation times (DRT) of measured spectra.

The impedance is modelled as

    Z(w) = R_inf + j w L + integral of gamma(ln tau) / (1 + j w tau) d ln tau,

with gamma, in ohm per unit of ln tau, a sum of Gaussian radial basis
functions centred ten per decade on a grid from 1 / (2 pi f_max) to
1 / (2 pi f_min), half a decade wider on each side. Each function's full
width at half maximum is 1.67 grid spacings (shape parameter
eps = 1 / spacing in ln tau; ``shape_factor`` scales it). The basis weights,
R_inf and L come from Tikhonov-regularised least squares on the weighted
real and imaginary parts, with the penalty on the first derivative of gamma
(or the second, or gamma itself), lambda chosen by generalised
cross-validation (or its modified form, or real-imaginary cross-validation,
or given), and gamma kept non-negative by an active-set solver. All of it
runs in the compiled core without the interpreter lock, in about as long as
one circuit fit.

Peaks are the local maxima of gamma whose prominence is at least a tenth of
the largest value of gamma; each owns the area of gamma between the valleys
that separate it from its neighbours, which is its resistance.

References
----------
Wan, Saccoccio, Chen and Ciucci, "Influence of the discretization methods on
the distribution of relaxation times deconvolution", Electrochim. Acta 184
(2015). Saccoccio, Wan, Chen and Ciucci, "Optimal regularization in
distribution of relaxation times applied to electrochemical impedance
spectroscopy", Electrochim. Acta 147 (2014). Golub, Heath and Wahba,
"Generalized cross-validation as a method for choosing a good ridge
parameter", Technometrics 21 (1979). Maradesa et al., "Selecting the
regularization parameter in the distribution of relaxation times",
J. Electrochem. Soc. 170 (2023).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

import numpy as np

from kelvra import _core

if TYPE_CHECKING:
    from kelvra.drt_circuit import CircuitSuggestion

# A DRT whose largest relative residual exceeds this does not describe its
# spectrum (drift, a process the model cannot hold): its answer is marked.
RESIDUAL_LIMIT = 0.05
# The columns of a peak as the core hands it over.
_PEAK_FIELDS = ("tau", "resistance", "width", "height", "prominence")


@dataclass(frozen=True)
class DrtPeak:
    """One process of a DRT: its time constant (s), resistance (ohm, the area
    of gamma attributed to it), full width at half height (decades), height
    (ohm) and prominence (ohm, its height above the higher of its bases)."""

    tau: float
    resistance: float
    width: float
    height: float
    prominence: float

    @property
    def frequency(self) -> float:
        """The characteristic frequency 1 / (2 pi tau), Hz."""
        return 1.0 / (2.0 * math.pi * self.tau)

    @property
    def capacitance(self) -> float:
        """tau / R, F: the capacitance of an ideal RC with this peak."""
        return self.tau / self.resistance if self.resistance > 0 else math.nan


@dataclass(frozen=True, eq=False)
class DrtResult:
    """The DRT of one spectrum.

    ``tau`` (s) and ``gamma`` (ohm per unit ln tau) sample the distribution
    five times more finely than the basis; ``fitted`` is the model's
    impedance at the input frequencies, ``residuals`` the complex relative
    residuals (Z - fitted) / |Z|. ``lambda_`` is the regularisation parameter
    on the normalised system. ``trustworthy`` is False, and ``verdict`` says
    why, when the solver stopped early, lambda sits on the edge of its search
    range, R_inf came out negative, or the model misses the data by more than
    `RESIDUAL_LIMIT`.
    """

    frequencies: np.ndarray
    impedances: np.ndarray
    tau: np.ndarray
    gamma: np.ndarray
    r_inf: float
    inductance: float
    lambda_: float
    polarization_resistance: float
    fitted: np.ndarray
    residuals: np.ndarray
    chi_square: float
    peaks: List[DrtPeak]
    converged: bool = True
    lambda_at_limit: bool = False
    options: Dict[str, Any] = field(default_factory=dict)

    @property
    def max_residual(self) -> float:
        """The largest |real| or |imaginary| relative residual."""
        if self.residuals.size == 0:
            return 0.0
        return float(max(np.abs(self.residuals.real).max(), np.abs(self.residuals.imag).max()))

    @property
    def problems(self) -> List[str]:
        found = []
        if not self.converged:
            found.append("the non-negative solver stopped on its iteration limit")
        if self.lambda_at_limit:
            found.append("lambda lies on the edge of its search range")
        if self.r_inf < 0:
            found.append("R_inf is negative, which no physical cell has")
        if self.max_residual > RESIDUAL_LIMIT:
            found.append(f"the model misses the data by up to {100 * self.max_residual:.1f} %")
        return found

    @property
    def trustworthy(self) -> bool:
        return not self.problems

    @property
    def verdict(self) -> str:
        """One line: how far to trust this DRT."""
        if self.trustworthy:
            return f"ok: largest residual {100 * self.max_residual:.2f} %, {len(self.peaks)} peaks"
        return "untrustworthy: " + "; ".join(self.problems)

    def to_frame(self) -> Any:
        """gamma against tau as a pandas DataFrame ("tau / s", "gamma / ohm")."""
        from kelvra.io._spectrum import as_frame

        return as_frame({"tau / s": self.tau, "gamma / ohm": self.gamma})

    def peaks_frame(self) -> Any:
        """The peaks as a pandas DataFrame, one row per peak, ordered by tau."""
        from kelvra.io._spectrum import as_frame

        return as_frame({name: np.array([getattr(p, name) for p in self.peaks], dtype=float)
                         for name in _PEAK_FIELDS})

    def row(self) -> Dict[str, Any]:
        """The flat record of one results-table row."""
        row: Dict[str, Any] = {"r_inf": self.r_inf, "inductance": self.inductance,
                               "polarization_resistance": self.polarization_resistance, "lambda": self.lambda_,
                               "chi_square": self.chi_square, "max_residual": self.max_residual,
                               "n_peaks": len(self.peaks), "trustworthy": self.trustworthy}
        for i, peak in enumerate(self.peaks, start=1):
            row[f"peak{i}_tau"] = peak.tau
            row[f"peak{i}_resistance"] = peak.resistance
            row[f"peak{i}_width"] = peak.width
        return row

    def suggest_circuit(self) -> "CircuitSuggestion":
        """The built-in model and starting values the peaks imply; see
        `kelvra.drt.suggest_circuit`."""
        return suggest_circuit(self)

    def plot(self, ax: Any = None) -> Any:
        """gamma against tau into `ax` (new axes when None); returns the axes."""
        from kelvra.plot import drt as plot_drt

        return plot_drt(self, ax=ax)

    def _repr_html_(self) -> str:
        import html

        scalars = (f"R\u221e {self.r_inf:.4g} \u03a9, L {self.inductance:.3g} H, "
                   f"R<sub>pol</sub> {self.polarization_resistance:.4g} \u03a9, \u03bb {self.lambda_:.3g}")
        rows = "".join(f"<tr><td>{p.tau:.4g}</td><td>{p.frequency:.4g}</td><td>{p.resistance:.4g}</td>"
                       f"<td>{p.width:.3g}</td></tr>" for p in self.peaks)
        return (f"<p>DRT: {html.escape(self.verdict)}<br>{scalars}</p><table><thead><tr><th>\u03c4 / s</th>"
                f"<th>f / Hz</th><th>R / \u03a9</th><th>width / decades</th></tr></thead><tbody>{rows}</tbody></table>")

    def __repr__(self) -> str:
        peaks = ", ".join(f"tau {p.tau:.3g} s R {p.resistance:.4g} ohm" for p in self.peaks)
        return (f"DrtResult(R_inf {self.r_inf:.4g} ohm, L {self.inductance:.3g} H, "
                f"R_pol {self.polarization_resistance:.4g} ohm, lambda {self.lambda_:.3g}; peaks: [{peaks}]; "
                f"{self.verdict})")


SpectrumLike = Any


def spectrum_arrays(frequencies: SpectrumLike, impedances: Any = None) -> Tuple[np.ndarray, np.ndarray]:
    """Frequencies and complex impedances of anything `Circuit.fit` takes,
    through `kelvra.io.as_spectrum`: rows without a positive frequency are
    left out with a warning, corrupt points raise `PointError`."""
    from kelvra.io import as_spectrum

    spectrum = as_spectrum(frequencies, impedances)
    return spectrum.frequencies, spectrum.impedances


def drt(frequencies: SpectrumLike, impedances: Any = None, **options: Any) -> DrtResult:
    """The distribution of relaxation times of one spectrum.

    Parameters
    ----------
    frequencies, impedances
        Two sequences (Hz, ohm), in any order of frequency; or, with
        `impedances` None, a `kelvra.io.Spectrum` or a dataframe with the
        battery-data-format columns.
    weight : {"modulus", "unit"}
        Residuals divided by |Z| (default) or not, as in `Circuit.fit`.
    parts : {"both", "real", "imag"}
        The parts the residuals compare (default both).
    penalty : {"first", "second", "value"}
        What the regularisation squares: the first derivative of gamma
        (default), the second, or gamma itself.
    method : {"gcv", "mgcv", "re-im"}
        How lambda is chosen: generalised cross-validation (default), the
        modified GCV, or real-imaginary cross-validation.
    lambda_ : float, optional
        A given lambda (on the normalised system), instead of `method`.
    nonnegative : bool
        Keep gamma >= 0 (default True); False allows the negative gamma of
        inductive loops.
    inductance : bool, optional
        Whether the model has a series inductance; by default when a point
        has Im Z > 0.
    points_per_decade, extension_decades, shape_factor : float
        The basis grid: centres per decade (10), decades beyond the
        measured band on each side (0.5), and eps times the grid spacing (1).

    Returns
    -------
    DrtResult

    Raises
    ------
    kelvra.io.PointError
        A point with an infinite frequency, or a NaN, infinite or zero
        impedance (rows without a positive frequency are left out with a
        `kelvra.io.PointWarning`, as every entry point does).
    ValueError
        Fewer than five points, a frequency that appears twice, or a bad
        option; the message names the point or the option.
    """
    f, z = spectrum_arrays(frequencies, impedances)
    return _result(f, z, _core._drt(f, z, **options), options)


def _result(f: np.ndarray, z: np.ndarray, raw: Dict[str, Any], options: Dict[str, Any]) -> DrtResult:
    fitted = raw["fitted"]
    with np.errstate(divide="ignore", invalid="ignore"):
        residuals = (z - fitted) / np.abs(z)
    peaks = [DrtPeak(*map(float, row)) for row in raw["peaks"]]
    return DrtResult(frequencies=f, impedances=z, tau=raw["tau"], gamma=raw["gamma"], r_inf=raw["r_inf"],
                     inductance=raw["inductance"], lambda_=raw["lambda"],
                     polarization_resistance=raw["polarization_resistance"], fitted=fitted, residuals=residuals,
                     chi_square=raw["chi_square"], peaks=peaks, converged=raw["converged"],
                     lambda_at_limit=raw["lambda_at_limit"], options=dict(options))


def suggest_circuit(result: DrtResult) -> "CircuitSuggestion":
    """The built-in model and starting values that the peaks of `result`
    imply, as a `kelvra.drt_circuit.CircuitSuggestion` (the rule is
    described there)."""
    from kelvra.drt_circuit import suggest_circuit as suggest

    return suggest(result)


def peak_starts(result: DrtResult) -> List[Tuple[float, float]]:
    """(tau, resistance) of every peak, ordered by tau: starting points for
    the time constants and resistances of a circuit's arcs."""
    return [(p.tau, p.resistance) for p in result.peaks]


# Spectra per call into the core in `drt_many`: a few hundred milliseconds
# of work, so Ctrl-C and the progress bar stay responsive while the cost of
# the calls stays small beside the DRTs.
CHUNK = 64


def drt_many(spectra: Any, *, workers: Optional[int] = None, progress: Optional[bool] = None, client: Any = None,
             **options: Any) -> List[Union[DrtResult, ValueError]]:
    """The DRTs of many spectra, in input order.

    `spectra` is anything `kelvra.fit_many` takes: a list of
    (frequencies, impedances) pairs or spectra, a dict of them, or a pair
    (frequencies, 2-D array). `options` are those of `drt`. `workers` caps
    the threads (default: the cores this process may use); `progress` as for
    `fit_many`; with a `dask.distributed` Client as `client` the chunks run
    on its workers. A spectrum that cannot be taken yields its ValueError in
    its place instead of stopping the batch. Ctrl-C stops the batch.
    """
    from kelvra import _threads, batch

    _, items = batch.spectrum_jobs(spectra, None)
    results: List[Any] = [None] * len(items)
    pairs: List[Tuple[np.ndarray, np.ndarray]] = []
    where: List[int] = []
    for i, item in enumerate(items):
        try:
            if isinstance(item, tuple) and len(item) == 2:
                f, z = spectrum_arrays(*item)
            else:
                f, z = spectrum_arrays(item)
        except (TypeError, ValueError) as error:
            results[i] = ValueError(f"spectrum {i}: {error}")
            continue
        pairs.append((f, z))
        where.append(i)
    chunks = [pairs[s:s + CHUNK] for s in range(0, len(pairs), CHUNK)]
    if client is not None:
        if workers is not None:
            raise ValueError("workers= applies to local threads; a Dask worker runs as many chunks as it has threads")
        raws = _on_dask(client, chunks, options, progress)
    else:
        raws = _threads.map_in_threads(lambda c: _core._drt_chunk(chunks[c], **options), len(chunks),
                                       _threads.thread_count(workers), progress)
    flat = [raw for chunk in raws for raw in chunk]
    for i, (f, z), raw in zip(where, pairs, flat):
        results[i] = ValueError(raw) if isinstance(raw, str) else _result(f, z, raw, options)
    return results


def _dask_chunk(chunk: List[Tuple[np.ndarray, np.ndarray]], options: Dict[str, Any]) -> List[Any]:
    """Runs on a Dask worker: one chunk, returned as the core's plain dicts."""
    return _core._drt_chunk(chunk, **options)


def _on_dask(client: Any, chunks: List[Any], options: Dict[str, Any], progress: Optional[bool]) -> List[Any]:
    from kelvra._dask import gather_chunks

    futures = [client.submit(_dask_chunk, chunk, options, pure=False) for chunk in chunks]
    return gather_chunks(client, futures, sum(len(c) for c in chunks), progress)
