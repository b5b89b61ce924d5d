"""Predict circuit parameters with a weight file, as the module would.

    tools/train/predict WEIGHTS.eisnn SPECTRA.jsonl

Each input line is a JSON object with equal-length lists "freq" (Hz), "zre"
and "zim" (ohm). Each output line is a JSON list of the predicted
parameters in the file's param_names order.
"""
import argparse
import json
import sys
from pathlib import Path

import numpy as np

from . import model_file, numpy_network
from .weight_file import WeightFileError


def read_spectra(lines):
    spectra = []
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        record = json.loads(line)
        freq, zre, zim = (np.asarray(record[key], dtype=np.float64) for key in ("freq", "zre", "zim"))
        if not len(freq) == len(zre) == len(zim):
            raise ValueError(f"line {number}: freq, zre and zim differ in length")
        spectra.append((freq, zre + 1j * zim))
    return spectra


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("weights", type=Path)
    parser.add_argument("spectra", type=Path)
    args = parser.parse_args(argv)
    try:
        model = model_file.load(args.weights.read_bytes())
        with args.spectra.open() as lines:
            spectra = read_spectra(lines)
        predicted = numpy_network.predict(model, spectra) if spectra else []
    except (OSError, ValueError, KeyError, WeightFileError) as error:
        print(f"predict: {error}", file=sys.stderr)
        return 1
    for row in predicted:
        print(json.dumps([float(x) for x in row]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
