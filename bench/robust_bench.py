"""The robust fit on the measured spectra in tests/data, against the best
objectives long global searches found.

    tools/bench robust              the table: plain and robust chi-square
                                    over the reference, time, verdict
    tools/bench robust --reference  recompute bench/robust_reference.json
                                    (long: many seeded searches per case)
    tools/bench robust --synthetic N  N synthetic spectra fitted with a
                                    circuit simpler than the one that made
                                    them, each against its own long searches

Each case is a (file, sweep, circuit) with circuits an analyst would try on
that spectrum. "ratio" is chi-square over the reference's; a fit within 5 %
has ratio <= 1.05. Times are per fit, median of `--repeat` runs, measured on
this machine in this run; the plain fit is the baseline.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import statistics
import sys
import time
import warnings

import numpy as np

import kelvra
from kelvra import io
from kelvra.fitting import fit_spectrum
from kelvra.robust import robust_fit
from kelvra.tables import MANY_FITS_OPTIONS

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
REFERENCE = pathlib.Path(__file__).resolve().parent / "robust_reference.json"
WITHIN = 1.05
# What `kelvra fit` passes: "plain" is `kelvra fit --no-robust`, "robust" `kelvra fit`.
COMMAND_LINE = dict(MANY_FITS_OPTIONS)

CASES = [
    ("Circuit1_EIS_1.z", 0, ("R0-(R1,CPE1)", "L0-R0-(R1,CPE1)", "L0-R0-(R1,CPE1)-(R2,CPE2)")),
    ("Circuit2_EIS_1.z", 0, ("R0-(R1,CPE1)", "L0-R0-(R1,CPE1)", "L0-R0-(R1,CPE1)-(R2,CPE2)")),
    ("Circuit3_EIS_1.z", 0, ("R0-(R1,CPE1)", "L0-R0-(R1,CPE1)", "L0-R0-(R1,CPE1)-(R2,CPE2)")),
    ("biologic_ex1.mpt", 0, ("R0-(R1,CPE1)", "R0-(R1,CPE1)-CPE2", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("biologic_ex1.mpt", 1, ("R0-(R1,CPE1)", "R0-(R1,CPE1)-CPE2", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("biologic_export.csv", 0, ("R0-(R1,CPE1)", "R0-(R1,CPE1)-CPE2", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataAutolab.txt", 0, ("L0-R0-(R1,CPE1)", "L0-R0-(R1,CPE1)-W1", "L0-R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataBioLogic.mpt", 0, ("R0-(R1,CPE1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataCHInstruments.txt", 0, ("R0-(R1,CPE1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-CPE2")),
    ("exampleDataGamry.DTA", 0, ("R0-(R1,CPE1)", "R0-(R1,CPE1)-CPE2", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataParstat.txt", 0, ("L0-R0-(R1,CPE1)", "L0-R0-(R1,CPE1)-W1", "L0-R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataPowersuite.txt", 0, ("R0-(R1,CPE1)", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataVersaStudio.par", 0, ("R0-(R1,CPE1)", "R0-(R1-W1,CPE1)", "R0-(R1,CPE1)-(R2,CPE2)")),
    ("exampleDataZPlot.z", 0, ("R0-(R1,CPE1)", "L0-R0-(R1,CPE1)")),
]

# The reference searches: from the plain fit and from the robust fit, many
# seeded random starts (the robust fit's own global stage, far longer) and
# seeded basin hopping.
REFERENCE_SEEDS = (1, 2, 3)
REFERENCE_STARTS = 120
REFERENCE_HOPS = 25


def cases():
    for name, sweep, circuits in CASES:
        spectrum = io.read(DATA / name)[sweep]
        for text in circuits:
            yield f"{name}[{sweep}] {text}", text, spectrum


def reference_objective(text, spectrum):
    circuit = kelvra.Circuit(text)
    f, z = spectrum.frequencies, spectrum.impedances
    found = [circuit.fit(f, z).chi_square]
    robust = robust_fit(circuit, f, z)
    found.append(robust.result.chi_square)
    for seed in REFERENCE_SEEDS:
        found.append(robust_fit(circuit, f, z, seed=seed, global_starts=REFERENCE_STARTS,
                                search_always=True).result.chi_square)
        start = circuit.with_named_values(robust.result.params)
        found.append(start.fit(f, z, guess_init=False, method="basin_hopping", basin_hopping_hops=REFERENCE_HOPS,
                               seed=seed).chi_square)
    return min(value for value in found if value >= 0.0)


def write_reference():
    """Recomputes every case's reference, keeping an earlier run's where it
    is lower: the reference is the best objective any search has found."""
    reference = json.loads(REFERENCE.read_text()) if REFERENCE.exists() else {}
    for key, text, spectrum in cases():
        started = time.perf_counter()
        reference[key] = min(reference_objective(text, spectrum), reference.get(key, math.inf))
        print(f"{key}: {reference[key]:.6g} ({time.perf_counter() - started:.1f} s)", file=sys.stderr, flush=True)
    REFERENCE.write_text(json.dumps(reference, indent=1, sort_keys=True) + "\n")


def timed(function, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        value = function()
        times.append(time.perf_counter() - started)
    return value, statistics.median(times)


def table(repeat):
    reference = json.loads(REFERENCE.read_text())
    rows = []
    for key, text, spectrum in cases():
        plain, plain_time = timed(lambda: fit_spectrum(text, spectrum, robust=False, **COMMAND_LINE), repeat)
        robust, robust_time = timed(lambda: fit_spectrum(text, spectrum, robust=True, **COMMAND_LINE), repeat)
        best = reference[key]
        rows.append((key, plain.chi_square / best, robust.chi_square / best, plain_time, robust_time,
                     plain.verdict, robust.verdict, robust.settings["winning_start"]))
    width = max(len(row[0]) for row in rows)
    print(f"{'case':<{width}}  {'plain':>7}  {'robust':>7}  {'plain ms':>8}  {'robust ms':>9}  start / verdict")
    for key, plain_ratio, robust_ratio, plain_time, robust_time, _, verdict, start in rows:
        verdict_text = "trusted" if verdict.trusted else "untrusted: " + "; ".join(verdict.reasons)
        print(f"{key:<{width}}  {plain_ratio:7.3f}  {robust_ratio:7.3f}  {1e3 * plain_time:8.1f}  "
              f"{1e3 * robust_time:9.1f}  [{start}] {verdict_text}")
    count = len(rows)
    print(f"\nwithin 5 % of the reference: plain {sum(r[1] <= WITHIN for r in rows)}/{count}, "
          f"robust {sum(r[2] <= WITHIN for r in rows)}/{count}")
    print(f"trusted though worse than 5 %: plain {sum(r[1] > WITHIN and r[5].trusted for r in rows)}, "
          f"robust {sum(r[2] > WITHIN and r[6].trusted for r in rows)}")
    print(f"trusted: plain {sum(r[5].trusted for r in rows)}/{count}, robust {sum(r[6].trusted for r in rows)}/{count}")
    plain_median = statistics.median(r[3] for r in rows)
    robust_median = statistics.median(r[4] for r in rows)
    print(f"median time per fit: plain {1e3 * plain_median:.1f} ms, robust {1e3 * robust_median:.1f} ms "
          f"({robust_median / plain_median:.1f} x plain)")


# Synthetic spectra with model error, where local minima are common: the
# generating circuit, a sampler of its values, and the simpler circuit fitted.
SYNTHETIC_FREQUENCIES = np.logspace(-2, 5, 50)
SYNTHETIC_NOISE = 0.02


def _arc(rng, i, low, high):
    return {f"R{i}.r": 10 ** rng.uniform(1, 3), f"CPE{i}.q": 10 ** rng.uniform(low, high),
            f"CPE{i}.alpha": rng.uniform(0.6, 1)}


SYNTHETIC = [
    ("R0-(R1,CPE1)-(R2,CPE2)-W3", lambda rng: {"R0.r": 10 ** rng.uniform(0, 2), **_arc(rng, 1, -7, -5),
                                                **_arc(rng, 2, -4, -2), "W3.aw": 10 ** rng.uniform(1, 3)},
     "R0-(R1,CPE1)-(R2,CPE2)"),
    ("R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)", lambda rng: {"R0.r": 10 ** rng.uniform(0, 2), **_arc(rng, 1, -8, -6),
                                                       **_arc(rng, 2, -6, -4), **_arc(rng, 3, -3, -1)},
     "R0-(R1,CPE1)-(R2,CPE2)"),
    ("R0-(R1,CPE1)-(R2,CPE2)", lambda rng: {"R0.r": 10 ** rng.uniform(0, 2), **_arc(rng, 1, -7, -5),
                                             **_arc(rng, 2, -4, -2)},
     "R0-(R1,CPE1)-CPE2"),
    ("L0-R0-(R1,CPE1)-W2", lambda rng: {"L0.l": 10 ** rng.uniform(-7, -5), "R0.r": 10 ** rng.uniform(0, 2),
                                         **_arc(rng, 1, -6, -4), "W2.aw": 10 ** rng.uniform(1, 3)},
     "L0-R0-(R1,CPE1)"),
]


def synthetic(count, seed=1):
    """Robust fits of `count` synthetic spectra against the best of the
    plain fit, the robust fit, two long seeded searches and two basin
    hoppings from the robust fit."""
    rng = np.random.default_rng(seed)
    f = SYNTHETIC_FREQUENCIES
    rows = []
    for i in range(count):
        made, sample, fitted = SYNTHETIC[i % len(SYNTHETIC)]
        z = kelvra.Circuit(made).with_named_values(sample(rng)).impedance(f)
        z = z * (1 + SYNTHETIC_NOISE * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)))
        circuit = kelvra.Circuit(fitted)
        plain, plain_time = timed(lambda: fit_spectrum(circuit, f, z, robust=False, **COMMAND_LINE), 1)
        robust, robust_time = timed(lambda: fit_spectrum(circuit, f, z, robust=True, **COMMAND_LINE), 1)
        found = [plain.chi_square, robust.chi_square]
        for search_seed in REFERENCE_SEEDS[:2]:
            found.append(robust_fit(circuit, f, z, seed=search_seed, global_starts=REFERENCE_STARTS // 2,
                                    search_always=True).result.chi_square)
            found.append(circuit.with_named_values(robust.params).fit(
                f, z, guess_init=False, method="basin_hopping", basin_hopping_hops=REFERENCE_HOPS // 2,
                seed=search_seed).chi_square)
        best = min(value for value in found if value >= 0.0)
        rows.append((fitted, plain.chi_square / best, robust.chi_square / best, plain_time, robust_time,
                     robust.verdict.trusted, robust.settings["winning_start"]))
    for fitted, plain_ratio, robust_ratio, _, _, trusted, start in rows:
        if robust_ratio > WITHIN:
            print(f"missed: {fitted} robust {robust_ratio:.3f} plain {plain_ratio:.3f} [{start}] "
                  f"{'trusted' if trusted else 'untrusted'}")
    print(f"within 5 % of the best found: plain {sum(r[1] <= WITHIN for r in rows)}/{count}, "
          f"robust {sum(r[2] <= WITHIN for r in rows)}/{count}; "
          f"trusted though worse than 5 %: robust {sum(r[2] > WITHIN and r[5] for r in rows)}")
    plain_median = statistics.median(r[3] for r in rows)
    robust_median = statistics.median(r[4] for r in rows)
    print(f"median time per fit: plain {1e3 * plain_median:.1f} ms, robust {1e3 * robust_median:.1f} ms "
          f"({robust_median / plain_median:.1f} x plain)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reference", action="store_true", help="recompute the reference objectives")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per fit (median)")
    parser.add_argument("--synthetic", type=int, metavar="N",
                        help="instead, N synthetic spectra with model error against their own long searches")
    parser.add_argument("--seed", type=int, default=1, help="seed of the synthetic spectra")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")  # placeholder-start warnings of circuits without a learned guess
    if args.reference:
        write_reference()
    elif args.synthetic:
        synthetic(args.synthetic, args.seed)
    else:
        table(args.repeat)


if __name__ == "__main__":
    main()
