"""The learned first guess: its cost, and what it buys the default fit.

Part 1 times `Circuit.guess` on one 50-point spectrum for a C=16, a C=32 and
a C=64 model beside the training tool's NumPy forward pass of the same file
on the same spectrum (what a pure-Python guess would cost).

Part 2 fits N synthetic noisy spectra per built-in topology, drawn as the
training tool draws its held-out spectra (every corner at least half a
decade inside the band, 10 to 100 points, 0 to 2 % noise), twice: the bare
default fit (learned guess, then the multi-start fit) and the same fit from
the catalogue placeholders (`guess_init=False`). A fit is right when its
chi-square is within 1 % of the chi-square of a fit started at the true
values, the best optimum this spectrum is known to have.

    .venv/bin/python bench/guess_bench.py [--spectra N] [--seed S]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import kelvra

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools" / "train"))
from eisnn_train import dataset, model_file, numpy_network, sampling  # noqa: E402

TIMED_MODELS = ("rc", "two_rq", "sei_randles")  # C = 16, 32, 64
GUESS_POINTS = 50
# Repetitions of one timed call; the median of several rounds is reported.
GUESS_CALLS = 200
ROUNDS = 5
# Right: within this factor of the chi-square of the fit from the truth.
RIGHT_RATIO = 1.01


def median_seconds(call, calls):
    rounds = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        for _ in range(calls):
            call()
        rounds.append((time.perf_counter() - t0) / calls)
    return float(np.median(rounds))


def guess_costs(rng):
    print(f"Circuit.guess on one {GUESS_POINTS}-point spectrum against the NumPy forward pass "
          "of the same file (ms per spectrum)")
    print(f"{'model':<14}{'channels':>9}{'kelvra':>10}{'numpy':>10}{'ratio':>9}{'max rel diff':>14}")
    topologies = kelvra.Circuit.ml_circuits()
    for name in TIMED_MODELS:
        circuit = kelvra.Circuit(name)
        loaded = model_file.load((ROOT / "weights" / f"{name}.eisnn").read_bytes())
        cells = sampling.sample_cells(loaded.param_names, 1, rng, sampling.EVAL_MARGIN)
        freq = np.logspace(cells.log_f_lo[0], cells.log_f_hi[0], GUESS_POINTS)
        z = np.asarray(kelvra.Circuit(topologies[name]).with_values(cells.values[0].tolist()).impedance(freq))
        ours = np.array(circuit.guess(freq, z))
        reference = numpy_network.predict(loaded, [(freq, z)])[0]
        ours_s = median_seconds(lambda: circuit.guess(freq, z), GUESS_CALLS)
        numpy_s = median_seconds(lambda: numpy_network.predict(loaded, [(freq, z)]), GUESS_CALLS // 10)
        diff = float(np.max(np.abs(ours - reference) / np.abs(reference)))
        channels = loaded.tensors["w.stem.weight"].shape[0]
        print(f"{name:<14}{channels:9d}{ours_s * 1e3:10.3f}{numpy_s * 1e3:10.3f}"
              f"{numpy_s / ours_s:8.1f}x{diff:14.1e}")


def timed_fit(circuit, freq, z, **arguments):
    t0 = time.perf_counter()
    result = circuit.fit(freq, z, **arguments)
    return time.perf_counter() - t0, result.chi_square


def default_fits(spectra_per_model, rng):
    print()
    print(f"Default fit over {spectra_per_model} synthetic noisy spectra per topology: share right "
          f"(chi-square within {RIGHT_RATIO - 1:.0%} of the fit from the truth) and median time "
          "in ms (guess included)")
    print(f"{'model':<16}{'guessed':>9}{'median':>9}{'placeholders':>14}{'median':>9}{'speed-up':>10}")
    for name, topology in kelvra.Circuit.ml_circuits().items():
        circuit = kelvra.Circuit(topology)
        names = circuit.param_names()
        cells = sampling.sample_cells(names, spectra_per_model, rng, sampling.EVAL_MARGIN)
        spectra = dataset.synthesize(topology, cells, rng)
        outcomes = {"guess": ([], []), "placeholders": ([], [])}
        for truth, (freq, z) in zip(cells.values, spectra):
            _, best = timed_fit(circuit.with_values(truth.tolist()), freq, z)
            for key, arguments in (("guess", {}), ("placeholders", {"guess_init": False})):
                seconds, chi_square = timed_fit(circuit, freq, z, **arguments)
                outcomes[key][0].append(seconds)
                outcomes[key][1].append(chi_square <= RIGHT_RATIO * best)
        (g_t, g_ok), (p_t, p_ok) = outcomes["guess"], outcomes["placeholders"]
        g_med, p_med = np.median(g_t) * 1e3, np.median(p_t) * 1e3
        print(f"{name:<16}{np.mean(g_ok):9.1%}{g_med:9.3f}{np.mean(p_ok):14.1%}{p_med:9.3f}"
              f"{p_med / g_med:9.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=200)
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    guess_costs(rng)
    default_fits(args.spectra, rng)


if __name__ == "__main__":
    main()
