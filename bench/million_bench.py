"""A million spectra through `fit_many`, streamed to a CSV file.

N synthetic noisy spectra (default a million), spread evenly over the eleven
built-in topologies of bench/fit_bench.py: 50 log-spaced points from 10 mHz
to 100 kHz, time constants inside the band, CPE exponents 0.7 to 1, and
proportional complex noise of 0.5 to 2 % (drawn per spectrum). They are
generated chunk by chunk in the benchmark, vectorised in NumPy, and fed to
`fit_many` as a generator; each is fitted by a bare fit (the circuit string
without values: the learned guess picks the start) with the batch defaults
early_stop="lagging" and jacobian="analytic", and the rows go to a CSV file. A fit is right when it
succeeded and its chi-square is at most 1.5 times the chi-square at the true
parameters.

Printed: wall time, fits per second and peak memory of the streamed run;
the time spent generating spectra inside it; the share right. Then, on the
first --sample spectra, fits per second with 1 and 2 workers (alternated,
each twice, as other programs share this machine), and for each way of
fitting (the full rule of a single fit, the settled rule with the analytic
Jacobian, the joining rule with it, and the batch default, the lagging rule with it) the CPU time per fit (mean and 99th percentile, every fit run
alone on one thread), impedance evaluations (mean and maximum), share right,
and how its answers differ from the full rule's.

    .venv/bin/python bench/million_bench.py [--spectra N] [--sample M] [--seed S] [--out FILE]
"""

import argparse
import os
import resource
import sys
import tempfile
import time
import warnings

import numpy as np

import kelvra
from fit_bench import FREQ, SUCCESS_RATIO, TOPOLOGIES, numpy_model
from kelvra import _core
from kelvra.batch import fit_many

NOISE_RANGE = (0.005, 0.02)
ALPHA_RANGE = (0.7, 1.0)
GENERATION_CHUNK = 4096
# The ways of fitting the sample compares: the full rule of a single
# Circuit.fit, and the batch's Jacobian with each of its early stops.
FULL_RULE = "plausible, central"
WAYS = {FULL_RULE: {"early_stop": "plausible", "jacobian": "central"},
        "settled, analytic": {"early_stop": "settled", "jacobian": "analytic"},
        "joined, analytic": {"early_stop": "joined", "jacobian": "analytic"},
        "lagging, analytic": {"early_stop": "lagging", "jacobian": "analytic"}}
OMEGA = 2.0 * np.pi * FREQ


def true_matrix(circuit, rng, count):
    """(parameters, count) true values: time constants inside the band, as
    bench/fit_bench.py draws them, exponents up to 1."""
    names = circuit.param_names()
    values = {}
    for name in names:
        field = name.split(".")[1]
        if field == "r":
            values[name] = 10 ** rng.uniform(-2, 1, count)
        elif field == "l":
            values[name] = 10 ** rng.uniform(-8, -6, count)
        elif field == "alpha":
            values[name] = rng.uniform(*ALPHA_RANGE, count)
        elif field in ("aw", "z0"):
            values[name] = 10 ** rng.uniform(-2, 0, count)
        elif field == "tau":
            values[name] = 10 ** rng.uniform(-1, 1, count)
    for name in names:
        label, field = name.split(".")
        tau = 10 ** rng.uniform(-4.5, 0.5, count)
        r = values[f"R{label[-1]}.r"]
        if field == "c":
            values[name] = tau / r
        elif field == "q":
            values[name] = tau ** values[f"{label}.alpha"] / r
    return np.array([values[name] for name in names])


class Generator:
    """The spectra in input order, topology i % 11 for spectrum i, with the
    chi-square at the true parameters of each, and the time spent making them."""

    def __init__(self, count, seed):
        self.count = count
        self.rng = np.random.default_rng(seed)
        self.topologies = list(TOPOLOGIES.values())
        self.models = [numpy_model(t) for t in self.topologies]
        self.circuits = [kelvra.Circuit(t) for t in self.topologies]
        self.true_chi_square = np.empty(count)
        self.seconds = 0.0

    def chunk(self, first, size):
        """Impedances (size, 50) of spectra first .. first + size - 1."""
        began = time.perf_counter()
        z = np.empty((size, FREQ.size), dtype=complex)
        kinds = (np.arange(first, first + size)) % len(self.topologies)
        for kind, model in enumerate(self.models):
            rows = np.flatnonzero(kinds == kind)
            if not rows.size:
                continue
            truth = true_matrix(self.circuits[kind], self.rng, rows.size)[:, :, None]
            clean = model(truth, OMEGA)
            noise = self.rng.standard_normal(clean.shape) + 1j * self.rng.standard_normal(clean.shape)
            level = self.rng.uniform(*NOISE_RANGE, (rows.size, 1))
            measured = clean + level * np.abs(clean) * noise
            z[rows] = measured
            # Modulus weighting: residuals (model - measured) / |measured|.
            self.true_chi_square[first + rows] = np.sum(np.abs(clean - measured) ** 2 / np.abs(measured) ** 2, axis=1)
        self.seconds += time.perf_counter() - began
        return z

    def spectra(self):
        for first in range(0, self.count, GENERATION_CHUNK):
            size = min(GENERATION_CHUNK, self.count - first)
            for row in self.chunk(first, size):
                yield FREQ, row

    def circuit_strings(self):
        return [self.topologies[i % len(self.topologies)] for i in range(self.count)]


def share_right(chi_square, success, true_chi_square):
    return float(np.mean(success & (chi_square <= SUCCESS_RATIO * true_chi_square)))


def streamed_run(args):
    generator = Generator(args.spectra, args.seed)
    out = args.out or os.path.join(tempfile.mkdtemp(prefix="kelvra-million-"), "rows.csv")
    began, cpu = time.perf_counter(), time.process_time()
    written = fit_many(generator.circuit_strings(), generator.spectra(), workers=2, progress=False, out=out)
    seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    import pandas

    chi_square, success = [], []
    for part in pandas.read_csv(out, usecols=["chi_square", "success"], chunksize=200_000):
        chi_square.append(part["chi_square"].to_numpy())
        success.append(part["success"].to_numpy(dtype=bool))
    right = share_right(np.concatenate(chi_square), np.concatenate(success), generator.true_chi_square)
    print(f"streamed run: {written} spectra, 2 workers, to {out} ({os.path.getsize(out) / 1e6:.0f} MB)")
    print(f"  wall {seconds:8.1f} s   {written / seconds:8.0f} fits/s   CPU {cpu:8.1f} s "
          f"({cpu / written * 1e3:.3f} ms a fit, {cpu / seconds:.2f} cores busy)")
    print(f"  of which generating the spectra: {generator.seconds:.1f} s")
    print(f"  peak memory (max RSS of the process): {peak:.0f} MiB")
    print(f"  share right (chi-square within {SUCCESS_RATIO}x that of the true parameters): {right:.2%}")
    print(f"  a million at this rate: {1e6 / (written / seconds) / 60:.1f} min")


def sample(args):
    generator = Generator(args.sample, args.seed + 1)
    spectra = list(generator.spectra())
    circuits = generator.circuit_strings()
    print(f"\nsample: {args.sample} spectra")
    rates = {1: [], 2: []}
    cores = {1: [], 2: []}
    for workers in (1, 2, 1, 2):
        began, cpu = time.perf_counter(), time.process_time()
        fit_many(circuits, spectra, workers=workers, progress=False)
        seconds = time.perf_counter() - began
        rates[workers].append(args.sample / seconds)
        # Cores the batch kept busy: below the workers asked for when other
        # programs hold this machine's cores.
        cores[workers].append((time.process_time() - cpu) / seconds)
    print("  fits/s, 1 worker: " + ", ".join(f"{r:.0f}" for r in rates[1]) +
          "   2 workers: " + ", ".join(f"{r:.0f}" for r in rates[2]) +
          f"   ratio of the best: {max(rates[2]) / max(rates[1]):.2f}x")
    print("  cores busy, 1 worker: " + ", ".join(f"{c:.2f}" for c in cores[1]) +
          "   2 workers: " + ", ".join(f"{c:.2f}" for c in cores[2]) +
          f"   (load average {os.getloadavg()[0]:.1f})")

    parsed = {t: kelvra.Circuit(t) for t in set(circuits)}
    results = {}
    for label, options in WAYS.items():
        cpu = np.empty(args.sample)
        evals = np.empty(args.sample, dtype=np.int64)
        chi_square = np.empty(args.sample)
        success = np.empty(args.sample, dtype=bool)
        for i, ((frequencies, z), text) in enumerate(zip(spectra, circuits)):
            began = time.thread_time()
            row = _core._fit_batch(parsed[text], [frequencies], [z], 1, options)
            cpu[i] = time.thread_time() - began
            evals[i], chi_square[i], success[i] = row["impedance_evals"][0], row["chi_square"][0], row["success"][0]
        right = success & (chi_square <= SUCCESS_RATIO * generator.true_chi_square)
        results[label] = (chi_square, right)
        print(f"  {label:<18} CPU a fit: mean {cpu.mean() * 1e3:6.3f} ms  p99 {np.percentile(cpu, 99) * 1e3:7.3f} ms   "
              f"evaluations: mean {evals.mean():7.0f}  max {evals.max():7d}   right {right.mean():.2%}")
    full_chi_square, full_right = results[FULL_RULE]
    for label, (chi_square, right) in results.items():
        if label == FULL_RULE:
            continue
        excess = chi_square / full_chi_square - 1
        print(f"  {label}: chi-square above the full rule's by over "
              + ", ".join(f"{t:g}: {int(np.sum(excess > t))}" for t in (1e-6, 1e-3, 1e-2, 0.1))
              + f" (at most {np.nanmax(excess):.3g}); below it by over 1e-2: {int(np.sum(excess < -1e-2))}; "
              f"right under one only: the full rule {int(np.sum(full_right & ~right))}, "
              f"this {int(np.sum(right & ~full_right))}")
        for i in np.argsort(-np.nan_to_num(excess, nan=-1))[:3]:
            print(f"    spectrum {i} ({circuits[i]}): chi-square {full_chi_square[i]:.4g} (full rule) vs "
                  f"{chi_square[i]:.4g}, true parameters {generator.true_chi_square[i]:.4g}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=1_000_000)
    parser.add_argument("--sample", type=int, default=11_000)
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--out", help="the CSV file of the streamed run (default: a temporary file)")
    parser.add_argument("--no-stream", action="store_true", help="only the sample's measurements")
    args = parser.parse_args()
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} at the start")
    # Topologies without a trained network warn once per batch; the rows say enough.
    warnings.simplefilter("ignore", UserWarning)
    if not args.no_stream:
        streamed_run(args)
    if args.sample:
        sample(args)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
