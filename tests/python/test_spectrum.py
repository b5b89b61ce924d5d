"""Spectra from two sequences or from a battery-data-format dataframe."""
import math

import numpy as np
import pandas as pd
import pytest

from kelvra import Circuit

FREQ_LABEL = '"Frequency / Hz" or "frequency_hertz"'
FIRST = {"f": "Frequency / Hz", "re": "Real Impedance / ohm", "im": "Imaginary Impedance / ohm",
         "mod": "Absolute Impedance / ohm", "phase": "Phase / deg"}
SECOND = {"f": "frequency_hertz", "re": "real_impedance_ohm", "im": "imaginary_impedance_ohm",
          "mod": "absolute_impedance_ohm", "phase": "phase_degree"}

# A zero-ohm resistor under unit weighting: residuals are minus the measured
# impedances, so they show exactly which rows made it into the spectrum.
PROBE = Circuit("R0").with_values([0.0])


def measured(frame):
    residuals = PROBE.residuals([0.0], frame, weight="unit")
    return [complex(-re, -im) for re, im in zip(residuals[::2], residuals[1::2])]


def frame(names, **columns):
    return {names[key]: values for key, values in columns.items()}


@pytest.mark.parametrize("names", [FIRST, SECOND], ids=["first", "second"])
@pytest.mark.parametrize("as_pandas", [False, True], ids=["dict", "pandas"])
def test_rows_with_positive_frequency_keep_their_own_impedance(names, as_pandas):
    data = frame(names, f=[0, -1, 10, 100], re=[1, 2, 3, 4], im=[5, 6, 7, 8])
    if as_pandas:
        data = pd.DataFrame(data)
    assert measured(data) == [3 + 7j, 4 + 8j]
    # A sweep evaluates every row, whatever its frequency.
    assert len(PROBE.impedance(data)) == 4


def test_filtered_pandas_frame_with_a_gapped_index():
    data = pd.DataFrame(frame(FIRST, f=[0, 10, 0, 100], re=[1, 2, 3, 4], im=[0, 0, 0, 0]))
    assert measured(data[data[FIRST["f"]] > 0]) == [2, 4]


def test_modulus_and_phase_are_evaluated_numerically():
    [value] = measured(frame(SECOND, f=[1.0], mod=[2.0], phase=[90.0]))
    assert value.imag == 2.0
    assert value.real == 2.0 * math.cos(math.pi / 2) != 0.0


def test_real_and_imaginary_win_over_modulus_and_phase():
    assert measured(frame(FIRST, f=[1.0], re=[1.0], im=[2.0], mod=[5.0], phase=[0.0])) == [1 + 2j]
    # A lone real column is not a pair; modulus and phase are used.
    assert measured(frame(FIRST, f=[1.0], re=[1.0], mod=[5.0], phase=[0.0])) == [5 + 0j]


@pytest.mark.parametrize("data, message", [
    ({"x": [1]}, f"expected a dataframe with a {FREQ_LABEL} column, or frequencies and impedances as two arguments"),
    ([1.0, 2.0], f"expected a dataframe with a {FREQ_LABEL} column, or frequencies and impedances as two arguments"),
    (frame(FIRST, f=[1.0], re=[1.0]),
     'no impedance columns: expected "Real Impedance / ohm" or "real_impedance_ohm" together with '
     '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm", or "Absolute Impedance / ohm" or '
     '"absolute_impedance_ohm" together with "Phase / deg" or "phase_degree"'),
    (frame(FIRST, f=[1.0], re=[1.0], im=[1.0, 2.0]), "real and imaginary impedance columns must have the same length"),
    (frame(FIRST, f=[1.0], mod=[1.0], phase=[1.0, 2.0]),
     "absolute impedance and phase columns must have the same length"),
    (frame(SECOND, f=[1.0, 2.0], mod=[1.0], phase=[1.0]),
     'frequency column has 2 rows but "Absolute Impedance / ohm" or "absolute_impedance_ohm" and '
     '"Phase / deg" or "phase_degree" have 1'),
    (frame(FIRST, f=[0.0, -3.0], re=[1.0, 1.0], im=[1.0, 1.0]),
     f"no measured points: every row of the {FREQ_LABEL} column is zero or negative"),
    (frame(FIRST, f=[1.0], re=[1.0], im=[1.0], phase=["x"]), 'column "Phase / deg" is not numeric'),
    (frame(SECOND, f=[1.0], re=[1.0], im=[1.0], phase="90"), 'column "phase_degree" is not numeric'),
    (frame(SECOND, f=[1.0], re=[[1.0, 2.0]], im=[1.0]), 'column "real_impedance_ohm" is not numeric'),
])
def test_frame_errors(data, message):
    with pytest.raises(ValueError) as caught:
        PROBE.residuals([0.0], data)
    assert str(caught.value) == message


@pytest.mark.parametrize("frequencies, impedances, message", [
    ([1, 2, 3, 4, 5], [1, 2, 3, 4], "frequencies and impedances must have the same length"),
    ([1.0], [1.0], 'unknown weight scheme "Modulus", expected "modulus" or "unit"'),
])
def test_two_sequence_errors(frequencies, impedances, message):
    with pytest.raises(ValueError) as caught:
        PROBE.residuals([0.0], frequencies, impedances, "Modulus")
    assert str(caught.value) == message


def test_two_sequences_are_not_filtered():
    residuals = PROBE.residuals([0.0], [0.0, -5.0], [1.0, 2.0], "unit")
    assert residuals == [-1.0, 0.0, -2.0, 0.0]
    assert PROBE.residuals([0.0], [], []) == []


@pytest.mark.parametrize("frame", [
    pd.DataFrame(np.c_[[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [-1.0, -2.0, -3.0]]),
    {0: [1.0, 2.0], 1: [3.0, 4.0]},
], ids=["integer-labelled frame", "integer-keyed dict"])
def test_a_frame_without_a_frequency_column_is_not_read_as_its_labels(frame):
    with pytest.raises(ValueError, match="^expected a sequence of frequencies, or a dataframe with a "):
        PROBE.impedance(frame)


@pytest.mark.parametrize("frequencies", [np.array([1.0 + 1.0j, 2.0]), [1.0, 2.0j]], ids=["array", "list"])
def test_complex_frequencies_are_named_as_such(frequencies):
    with pytest.raises(TypeError, match="^must be real number, not (numpy.complex128|complex)$"):
        PROBE.impedance(frequencies)


def test_impedance_of_something_without_frequencies():
    with pytest.raises(ValueError, match="^expected a sequence of frequencies, or a dataframe with a "):
        PROBE.impedance({"frequency": [1.0]})
    with pytest.raises(ValueError, match='^column "Frequency / Hz" is not numeric$'):
        PROBE.impedance({"Frequency / Hz": "abc"})
