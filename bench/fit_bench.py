"""Fit speed and success of the default fit against scipy.optimize.least_squares.

For each of the eleven built-in topologies, fits N synthetic spectra (50
log-spaced points from 10 mHz to 100 kHz, time constants at least half a
decade inside the band, 0.5 % proportional complex noise, seeded) from starts
perturbed by a random factor in [1/3, 3] (CPE exponents by +-0.15). A fit
"reaches the global optimum" when its chi-square is at most 1.5 times the
chi-square at the true parameters. scipy runs the same modulus-weighted
residual, vectorised over frequencies in NumPy, in the same search
coordinates (log10 of open parameters, bounded ones as they are) from the
same starts: method "lm" (unbounded) and "trf" (with the bounds).

    .venv/bin/python bench/fit_bench.py [--spectra N] [--seed S]
"""

import argparse
import re
import time

import numpy as np
from scipy.optimize import least_squares

import kelvra

TOPOLOGIES = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}
FREQ = np.logspace(-2, 5, 50)
NOISE = 0.005
SUCCESS_RATIO = 1.5
LN10 = np.log(10.0)


# --- a NumPy model of the same circuits, for scipy -------------------------

def numpy_model(topology):
    """Returns f(params, omega) -> complex impedance array for a topology."""
    tokens = re.findall(r"[A-Za-z]+\d+|[-(),]", topology)
    pos = 0
    index = 0

    def element(code):
        nonlocal index
        i = index
        index += {"R": 1, "C": 1, "L": 1, "CPE": 2, "W": 1, "Wo": 2}[code]
        if code == "R":
            return lambda p, w: p[i] + 0j * w
        if code == "C":
            return lambda p, w: 1 / (1j * w * p[i])
        if code == "L":
            return lambda p, w: 1j * w * p[i]
        if code == "CPE":
            return lambda p, w: 1 / (p[i] * (1j * w) ** p[i + 1])
        if code == "W":
            return lambda p, w: p[i] * (1 - 1j) / np.sqrt(w)
        s = lambda p, w: np.sqrt(1j * w * p[i + 1])  # noqa: E731
        return lambda p, w: p[i] / (s(p, w) * np.tanh(s(p, w)))

    def series():
        nonlocal pos
        terms = [term()]
        while pos < len(tokens) and tokens[pos] == "-":
            pos += 1
            terms.append(term())
        return lambda p, w: sum(t(p, w) for t in terms)

    def term():
        nonlocal pos
        tok = tokens[pos]
        pos += 1
        if tok != "(":
            return element(re.match(r"[A-Za-z]+", tok).group())
        branches = [series()]
        while tokens[pos] == ",":
            pos += 1
            branches.append(series())
        pos += 1
        return lambda p, w: 1 / sum(1 / b(p, w) for b in branches)

    return series()


# --- synthetic spectra ------------------------------------------------------

def true_values(circuit, rng):
    """Parameters whose time constants lie inside the measured band."""
    names = circuit.param_names()
    values = {}
    for name in names:
        label, field = name.split(".")
        if field == "r":
            values[name] = 10 ** rng.uniform(-2, 1)
        elif field == "l":
            values[name] = 10 ** rng.uniform(-8, -6)
        elif field == "alpha":
            values[name] = rng.uniform(0.7, 0.95)
        elif field == "aw":
            values[name] = 10 ** rng.uniform(-2, 0)
        elif field == "z0":
            values[name] = 10 ** rng.uniform(-2, 0)
        elif field == "tau":
            values[name] = 10 ** rng.uniform(-1, 1)
    # capacitances from time constants: the arcs sit inside 10 mHz .. 100 kHz
    for name in names:
        label, field = name.split(".")
        r = values[f"R{label[-1]}.r"]
        tau = 10 ** rng.uniform(-4.5, 0.5)
        if field == "c":
            values[name] = tau / r
        elif field == "q":
            values[name] = tau ** values[f"{label}.alpha"] / r
    return np.array([values[n] for n in names])


def perturb(truth, names, rng):
    start = truth.copy()
    for i, name in enumerate(names):
        if name.endswith(".alpha"):
            start[i] = np.clip(truth[i] + rng.uniform(-0.15, 0.15), 0.05, 1.0)
        else:
            start[i] = truth[i] * np.exp(rng.uniform(np.log(1 / 3), np.log(3)))
    return start


# --- scipy on the same residual, in the same coordinates --------------------

def scipy_fit(model, bounds, start, omega, z, method):
    lo = np.array([b[0] for b in bounds])
    open_ = ~np.isfinite(np.array([b[1] for b in bounds]))
    weight = np.maximum(np.abs(z), 1e-30)

    def physical(u):
        return np.where(open_, 10.0 ** u + lo, u)

    def residual(u):
        d = (model(physical(u), omega) - z) / weight
        return np.column_stack([d.real, d.imag]).ravel()

    u0 = np.where(open_, np.log10(np.maximum(start - lo, 1e-300)), start)
    if method == "lm":
        sol = least_squares(residual, u0, method="lm", xtol=1e-8, ftol=1e-8)
    else:
        lb = np.where(open_, -np.inf, lo)
        ub = np.array([b[1] for b in bounds])
        sol = least_squares(residual, np.clip(u0, lb + 1e-12, ub - 1e-12), method="trf",
                            bounds=(lb, ub), xtol=1e-8, ftol=1e-8)
    hi = np.array([b[1] for b in bounds])
    return np.clip(physical(sol.x), lo, hi)


def chi_square(circuit, params, z):
    r = np.array(circuit.residuals(list(params), FREQ, z))
    return float(r @ r)


def summarise(times, ok):
    t = np.array(times) * 1e3
    return np.median(t), np.percentile(t, 90), np.mean(ok)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=200)
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    omega = 2 * np.pi * FREQ

    print(f"{args.spectra} noisy spectra per topology; times in ms per fit; "
          f"success = chi2 <= {SUCCESS_RATIO} x chi2(truth)")
    header = (f"{'model':<15}{'kelvra med':>11}{'p90':>8}{'ok':>6}"
              f"{'lm med':>9}{'p90':>8}{'ok':>6}{'trf med':>9}{'p90':>8}{'ok':>6}"
              f"{'lm/kelvra':>11}")
    print(header)
    for name, topology in TOPOLOGIES.items():
        circuit = kelvra.Circuit(topology)
        names, bounds = circuit.param_names(), circuit.param_bounds()
        model = numpy_model(topology)
        results = {"kelvra": ([], []), "lm": ([], []), "trf": ([], [])}
        for _ in range(args.spectra):
            truth = true_values(circuit, rng)
            clean = model(truth, omega)
            noise = rng.standard_normal(len(FREQ)) + 1j * rng.standard_normal(len(FREQ))
            z = clean + NOISE * np.abs(clean) * noise
            start = perturb(truth, names, rng)
            reference = chi_square(circuit, truth, z)

            t0 = time.perf_counter()
            fit = circuit.with_values(list(start)).fit(FREQ, z)
            elapsed = time.perf_counter() - t0
            results["kelvra"][0].append(elapsed)
            results["kelvra"][1].append(fit.chi_square <= SUCCESS_RATIO * reference)
            for method in ("lm", "trf"):
                t0 = time.perf_counter()
                params = scipy_fit(model, bounds, start, omega, z, method)
                elapsed = time.perf_counter() - t0
                results[method][0].append(elapsed)
                results[method][1].append(chi_square(circuit, params, z) <= SUCCESS_RATIO * reference)
        k, lm, trf = (summarise(*results[m]) for m in ("kelvra", "lm", "trf"))
        print(f"{name:<15}{k[0]:11.3f}{k[1]:8.3f}{k[2]:6.0%}{lm[0]:9.2f}{lm[1]:8.2f}{lm[2]:6.0%}"
              f"{trf[0]:9.2f}{trf[1]:8.2f}{trf[2]:6.0%}{lm[0] / k[0]:10.1f}x")


if __name__ == "__main__":
    main()
