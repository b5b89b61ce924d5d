"""Circuit.impedance throughput at 10^5 frequencies against NumPy.

Times kelvra with the worker pool (its default from 1000 frequencies) and on
one thread (the pool pinned to one CPU by running in a child process with a
one-CPU affinity), beside a vectorised NumPy evaluation of the same circuit,
and checks that the values agree.
"""

import os
import subprocess
import sys
import time

import numpy as np

import kelvra

CIRCUIT = "R0-(R1,CPE1)-(R2-W2,CPE2)"
VALUES = [0.02, 0.05, 1e-3, 0.85, 0.1, 0.3, 0.02, 0.7]
N = 100_000
REPEATS = 20


def numpy_impedance(freq):
    r0, r1, q1, a1, r2, aw, q2, a2 = VALUES
    w = 2 * np.pi * freq
    jw = 1j * w
    cpe1 = 1 / (q1 * jw ** a1)
    cpe2 = 1 / (q2 * jw ** a2)
    warburg = aw / np.sqrt(w) * (1 - 1j)
    arc1 = 1 / (1 / r1 + 1 / cpe1)
    arc2 = 1 / (1 / (r2 + warburg) + 1 / cpe2)
    return r0 + arc1 + arc2


def best_time(call):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def kelvra_seconds(freq):
    circuit = kelvra.Circuit(CIRCUIT).with_values(VALUES)
    return best_time(lambda: circuit.impedance(freq)), circuit.impedance(freq)


def main():
    freq = np.logspace(-3, 6, N)
    if sys.argv[1:] == ["--child"]:
        print(kelvra_seconds(freq)[0])
        return

    all_threads, z = kelvra_seconds(freq)
    child = subprocess.run(
        [sys.executable, __file__, "--child"], capture_output=True, text=True, check=True,
        preexec_fn=lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}))
    one_thread = float(child.stdout)
    numpy_seconds = best_time(lambda: numpy_impedance(freq))
    reference = numpy_impedance(freq)
    rel = np.max(np.abs(z - reference) / np.abs(reference))

    cpus = len(os.sched_getaffinity(0))
    print(f"Circuit.impedance of {CIRCUIT} at {N} frequencies (best of {REPEATS})")
    for label, seconds in [("kelvra, 1 thread", one_thread),
                           (f"kelvra, {cpus} threads", all_threads),
                           ("numpy, vectorised", numpy_seconds)]:
        print(f"  {label:<20} {seconds * 1e3:8.2f} ms  {N / seconds / 1e6:7.2f} M frequencies/s"
              f"  {numpy_seconds / seconds:5.2f}x numpy")
    print(f"  largest relative difference from numpy: {rel:.2e}")


if __name__ == "__main__":
    main()
