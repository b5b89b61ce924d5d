"""Held-out accuracy of a weight file on fresh synthetic spectra.

    tools/train/evaluate WEIGHTS.eisnn [--samples N] [--seed S]

The spectra are noisy like the training data, but every time constant lies
at least half a decade inside the measured band, where the spectrum
determines the parameters. Prints the median and 90th percentile of
|log10(pred / true)| per parameter, and of |pred - true| for CPE alpha.
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


def errors(model, cells, spectra):
    """Per-spectrum errors [N, P]: decades for logarithmic outputs, plain
    differences for linear ones."""
    predicted = numpy_network.predict(model, spectra)
    with np.errstate(divide="ignore", invalid="ignore"):
        decades = np.abs(np.log10(predicted / cells.values))
    return np.where(output_scaling.log_flags(model.param_names) != 0, decades,
                    np.abs(predicted - cells.values))


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
    logs = output_scaling.log_flags(model.param_names)
    print(f"{spec.name}: {args.samples} spectra, seed {args.seed}")
    print("| parameter | median | 90th percentile | unit |")
    print("|---|---|---|---|")
    for i, name in enumerate(model.param_names):
        median, p90 = np.percentile(err[:, i], PERCENTILES)
        unit = "decades" if logs[i] else "absolute"
        print(f"| {name} | {median:.3f} | {p90:.3f} | {unit} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
