"""Series of spectra: parameter uncertainty, arc order, outliers and series input."""
import math
import os
import shutil

import numpy as np
import pytest

import kelvra
from kelvra import arcs, uncertainty
from kelvra.series import OUTLIER_SCORE, fit_series, outliers, trajectory_scores

pandas = pytest.importorskip("pandas")

DATA = os.path.join(os.path.dirname(__file__), "..", "data")
TWO_ARCS = "R0-(R1,CPE1)-(R2,CPE2)"
FREQUENCIES = np.logspace(4, -2, 50)
CORRUPTED = (37, 71)


def noisy(circuit, frequencies, rng, noise=0.01):
    z = circuit.impedance(frequencies)
    return z + noise * np.abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))) / math.sqrt(2)


def ageing_series(count=100, seed=7):
    """Two arcs whose resistances grow, 1 % noise, and two spectra distorted
    by a bump around 10 Hz that no state of the cell explains."""
    rng = np.random.default_rng(seed)
    truths, spectra = [], []
    for i in range(count):
        age = i / (count - 1)
        truth = [0.010 * (1 + 0.3 * age), 0.015 * (1 + age), 2e-3, 0.9, 0.030 * (1 + 2 * age), 20.0, 0.8]
        z = noisy(kelvra.Circuit(TWO_ARCS).with_values(truth), FREQUENCIES, rng)
        if i in CORRUPTED:
            z = z * (1 + 0.5 * np.exp(-(np.log10(FREQUENCIES) - 1) ** 2))
        truths.append(truth)
        spectra.append((FREQUENCIES, z))
    return np.array(truths), spectra


@pytest.fixture(scope="module")
def ageing():
    return ageing_series()


# --- uncertainty ---------------------------------------------------------------

@pytest.mark.parametrize("p, dof, expected", [
    (0.975, 1, 12.7062), (0.975, 2, 4.3027), (0.975, 5, 2.5706), (0.975, 10, 2.2281), (0.975, 30, 2.0423),
    (0.95, 4, 2.1318), (0.975, math.inf, 1.95996), (0.025, 10, -2.2281),
])
def test_t_quantile_matches_tables(p, dof, expected):
    assert uncertainty.t_quantile(p, dof) == pytest.approx(expected, rel=2e-4)


def test_linear_standard_errors_are_the_fits_and_correlation_is_a_correlation():
    rng = np.random.default_rng(3)
    truth = kelvra.Circuit(TWO_ARCS).with_values([0.01, 0.02, 1.0, 0.9, 0.03, 50.0, 0.8])
    z = noisy(truth, FREQUENCIES, rng)
    result = truth.fit(FREQUENCIES, z)
    spread = uncertainty.linearised(result.circuit, FREQUENCIES, z)
    np.testing.assert_allclose(spread.stderr, [result.stderr[n] for n in spread.names], rtol=1e-6)
    corr = spread.correlation
    np.testing.assert_allclose(np.diag(corr), 1.0)
    np.testing.assert_allclose(corr, corr.T)
    assert np.all(spread.low < spread.values) and np.all(spread.values < spread.high)


def test_no_degrees_of_freedom_gives_nan_not_an_error():
    circuit = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3])
    f = np.array([10.0])
    spread = uncertainty.linearised(circuit, f, circuit.impedance(f))
    assert spread.dof < 0 and np.all(np.isnan(spread.covariance))


def test_linear_intervals_cover_the_truth_at_their_level():
    rng = np.random.default_rng(11)
    truth = [0.01, 0.02, 1.0, 0.9, 0.03, 50.0, 0.8]
    circuit = kelvra.Circuit(TWO_ARCS).with_values(truth)
    f = np.logspace(4, -2, 40)
    inside = []
    for _ in range(80):
        z = noisy(circuit, f, rng)
        spread = uncertainty.linearised(circuit.fit(f, z).circuit, f, z)
        inside.extend((spread.low <= truth) & (truth <= spread.high))
    assert 0.90 <= np.mean(inside) <= 0.98


def test_bootstrap_is_seeded_and_agrees_with_the_linear_picture():
    rng = np.random.default_rng(5)
    circuit = kelvra.Circuit("R0-(R1,CPE1)").with_values([0.01, 0.02, 1.0, 0.85])
    z = noisy(circuit, FREQUENCIES, rng)
    fitted = circuit.fit(FREQUENCIES, z).circuit
    one = uncertainty.bootstrap(fitted, FREQUENCIES, z, 60, seed=4, workers=1)
    two = uncertainty.bootstrap(fitted, FREQUENCIES, z, 60, seed=4, workers=2)
    np.testing.assert_array_equal(one.samples, two.samples)
    linear = uncertainty.linearised(fitted, FREQUENCIES, z)
    np.testing.assert_allclose(one.stderr, linear.stderr, rtol=0.5)
    with pytest.raises(ValueError, match="at least 2"):
        uncertainty.bootstrap(fitted, FREQUENCIES, z, 1)


# --- arcs -----------------------------------------------------------------------

@pytest.mark.parametrize("text, groups", [
    (TWO_ARCS, [["(R1,CPE1)", "(R2,CPE2)"]]),
    ("L0-R0-(R1,CPE1)-(R2-W2,CPE2)-(R3,C3)", []),
    ("R0-(R1,C1)-(R2,C2)-(R3,C3)", [["(R1,C1)", "(R2,C2)", "(R3,C3)"]]),
    ("R0-(R1,CPE1)-(R2,(R3,CPE3))", []),
    ("R0-(R1,Cpe1)-(R2,CPE2)", [["(R1,Cpe1)", "(R2,CPE2)"]]),
])
def test_interchangeable_groups(text, groups):
    found = arcs.interchangeable_groups(kelvra.Circuit(text))
    assert [[term for term, _ in group] for group in found] == groups


@pytest.mark.parametrize("term, values, tau", [
    ("(R1,C1)", {"R1.r": 2.0, "C1.c": 3e-4}, 6e-4),
    ("(R1,CPE1)", {"R1.r": 2.0, "CPE1.q": 3e-4, "CPE1.alpha": 0.8}, 6e-4 ** (1 / 0.8)),
])
def test_time_constant_of_a_group(term, values, tau):
    assert arcs.time_constant(term, values) == pytest.approx(tau, rel=1e-3)


def test_ordering_puts_the_faster_arc_first_and_keeps_the_impedance():
    slow_first = kelvra.Circuit("R0-(R1,C1)-(R2,C2)-(R3,C3)").with_values([1.0, 5.0, 1.0, 2.0, 1e-6, 3.0, 1e-3])
    ordered, perm = arcs.order_by_time_constant(slow_first)
    assert ordered.param_values() == [1.0, 2.0, 1e-6, 3.0, 1e-3, 5.0, 1.0]
    assert perm == [0, 3, 4, 5, 6, 1, 2]
    np.testing.assert_allclose(ordered.impedance(FREQUENCIES), slow_first.impedance(FREQUENCIES))


# --- outliers ---------------------------------------------------------------------

def test_outlier_rule_tells_spikes_from_jumps():
    rng = np.random.default_rng(2)
    x = 1 + 0.01 * np.arange(60) + 0.002 * rng.standard_normal(60)
    x[20] *= 1.3          # one spectrum off the trajectory
    x[40:] += 0.5          # the trajectory moves and stays
    table = pandas.DataFrame({"p": x, "p_stderr": np.full(60, 0.002)})
    outlier, jump = outliers(table, ["p"])
    assert np.flatnonzero(outlier).tolist() == [20]
    assert np.flatnonzero(jump).tolist() == [40]


def test_a_smooth_curved_trajectory_has_no_outliers():
    spike, step = trajectory_scores(np.linspace(1, 2, 30), np.full(30, 1e-3))
    assert spike.max() < OUTLIER_SCORE and step.max() < OUTLIER_SCORE


# --- fitting a series ------------------------------------------------------------

def test_ageing_series_trajectories_intervals_and_outliers(ageing):
    truth, spectra = ageing
    # A start with both arcs alike: the plain fit returns them in either order.
    alike = kelvra.Circuit(TWO_ARCS).with_values([0.01, 0.02, 0.2, 0.85, 0.02, 0.2, 0.85])
    result = fit_series(alike, spectra, seed=1)
    table = result.table
    assert len(table) == 100 and list(table.columns[:4]) == ["R0.r", "R0.r_stderr", "R0.r_low", "R0.r_high"]
    assert sorted(np.flatnonzero(table["outlier"])) == list(CORRUPTED)
    clean = ~table["outlier"].to_numpy()
    inside = np.column_stack([(table[f"{n}_low"] <= truth[:, j]) & (truth[:, j] <= table[f"{n}_high"])
                              for j, n in enumerate(result.names)])
    assert inside[clean].mean() >= 0.90
    swapped = [arcs.arc_permutation(report.fitted_circuit) != list(range(7)) for report in result.reports]
    assert not any(swapped)
    unordered = fit_series(alike, spectra, seed=1, order_arcs=False)
    assert sum(arcs.arc_permutation(r.fitted_circuit) != list(range(7)) for r in unordered.reports) > 0


def test_warm_start_is_never_worse_than_the_guess_alone(ageing):
    _, spectra = ageing
    spectra = spectra[30:45]
    result = fit_series(TWO_ARCS, spectra, seed=1)
    alone = [kelvra.Circuit(TWO_ARCS).fit(f, z, seed=1).chi_square for f, z in spectra]
    assert np.all(result.table["chi_square"].to_numpy() <= np.array(alone) * (1 + 1e-9))
    assert set(result.table["start"]) <= {"previous", "own"}


def test_a_spectrum_that_cannot_be_fitted_keeps_its_row():
    f = np.logspace(3, -1, 20)
    good = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3]).impedance(f)
    result = fit_series("R0-(R1,C1)", {"a": (f, good), "b": (-f, good), "c": (f, good)})
    assert list(result.table.index) == ["a", "b", "c"]
    assert result.table.loc["b", "error"] and not result.table.loc["b", "success"]
    assert result.table.loc["c", "R1.r"] == pytest.approx(2.0, rel=1e-6)


# --- series input ------------------------------------------------------------------

def test_multi_cycle_file_is_one_frame_with_key_columns():
    from kelvra import io

    frame = io.read_series(os.path.join(DATA, "biologic_ex1.mpt"))
    assert list(frame.columns[:4]) == ["Spectrum", "File", "Sweep", "Cycle"]
    assert sorted(set(frame["Cycle"])) == [1, 2]
    assert {"Test Time / s", "Voltage / V", "Current / A"} <= set(frame.columns)
    result = fit_series("R0-(R1,CPE1)", frame, key="Cycle", seed=1)
    assert list(result.table.index) == [1, 2] and result.table.index.name == "Cycle"


@pytest.mark.parametrize("order, expected", [("time", ["Circuit2", "Circuit3", "Circuit1"]),
                                             ("name", ["Circuit1", "Circuit2", "Circuit3"])])
def test_folder_series_order(tmp_path, order, expected):
    from kelvra import io

    for name in ("Circuit1_EIS_1.z", "Circuit2_EIS_1.z", "Circuit3_EIS_1.z"):
        shutil.copy(os.path.join(DATA, name), tmp_path / name)
    frame = io.read_series(tmp_path, order=order)
    files = frame.drop_duplicates("Spectrum")["File"]
    assert [os.path.basename(path).split("_")[0] for path in files] == expected


def test_folder_without_spectra_names_the_folder(tmp_path):
    from kelvra import io

    (tmp_path / "notes.txt").write_text("nothing measured here\n")
    with pytest.raises(io.FormatError, match="no measured spectrum"):
        io.read_series(tmp_path)


def test_report_uncertainty_leaves_fixed_parameters_out():
    from kelvra.fitting import fit_spectrum

    rng = np.random.default_rng(8)
    circuit = kelvra.Circuit("R0-(R1,CPE1)").with_values([0.01, 0.02, 1.0, 0.85])
    z = noisy(circuit, FREQUENCIES, rng)
    report = fit_spectrum(circuit, FREQUENCIES, z, fixed={"CPE1.alpha": 0.85})
    spread = report.uncertainty()
    np.testing.assert_allclose(spread.stderr[:3], [report.stderr[n] for n in spread.names[:3]], rtol=1e-6)
    assert math.isnan(spread.stderr[3]) and spread.interval("CPE1.alpha") == (0.85, 0.85)
    resampled = report.uncertainty(bootstrap=20, seed=2)
    assert resampled.method == "bootstrap" and math.isnan(resampled.stderr[3])
    assert resampled.interval("CPE1.alpha") == (0.85, 0.85)


def test_drt_map_follows_the_growing_slow_arc(ageing):
    pytest.importorskip("kelvra.drt")
    matplotlib = pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    del matplotlib
    _, spectra = ageing
    result = fit_series(TWO_ARCS, [spectra[0], spectra[99]], seed=1)
    ax = result.drt_map(ax=Figure().add_subplot())
    mesh = ax.collections[0]
    gamma = np.asarray(mesh.get_array()).reshape(-1, 2)
    tau = np.exp(np.linspace(*np.log(ax.get_ylim()), gamma.shape[0]))
    slow = tau > 1e-2
    peaks = tau[slow][np.argmax(gamma[slow], axis=0)]
    # tau of the slow arc is (R2 Q2)^(1/alpha2): 0.53 s at the start, 2.1 s at the end.
    assert 0.2 < peaks[0] < 1.2 and 1.0 < peaks[1] < 5.0


def test_trajectory_range_is_set_by_the_spectra_that_are_no_outliers(ageing):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    _, spectra = ageing
    spectra = [(f, z * (3.0 if i == 6 else 1.0)) for i, (f, z) in enumerate(spectra[:14])]
    result = fit_series(TWO_ARCS, spectra, seed=1)
    assert np.flatnonzero(result.table["outlier"]).tolist() == [6]
    ax, = result.plot(["R2.r"], fig=Figure()).axes
    wild = result.table["R2.r"].iloc[6] * 1e3  # shown in milliohm
    assert ax.get_ylim()[1] < wild


def test_robust_series_is_never_worse_than_the_plain_one(ageing):
    pytest.importorskip("kelvra.robust")
    _, spectra = ageing
    spectra = spectra[35:40]
    plain = fit_series(TWO_ARCS, spectra, seed=1)
    robust = fit_series(TWO_ARCS, spectra, seed=1, robust=True)
    assert np.all(robust.table["chi_square"] <= plain.table["chi_square"] * (1 + 1e-9))
    assert not robust.table["trusted"].iloc[2]  # the distorted spectrum 37
