"""How often model ranking names the true topology, and how long it takes.

For each built-in topology, ranks N synthetic spectra (the sampling and the
0.5 % proportional complex noise of fit_bench.py: 50 log-spaced points from
10 mHz to 100 kHz, time constants inside the band) with all eleven built-in
models and counts:

  first      the true topology ranks first (by BIC, the default criterion);
  nested     it ranks first, or the model ranked first is a simpler one
             nested in it (a limit of its parameters) and the true one is
             within 2 AIC units of it, where the data cannot tell them apart;
  aic first  the true topology has the lowest AIC.

The sampling draws every value independently, so many spectra do not show
every element of their circuit: an inductance whose reactance stays below
the noise, an arc a thousand times smaller than its neighbour, two arcs at
the same time constant. Such a spectrum is described as well by a simpler
circuit, and no criterion can name its true topology. The shares are
therefore given twice: over every spectrum, and over the identifiable ones,
those on which every other built-in model with at most as many parameters,
fitted to the noise-free spectrum, misses it by more than the noise could
hide: its expected AIC gap, m ln(1 + chi-square / (m sigma^2)) - 2 (k_true - k),
is at least IDENTIFIABLE_GAP.

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

TIE_AIC = 2.0
# The expected AIC margin by which the true topology must beat every simpler
# or equally large rival on a spectrum for the spectrum to count as
# identifiable: beyond what the noise of one draw moves (a few units).
IDENTIFIABLE_GAP = 10.0


def clean_and_noisy(circuit, rng):
    clean = np.asarray(circuit.with_values(list(true_values(circuit, rng))).impedance(FREQ))
    noise = rng.standard_normal(FREQ.size) + 1j * rng.standard_normal(FREQ.size)
    return clean, clean + NOISE * np.abs(clean) * noise


def spectrum(circuit, rng):
    return clean_and_noisy(circuit, rng)[1]


def identifiable(name, clean_ranking):
    """Whether every rival with at most as many parameters misses the
    noise-free spectrum by more than IDENTIFIABLE_GAP expected AIC units."""
    fits = {fit.model: fit for fit in clean_ranking}
    m = 2 * FREQ.size
    k_true = fits[name].n_params
    for model, fit in fits.items():
        if model == name or fit.n_params > k_true:
            continue
        gap = m * np.log1p(fit.chi_square / (m * NOISE**2)) - 2 * (k_true - fit.n_params)
        if not gap >= IDENTIFIABLE_GAP:
            return False
    return True


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
    print(f"{'':<16}{'every spectrum':^27}  {'identifiable spectra':^34}")
    print(f"{'true model':<16}{'first':>7}{'nested':>8}{'aic first':>11}  {'count':>6}{'first':>7}{'nested':>8}"
          f"{'aic first':>11}   most frequent winner on identifiable spectra when not first")
    totals = np.zeros((2, 3))
    counts = 0
    for name in models if args.spectra else ():
        circuit = kelvra.Circuit(name)
        pairs = [clean_and_noisy(circuit, rng) for _ in range(args.spectra)]
        noisy = ranking.rank_many([(FREQ, z) for _, z in pairs], workers=args.workers, progress=False, **options)
        clean = ranking.rank_many([(FREQ, c) for c, _ in pairs], workers=args.workers, progress=False, **options)
        shares = np.zeros((2, 3))
        kept = 0
        winners = {}
        for result, clean_result in zip(noisy, clean):
            aic = {fit.model: fit.aic for fit in result}
            best = result.best.model
            hits = np.array([best == name,
                             best == name or (best in ranking.NESTED[name] and aic[name] - aic[best] <= TIE_AIC),
                             min(aic, key=lambda m: (np.isnan(aic[m]), aic[m])) == name])
            shares[0] += hits
            if identifiable(name, clean_result):
                kept += 1
                shares[1] += hits
                if best != name:
                    winners[best] = winners.get(best, 0) + 1
        shares[0] /= args.spectra
        shares[1] /= max(kept, 1)
        totals += shares * [[args.spectra], [kept]]
        counts += kept
        common = ", ".join(f"{m} {n}" for m, n in sorted(winners.items(), key=lambda item: -item[1])[:3])
        print(f"{name:<16}{shares[0][0]:>7.0%}{shares[0][1]:>8.0%}{shares[0][2]:>11.0%}  {kept:>6}"
              f"{shares[1][0]:>7.0%}{shares[1][1]:>8.0%}{shares[1][2]:>11.0%}   {common}")
    if args.spectra:
        totals[0] /= args.spectra * len(models)
        totals[1] /= max(counts, 1)
        print(f"{'all':<16}{totals[0][0]:>7.0%}{totals[0][1]:>8.0%}{totals[0][2]:>11.0%}  {counts:>6}"
              f"{totals[1][0]:>7.0%}{totals[1][1]:>8.0%}{totals[1][2]:>11.0%}")

    # The time depends on the spectrum (a model far from the data takes
    # more iterations), so it is taken over one spectrum of each topology,
    # for the screening ranking and, as the baseline, for one that fits every
    # model with the full multi-start Circuit.fit (any fit option beyond
    # `weight` selects it).
    timing = [spectrum(kelvra.Circuit(name), rng) for name in models]
    medians = {}
    for label, extra in (("screening", {}), ("full fits", {"max_iterations": 200})):
        wall, cpu = time_rankings(timing, args.repeats, {**extra, **options})
        medians[label] = np.median(cpu)
        print(f"ranking one {FREQ.size}-point spectrum, {label} (eleven models, one thread, {len(timing)} spectra): "
              f"median {np.median(wall):.1f} ms wall, {np.median(cpu):.1f} ms CPU; "
              f"90th percentile {np.percentile(wall, 90):.1f} ms wall")
    print(f"screening is {medians['full fits'] / medians['screening']:.1f}x faster (median CPU)")


def time_rankings(spectra, repeats, options):
    wall, cpu = [], []
    for z in spectra:
        ranking.rank(FREQ, z, workers=1, **options)
        for _ in range(repeats):
            start_wall, start_cpu = time.perf_counter(), time.process_time()
            ranking.rank(FREQ, z, workers=1, **options)
            wall.append(time.perf_counter() - start_wall)
            cpu.append(time.process_time() - start_cpu)
    return np.array(wall) * 1e3, np.array(cpu) * 1e3


if __name__ == "__main__":
    main()
