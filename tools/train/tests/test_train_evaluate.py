import numpy as np
import pytest

from eisnn_train import evaluate, sampling
from eisnn_train.model_table import model_by_name


@pytest.mark.parametrize("r1, noise, expected", [
    (10.0, 0.0, [True, True, True]),
    # An arc a three-hundredth of R0 under 2 % noise: only R0 is measurable.
    (0.03, 0.02, [True, False, False]),
])
def test_determined_flags_what_the_spectrum_pins_down(r1, noise, expected):
    kelvra = pytest.importorskip("kelvra")
    spec = model_by_name("rc")
    values = np.array([[10.0, r1, 1e-3 / r1]])
    freq = np.logspace(-1, 5, 60)
    z = np.asarray(kelvra.Circuit(spec.topology).with_values(values[0].tolist()).impedance(freq))
    rng = np.random.default_rng(8)
    z = z * (1 + noise * (rng.standard_normal(60) + 1j * rng.standard_normal(60)))
    cells = sampling.Cells(values, np.array([-1.0]), np.array([5.0]))
    assert evaluate.determined(spec, cells, [(freq, z)])[0].tolist() == expected
