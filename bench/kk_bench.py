"""Time of the Kramers–Kronig test per 50-point spectrum.

Tests synthetic spectra of every built-in topology (the sampling and noise
of fit_bench.py: 50 log-spaced points from 10 mHz to 100 kHz, 0.5 %
noise) with the default settings, the element count chosen by the scan.
Reports per spectrum the median and the best wall time over repeats (the
best is the figure least disturbed by other load on the machine), the CPU
time, and the element counts chosen.

    .venv/bin/python bench/kk_bench.py [--spectra N] [--repeats R]
"""

import argparse
import os
import sys
import time

import numpy as np

import kelvra
from kelvra.kk import kramers_kronig

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fit_bench import FREQ, NOISE, true_values  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=20, help="spectra per topology")
    parser.add_argument("--repeats", type=int, default=50)
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    spectra = []
    for name in kelvra.Circuit.ml_circuits():
        circuit = kelvra.Circuit(name)
        for _ in range(args.spectra):
            clean = np.asarray(circuit.with_values(list(true_values(circuit, rng))).impedance(FREQ))
            noise = rng.standard_normal(FREQ.size) + 1j * rng.standard_normal(FREQ.size)
            spectra.append(clean + NOISE * np.abs(clean) * noise)
    medians, bests, counts = [], [], []
    cpu_start = time.process_time()
    for z in spectra:
        times = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            result = kramers_kronig(FREQ, z)
            times.append(time.perf_counter() - start)
        medians.append(np.median(times))
        bests.append(min(times))
        counts.append(result.n_elements)
    cpu = (time.process_time() - cpu_start) / (len(spectra) * args.repeats)
    print(f"Kramers-Kronig test, {len(spectra)} spectra of {FREQ.size} points, {args.repeats} repeats each")
    print(f"  wall per spectrum: median {np.median(medians) * 1e6:.0f} us, best {np.median(bests) * 1e6:.0f} us "
          f"(90th percentile of medians {np.percentile(medians, 90) * 1e6:.0f} us); CPU {cpu * 1e6:.0f} us")
    print(f"  RC elements chosen: median {np.median(counts):.0f}, range {min(counts)}..{max(counts)}")


if __name__ == "__main__":
    main()
