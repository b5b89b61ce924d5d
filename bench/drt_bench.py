"""Time of a DRT: one 80-point spectrum with lambda chosen by GCV, against the
same method written with NumPy and SciPy, and `drt_many` on many spectra.

The reference follows the usual open implementation of the ridge/RBF DRT,
written as efficiently as NumPy allows: the basis integrals by Simpson's
rule, vectorised over every (frequency, centre) pair; lambda by minimising
the GCV score of the unconstrained ridge solution (one dense inverse per
trial lambda); non-negativity by a general quadratic-programming solver
(SLSQP with bounds). It uses kelvra's grid, shape,
penalty, weighting and normalisation, so both compute the same DRT; the
benchmark prints how far apart their gammas are.

    .venv/bin/python bench/drt_bench.py [--repeats R] [--many N]
"""

import argparse
import math
import time

import numpy as np
from scipy import integrate, optimize

from kelvra import _core
from kelvra.drt import drt_many

POINTS = 80
FREQUENCIES = np.logspace(5, -2, POINTS)


def spectrum(rng, tau=None):
    omega = 2 * np.pi * FREQUENCIES
    tau = 10 ** rng.uniform(-4, -1) if tau is None else tau
    z = 10 + 50 / (1 + (1j * omega * tau) ** 0.85) + 80 / (1 + (1j * omega * tau * 300) ** 0.9)
    return z * (1 + 0.005 * (rng.standard_normal(POINTS) + 1j * rng.standard_normal(POINTS)))


def reference_drt(f, z, points_per_decade=10.0, extension=0.5):
    """kelvra's DRT (first-derivative penalty, GCV, gamma >= 0) in NumPy/SciPy."""
    omega = 2 * np.pi * f
    low = math.log(1 / (2 * math.pi * f.max())) - extension * math.log(10)
    high = math.log(1 / (2 * math.pi * f.min())) + extension * math.log(10)
    count = int(math.ceil((high - low) / math.log(10) * points_per_decade - 1e-9)) + 1
    y = np.linspace(low, high, count)
    spacing = y[1] - y[0]
    eps = 1.0 / spacing
    # The basis integrals, vectorised: Simpson's rule on 801 nodes over
    # |eps u| <= 8 for every (frequency, centre) pair at once.
    u = np.linspace(-8 / eps, 8 / eps, 801)
    t = (omega[:, None] * np.exp(y)[None, :])[:, :, None] * np.exp(u)[None, None, :]
    phi = np.exp(-(eps * u) ** 2)
    a_re = integrate.simpson(phi / (1 + t ** 2), x=u, axis=-1)
    a_im = -integrate.simpson(phi * t / (1 + t ** 2), x=u, axis=-1)
    weight = np.maximum(np.abs(z), 1e-30)
    r_ref = np.abs(z).max()
    scale = math.sqrt(np.sum(np.abs(z) ** 2 / weight ** 2) / (2 * f.size))
    rows = 1 / (weight * scale)
    inductive = np.any(z.imag > 0)
    free = [np.concatenate([r_ref * rows, np.zeros(f.size)])]
    if inductive:
        free.append(np.concatenate([np.zeros(f.size), r_ref * omega / omega.max() * rows]))
    a = np.hstack([np.column_stack(free), r_ref * np.vstack([a_re * rows[:, None], a_im * rows[:, None]])])
    b = np.concatenate([z.real * rows, z.imag * rows])
    d = y[:, None] - y[None, :]
    s = (eps * d) ** 2
    penalty = math.sqrt(math.pi / 2) / eps * np.exp(-s / 2) * eps ** 2 * (1 - s)
    penalty /= np.mean(np.diag(penalty))
    u = len(free)
    full_penalty = np.zeros((u + count, u + count))
    full_penalty[u:, u:] = penalty + 1e-9 * np.eye(count)
    gram, rhs = a.T @ a, a.T @ b

    def gcv(log_lambda):
        lam = 10 ** log_lambda
        inverse = np.linalg.inv(gram + lam * full_penalty)
        x = inverse @ rhs
        trace = np.trace(a @ inverse @ a.T)
        residual = np.sum((a @ x - b) ** 2)
        return b.size * residual / (b.size - trace) ** 2

    scan = np.arange(-10, 1.01, 0.125)
    best = scan[np.argmin([gcv(v) for v in scan])]
    found = optimize.minimize_scalar(gcv, bounds=(best - 0.125, best + 0.125), method="bounded")
    lam = 10 ** found.x
    hessian = gram + lam * full_penalty
    bounds = [(None, None)] * u + [(0, None)] * count
    start = np.linalg.lstsq(hessian, rhs, rcond=None)[0]
    start[u:] = np.maximum(start[u:], 0)
    solved = optimize.minimize(lambda x: 0.5 * x @ hessian @ x - rhs @ x, start, jac=lambda x: hessian @ x - rhs,
                               bounds=bounds, method="SLSQP", options={"maxiter": 2000, "ftol": 1e-14})
    weights = r_ref * solved.x[u:]
    return y, eps, weights, lam


def gamma_on(y_out, y, eps, weights):
    return np.exp(-(eps * (y_out[:, None] - y[None, :])) ** 2) @ weights


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=200)
    parser.add_argument("--reference-repeats", type=int, default=3)
    parser.add_argument("--many", type=int, default=10000, help="spectra for drt_many")
    parser.add_argument("--seed", type=int, default=20261209)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    z = spectrum(rng, tau=1e-3)

    times = []
    for _ in range(args.repeats):
        start = time.perf_counter()
        raw = _core._drt(FREQUENCIES, z)
        times.append(time.perf_counter() - start)
    native_median, native_best = np.median(times), min(times)

    reference_times = []
    for _ in range(args.reference_repeats):
        start = time.perf_counter()
        y, eps, weights, lam = reference_drt(FREQUENCIES, z)
        reference_times.append(time.perf_counter() - start)
    reference = np.median(reference_times)
    ref_gamma = gamma_on(np.log(raw["tau"]), y, eps, weights)
    difference = np.max(np.abs(ref_gamma - raw["gamma"])) / raw["gamma"].max()

    print(f"DRT of one {POINTS}-point spectrum, lambda by GCV, gamma >= 0")
    print(f"  native:    median {native_median * 1e3:.2f} ms, best {native_best * 1e3:.2f} ms "
          f"({args.repeats} repeats)")
    print(f"  reference (NumPy/SciPy: vectorised Simpson, GCV by dense inverses, SLSQP): median {reference:.3f} s "
          f"({args.reference_repeats} repeats)")
    print(f"  speed-up:  {reference / native_median:.0f}x on medians, {min(reference_times) / native_best:.0f}x "
          f"on bests")
    print(f"  agreement: lambda {raw['lambda']:.4g} native, {lam:.4g} reference; "
          f"largest gamma difference {100 * difference:.2f} % of the peak")

    spectra = [(FREQUENCIES, spectrum(rng)) for _ in range(args.many)]
    print(f"drt_many on {args.many} spectra of {POINTS} points")
    baseline = None
    for workers in (1, 2):
        start = time.perf_counter()
        results = drt_many(spectra, workers=workers, progress=False)
        elapsed = time.perf_counter() - start
        baseline = baseline or elapsed
        failed = sum(isinstance(r, ValueError) for r in results)
        print(f"  workers={workers}: {elapsed:.2f} s, {elapsed / args.many * 1e3:.2f} ms per spectrum, "
              f"{baseline / elapsed:.2f}x the one-worker rate ({failed} failed)")


if __name__ == "__main__":
    main()
