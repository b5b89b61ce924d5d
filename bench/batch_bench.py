"""Batch fitting throughput: fits per second on 1 and 2 threads and on a
two-process Dask LocalCluster, and the share of fits that are right.

N synthetic spectra, spread evenly over the eleven built-in topologies (the
spectra of bench/fit_bench.py: 50 log-spaced points from 10 mHz to 100 kHz,
0.5 % proportional complex noise, seeded). Each is fitted by a bare fit():
the circuit string with no values, so the learned guess picks the start.

A fit is right when it succeeded and its chi-square is at most 1.5 times the
chi-square at the true parameters (the noise floor of that spectrum), and
near the truth when, besides, every parameter is within 10 % of its true
value or within 3 of its standard errors of it. Timings include handing the spectra to the batch and building the
table, not starting the cluster.

    .venv/bin/python bench/batch_bench.py [--spectra N] [--seed S] [--no-dask]
"""

import argparse
import time
import warnings

import numpy as np

import kelvra
from fit_bench import FREQ, NOISE, SUCCESS_RATIO, TOPOLOGIES, chi_square, true_values
from kelvra.batch import fit_many

NEAR_TRUTH = 0.10
STDERRS = 3.0


def synthetic_batch(count, rng):
    """(topology, circuit to fit, truth, impedances) for `count` spectra."""
    names = list(TOPOLOGIES)
    batch = []
    for i in range(count):
        topology = TOPOLOGIES[names[i % len(names)]]
        circuit = kelvra.Circuit(topology)
        truth = true_values(circuit, rng)
        clean = circuit.with_values(list(truth)).impedance(FREQ)
        noise = rng.standard_normal(FREQ.size) + 1j * rng.standard_normal(FREQ.size)
        z = clean + NOISE * np.abs(clean) * noise
        batch.append((topology, topology, truth, z))
    return batch


def judge(batch, table):
    """Per topology: (count, share right, share near the truth)."""
    verdicts = {}
    for row, (topology, _, truth, z) in enumerate(batch):
        circuit = kelvra.Circuit(topology)
        names = circuit.param_names()
        fitted = np.array([table[name][row] for name in names])
        right = bool(table["success"][row]) and \
            table["chi_square"][row] <= SUCCESS_RATIO * chi_square(circuit, truth, z)
        stderr = np.array([table[f"{name}_stderr"][row] for name in names])
        # Within 10 %, or within the fit's own uncertainty where the spectrum
        # leaves a parameter loose (an inductance far above the band).
        error = np.abs(fitted - truth)
        near = right and bool(np.all((error <= NEAR_TRUTH * np.abs(truth)) | (error <= STDERRS * stderr)))
        verdicts.setdefault(topology, []).append((right, near))
    return {topology: (len(v), np.mean([r for r, _ in v]), np.mean([n for _, n in v]))
            for topology, v in verdicts.items()}


def timed(label, run, count):
    """Runs and prints fits per second; the CPU time is this process's, so
    it says nothing of a Dask run but shows the cost per fit on a busy
    machine, where the wall time also counts other programs."""
    began, cpu = time.perf_counter(), time.process_time()
    table = run()
    seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
    print(f"{label:<28}{count / seconds:10.0f} fits/s  {seconds:8.2f} s wall  {cpu:8.2f} s CPU here")
    return table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=2200)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask LocalCluster run")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    batch = synthetic_batch(args.spectra, rng)
    circuits = [start for _, start, _, _ in batch]
    spectra = [(FREQ, z) for _, _, _, z in batch]
    print(f"{args.spectra} spectra over {len(TOPOLOGIES)} topologies, starts: learned guess")

    # A topology without a trained network warns once per fit; the rows say enough.
    warnings.simplefilter("ignore", UserWarning)
    one = timed("1 thread", lambda: fit_many(circuits, spectra, workers=1, progress=False), args.spectra)
    two = timed("2 threads", lambda: fit_many(circuits, spectra, workers=2, progress=False), args.spectra)
    if not args.no_dask:
        import distributed

        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            dask = timed("Dask, 2 worker processes", lambda: fit_many(circuits, spectra, client=client,
                                                                       progress=False), args.spectra)
        same = one.drop(columns="time").equals(dask.drop(columns="time"))
        print(f"Dask rows identical to 1 thread: {same}")
    print(f"2 threads rows identical to 1 thread: {one.drop(columns='time').equals(two.drop(columns='time'))}")

    print(f"\n{'topology':<30}{'spectra':>8}{'right':>8}{'near truth':>12}")
    verdicts = judge(batch, one)
    for topology, (count, right, near) in verdicts.items():
        print(f"{topology:<30}{count:8d}{right:8.1%}{near:12.1%}")
    total = sum(c for c, _, _ in verdicts.values())
    print(f"{'all':<30}{total:8d}{sum(c * r for c, r, _ in verdicts.values()) / total:8.1%}"
          f"{sum(c * n for c, _, n in verdicts.values()) / total:12.1%}")


if __name__ == "__main__":
    main()
