"""How often model ranking names the true topology, and how long it takes.

For each built-in topology, ranks N synthetic spectra (the sampling and the
0.5 % proportional complex noise of fit_bench.py: 50 log-spaced points from
10 mHz to 100 kHz, time constants inside the band) with all eleven built-in
models and counts:

  first      the true topology ranks first by AIC;
  nested     it ranks first, or the model ranked first is a simpler one
             nested in it (a limit of its parameters) and the true one is
             within 2 AIC units of it, where the data cannot tell them apart;
  bic first  the true topology has the lowest BIC.

Then times the ranking of one 50-point spectrum on one thread.

    .venv/bin/python bench/rank_bench.py [--spectra N] [--seed S]
"""

import argparse
import os
import sys
import time

import numpy as np

import kelvra
from kelvra import ranking

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fit_bench import FREQ, NOISE, true_values  # noqa: E402

# The simpler built-in models nested in each one: a limit of its parameters
# (a resistance or a Warburg coefficient to 0, an inductance to 0, a CPE
# exponent to 1) gives them.
NESTED = {
    "rc": set(),
    "rc_l": {"rc"},
    "rq": {"rc"},
    "rq_l": {"rc", "rc_l", "rq"},
    "two_rc": {"rc"},
    "two_rc_l": {"rc", "rc_l", "two_rc"},
    "two_rq": {"rc", "rq", "two_rc"},
    "two_rq_l": {"rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq"},
    "randles": {"rc", "rq"},
    "sei_randles": {"rc", "rq", "two_rc", "two_rq", "randles"},
    "sei_randles_wo": {"rc", "rq", "two_rc", "two_rq"},
}
TIE_AIC = 2.0


def spectrum(circuit, rng):
    clean = np.asarray(circuit.with_values(list(true_values(circuit, rng))).impedance(FREQ))
    noise = rng.standard_normal(FREQ.size) + 1j * rng.standard_normal(FREQ.size)
    return clean + NOISE * np.abs(clean) * noise


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=100)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--repeats", type=int, default=5, help="timed rankings per timing spectrum")
    parser.add_argument("--max-iterations", type=int, help="passed to every fit")
    parser.add_argument("--tolerance", type=float, help="ftol and xtol of every fit")
    args = parser.parse_args()
    options = {}
    if args.max_iterations is not None:
        options["max_iterations"] = args.max_iterations
    if args.tolerance is not None:
        options["ftol"] = options["xtol"] = args.tolerance
    rng = np.random.default_rng(args.seed)
    models = kelvra.Circuit.ml_circuits()
    print(f"{args.spectra} spectra per topology, {NOISE:.1%} noise, {FREQ.size} points, fit options {options}")
    print(f"{'true model':<16}{'first':>7}{'nested':>8}{'bic first':>11}   most frequent winner when not first")
    totals = np.zeros(3)
    for name in models if args.spectra else ():
        circuit = kelvra.Circuit(name)
        spectra = [(FREQ, spectrum(circuit, rng)) for _ in range(args.spectra)]
        results = ranking.rank_many(spectra, workers=args.workers, progress=False, **options)
        first = nested = bic_first = 0
        winners = {}
        for result in results:
            aic = {fit.model: fit.aic for fit in result}
            bic = {fit.model: fit.bic for fit in result}
            best = result.best.model
            first += best == name
            nested += best == name or (best in NESTED[name] and aic[name] - aic[best] <= TIE_AIC)
            bic_first += min(bic, key=lambda m: (np.isnan(bic[m]), bic[m])) == name
            if best != name:
                winners[best] = winners.get(best, 0) + 1
        shares = np.array([first, nested, bic_first]) / args.spectra
        totals += shares
        common = ", ".join(f"{m} {n}" for m, n in sorted(winners.items(), key=lambda item: -item[1])[:3])
        print(f"{name:<16}{shares[0]:>7.0%}{shares[1]:>8.0%}{shares[2]:>11.0%}   {common}")
    if args.spectra:
        totals /= len(models)
        print(f"{'all':<16}{totals[0]:>7.0%}{totals[1]:>8.0%}{totals[2]:>11.0%}")

    # The time depends on the spectrum (a model far from the data takes
    # more iterations), so it is taken over one spectrum of each topology.
    timing = [spectrum(kelvra.Circuit(name), rng) for name in models]
    wall, cpu = [], []
    for z in timing:
        ranking.rank(FREQ, z, workers=1, **options)
        for _ in range(args.repeats):
            start_wall, start_cpu = time.perf_counter(), time.process_time()
            ranking.rank(FREQ, z, workers=1, **options)
            wall.append(time.perf_counter() - start_wall)
            cpu.append(time.process_time() - start_cpu)
    wall, cpu = np.array(wall) * 1e3, np.array(cpu) * 1e3
    print(f"ranking one {FREQ.size}-point spectrum (eleven models, one thread, {len(timing)} spectra): "
          f"median {np.median(wall):.1f} ms wall, {np.median(cpu):.1f} ms CPU; "
          f"90th percentile {np.percentile(wall, 90):.1f} ms wall")


if __name__ == "__main__":
    main()
