"""Kramers–Kronig validity test of a measured spectrum, in the linear form.

A spectrum that obeys the Kramers–Kronig relations (a linear, causal, stable
system at steady state) can be described to within its noise by a series
resistance, an optional series inductance and capacitance, and M parallel RC
elements whose time constants are spread log-uniformly over the measured
band::

    Z(w) = R0 + j w L + 1 / (j w C) + sum_k R_k / (1 + j w tau_k)

With the time constants fixed, Z is linear in R0, L, 1/C and the R_k, so the
fit is a linear least-squares problem on the real and imaginary parts
stacked together, each point weighted by 1 / |Z|. The residuals of that fit,
relative to |Z|, are the test: a valid spectrum leaves residuals at the
noise level, while drift, non-linearity or a cell that is not at steady
state leaves a systematic pattern well above it.

M is chosen by the under/over-fitting criterion mu = 1 - sum|R_k < 0| /
sum|R_k >= 0|: too few elements leave the data under-fitted and every R_k
positive (mu near 1); once the elements start fitting the noise, pairs of
large resistances of opposite sign appear and mu falls. The first M at which
mu falls below the cut-off is used.

The count starts at 2.5 elements per decade of the band rather than at 1.
With fewer, an arc sharper than the elements are wide falls between two of
them, and the fit answers with a negative neighbour: mu dips below the
cut-off from under-resolution, not over-fitting, and a clean spectrum fails
with residuals of several per cent.

References
----------
B. A. Boukamp, J. Electrochem. Soc. 142 (1995) 1885-1894 (the linear test).
M. Schönleber, D. Klotz and E. Ivers-Tiffée, Electrochim. Acta 131 (2014)
20-27 (the mu criterion).
"""

import functools
import math
import numbers
from dataclasses import dataclass, replace

import numpy as np

# The cut-off on mu below which the RC elements start fitting noise; 0.85 is
# the value for which the criterion was calibrated on synthetic spectra.
DEFAULT_MU_CUTOFF = 0.85
# A point passes when both of its relative residuals lie within +-1 %.
DEFAULT_THRESHOLD = 0.01
# A capacitive tail shows over this many of the lowest frequencies.
TAIL_POINTS = 3
# The scan starts at this many elements per decade of the measured band.
# Counting from 1 failed about one clean synthetic spectrum in five (arcs
# with exponents 0.6 to 1, 0.1 % noise, 50 points over 7 decades); from 2.5
# per decade, one in a hundred, with the counts chosen (about 3.5 per
# decade) unchanged.
MIN_ELEMENTS_PER_DECADE = 2.5
# Candidate element counts are solved together in batches of this many: a
# batch costs a few array operations instead of a few per count. Most
# spectra stop within a few counts of where the scan starts, and a small
# batch keeps the work spent past that count small (4 ran faster than 2, 3,
# 6 or 8 on 50-point spectra).
SCAN_BATCH = 4
# A refinement step larger than this fraction of the solution means the
# normal equations lost too many digits for that system.
REFINEMENT_TOLERANCE = 1e-8
# The most RC elements the test fits. The counts the criterion chooses stay
# near 3.5 per decade, some 40 on the widest measured bands; beyond that the
# scan only costs (each count solves a system of its size) without a
# spectrum that needs it.
MAX_ELEMENTS = 100
# Floats one scan batch may hold in its (counts x elements x points) arrays:
# long spectra scan fewer counts at once, so memory stays bounded whatever
# the number of points.
SCAN_BATCH_FLOATS = 1 << 22

TWO_PI = 6.283185307179586


@dataclass(frozen=True)
class KKResult:
    """The outcome of `kramers_kronig` for one spectrum.

    `residuals_real` and `residuals_imag` are (Z - Z_fit) / |Z| per point,
    split into real and imaginary parts, in input order. `valid` is true when
    every one of them lies within +-`threshold`.
    """

    frequencies: np.ndarray
    impedances: np.ndarray
    fitted: np.ndarray
    residuals_real: np.ndarray
    residuals_imag: np.ndarray
    n_elements: int
    mu: float
    mu_cutoff: float
    threshold: float
    valid: bool
    time_constants: np.ndarray
    resistances: np.ndarray
    series_resistance: float
    inductance: float
    capacitance: float
    # How the series capacitor was chosen when the caller left it to the
    # data (see `kramers_kronig`); empty otherwise.
    note: str = ""

    @property
    def max_residual(self):
        """The largest relative residual in magnitude, real or imaginary."""
        both = np.concatenate([self.residuals_real, self.residuals_imag])
        return float(np.max(np.abs(both))) if both.size else 0.0

    @property
    def verdict(self):
        """One line: pass or fail, with the threshold it was judged by."""
        word = "pass" if self.valid else "fail"
        return (f"{word}: largest residual {100 * self.max_residual:.2f} % "
                f"(threshold {100 * self.threshold:g} %)")

    def worst_points(self, count=3):
        """Indices of the `count` points with the largest residuals, worst first."""
        worst = np.maximum(np.abs(self.residuals_real), np.abs(self.residuals_imag))
        # NaN residuals sort as the worst: they are the least trustworthy.
        order = np.argsort(np.where(np.isnan(worst), np.inf, worst), kind="stable")[::-1]
        return order[:count]

    def text(self, name="spectrum", worst=3):
        """The result for a terminal: `name`, the verdict, mu and the count of
        RC elements on one line, then the `worst` largest residuals."""
        lines = [f"{name}: {self.verdict}, mu {self.mu:.3f}, {self.n_elements} RC elements"]
        if self.note and worst:
            lines.append(f"  note: {self.note}")
        for i in self.worst_points(worst) if worst else ():
            lines.append(f"  {self.frequencies[i]:12.6g} Hz  real {100 * self.residuals_real[i]:+7.3f} %  "
                         f"imaginary {100 * self.residuals_imag[i]:+7.3f} %")
        return "\n".join(lines)

    def __repr__(self):
        return (f"KKResult(valid={self.valid}, max_residual={self.max_residual:.3g}, mu={self.mu:.3f}, "
                f"n_elements={self.n_elements}, points={len(self.frequencies)})")

    def row(self):
        """The flat record of one results-table row."""
        worst = self.worst_points(1)
        return {"valid": self.valid, "mu": self.mu, "n_elements": self.n_elements,
                "max_residual": self.max_residual, "threshold": self.threshold,
                "worst_frequency": float(self.frequencies[worst[0]]) if worst.size else float("nan"),
                "series_resistance": self.series_resistance, "inductance": self.inductance,
                "capacitance": self.capacitance, "note": self.note}

    def plot(self, ax=None):
        """Draws the relative residuals of the test against frequency, with
        the threshold band, into `ax` (new axes when None); returns the axes."""
        from kelvra.plot import residuals

        ax = residuals(self.frequencies, self.impedances, self.fitted, ax=ax)
        percent = 100.0 * self.threshold
        ax.axhspan(-percent, percent, color="0.9", zorder=0)
        ax.set_ylabel("Kramers\u2013Kronig residual / %")
        ax.set_title(f"{self.verdict}; {self.n_elements} RC elements, \u03bc = {self.mu:.3f}")
        return ax


@functools.lru_cache(maxsize=64)
def _grid(first, last):
    """Positions of the time constants within the band, as fractions of its
    width, for the counts first..last: one row per count, as many columns as
    the largest, and the mask of the entries each row has. Padding entries
    sit at 0 so that they stay finite."""
    counts = np.arange(first, last + 1)[:, None]
    index = np.arange(last)
    present = index < counts
    # A single element sits at the centre of the band.
    fraction = np.where(counts > 1, index / np.maximum(counts - 1, 1), 0.5)
    fraction = np.where(present, fraction, 0.0)
    for array in (fraction, present):
        array.flags.writeable = False
    return fraction, present


class _LinearSystem:
    """The weighted stacked system of one spectrum, built once per test.

    Equations 0..N-1 are the real parts and N..2N-1 the imaginary parts,
    each divided by |Z|. The fixed unknowns are the series resistance and the
    optional inductance and inverse capacitance; the RC unknowns follow, one
    per element of the candidate count.

    The normal equations of the RC unknowns need no product over the
    equations per pair of elements. With g_i = 1 / (1 + j w tau_i), partial
    fractions give Re(g_i conj(g_j)) = (tau_i Re g_i + tau_j Re g_j) /
    (tau_i + tau_j), so the whole RC block follows from the one weighted sum
    s_i = sum_n |Z_n|^-2 Re g_i(w_n) per element, a sum of positive terms;
    the cross terms with the fixed unknowns and the right-hand side need
    three more such sums. A batch of counts then costs O(M N) operations
    instead of O(M^2 N).
    """

    def __init__(self, frequencies, impedances, inductance, capacitance):
        omega = TWO_PI * frequencies
        n = frequencies.size
        self.omega = omega
        self.n_points = n
        self.weight = 1.0 / np.abs(impedances)
        self.rhs = np.concatenate([impedances.real, impedances.imag]) * np.tile(self.weight, 2)
        w2 = self.weight * self.weight
        # Per point: the weights of s (the RC block and its cross term with
        # the series resistance), of the cross term with the inductance, and
        # of the real and imaginary parts of the right-hand side.
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            self.sums = np.stack(
                [w2, w2 * omega * omega, w2 * impedances.real, w2 * omega * impedances.imag])
            squares = np.concatenate([self.sums.ravel(), w2 / (omega * omega)])
        if not np.all(np.isfinite(squares)):
            # Squares of the weighted columns leave the range of a double
            # (frequencies near 1e-300 or 1e300 Hz, impedances as extreme):
            # every solve would be NaN.
            raise ValueError("the Kramers-Kronig test cannot take this spectrum: its frequencies or impedances "
                             "are too extreme for double-precision arithmetic")
        # Weights that turn Re g into the real and minus the imaginary rows.
        self.row_weights = np.stack([self.weight, self.weight * omega])
        inductance, capacitance = bool(inductance), bool(capacitance)
        fixed = np.zeros((1 + inductance + capacitance, 2 * n))
        fixed[0, :n] = self.weight
        if inductance:
            fixed[1, n:] = omega * self.weight
        if capacitance:
            fixed[-1, n:] = -self.weight / omega
        self.fixed = fixed
        self.fixed_gram = fixed @ fixed.T
        self.fixed_projection = fixed @ self.rhs
        self.has_inductance = inductance
        self.has_capacitance = capacitance
        self.log_tau_min = -np.log(np.max(omega))
        # A difference of logarithms: the ratio of a band as wide as
        # [1e-300, 1e300] Hz overflows.
        self.log_span = np.log(np.max(omega)) - np.log(np.min(omega))

    @property
    def n_fixed(self):
        return self.fixed.shape[0]

    def elements(self, first, last):
        """Time constants (batch, M) of the counts first..last, the mask of
        the entries each count has, and Re g(w_n) of each (batch, M, N),
        zero for padding."""
        fraction, present = _grid(first, last)
        tau = np.exp(self.log_tau_min + self.log_span * fraction)
        wt = tau[:, :, None] * self.omega
        real = present[:, :, None] / (1.0 + wt * wt)
        return tau, present, real

    def normal_equations(self, tau, present, real):
        """A^T A and A^T b for a batch, unknowns ordered fixed then RC.
        Padding unknowns get a unit diagonal and zero everywhere else."""
        batch, width = tau.shape
        f = self.n_fixed
        # einsum: NumPy's own loops beat the reference BLAS at these sizes.
        s, t, u, v = np.einsum("bwn,kn->kbw", real, self.sums)
        ts = tau * s
        gram = np.empty((batch, f + width, f + width))
        gram[:, :f, :f] = self.fixed_gram
        gram[:, f:, f:] = (ts[:, :, None] + ts[:, None, :]) / (tau[:, :, None] + tau[:, None, :])
        gram[:, f:, f:] *= present[:, :, None] & present[:, None, :]
        np.einsum("bii->bi", gram[:, f:, f:])[...] += ~present
        gram[:, 0, f:] = s
        if self.has_inductance:
            gram[:, 1, f:] = -tau * t
        if self.has_capacitance:
            gram[:, f - 1, f:] = ts
        gram[:, f:, :f] = gram[:, :f, f:].transpose(0, 2, 1)
        projection = np.empty((batch, f + width))
        projection[:, :f] = self.fixed_projection
        projection[:, f:] = u - tau * v
        return gram, projection

    def product(self, tau, real, x):
        """A x for a batch, as stacked weighted impedances (batch, 2N)."""
        f = self.n_fixed
        rc = np.einsum("bkw,bwn->bkn", np.stack([x[:, f:], -tau * x[:, f:]], axis=1), real)
        rc *= self.row_weights
        return x[:, :f] @ self.fixed + rc.reshape(x.shape[0], -1)

    def transposed_product(self, tau, real, r):
        """A^T r for a batch of stacked residuals r (batch, 2N)."""
        weighted = r.reshape(r.shape[0], 2, -1) * self.row_weights
        parts = np.einsum("bwn,bkn->kbw", real, weighted)
        return np.concatenate([r @ self.fixed.T, parts[0] - tau * parts[1]], axis=1)

    def design(self, tau, real):
        """The explicit transposed design matrices (batch, unknowns, 2N)."""
        rc = np.concatenate([real * self.row_weights[0],
                             -(tau[:, :, None] * self.row_weights[1]) * real], axis=-1)
        fixed = np.broadcast_to(self.fixed, (tau.shape[0],) + self.fixed.shape)
        return np.concatenate([fixed, rc], axis=1)


def _least_squares(system, tau, present, real):
    """Solves the weighted stacked problem for a batch of element sets;
    returns the coefficients (batch, unknowns), fixed unknowns first, zero
    for padding.

    The normal equations are scaled to a unit diagonal, which is column
    scaling of A: the RC columns and the inductance column differ by orders
    of magnitude in size.

    The scaled RC systems of the counts the scan reaches are well
    conditioned (a condition number of 1e2 to 1e4), so the normal equations
    with one step of iterative refinement are as accurate as a QR
    factorisation at a fraction of its cost. The size of the refinement step
    measures that accuracy; a system whose step is not small is solved again
    by QR.
    """
    gram, projection = system.normal_equations(tau, present, real)
    inverse = 1.0 / np.sqrt(np.einsum("bii->bi", gram))
    gram *= inverse[:, :, None]
    gram *= inverse[:, None, :]
    y = np.linalg.solve(gram, (projection * inverse)[..., None])
    residual = system.rhs - system.product(tau, real, y[..., 0] * inverse)
    correction = system.transposed_product(tau, real, residual) * inverse
    step = np.linalg.solve(gram, correction[..., None])[..., 0]
    y = y[..., 0] + step
    with np.errstate(invalid="ignore"):
        inaccurate = ~(np.abs(step).max(axis=-1) <= REFINEMENT_TOLERANCE * np.abs(y).max(axis=-1))
    if inaccurate.any():
        scaled = system.design(tau[inaccurate], real[inaccurate]) * inverse[inaccurate, :, None]
        y[inaccurate] = _qr_least_squares(scaled, system.rhs)
    return y * inverse


def _qr_least_squares(scaled, rhs):
    """The same solve on the explicit scaled system, through the R factor
    of [A | b]: its last column holds Q^T b, so no Q is formed. A padding
    row of A is zero and gives a zero row in R; a unit diagonal there makes
    its coefficient zero without touching the others."""
    n = scaled.shape[1]
    augmented = np.concatenate(
        [scaled, np.broadcast_to(rhs, (scaled.shape[0], 1, rhs.size))], axis=1)
    r = np.linalg.qr(augmented.transpose(0, 2, 1), mode="r")
    triangle = r[:, :n, :n]
    padding = ~np.any(scaled, axis=-1)
    np.einsum("bii->bi", triangle)[padding] = 1.0
    projected = np.where(padding, 0.0, r[:, :n, n])
    return np.linalg.solve(triangle, projected[..., None])[..., 0]


def _mu(resistances):
    """1 - sum|negative R| / sum|positive R| along the last axis."""
    total = np.sum(resistances, axis=-1)
    magnitude = np.sum(np.abs(resistances), axis=-1)
    positive = 0.5 * (magnitude + total)
    negative = 0.5 * (magnitude - total)
    with np.errstate(divide="ignore", invalid="ignore"):
        # No positive resistance at all: over-fitted if any is negative, and
        # nothing to judge (keep adding elements) if all are zero.
        return np.where(positive > 0.0, 1.0 - negative / positive,
                        np.where(negative > 0.0, -np.inf, 1.0))


def _fit_counts(system, first, last):
    """Fits with each element count first..last; returns the coefficient
    rows (fixed unknowns first, then the RC resistances, zero-padded) and mu."""
    coefficients = _least_squares(system, *system.elements(first, last))
    return coefficients, _mu(coefficients[:, system.n_fixed:])


def _choose_count(system, mu_cutoff, first, limit):
    """Scans M = first, first + 1, ... in batches for the first M whose mu
    is below the cut-off; without one, `limit` itself. Returns (M,
    coefficients, mu)."""
    while first <= limit:
        batch = max(1, min(SCAN_BATCH, SCAN_BATCH_FLOATS // (limit * system.n_points)))
        last = min(first + batch - 1, limit)
        coefficients, mu = _fit_counts(system, first, last)
        below = np.flatnonzero(mu < mu_cutoff)
        if below.size:
            row = int(below[0])
            return first + row, coefficients[row], float(mu[row])
        first = last + 1
    return limit, coefficients[-1], float(mu[-1])


def _as_spectrum(frequencies, impedances):
    """The checked arrays of a spectrum, by the rule of `kelvra.io.as_spectrum`."""
    from .io import as_spectrum

    measured = as_spectrum(frequencies, impedances)
    if measured.frequencies.size < 2:
        raise ValueError("the Kramers-Kronig test needs at least two points")
    # The time constants spread over the band; a band of one frequency has
    # no spread and every element would be the same column.
    if np.min(measured.frequencies) == np.max(measured.frequencies):
        raise ValueError("the Kramers-Kronig test needs at least two distinct frequencies")
    return measured.frequencies, measured.impedances


def _check_options(mu_cutoff, threshold, counts):
    """The test's options, refused before any work: a NaN cut-off would make
    the scan run through every count, a NaN threshold pass nothing."""
    if isinstance(mu_cutoff, bool) or not isinstance(mu_cutoff, numbers.Real) or not 0.0 < mu_cutoff <= 1.0:
        raise ValueError(f"mu_cutoff must be in (0, 1], got {mu_cutoff!r}")
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real) or not 0.0 < threshold < math.inf:
        raise ValueError(f"threshold must be positive and finite, got {threshold!r}")
    for name, value in counts.items():
        if value is not None and (isinstance(value, bool) or not isinstance(value, numbers.Integral)):
            raise ValueError(f"{name} must be a whole number of elements, got {value!r}")


def capacitive_tail(frequencies, impedances):
    """Whether the spectrum ends in a capacitive tail: over its
    `TAIL_POINTS` lowest frequencies, -Im Z is positive and keeps rising as
    the frequency falls, as it does for a blocking electrode or a diffusion
    tail that has not turned over, and never for an arc closing on the real
    axis."""
    order = np.argsort(frequencies, kind="stable")[:TAIL_POINTS]
    if order.size < TAIL_POINTS:
        return False
    minus_imaginary = -np.asarray(impedances)[order].imag
    return bool(np.all(minus_imaginary > 0) and np.all(np.diff(minus_imaginary) < 0))


def kramers_kronig(frequencies, impedances=None, *, n_elements=None, mu_cutoff=DEFAULT_MU_CUTOFF,
                   threshold=DEFAULT_THRESHOLD, inductance=True, capacitance=None, min_elements=None,
                   max_elements=None):
    """Linear Kramers–Kronig test of one spectrum.

    Fits a series resistance, an optional series inductor and capacitor, and
    M parallel RC elements with time constants spread log-uniformly over the
    measured band, by weighted linear least squares; the relative residuals
    of that fit are the test.

    Parameters
    ----------
    frequencies : Spectrum, dataframe, pair or sequence
        Anything `kelvra.io.as_spectrum` accepts: a spectrum read from a
        file as the only argument, or the frequencies (Hz) with `impedances`.
    impedances : sequence of complex, optional
    n_elements : int, optional
        Fixes M. Left as None, M is the first count from `min_elements` to
        `max_elements` whose mu falls below `mu_cutoff`. No count exceeds
        `MAX_ELEMENTS`.
    mu_cutoff : float
        The cut-off, in (0, 1], of mu = 1 - sum|R_k < 0| / sum|R_k >= 0|
        below which the elements start fitting noise (default 0.85).
    threshold : float
        A point passes when both its relative residuals lie within
        +-threshold (default 0.01).
    inductance : bool
        Add a series inductor, for an inductive high-frequency tail.
    capacitance : bool, optional
        Add a series capacitor, for a blocking electrode or a diffusion tail
        that has not turned over (both additions are Kramers–Kronig
        consistent). None (the default) lets the data decide: a spectrum
        that ends in a capacitive tail (`capacitive_tail`) is tested with and
        without the capacitor, and the result is the variant with it when
        that one passes and the other fails, else the variant without; its
        `note` says what the other variant gave. Without such a tail the
        capacitor is left out.
    min_elements, max_elements : int, optional
        The range of M scanned (defaults: 2.5 per decade of the band, and the
        number of points).

    Returns
    -------
    KKResult

    Raises
    ------
    kelvra.io.PointError
        A point has a non-finite value or an impedance of 0.
    ValueError
        Options out of range, or a spectrum the test cannot take (fewer than
        two distinct frequencies).

    References
    ----------
    B. A. Boukamp, "A linear Kronig-Kramers transform test for immittance
    data validation", J. Electrochem. Soc. 142 (1995) 1885-1894.
    M. Schönleber, D. Klotz and E. Ivers-Tiffée, "A method for improving the
    robustness of linear Kramers-Kronig validity tests", Electrochim. Acta
    131 (2014) 20-27 (the mu criterion).
    """
    _check_options(mu_cutoff, threshold, {"n_elements": n_elements, "min_elements": min_elements,
                                          "max_elements": max_elements})
    frequencies, impedances = _as_spectrum(frequencies, impedances)
    options = dict(n_elements=n_elements, mu_cutoff=mu_cutoff, threshold=threshold, inductance=inductance,
                   min_elements=min_elements, max_elements=max_elements)
    if capacitance is not None:
        return _variant(frequencies, impedances, capacitance=bool(capacitance), **options)
    without = _variant(frequencies, impedances, capacitance=False, **options)
    if not capacitive_tail(frequencies, impedances):
        return without
    try:
        with_capacitor = _variant(frequencies, impedances, capacitance=True, **options)
    except ValueError:  # too few points for the capacitor's unknown as well
        return without
    other = (f"the variant with a series capacitor {'passes' if with_capacitor.valid else 'fails'} "
             f"({100 * with_capacitor.max_residual:.2f} %)")
    if with_capacitor.valid and not without.valid:
        return replace(with_capacitor, note=(
            f"the data end in a capacitive tail and need the series capacitor: without it the test fails "
            f"({100 * without.max_residual:.2f} %)"))
    return replace(without, note=f"the data end in a capacitive tail; {other}")


def _variant(frequencies, impedances, *, n_elements, mu_cutoff, threshold, inductance, capacitance, min_elements,
             max_elements):
    system = _LinearSystem(frequencies, impedances, inductance, capacitance)
    # M RC elements plus the fixed unknowns must stay below the 2N equations.
    most = min(2 * frequencies.size - system.n_fixed - 1, MAX_ELEMENTS)
    try:
        return _test(system, frequencies, impedances, n_elements, mu_cutoff, threshold, min_elements,
                     max_elements, most)
    except np.linalg.LinAlgError as error:
        raise ValueError(f"the Kramers-Kronig fit of this spectrum is singular ({error})") from None


def _test(system, frequencies, impedances, n_elements, mu_cutoff, threshold, min_elements, max_elements, most):
    if n_elements is not None:
        _check_count("n_elements", n_elements, most)
        coefficients, mu = _fit_counts(system, n_elements, n_elements)
        count, coefficients, mu = n_elements, coefficients[0], float(mu[0])
    else:
        limit = min(frequencies.size, most) if max_elements is None else max_elements
        _check_count("max_elements", limit, most)
        if min_elements is None:
            decades = system.log_span / np.log(10.0)
            min_elements = min(max(1, int(np.ceil(MIN_ELEMENTS_PER_DECADE * decades))), limit)
        _check_count("min_elements", min_elements, limit)
        count, coefficients, mu = _choose_count(system, mu_cutoff, min_elements, limit)
    return _result(system, frequencies, impedances, count, coefficients, mu, mu_cutoff, threshold)


def kramers_kronig_many(spectra, *, workers=None, progress=None, **options):
    """`kramers_kronig` of each of many spectra on the shared threads.

    Parameters
    ----------
    spectra : iterable
        Items `kelvra.io.as_spectrum` accepts: ``kelvra.io.Spectrum`` objects
        or (frequencies, impedances) pairs.
    workers : int, optional
        Threads (default: every usable core).
    progress : bool, optional
        A progress bar, as in `kelvra.batch.fit_many`.
    **options
        As for `kramers_kronig`, for every test.

    Returns
    -------
    list of KKResult or Exception
        In input order; for a spectrum the test cannot take, the exception
        that says why: one spectrum never stops the others.

    Raises
    ------
    ValueError
        Options out of range: they are checked once, before any test.
    """
    from ._threads import map_in_threads, thread_count

    _check_options(options.get("mu_cutoff", DEFAULT_MU_CUTOFF), options.get("threshold", DEFAULT_THRESHOLD),
                   {name: options.get(name) for name in ("n_elements", "min_elements", "max_elements")})
    items = list(spectra)

    def task(index):
        try:
            return kramers_kronig(items[index], **options)
        except Exception as error:  # recorded in its own place, as a refused spectrum is
            return error

    return map_in_threads(task, len(items), thread_count(workers), progress)


def _check_count(name, value, most):
    if not 1 <= value <= most:
        raise ValueError(f"{name} must be between 1 and {most}, got {value}")


def _result(system, frequencies, impedances, count, coefficients, mu, mu_cutoff, threshold):
    n_fixed = system.n_fixed
    coefficients = coefficients[:n_fixed + count]
    tau, _, real = system.elements(count, count)
    stacked = system.product(tau, real, coefficients[None, :])[0]
    n = system.n_points
    fitted = (stacked[:n] + 1j * stacked[n:]) / system.weight
    residuals = system.rhs - stacked
    inductance = float(coefficients[1]) if system.has_inductance else 0.0
    capacitance = np.inf
    if system.has_capacitance:
        with np.errstate(divide="ignore"):
            capacitance = float(1.0 / coefficients[n_fixed - 1])
    return KKResult(
        frequencies=frequencies, impedances=impedances, fitted=fitted,
        residuals_real=residuals[:n], residuals_imag=residuals[n:],
        n_elements=count, mu=mu, mu_cutoff=mu_cutoff, threshold=threshold,
        valid=bool(np.all(np.abs(residuals) <= threshold)),
        time_constants=tau[0], resistances=coefficients[n_fixed:],
        series_resistance=float(coefficients[0]), inductance=inductance,
        capacitance=capacitance)
