"""The module's guess for each built-in model equals the training tool's
NumPy forward pass of the same weight file."""
import os
import sys

import numpy as np
import pytest

from kelvra import Circuit

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools", "train"))
from eisnn_train import model_file, numpy_network  # noqa: E402

RELATIVE_TOLERANCE = 1e-9
MODELS = list(Circuit.ml_circuits())


def spectra():
    """A handful of spectra of different spans, lengths and shapes, from
    circuits of the table at random values."""
    rng = np.random.default_rng(20240611)
    out = []
    for circuit, points, low, high in [("R0-(R1,C1)", 50, -2, 5), ("R0-(R1,CPE1)-(R2,CPE2)", 37, -1, 6),
                                       ("L0-R0-(R1-W1,CPE1)", 80, 0, 5), ("R0-(R1,C1)", 2, 1, 3)]:
        c = Circuit(circuit)
        values = [v * 10 ** rng.uniform(-1, 1) if not name.endswith(".alpha") else rng.uniform(0.6, 0.95)
                  for name, v in zip(c.param_names(), c.param_values())]
        frequencies = np.logspace(low, high, points)[::-1]
        out.append((frequencies, c.with_values(values).impedance(frequencies)))
    return out


@pytest.mark.parametrize("name", MODELS)
def test_guess_equals_the_numpy_forward_pass(name):
    with open(os.path.join(ROOT, "weights", f"{name}.eisnn"), "rb") as f:
        reference = model_file.load(f.read())
    circuit = Circuit(name)
    for frequencies, impedances in spectra():
        expected = numpy_network.predict(reference, [(frequencies, impedances)])[0]
        got = circuit.guess(frequencies, impedances)
        np.testing.assert_allclose(got, expected, rtol=RELATIVE_TOLERANCE, atol=0)
