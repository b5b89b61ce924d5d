"""Fit reports: their flags, saving and loading them, and their plots."""
import json
import math
import pathlib

import numpy as np
import pytest

import kelvra
from kelvra import io
from kelvra.fitting import fit_file, fit_spectrum
from kelvra.report import FitReport, ParameterFit, Verdict
from kelvra.saving import load_fit, load_fits, save_fit

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
CELL = EXAMPLES / "li_ion_cell.csv"


@pytest.fixture(scope="module")
def report():
    spectrum, = io.read(CELL)
    start = kelvra.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values([0.015, 0.005, 1.0, 0.8, 0.02, 10.0, 0.8])
    return fit_spectrum(start, spectrum, source=spectrum.path, seed=7, weight="modulus")


@pytest.mark.parametrize("name, value, stderr, lower, upper, fixed, flags", [
    ("R0.r", 10.0, 1.0, 0.0, math.inf, False, ()),
    ("R0.r", 10.0, 11.0, 0.0, math.inf, False, ("undetermined",)),
    ("R0.r", -10.0, 5.0, -math.inf, math.inf, False, ()),
    ("R0.r", 1e40, math.nan, 0.0, math.inf, False, ("undetermined",)),
    ("R0.r", 1e-12, math.inf, 1e-12, math.inf, False, ("undetermined", "on_bound")),
    # An open parameter reaches its floor only to within rounding: still on it.
    ("R0.r", 1.000000000005e-12, 1e-14, 1e-12, math.inf, False, ("on_bound",)),
    ("R0.r", 1.00001e-12, 1e-14, 1e-12, math.inf, False, ()),
    ("CPE1.alpha", 1.0, 0.1, 0.0, 1.0, False, ("on_bound",)),
    ("CPE1.alpha", 0.4, 0.01, 0.0, 1.0, False, ("low_exponent",)),
    ("Zarc1.gamma", 0.0, math.nan, 0.0, 1.0, False, ("undetermined", "on_bound", "low_exponent")),
    # A held value is neither judged nor undetermined.
    ("CPE1.alpha", 0.4, math.nan, 0.0, 1.0, True, ("fixed",)),
])
def test_parameter_flags(name, value, stderr, lower, upper, fixed, flags):
    parameter = ParameterFit(name, value, stderr, "ohm", lower, upper, fixed)
    assert parameter.flags == flags
    assert (parameter.undetermined, parameter.on_bound) == ("undetermined" in flags, "on_bound" in flags)


def test_verdict_names_every_reason_and_the_report_prints_short():
    parameters = (ParameterFit("R0.r", 1.000000000005e-12, 1e-14, "ohm", 1e-12, math.inf),
                  ParameterFit("R1.r", 2.0, 0.1, "ohm", 1e-12, math.inf))
    report = FitReport("R0-R1", parameters, 1e-3, False, 5, 60, np.ones(100), np.ones(100, complex))
    assert report.verdict == Verdict(False, ("not converged", "R0.r on_bound"))
    assert str(report.verdict) == "untrusted: not converged; R0.r on_bound"
    assert repr(report) == "FitReport('R0-R1', chi_square=0.001, success=False, trusted=False, points=100)"
    assert "R0.r" in report._repr_html_() and "<table>" in report._repr_html_()
    frame = report.to_frame()
    assert frame.loc["R0.r", "flags"] == "on_bound" and frame.loc["R1.r", "flags"] == ""
    assert FitReport("R1", parameters[1:], 1e-3, True, 5, 60, np.ones(3), np.ones(3, complex)).trusted


def test_report_matches_the_fit_it_came_from(report):
    spectrum, = io.read(CELL)
    start = kelvra.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values([0.015, 0.005, 1.0, 0.8, 0.02, 10.0, 0.8])
    result = start.fit(spectrum, seed=7, weight="modulus")
    assert report.params == result.params
    assert report.stderr == result.stderr
    assert report.chi_square == result.chi_square
    assert report.fitted_circuit.param_values() == result.circuit.param_values()
    np.testing.assert_array_equal(report.model(), result.circuit.impedance(spectrum.frequencies))
    assert report.settings == {"method": "levenberg_marquardt", "seed": 7, "weight": "modulus"}
    assert [r.sweep for r in fit_file(EXAMPLES.parent / "tests/data/biologic_ex1.mpt", "R0-(R1,C1)")] == [0, 1]


def test_saved_fit_loads_back_exactly(report, tmp_path):
    path = tmp_path / "fit.json"
    save_fit(report, path)
    loaded = load_fit(path)
    for field in ("circuit", "chi_square", "success", "iterations", "impedance_evals", "settings", "source", "sweep"):
        assert getattr(loaded, field) == getattr(report, field), field
    assert [(p.name, p.value, p.unit, p.lower, p.upper) for p in loaded.parameters] == [
        (p.name, p.value, p.unit, p.lower, p.upper) for p in report.parameters]
    np.testing.assert_array_equal([p.stderr for p in loaded.parameters], [p.stderr for p in report.parameters])
    np.testing.assert_array_equal(loaded.frequencies, report.frequencies)
    np.testing.assert_array_equal(loaded.impedances, report.impedances)
    assert loaded.fitted_circuit.param_values() == list(report.params.values())
    assert loaded.method == "levenberg_marquardt"


def test_saved_fit_is_strict_json_with_non_finite_numbers_as_text(report, tmp_path):
    path = tmp_path / "fit.json"
    save_fit(report, path)

    def refuse(constant):
        raise AssertionError(f"non-standard JSON constant {constant}")

    saved = json.loads(path.read_text(), parse_constant=refuse)
    assert (saved["format"], saved["version"], saved["failures"]) == ("kelvra-fit", 2, [])
    fit, = saved["fits"]
    assert fit["parameters"][0]["upper"] == "inf"
    assert fit["spectrum"]["frequency_hertz"][0] == float(report.frequencies[0])


def test_save_fit_takes_what_circuit_fit_returns_and_lists_of_fits(report, tmp_path):
    spectrum, = io.read(CELL)
    result = kelvra.Circuit("R0-(R1,CPE1)").with_values([0.015, 0.005, 1.0, 0.8]).fit(spectrum)
    save_fit(result, tmp_path / "one.json")
    loaded = load_fit(tmp_path / "one.json")
    assert loaded.params == result.params and loaded.chi_square == result.chi_square
    np.testing.assert_array_equal(loaded.impedances, result.impedances)
    failure = {"file": "bad.csv", "sweep": "", "error": "bad.csv, line 3: expected a number"}
    save_fit([report, result], tmp_path / "two.json", failures=[failure])
    fits, failures = load_fits(tmp_path / "two.json")
    assert [f.circuit for f in fits] == [report.circuit, "R0-(R1,CPE1)"] and failures == [failure]
    with pytest.raises(ValueError, match="holds 2 fits, expected one"):
        load_fit(tmp_path / "two.json")
    (tmp_path / "keep.json").write_text("kept")
    with pytest.raises(TypeError):
        save_fit("not a fit", tmp_path / "keep.json")
    assert (tmp_path / "keep.json").read_text() == "kept"


def _nested(depth):
    return "[" * depth + "]" * depth


# (edit of the saved file's first fit or of the whole file, field the message names, what it says)
DAMAGE = [
    (lambda fit, top: top.update(format="other"), "format", "not a saved fit"),
    (lambda fit, top: top.update(version=True), "version", "expected one of"),
    (lambda fit, top: fit.pop("chi_square"), r"fits\[0\]\.chi_square", "missing"),
    (lambda fit, top: fit.update(chi_square="big"), r"fits\[0\]\.chi_square", "expected a number"),
    (lambda fit, top: fit.update(chi_square=10 ** 400), r"fits\[0\]\.chi_square", "too large"),
    (lambda fit, top: fit.update(success="false"), r"fits\[0\]\.success", "expected true or false"),
    (lambda fit, top: fit.update(iterations=-1), r"fits\[0\]\.iterations", "non-negative integer"),
    (lambda fit, top: fit.update(circuit="R0-(R1"), r"fits\[0\]\.circuit", "not a circuit string"),
    (lambda fit, top: fit.update(circuit=["R0"]), r"fits\[0\]\.circuit", "expected a string"),
    (lambda fit, top: fit.update(circuit="R0-(R1,C1)"), r"fits\[0\]\.parameters", "expected .* found"),
    (lambda fit, top: fit["parameters"].append(dict(fit["parameters"][0])), r"fits\[0\]\.parameters",
     "duplicate"),
    (lambda fit, top: fit["parameters"].pop(), r"fits\[0\]\.parameters", "expected"),
    (lambda fit, top: fit["parameters"][1].update(value=None), r"fits\[0\]\.parameters\[1\]\.value",
     "expected a number"),
    (lambda fit, top: fit["parameters"].__setitem__(0, 3), r"fits\[0\]\.parameters\[0\]", "expected an object"),
    (lambda fit, top: fit.update(parameters={"R0.r": 1}), r"fits\[0\]\.parameters", "expected a list"),
    (lambda fit, top: fit["spectrum"]["real_impedance_ohm"].pop(), r"fits\[0\]\.spectrum", "differ in length"),
    (lambda fit, top: fit["spectrum"]["frequency_hertz"].__setitem__(0, "ten"),
     r"fits\[0\]\.spectrum\.frequency_hertz\[0\]", "expected a number"),
    (lambda fit, top: top.update(fits="none"), "fits", "expected a list"),
]


@pytest.mark.parametrize("edit, field, message", DAMAGE)
def test_damaged_saved_fit_is_a_value_error_naming_file_and_field(report, tmp_path, edit, field, message):
    path = tmp_path / "fit.json"
    save_fit(report, path)
    saved = json.loads(path.read_text())
    edit(saved["fits"][0], saved)
    path.write_text(json.dumps(saved))
    with pytest.raises(ValueError, match=f"^{path}: {field}: .*{message}"):
        load_fit(path)


@pytest.mark.parametrize("content", [b"", b"\xff\xfe", b"[1, 2]", b"{\"format\": 3}", _nested(100000).encode(),
                                     b"{\"format\": \"kelvra-fit\", \"version\": 2}"])
def test_a_file_that_is_no_saved_fit_is_a_value_error_naming_it(tmp_path, content):
    path = tmp_path / "other.json"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=f"^{path}: "):
        load_fit(path)


@pytest.fixture()
def pyplot():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot

    yield pyplot
    pyplot.close("all")


def test_plots_draw_data_model_or_both(report, pyplot):
    from kelvra import plot

    f, z, circuit = report.frequencies, report.impedances, report.fitted_circuit
    ax = plot.nyquist(f, z, circuit)
    assert [len(line.get_xdata()) for line in ax.lines][0] == len(f)
    np.testing.assert_array_equal(ax.lines[0].get_ydata(), -z.imag)  # -Im Z upward
    assert ax.get_aspect() == 1.0
    assert len(plot.nyquist(f, model=circuit).lines) == 1
    modulus_ax, phase_ax = plot.bode(f, z)
    np.testing.assert_allclose(phase_ax.lines[0].get_ydata(), np.degrees(np.angle(z)))
    assert modulus_ax.get_yscale() == "log"
    ax = plot.residuals(f, z, report.model())
    np.testing.assert_allclose(ax.lines[1].get_ydata(), ((z - report.model()) / abs(z)).real * 100)
    with pytest.raises(ValueError, match="nothing to draw"):
        plot.nyquist(f)
    figure = plot.plot_fit(report)
    assert len(figure.axes) == 4


def test_missing_matplotlib_is_named(report, monkeypatch):
    import sys

    from kelvra import plot

    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="install the package 'matplotlib'"):
        plot.nyquist(report.frequencies, report.impedances)


@pytest.mark.parametrize("columns", [
    ("frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"),
    ("Frequency / Hz", "Absolute Impedance / ohm", "Phase / deg"),
])
def test_report_reads_any_frame_the_fit_accepts(columns):
    spectrum, = io.read(CELL)
    f, z = spectrum.frequencies, spectrum.impedances
    first, second = (z.real, z.imag) if "real" in columns[1] else (abs(z), np.degrees(np.angle(z)))
    frame = {columns[0]: np.concatenate([[0.0], f]), columns[1]: np.concatenate([[1.0], first]),
             columns[2]: np.concatenate([[1.0], second])}
    with pytest.warns(io.PointWarning, match="row 0 \\(0 Hz\\)"):
        report = fit_spectrum("R0-(R1,C1)", frame)
    np.testing.assert_array_equal(report.frequencies, f)  # the zero-frequency row is dropped, as by the fit
    np.testing.assert_allclose(report.impedances, z, rtol=1e-12)
