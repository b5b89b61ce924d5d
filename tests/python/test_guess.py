"""Circuit.guess, Circuit.ml_circuits, model names in Circuit(s) and the
automatic guess that starts Circuit.fit."""
import math
import os
import shutil
import warnings

import numpy as np
import pytest

from kelvra import Circuit

FREQUENCIES = np.logspace(-2, 5, 50)

MODEL_TABLE = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}
NAMES = ", ".join(f"'{name}'" for name in MODEL_TABLE)
NO_MODEL = ("No training data on this circuit. Machine-learning based initial parameters available for "
            + NAMES)
NO_MODEL_WARNING = ("There is no ML model to guess initial parameters for this circuit. Supply your own with "
                    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False "
                    "to silence this. Models available for " + NAMES)
WEIGHTS_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "weights")

# Well-separated time constants inside the measured band, so that each
# parameter is determined by the spectrum.
TRUTH = {
    "rc": [10.0, 100.0, 1e-5],
    "rq": [5.0, 50.0, 2e-4, 0.8],
    "two_rc": [2.0, 20.0, 1e-5, 40.0, 5e-3],
    "randles": [10.0, 40.0, 30.0, 1e-5, 0.85],
    "two_rq_l": [1e-6, 3.0, 15.0, 1e-5, 0.9, 60.0, 2e-3, 0.75],
}


def spectrum_of(circuit, values):
    return Circuit(circuit).with_values(values).impedance(FREQUENCIES)


@pytest.mark.parametrize("name", TRUTH)
def test_guess_lands_near_the_truth(name):
    circuit = Circuit(name)
    guessed = circuit.guess(FREQUENCIES, spectrum_of(name, TRUTH[name]))
    assert len(guessed) == len(TRUTH[name])
    # A starting point, not a fit: each value within a factor of 3, each
    # exponent within 0.15.
    for label, got, want in zip(circuit.param_names(), guessed, TRUTH[name]):
        if label.endswith(".alpha"):
            assert abs(got - want) < 0.15, label
        else:
            assert abs(math.log10(got / want)) < math.log10(3.0), label


def test_guess_accepts_a_dataframe():
    pandas = pytest.importorskip("pandas")
    measured = spectrum_of("rc", TRUTH["rc"])
    frame = pandas.DataFrame({"Frequency / Hz": FREQUENCIES, "Real Impedance / ohm": measured.real,
                              "Imaginary Impedance / ohm": measured.imag})
    assert Circuit("rc").guess(frame) == Circuit("rc").guess(FREQUENCIES, measured)


def test_ml_circuits():
    circuits = Circuit.ml_circuits()
    assert list(circuits.items()) == list(MODEL_TABLE.items())


@pytest.mark.parametrize("text, circuit", [
    ("RC", "R0-(R1,C1)"), ("  rc ", "R0-(R1,C1)"), ("Rc", "R0-(R1,C1)"), ("randles", "R0-(R1-W1,CPE1)"),
    ("\u3000Sei_Randles_WO\n", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"),
])
def test_model_names_in_the_constructor(text, circuit):
    assert repr(Circuit(text)) == repr(Circuit(circuit))


@pytest.mark.parametrize("text, first_line", [
    ("r c", "unexpected character at position 1"), (" R0-C1", "unexpected character at position 0"),
])
def test_text_that_is_no_name_is_parsed_untrimmed(text, first_line):
    with pytest.raises(ValueError) as error:
        Circuit(text)
    assert str(error.value).split("\n")[:3] == [first_line, "", "  " + text]


def guess_error(circuit, measured=None, frequencies=FREQUENCIES, **kwargs):
    if measured is None:
        measured = spectrum_of("rc", TRUTH["rc"])
    with pytest.raises(ValueError) as error:
        Circuit(circuit).guess(frequencies, measured, **kwargs)
    return str(error.value)


def test_guess_errors(tmp_path):
    assert guess_error("R0-(R1,CPE1)-(R2,C2)") == NO_MODEL
    assert guess_error("R0-(R1,C1,L1)") == NO_MODEL
    assert guess_error("rc", [1 + 1j], frequencies=[1.0]) == "need at least 2 frequency points to guess, got 1"
    missing = str(tmp_path / "missing.eisnn")
    assert guess_error("rc", weights=missing) == \
        "reading weights: No such file or directory (os error 2)"
    other = str(tmp_path / "rq.eisnn")
    shutil.copy(os.path.join(WEIGHTS_DIR, "rq.eisnn"), other)
    assert guess_error("rc", weights=other) == f'{other} was trained for "R0-(R1,CPE1)", which is a different circuit'
    with pytest.raises(TypeError, match="argument 'weights'"):
        Circuit("rc").guess(FREQUENCIES, spectrum_of("rc", TRUTH["rc"]), weights=b"rc.eisnn")
    # The spectrum is converted before any model is looked up.
    with pytest.raises(ValueError, match="same length"):
        Circuit("R0-(R1,C1,L1)").guess(FREQUENCIES, [1.0])


def test_a_special_weights_file_is_refused_at_once(tmp_path):
    # Opening a FIFO without a writer would block; the refusal comes before.
    fifo = str(tmp_path / "pipe.eisnn")
    os.mkfifo(fifo)
    assert guess_error("rc", weights=fifo) == "reading weights: not a regular file"
    assert guess_error("rc", weights="/dev/zero") == "reading weights: not a regular file"


def test_a_changed_weights_file_is_read_again(tmp_path):
    path = str(tmp_path / "model.eisnn")
    shutil.copy(os.path.join(WEIGHTS_DIR, "rc.eisnn"), path)
    measured = spectrum_of("rc", TRUTH["rc"])
    assert len(Circuit("rc").guess(FREQUENCIES, measured, weights=path)) == 3
    shutil.copy(os.path.join(WEIGHTS_DIR, "rq.eisnn"), path)
    assert guess_error("rc", weights=path) == f'{path} was trained for "R0-(R1,CPE1)", which is a different circuit'
    os.remove(path)
    assert guess_error("rc", weights=path) == "reading weights: No such file or directory (os error 2)"


def test_guess_from_a_file_equals_the_builtin(tmp_path):
    path = str(tmp_path / "copy.eisnn")
    shutil.copy(os.path.join(WEIGHTS_DIR, "two_rc.eisnn"), path)
    measured = spectrum_of("two_rc", TRUTH["two_rc"])
    assert Circuit("R0-K1-K2").guess(FREQUENCIES, measured, weights=path) == \
        Circuit("R0-K1-K2").guess(FREQUENCIES, measured)


def test_non_finite_spectra_give_a_non_finite_guess():
    measured = spectrum_of("rc", TRUTH["rc"])
    measured[3] = complex("nan+nanj")
    assert not all(math.isfinite(v) for v in Circuit("rc").guess(FREQUENCIES, measured))


# The automatic guess in fit. A fit is deterministic, so two fits that
# agree in every figure started from the same values.

def same_fit(a, b):
    return (a.params, a.impedance_evals, a.iterations) == (b.params, b.impedance_evals, b.iterations)


def test_default_fit_starts_from_the_guess():
    measured = spectrum_of("rc", TRUTH["rc"])
    circuit = Circuit("R0-(R1,C1)")
    guessed = circuit.guess(FREQUENCIES, measured)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = circuit.fit(FREQUENCIES, measured)
        placeholders = circuit.fit(FREQUENCIES, measured, guess_init=False)
    assert same_fit(result, circuit.with_values(guessed).fit(FREQUENCIES, measured))
    assert same_fit(placeholders, circuit.with_values(circuit.param_values()).fit(FREQUENCIES, measured))
    assert result.success
    assert result.params == pytest.approx(dict(zip(circuit.param_names(), TRUTH["rc"])), rel=1e-6)
    assert circuit.param_values() == [1.0, 1.0, 0.001]


def test_fit_without_a_model_warns_once_and_still_fits():
    measured = spectrum_of("rc", TRUTH["rc"])
    circuit = Circuit("R0-(R1,C1)-C2")
    with pytest.warns(UserWarning) as record:
        result = circuit.fit(FREQUENCIES, measured)
    assert [str(w.message) for w in record] == [NO_MODEL_WARNING]
    assert record[0].filename == __file__
    assert result.circuit.param_names() == circuit.param_names()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        circuit.fit(FREQUENCIES, measured, guess_init=False)
        circuit.with_values(circuit.param_values()).fit(FREQUENCIES, measured)
        with pytest.raises(UserWarning, match="There is no ML model"):
            circuit.fit(FREQUENCIES, measured)
    with pytest.raises(ValueError) as error:
        circuit.fit(FREQUENCIES, measured, guess_init=True)
    assert str(error.value) == NO_MODEL


def test_explicit_values_skip_the_guess_unless_weights_are_given(tmp_path):
    measured = spectrum_of("rc", TRUTH["rc"])
    explicit = Circuit("rc").with_values([1.0, 2.0, 3e-3])
    own_start = explicit.fit(FREQUENCIES, measured, guess_init=False)
    assert same_fit(explicit.fit(FREQUENCIES, measured), own_start)
    path = str(tmp_path / "rc.eisnn")
    shutil.copy(os.path.join(WEIGHTS_DIR, "rc.eisnn"), path)
    assert same_fit(explicit.fit(FREQUENCIES, measured, weights=path), Circuit("rc").fit(FREQUENCIES, measured))
    assert same_fit(explicit.fit(FREQUENCIES, measured, guess_init=True), Circuit("rc").fit(FREQUENCIES, measured))
    # guess_init=False ignores the file, even one that does not exist.
    absent = str(tmp_path / "absent.eisnn")
    assert same_fit(explicit.fit(FREQUENCIES, measured, weights=absent, guess_init=False), own_start)
    with pytest.raises(ValueError) as error:
        explicit.fit(FREQUENCIES, measured, weights=absent)
    assert str(error.value) == "reading weights: No such file or directory (os error 2)"


def test_fit_from_a_spectrum_with_a_non_finite_guess_is_not_a_success():
    measured = spectrum_of("rc", TRUTH["rc"])
    bad = measured.copy()
    bad[5] = complex("nan+nanj")
    assert not Circuit("rc").fit(FREQUENCIES, bad).success
    # A negative frequency puts the features out of reach, not the fit: it
    # starts from the circuit's own values instead and can still succeed.
    frequencies = FREQUENCIES.copy()
    frequencies[0] = -frequencies[0]
    result = Circuit("rc").fit(frequencies, measured)
    assert all(math.isfinite(v) for v in result.params.values())
    assert result.params == pytest.approx(dict(zip(["R0.r", "R1.r", "C1.c"], TRUTH["rc"])), rel=1e-4)
