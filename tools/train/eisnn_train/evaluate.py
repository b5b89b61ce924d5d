"""Held-out accuracy of a weight file on fresh synthetic spectra.

    tools/train/evaluate WEIGHTS.eisnn [--samples N] [--seed S]

The spectra are noisy like the training data, but every time constant lies
at least half a decade inside the measured band. Prints the median and 90th
percentile of |log10(pred / true)| per parameter, and of |pred - true| for
CPE alpha, over all spectra and over those that determine the parameter.

A corner inside the band does not make every parameter measurable: a small
arc under a large series resistance drowns in the noise, and a flat CPE arc
spreads over more decades than the band holds. What the spectrum itself
pins down is judged by a least-squares fit started at the true values: a
parameter counts as determined when that fit's standard error is below
DETERMINED_DECADES (DETERMINED_ALPHA for CPE alpha). No guess can beat the
data on the others, so they are reported apart.
"""
import argparse
import sys
from pathlib import Path

import numpy as np

from . import dataset, model_file, numpy_network, output_scaling, sampling
from .model_table import MODELS

DEFAULT_SAMPLES = 2000
# Distinct from every training seed, so the spectra are fresh.
DEFAULT_SEED = 20_000_000
PERCENTILES = (50, 90)
DETERMINED_DECADES = 0.1
DETERMINED_ALPHA = 0.05


def errors(model, cells, spectra):
    """Per-spectrum errors [N, P]: decades for logarithmic outputs, plain
    differences for linear ones."""
    predicted = numpy_network.predict(model, spectra)
    with np.errstate(divide="ignore", invalid="ignore"):
        decades = np.abs(np.log10(predicted / cells.values))
    return np.where(output_scaling.log_flags(model.param_names) != 0, decades,
                    np.abs(predicted - cells.values))


def determined(spec, cells, spectra):
    """[N, P] flags: the spectrum fixes the parameter to within the
    thresholds above, judged by a fit started at the truth."""
    import kelvra  # imported here so that the rest of the tool works without a build

    names = list(spec.param_names)
    logs = output_scaling.log_flags(names) != 0
    circuit = kelvra.Circuit(spec.topology)
    flags = np.zeros(cells.values.shape, dtype=bool)
    for row, (values, (freq, z)) in enumerate(zip(cells.values, spectra)):
        fitted = circuit.with_values(values.tolist()).fit(freq, z, guess_init=False)
        if not fitted.success or fitted.stderr is None:
            continue
        stderr = np.array([fitted.stderr[name] for name in names])
        value = np.array([fitted.params[name] for name in names])
        with np.errstate(divide="ignore", invalid="ignore"):
            spread = np.where(logs, stderr / np.abs(value) / np.log(10), stderr)
        flags[row] = spread < np.where(logs, DETERMINED_DECADES, DETERMINED_ALPHA)
    return flags


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("weights", type=Path)
    parser.add_argument("--samples", type=int, default=DEFAULT_SAMPLES)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = parser.parse_args(argv)

    model = model_file.load(args.weights.read_bytes())
    spec = next((s for s in MODELS if s.topology == model.circuit), None)
    if spec is None:
        print(f"evaluate: no built-in model has the circuit {model.circuit!r}", file=sys.stderr)
        return 1
    rng = np.random.default_rng(args.seed)
    cells, spectra = dataset.generate(spec, args.samples, rng, margin=sampling.EVAL_MARGIN)
    err = errors(model, cells, spectra)
    fixed = determined(spec, cells, spectra)
    logs = output_scaling.log_flags(model.param_names)
    print(f"{spec.name}: {args.samples} spectra, seed {args.seed}")
    print("| parameter | median | 90th percentile | determined | median there | 90th percentile there | unit |")
    print("|---|---|---|---|---|---|---|")
    for i, name in enumerate(model.param_names):
        median, p90 = np.percentile(err[:, i], PERCENTILES)
        there = err[fixed[:, i], i]
        within = ("| - | - " if there.size == 0 else
                  "| {:.3f} | {:.3f} ".format(*np.percentile(there, PERCENTILES)))
        unit = "decades" if logs[i] else "absolute"
        print(f"| {name} | {median:.3f} | {p90:.3f} | {fixed[:, i].mean():.0%} {within}| {unit} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
