"""Start values, fixed parameters and custom bounds of Circuit.fit."""
import math

import numpy as np
import pytest

from kelvra import Circuit

TRUTH = {"R0.r": 10.0, "R1.r": 100.0, "CPE1.q": 1e-4, "CPE1.alpha": 0.85}
FREQUENCIES = np.logspace(-2, 5, 40)


@pytest.fixture(scope="module")
def measured():
    return Circuit("R0-(R1,CPE1)").with_named_values(TRUTH).impedance(FREQUENCIES)


@pytest.mark.parametrize("fixed, held", [
    ({"CPE1.alpha": 0.8}, {"CPE1.alpha": 0.8}),
    (["R0.r"], {"R0.r": 3.0}),
    (("R0.r", "CPE1.alpha"), {"R0.r": 3.0, "CPE1.alpha": 0.7}),
])
def test_fixed_parameters_stay_exactly_and_have_no_standard_error(measured, fixed, held):
    start = Circuit("R0-(R1,CPE1)").with_named_values({"R0.r": 3.0, "R1.r": 50.0, "CPE1.q": 3e-4, "CPE1.alpha": 0.7})
    result = start.fit(FREQUENCIES, measured, fixed=fixed)
    for name, value in held.items():
        assert result.params[name] == value
        assert math.isnan(result.stderr[name])
    free = set(TRUTH) - set(held)
    assert all(math.isfinite(result.stderr[name]) for name in free)


def test_start_values_override_the_guess_and_bounds_hold_the_result(measured):
    result = Circuit("R0-(R1,CPE1)").fit(FREQUENCIES, measured, start={"R1.r": 40.0},
                                         bounds={"R1.r": (None, 60.0)})
    assert result.params["R1.r"] == pytest.approx(60.0, rel=1e-9)


def test_no_controls_leave_the_fit_unchanged(measured):
    start = Circuit("R0-(R1,CPE1)").with_named_values({"R0.r": 3.0, "R1.r": 50.0, "CPE1.q": 3e-4, "CPE1.alpha": 0.7})
    plain = start.fit(FREQUENCIES, measured)
    empty = start.fit(FREQUENCIES, measured, start={}, fixed=None, bounds={})
    assert plain.params == empty.params and plain.impedance_evals == empty.impedance_evals


@pytest.mark.parametrize("options, error, message", [
    ({"fixed": {"R9.r": 1.0}}, ValueError, 'unknown parameter "R9.r" in fixed, did you mean "R0.r"?'),
    ({"start": {"R0.r": -1.0}}, ValueError, 'start value -1 of "R0.r" is outside its bounds [1e-12, inf]'),
    ({"bounds": {"CPE1.alpha": (0.5, 2.0)}}, ValueError,
     'bounds [0.5, 2] of "CPE1.alpha" reach outside its physical bounds [0, 1]'),
    ({"bounds": {"R0.r": (1.0,)}}, TypeError, "argument 'bounds': bounds of \"R0.r\" must be a (lower, upper) pair"),
    ({"fixed": 3}, TypeError, "argument 'fixed': 'int' object is not a sequence"),
    ({"bounds": {"R0.r": (1.0, 20.0)}, "method": "nelder_mead"}, ValueError,
     'fixed parameters and bounds need method "levenberg_marquardt", not "nelder_mead"'),
])
def test_bad_controls_are_clear_errors(measured, options, error, message):
    with pytest.raises(error) as raised:
        Circuit("R0-(R1,CPE1)").fit(FREQUENCIES, measured, **options)
    assert str(raised.value) == message
