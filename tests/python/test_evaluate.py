"""Circuit.impedance, Circuit.residuals and Circuit.jacobian."""
import threading

import numpy as np
import pytest

import kelvra
from kelvra import Circuit

TWO_PI = 6.283185307179586


def rc(w, r0, r1, c1):
    return r0 + 1 / (1 / r1 + 1j * w * c1)


def r_cpe(w, r0, r1, q, alpha):
    return r0 + 1 / (1 / r1 + q * (1j * w) ** alpha)


def l_k(w, l0, r, tau):
    return 1j * w * l0 + r / (1 + 1j * w * tau)


@pytest.mark.parametrize("text, values, formula", [
    ("R0-(R1,C1)", [10.0, 100.0, 1e-5], rc),
    ("R0-(R1,CPE1)", [5.0, 50.0, 2e-4, 0.85], r_cpe),
    ("L0-K1", [1e-6, 20.0, 1e-3], l_k),
])
def test_impedance_matches_an_independent_formula(text, values, formula):
    frequencies = np.logspace(-2, 6, 50)
    result = Circuit(text).with_values(values).impedance(frequencies)
    assert result.dtype == np.complex128 and result.shape == (50,)
    np.testing.assert_allclose(result, formula(TWO_PI * frequencies, *values), rtol=1e-12)


def test_impedance_array_owns_a_writeable_buffer():
    result = Circuit("R0").impedance([1.0, 2.0])
    result[0] = 5.0
    assert result.flags.writeable and result.tolist() == [5 + 0j, 1 + 0j]
    assert Circuit("R0").impedance([]).dtype == np.complex128


def test_impedance_evaluates_any_frequency():
    values = Circuit("C0").impedance([0.0, -5.0])
    assert np.isinf(values[0].imag) or np.isnan(values[0].imag)
    assert values[1] == pytest.approx(1j / (TWO_PI * 5.0 * 0.001))


def test_parallel_sweep_equals_sequential():
    circuit = Circuit("R0-(R1,CPE1)-Wo1-(R2,Zarc2)")
    frequencies = np.logspace(-3, 7, 1000)
    parallel = circuit.impedance(frequencies)
    sequential = np.concatenate([circuit.impedance(frequencies[:999]), circuit.impedance(frequencies[999:])])
    assert parallel.tobytes() == sequential.tobytes()


def test_threads_evaluate_concurrently_with_identical_results():
    circuit = Circuit("R0-(R1,CPE1)-Wo1").with_values([1, 2, 1e-4, 0.9, 3, 0.5])
    frequencies = np.logspace(-2, 6, 3000)
    impedances = circuit.impedance(frequencies[:40])
    params = [1.1, 1.9, 1.1e-4, 0.88, 2.9, 0.6]

    def work():
        return (circuit.impedance(frequencies).tobytes(),
                circuit.residuals(params, frequencies[:40], impedances),
                circuit.jacobian(params, frequencies[:40], impedances))

    expected = work()
    results = [None] * 8

    def run(slot):
        results[slot] = work()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for result in results)


def test_residuals_are_weighted_model_minus_measurement():
    circuit = Circuit("R0-(R1,C1)")
    params = [10.0, 100.0, 1e-5]
    frequencies = [1.0, 100.0, 1e4]
    measured = [50 - 20j, 40 - 30j, 10 - 1j]
    model = rc(TWO_PI * np.array(frequencies), *params)
    for weight, scale in [("unit", np.ones(3)), ("modulus", np.abs(measured))]:
        difference = (model - measured) / scale
        expected = np.column_stack([difference.real, difference.imag]).ravel()
        np.testing.assert_allclose(circuit.residuals(params, frequencies, measured, weight), expected, rtol=1e-12)


def test_jacobian_shape_and_values_follow_residuals():
    circuit = Circuit("R0-(R1,C1)")
    params = [10.0, 100.0, 1e-5, 7.0]  # the extra value does not enter the model
    frequencies = np.logspace(0, 4, 5)
    measured = circuit.with_values([12, 90, 2e-5]).impedance(frequencies)
    rows = np.array(circuit.jacobian(params, frequencies, measured))
    assert rows.shape == (10, 4)
    assert not rows[:, 3].any()
    for k in range(3):
        step = 1e-6 * params[k]
        up, down = list(params), list(params)
        up[k] += step
        down[k] -= step
        numeric = (np.array(circuit.residuals(up, frequencies, measured)) -
                   np.array(circuit.residuals(down, frequencies, measured))) / (2 * step)
        np.testing.assert_allclose(rows[:, k], numeric, rtol=1e-5, atol=1e-12)


def test_jacobian_without_params_is_empty():
    assert Circuit("R0-(R1,C1)").jacobian([], [1.0, 2.0], [1.0, 2.0]) == []


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_short_parameter_vector_is_an_internal_error(method):
    circuit = Circuit("R0-(R1,C1)")
    with pytest.raises(kelvra.InternalError, match="^impedance_from_iter: not enough values supplied$"):
        getattr(circuit, method)([1.0, 2.0], [1.0], [1.0])
    assert circuit.param_values() == [1.0, 1.0, 0.001]
