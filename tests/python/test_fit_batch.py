"""The compiled batch behind fit_many: each row is the one-spectrum fit's,
for any number of threads, and a spectrum that cannot be read fails in its
own row with the error the one-spectrum fit raises."""
import warnings

import numpy as np
import pytest

from kelvra import Circuit, _core

FREQUENCIES = np.logspace(-1, 4, 30)


def spectra(count=10, seed=3):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        values = [10 * rng.uniform(0.3, 3), 100 * rng.uniform(0.3, 3), 1e-4 * rng.uniform(0.3, 3), rng.uniform(0.7, 1)]
        z = Circuit("R0-(R1,CPE1)").with_values(values).impedance(FREQUENCIES)
        out.append((FREQUENCIES, z * (1 + 0.01 * rng.standard_normal(z.size))))
    out[2] = ("not numbers", out[2][1])
    out[5] = (FREQUENCIES, out[5][1][:-1])
    return out


def one_by_one(circuit, items, **arguments):
    rows = []
    for frequencies, impedances in items:
        try:
            rows.append(circuit.fit(frequencies, impedances, **arguments))
        except Exception as error:
            rows.append(f"{type(error).__name__}: {error}")
    return rows


@pytest.mark.parametrize("circuit", [Circuit("R0-(R1,CPE1)"),  # started from the learned guess
                                     Circuit("R0-(R1,CPE1)").with_values([20.0, 50.0, 2e-4, 0.7])],
                         ids=["guessed", "own values"])
@pytest.mark.parametrize("arguments", [{}, {"early_stop": "settled", "weight": "unit"}, {"fixed": {"CPE1.alpha": 0.85}},
                                       {"start": {"R9.r": 1.0}}])
def test_rows_are_the_one_spectrum_fits_for_any_number_of_threads(circuit, arguments):
    items = spectra()
    expected = one_by_one(circuit, items, **arguments)
    names = circuit.param_names()
    for workers in (1, 2, 5):
        rows = _core._fit_batch(circuit, [f for f, _ in items], [z for _, z in items], workers, arguments)
        for i, fit in enumerate(expected):
            if isinstance(fit, str):
                assert rows["error"][i] == fit
                assert np.isnan(rows["params"][i]).all() and not rows["success"][i]
                continue
            assert rows["error"][i] == ""
            assert list(rows["params"][i]) == [fit.params[name] for name in names]
            assert np.array_equal(rows["stderr"][i], [fit.stderr[name] for name in names], equal_nan=True)
            assert (rows["chi_square"][i], rows["success"][i], rows["iterations"][i], rows["impedance_evals"][i]) \
                == (fit.chi_square, fit.success, fit.iterations, fit.impedance_evals)


@pytest.mark.parametrize("workers, arguments, exception, message", [
    (0, {}, ValueError, "workers must be a positive integer"),
    (1, {"early_stop": "sometimes"}, ValueError, "early_stop must be None or one of"),
    (1, {"weight": "Unit"}, ValueError, "unknown weight scheme"),
    (1, {"max_iterations": -1}, OverflowError, "argument 'max_iterations'"),
    (1, {"colour": 1}, TypeError, "colour"),
])
def test_bad_arguments_fail_the_whole_chunk(workers, arguments, exception, message):
    items = spectra()[:2]
    with pytest.raises(exception, match=message):
        _core._fit_batch(Circuit("R0-(R1,C1)"), [f for f, _ in items], [z for _, z in items], workers, arguments)


def test_a_circuit_without_a_model_warns_once_and_starts_from_its_values():
    circuit = Circuit("R0-(R1,C1)-(R2,C2)-(R3,C3)-(R4,C4)-L5")
    z = circuit.impedance(FREQUENCIES)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rows = _core._fit_batch(circuit, [FREQUENCIES] * 3, [z] * 3, 2, {})
    assert len(caught) == 1 and "no ML model" in str(caught[0].message)
    assert all(error == "" for error in rows["error"])
