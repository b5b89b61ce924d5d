"""Argument conversion at the Python boundary: accepted forms and the errors."""
import numpy as np
import pytest

from kelvra import Circuit, Parallel, R, Series

CIRCUIT = Circuit("R0-(R1,C1)")
SPECTRUM = ([1.0, 10.0], [1 + 1j, 2 + 0j])


class HasFloat:
    def __float__(self):
        return 2.5


class HasIndex:
    def __index__(self):
        return 7


class HasComplex:
    def __complex__(self):
        return 1 - 2j


class BrokenComplex:
    def __complex__(self):
        raise RuntimeError("broken")


@pytest.mark.parametrize("value, expected", [
    (3, 3.0), (2.5, 2.5), (HasFloat(), 2.5), (HasIndex(), 7.0), (np.float32(0.5), 0.5), (True, 1.0),
])
def test_double_conversion_accepts_numbers(value, expected):
    assert R(value).r == expected
    assert CIRCUIT.with_values([value, 1, 1]).param_values()[0] == expected


@pytest.mark.parametrize("call, exception, message", [
    (lambda: R("1"), TypeError, "argument 'r': "),
    (lambda: R(None), TypeError, "argument 'r': "),
    (lambda: Circuit(b"R0"), TypeError, "argument 's': "),
    (lambda: Series("R0-C1"), TypeError, "argument 'parts': Can't extract `str` to `Vec`"),
    (lambda: Series(["R0-C1"]), TypeError, "argument 'parts': "),
    (lambda: Parallel(5), TypeError, "argument 'parts': "),
    (lambda: Parallel({R(1): 1}), TypeError, "argument 'parts': "),
    (lambda: CIRCUIT.with_values("123"), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
    (lambda: CIRCUIT.with_values([1, "2", 3]), TypeError, "argument 'values': "),
    (lambda: CIRCUIT.with_named_values([("R0.r", 1)]), TypeError, "argument 'values': "),
    (lambda: CIRCUIT.with_named_values({1: 1.0}), TypeError, "argument 'values': "),
    (lambda: CIRCUIT.with_named_values({"R0.r": "x"}), TypeError, "argument 'values': "),
    (lambda: CIRCUIT.residuals("abc", *SPECTRUM), TypeError, "argument 'params': Can't extract `str` to `Vec`"),
    (lambda: CIRCUIT.residuals([1, 1, 1], *SPECTRUM, weight=None), TypeError, "argument 'weight': "),
    (lambda: CIRCUIT.jacobian([1, 1, 1], *SPECTRUM, weight=1), TypeError, "argument 'weight': "),
    (lambda: CIRCUIT.residuals([1, 1, 1], [1.0], [BrokenComplex()]), RuntimeError, "broken"),
    (lambda: CIRCUIT.residuals([1, 1, 1], [1.0], ["1"]), TypeError, ""),
    (lambda: CIRCUIT.residuals([1, 1, 1], 5, [1]), TypeError, ""),
])
def test_conversion_errors_name_the_argument(call, exception, message):
    with pytest.raises(exception) as caught:
        call()
    assert str(caught.value).startswith(message)


@pytest.mark.parametrize("call", [
    lambda: R(),
    lambda: R(1, 2),
    lambda: R(1, r=2),
    lambda: R(x=1),
    lambda: Circuit(),
    lambda: CIRCUIT.impedance(),
    lambda: CIRCUIT.residuals([1, 1, 1]),
    lambda: CIRCUIT.param_names(1),
])
def test_wrong_argument_counts_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_complex_items_take_every_accepted_form():
    measured = [1 + 2j, np.complex128(3 - 1j), HasComplex(), 4, np.float64(5.0)]
    residuals = Circuit("R0").residuals([0.0], [1.0] * 5, measured, weight="unit")
    assert residuals == [-1.0, -2.0, -3.0, 1.0, -1.0, 2.0, -4.0, 0.0, -5.0, 0.0]


def test_sequences_of_every_kind_are_accepted():
    as_list = CIRCUIT.residuals([1, 2, 3], [1.0, 10.0], [1 + 1j, 2])
    assert CIRCUIT.residuals((1, 2, 3), np.array([1.0, 10.0]), np.array([1 + 1j, 2])) == as_list


def test_item_conversion_survives_a_hook_that_empties_the_list():
    values = [0.0, 1.0, 1.0]

    class Shrinks:
        def __float__(self):
            values.clear()
            return 4.0

    values[0] = Shrinks()
    with pytest.raises((TypeError, ValueError)):
        CIRCUIT.with_values(values)


@pytest.mark.parametrize("make", [
    lambda a: a,                        # contiguous float64 / complex128
    lambda a: a[::-1][::-1].copy()[::2],  # strided
    lambda a: a[::-1],                  # negative stride
    lambda a: a.astype(a.dtype.newbyteorder()),  # non-native byte order
    lambda a: np.ma.masked_array(a),    # an ndarray subclass
])
def test_numpy_arrays_convert_like_the_lists_they_hold(make):
    circuit = Circuit("R0-(R1,C1)")
    freq = make(np.logspace(-2, 4, 9))
    z = make(circuit.impedance(np.logspace(-2, 4, 9)) * (1 + 0.01j))
    params = [1.0, 2.0, 3e-3]
    assert np.array_equal(circuit.impedance(freq), circuit.impedance(list(freq)))
    assert circuit.residuals(params, freq, z) == circuit.residuals(params, list(freq), list(z))
    assert circuit.residuals(params, freq, z.real) == circuit.residuals(params, list(freq), list(z.real))
