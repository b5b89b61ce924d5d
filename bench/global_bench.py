"""The global fit methods on hard cases, against their scipy counterparts.

Two-arc CPE topologies fitted from placeholder starts (every parameter at
its catalogue default), on synthetic spectra with 0.5 % noise. Each of
kelvra's methods runs through Circuit.fit; scipy's differential_evolution,
dual_annealing, basinhopping and Nelder-Mead minimise the same cost
(half the sum of squared modulus-weighted residuals, NumPy, vectorised over
frequencies) in the same search coordinates and box (log10 of open
parameters, four decades either side of the start) from the same start.
Success: chi-square at most 1.5 times the chi-square at the true parameters.

    .venv/bin/python bench/global_bench.py [--spectra N] [--methods NAME ...]
"""

import argparse
import warnings
import time

import numpy as np
from scipy.optimize import basinhopping, differential_evolution, dual_annealing, minimize

import kelvra
from fit_bench import FREQ, NOISE, SUCCESS_RATIO, chi_square, numpy_model, true_values

TOPOLOGIES = {"two_rq": "R0-(R1,CPE1)-(R2,CPE2)", "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)"}
BOX_DECADES = 4.0
# kelvra method -> (scipy counterpart label, runner)
PAIRS = {
    "nelder_mead": "scipy Nelder-Mead",
    "particle_swarm": None,
    "simulated_annealing": "scipy dual_annealing",
    "differential_evolution": "scipy differential_evolution",
    "basin_hopping": "scipy basinhopping",
}


class Cost:
    """The fit's cost in search coordinates, counting its evaluations."""

    def __init__(self, model, bounds, omega, z):
        self.model, self.omega, self.z = model, omega, z
        self.lo = np.array([b[0] for b in bounds])
        self.open = ~np.isfinite(np.array([b[1] for b in bounds]))
        self.weight = np.maximum(np.abs(z), 1e-30)
        self.evals = 0

    def physical(self, u):
        return np.where(self.open, 10.0 ** u + self.lo, u)

    def __call__(self, u):
        self.evals += 1
        d = (self.model(self.physical(u), self.omega) - self.z) / self.weight
        c = 0.5 * float(np.sum(d.real ** 2 + d.imag ** 2))
        return c if np.isfinite(c) else 1e300


def scipy_run(label, cost, u0, box, seed):
    if label == "scipy Nelder-Mead":
        return minimize(cost, u0, method="Nelder-Mead", options={"maxiter": 2000}).x
    if label == "scipy dual_annealing":
        return dual_annealing(cost, box, x0=np.clip(u0, box[:, 0], box[:, 1]), seed=seed).x
    if label == "scipy differential_evolution":
        return differential_evolution(cost, box, seed=seed).x
    return basinhopping(cost, u0, niter=20, seed=seed).x


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=10)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--methods", nargs="+", choices=list(PAIRS), default=list(PAIRS))
    args = parser.parse_args()
    # scipy's searches wander into overflow; those costs are counted as huge.
    warnings.simplefilter("ignore", RuntimeWarning)
    rng = np.random.default_rng(args.seed)
    omega = 2 * np.pi * FREQ
    print(f"{args.spectra} spectra per topology from placeholder starts; "
          f"success = chi2 <= {SUCCESS_RATIO} x chi2(truth)")
    print(f"{'topology':<12}{'method':<30}{'ok':>6}{'median s':>10}{'us/eval':>9}")
    for name, topology in TOPOLOGIES.items():
        circuit = kelvra.Circuit(topology)
        bounds = circuit.param_bounds()
        start = np.array(circuit.param_values())
        placeholder = circuit.with_values(list(start))
        model = numpy_model(topology)
        spectra = []
        for _ in range(args.spectra):
            truth = true_values(circuit, rng)
            clean = model(truth, omega)
            noise = rng.standard_normal(len(FREQ)) + 1j * rng.standard_normal(len(FREQ))
            z = clean + NOISE * np.abs(clean) * noise
            spectra.append((z, chi_square(circuit, truth, z)))
        for method in args.methods:
            counterpart = PAIRS[method]
            rows = [(f"kelvra {method}", None)] + ([(counterpart, counterpart)] if counterpart else [])
            for label, scipy_label in rows:
                ok, times, per_eval = [], [], []
                for seed, (z, reference) in enumerate(spectra):
                    t0 = time.perf_counter()
                    if scipy_label is None:
                        fit = placeholder.fit(FREQ, z, method=method, seed=seed)
                        elapsed = time.perf_counter() - t0
                        chi2, evals = fit.chi_square, fit.impedance_evals
                        if method == "basin_hopping":
                            evals = 0  # its count covers only the final statistics
                    else:
                        cost = Cost(model, bounds, omega, z)
                        u0 = np.where(cost.open, np.log10(np.maximum(start - cost.lo, 1e-300)), start)
                        c = np.maximum(np.abs(start), 1e-6)
                        box = np.where(cost.open[:, None],
                                       np.column_stack([np.log10(c) - BOX_DECADES, np.log10(c) + BOX_DECADES]),
                                       np.array(bounds))
                        u = scipy_run(scipy_label, cost, u0, box, seed)
                        elapsed = time.perf_counter() - t0
                        params = np.clip(cost.physical(u), cost.lo, [b[1] for b in bounds])
                        chi2, evals = chi_square(circuit, params, z), cost.evals
                    ok.append(chi2 <= SUCCESS_RATIO * reference)
                    times.append(elapsed)
                    per_eval.append(elapsed / evals * 1e6 if evals else float("nan"))
                print(f"{name:<12}{label:<30}{np.mean(ok):6.0%}{np.median(times):10.3f}"
                      f"{np.median(per_eval):9.2f}")


if __name__ == "__main__":
    main()
