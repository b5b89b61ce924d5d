"""Circuit.fit and the FitResult it returns."""
import re

import numpy as np
import pytest

from kelvra import Circuit, FitResult, _core

TRUE_VALUES = {"R0.r": 10.0, "R1.r": 100.0, "C1.c": 1e-5}
FREQUENCIES = np.logspace(-1, 5, 30)
MEASURED = Circuit("R0-(R1,C1)").with_values(list(TRUE_VALUES.values())).impedance(FREQUENCIES)
START = Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 1e-4])

METHODS = '"levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution", ' \
          '"simulated_annealing", "basin_hopping"'


@pytest.fixture(scope="module")
def result():
    return START.fit(FREQUENCIES, MEASURED)


def test_fit_recovers_a_noiseless_spectrum(result):
    assert isinstance(result, FitResult)
    assert result.success is True
    assert result.params == pytest.approx(TRUE_VALUES, rel=1e-6)
    assert result.chi_square == 2 * result.cost
    assert result.cost < 1e-12
    assert set(result.stderr) == set(TRUE_VALUES)
    assert result.iterations >= 1
    assert result.impedance_evals >= 9 + 1 + 2 * 3
    assert START.param_values() == [5.0, 50.0, 1e-4]


def test_result_attributes_are_fresh_copies(result):
    first, second = result.params, result.params
    assert first == second and first is not second
    first["R0.r"] = -1.0
    assert result.params["R0.r"] != -1.0
    circuit = result.circuit
    assert circuit is not result.circuit
    assert circuit.param_values() == pytest.approx(list(TRUE_VALUES.values()), rel=1e-6)
    with pytest.raises(AttributeError):
        result.cost = 0.0


def bare_exponent(text):
    """Python's float text with the exponent written without "+" or padding."""
    mantissa, _, exponent = text.partition("e")
    return f"{mantissa}e{int(exponent)}" if exponent else text


def test_repr(result):
    params = ", ".join(f'"{name}": {bare_exponent(repr(value))}' for name, value in result.params.items())
    assert repr(result) == (f"FitResult(success=true, iterations={result.iterations}, "
                            f"impedance_evals={result.impedance_evals}, "
                            f"chi_square={bare_exponent(f'{result.chi_square:.6e}')}, params={{{params}}})")


def test_seed_does_not_change_a_levenberg_marquardt_fit():
    first = START.fit(FREQUENCIES, MEASURED, seed=1)
    second = START.fit(FREQUENCIES, MEASURED, seed=2)
    assert repr(first) == repr(second)


def test_too_few_points_leave_no_standard_errors():
    fit = START.fit(FREQUENCIES[:1], MEASURED[:1])
    assert fit.stderr is None


@pytest.mark.parametrize("keyword, value, exception", [
    ("guess_init", 1, TypeError),
    ("weights", 3, TypeError),
    ("weight", None, TypeError),
    ("method", 0, TypeError),
    ("max_iterations", -1, OverflowError),
    ("max_iterations", 2 ** 32, OverflowError),
    ("max_iterations", 2.0, TypeError),
    ("ftol", "tiny", TypeError),
    ("num_particles", -5, OverflowError),
    ("generations", 2 ** 64, OverflowError),
    ("basin_hopping_hops", 2 ** 32, OverflowError),
    ("basin_hopping_temperature", [1.0], TypeError),
    ("seed", -1, OverflowError),
    ("seed", 1.5, TypeError),
    ("early_stop", 1, TypeError),
    ("jacobian", 1, TypeError),
])
def test_argument_errors_name_the_argument(keyword, value, exception):
    # The method name is bad too: conversion errors come first.
    with pytest.raises(exception, match=f"^argument '{keyword}': "):
        START.fit(FREQUENCIES, MEASURED, **{"method": "none", keyword: value})


@pytest.mark.parametrize("keyword, value", [
    ("guess_init", np.bool_(False)), ("guess_init", None), ("weights", None), ("seed", 2 ** 64 - 1),
    ("max_iterations", 2 ** 32 - 1), ("ftol", 0), ("sa_iterations", np.int64(3)), ("early_stop", None),
    ("early_stop", "settled"), ("early_stop", "joined"), ("early_stop", "lagging"),
    ("jacobian", None), ("jacobian", "analytic"),
])
def test_accepted_argument_forms(keyword, value):
    with pytest.raises(ValueError, match='^unknown fit method "none"'):
        START.fit(FREQUENCIES, MEASURED, method="none", **{keyword: value})


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "Levenberg_Marquardt"}, f'unknown fit method "Levenberg_Marquardt", expected one of {METHODS}'),
    ({"method": 'a"b'}, f'unknown fit method "a\\"b", expected one of {METHODS}'),
    ({"method": "none", "weight": "Unit"}, 'unknown weight scheme "Unit", expected "modulus" or "unit"'),
    ({"ftol": -1.0}, "ftol must be >= 0"),
    ({"early_stop": "Settled"}, "early_stop must be None or one of 'plausible', 'settled', 'joined', 'lagging', got 'Settled'"),
    ({"jacobian": "exact"}, "jacobian must be None or one of 'central', 'analytic', got 'exact'"),
])
def test_fit_errors(kwargs, message):
    with pytest.raises(ValueError) as caught:
        START.fit(FREQUENCIES, MEASURED, **kwargs)
    assert str(caught.value) == message


def test_spectrum_errors_come_before_the_method():
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        START.fit([1.0, 2.0], [1.0], method="none")


def test_a_fit_never_ends_worse_than_its_start():
    # A two-arc model on a one-arc spectrum, started where a previous fit
    # left it: one capacitance on its floor, both exponents at 1. The solver
    # runs the capacitance far below its floor, and clamping that end point
    # back would cost more than the run gained.
    truth = Circuit("rc_l").with_values([9.63e-08, 0.4567, 0.02083, 0.002934])
    f = np.logspace(5, -2, 50)
    rng = np.random.default_rng(3)
    z = np.asarray(truth.impedance(f))
    z = z * (1 + 0.005 * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)))
    start = Circuit("two_rq").with_values([0.45845, 2.645e-05, 1e-12, 1.0, 0.019344, 0.0046547, 1.0])
    chi_start = float(np.sum(np.asarray(start.residuals(start.param_values(), f, z)) ** 2))
    assert start.fit(f, z).chi_square <= chi_start
    assert _core._screening_fit(start, f, z, max_iterations=20).chi_square <= chi_start
