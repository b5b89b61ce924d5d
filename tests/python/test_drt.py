import numpy as np
import pytest

import kelvra
import kelvra.io
from kelvra import drt as kdrt

FREQUENCIES = np.logspace(5, -3, 70)  # eight decades, high to low
OMEGA = 2 * np.pi * FREQUENCIES
NOISE = 0.005


def zarc(r, tau, phi, omega=OMEGA):
    return r / (1 + (1j * omega * tau) ** phi)


def zarc_gamma(r, tau0, phi, tau):
    """The closed-form DRT of a ZARC, ohm per unit ln tau."""
    angle = (1 - phi) * np.pi
    return r / (2 * np.pi) * np.sin(angle) / (np.cosh(phi * np.log(tau / tau0)) - np.cos(angle))


def noisy(z, seed):
    rng = np.random.default_rng(seed)
    return z * (1 + NOISE * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))


# Single arcs at least 1.5 decades inside the band, exponents from broad to
# an ideal RC: one peak at the right tau, the right polarisation resistance
# and a series resistance within 1 % of the DC resistance.
@pytest.mark.parametrize("phi, tau0, seed", [(0.65, 1e-2, 1), (0.75, 3e-4, 2), (0.85, 1e-1, 3), (0.95, 1e-3, 4),
                                             (1.0, 1e-2, 5)])
def test_single_arc_is_one_peak_with_its_resistance(phi, tau0, seed):
    result = kdrt.drt(FREQUENCIES, noisy(10 + zarc(100, tau0, phi), seed))
    assert len(result.peaks) == 1
    assert abs(np.log10(result.peaks[0].tau / tau0)) <= 0.1
    assert result.polarization_resistance == pytest.approx(100, rel=0.02)
    assert abs(result.r_inf - 10) <= 0.01 * 110
    assert result.trustworthy, result.verdict
    assert np.all(result.gamma >= 0)


def test_zarc_gamma_follows_the_closed_form():
    result = kdrt.drt(FREQUENCIES, noisy(10 + zarc(100, 1e-2, 0.7), 11))
    expected = zarc_gamma(100, 1e-2, 0.7, result.tau)
    # Regularisation rounds the top; the shape must still be the ZARC's.
    assert np.max(np.abs(result.gamma - expected)) <= 0.1 * expected.max()


def test_two_arcs_two_decades_apart_are_two_peaks():
    z = 5 + zarc(40, 1e-4, 0.9) + zarc(80, 1e-2, 0.85)
    result = kdrt.drt(FREQUENCIES, noisy(z, 21))
    assert [round(np.log10(p.tau)) for p in result.peaks] == [-4, -2]
    for peak, (tau, r) in zip(result.peaks, [(1e-4, 40), (1e-2, 80)]):
        assert abs(np.log10(peak.tau / tau)) <= 0.1
        assert peak.resistance == pytest.approx(r, rel=0.06)
    assert kdrt.peak_starts(result) == [(p.tau, p.resistance) for p in result.peaks]


def test_series_resistance_and_inductance_are_recovered():
    inductance = 3e-6
    z = 2 + 1j * OMEGA * inductance + zarc(20, 1e-3, 0.9)
    result = kdrt.drt(FREQUENCIES, noisy(z, 31))
    assert result.inductance == pytest.approx(inductance, rel=0.03)
    assert result.r_inf == pytest.approx(2, abs=0.01 * 22)
    no_inductance = kdrt.drt(FREQUENCIES, noisy(z, 31), inductance=False)
    assert no_inductance.inductance == 0


def test_nonnegative_solver_matches_reference_nnls():
    optimize = pytest.importorskip("scipy.optimize")
    z = noisy(10 + zarc(60, 1e-3, 0.8) + zarc(30, 1e-1, 0.9), 41)
    for options in [{}, {"method": "mgcv", "penalty": "second"}, {"lambda_": 1e-6}]:
        raw = kelvra._core._drt(FREQUENCIES, z, keep_system=True, **options)
        reference, _ = optimize.nnls(raw["system_matrix"], raw["system_rhs"], maxiter=10000)
        mine = raw["system_solution"]
        assert np.linalg.norm(mine - reference) <= 1e-8 * np.linalg.norm(reference), options


@pytest.mark.parametrize("options", [{}, {"method": "mgcv"}, {"method": "re-im"}, {"penalty": "second"},
                                     {"penalty": "value"}, {"parts": "real"}, {"parts": "imag"},
                                     {"weight": "unit"}, {"nonnegative": False}])
def test_every_option_describes_the_spectrum(options):
    z = noisy(10 + zarc(100, 1e-2, 0.85), 51)
    result = kdrt.drt(FREQUENCIES, z, **options)
    assert result.max_residual < 0.03
    # A signed gamma may trade negative lobes beyond the band against R_inf.
    tolerance = 0.1 if options.get("nonnegative") is False else 0.05
    assert result.polarization_resistance == pytest.approx(100, rel=tolerance)
    assert abs(np.log10(max(result.peaks, key=lambda p: p.height).tau / 1e-2)) <= 0.1


def test_unsorted_frequencies_give_the_same_drt():
    z = noisy(10 + zarc(100, 1e-2, 0.85), 61)
    order = np.random.default_rng(0).permutation(z.size)
    sorted_result = kdrt.drt(FREQUENCIES, z)
    shuffled = kdrt.drt(FREQUENCIES[order], z[order])
    assert shuffled.lambda_ == pytest.approx(sorted_result.lambda_, rel=1e-6)
    np.testing.assert_allclose(shuffled.gamma, sorted_result.gamma, rtol=1e-6, atol=1e-9 * sorted_result.gamma.max())
    np.testing.assert_allclose(shuffled.fitted, sorted_result.fitted[order], rtol=1e-6)


def _spoiled(index, frequency=None, impedance=None):
    f = FREQUENCIES[:10].copy()
    z = (10 + zarc(100, 1e-2, 0.85))[:10].copy()
    if frequency is not None:
        f[index] = frequency
    if impedance is not None:
        z[index] = impedance
    return f, z


@pytest.mark.parametrize("spectrum, message", [
    (_spoiled(3, impedance=complex(np.nan, 0)), "point 3: impedance .* is not finite"),
    (_spoiled(5, frequency=np.inf), "point 5: frequency inf Hz is not finite"),
    (_spoiled(8, frequency=FREQUENCIES[1]), "points 1 and 8 share the frequency"),
    ((FREQUENCIES[:4], np.ones(4)), "a DRT needs at least 5 points, got 4"),
    ((FREQUENCIES[:8], np.zeros(8)), "point 0: impedance at 100000 Hz is 0"),
    ((FREQUENCIES[:8], np.ones(7)), "must have the same length"),
])
def test_bad_input_names_the_problem(spectrum, message):
    with pytest.raises(ValueError, match=message):
        kdrt.drt(*spectrum)


# The core checks what reaches it without the user layer's coercion.
@pytest.mark.parametrize("spectrum, message", [
    (_spoiled(3, impedance=complex(np.nan, 0)), "point 3 has a NaN or infinite frequency or impedance"),
    (_spoiled(2, frequency=0.0), "point 2 has the frequency 0 Hz; frequencies must be positive"),
    (_spoiled(7, frequency=-5.0), "point 7 has the frequency -5 Hz; frequencies must be positive"),
    ((FREQUENCIES[:8], np.zeros(8)), "every impedance is zero: there is no spectrum to take a DRT of"),
])
def test_core_refuses_points_it_cannot_use(spectrum, message):
    with pytest.raises(ValueError, match=message):
        kelvra._core._drt(*spectrum)


def test_row_without_positive_frequency_is_left_out_with_a_warning():
    f, z = _spoiled(4, frequency=0.0)
    with pytest.warns(kelvra.io.PointWarning):
        result = kdrt.drt(f, z)
    np.testing.assert_array_equal(result.gamma, kdrt.drt(np.delete(f, 4), np.delete(z, 4)).gamma)


@pytest.mark.parametrize("options, message", [
    ({"lambda_": 0.0}, "lambda_ must be positive and finite, got 0"),
    ({"method": "lcurve"}, "unknown method \"lcurve\""),
    ({"parts": "both parts"}, "unknown parts"),
    ({"points_per_decade": -1}, "points_per_decade must be positive"),
])
def test_bad_options_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        kdrt.drt(FREQUENCIES, 10 + zarc(100, 1e-2, 0.85), **options)


def test_unknown_option_is_a_type_error():
    with pytest.raises(TypeError, match="unexpected keyword argument \"lamda\""):
        kdrt.drt(FREQUENCIES, 10 + zarc(100, 1e-2, 0.85), lamda=1.0)


# Synthetic spectra of every built-in model, arcs at least 1.5 decades apart:
# the suggestion names the model that made them.
MODEL_VALUES = {
    "rc": {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5},
    "rc_l": {"L0.l": 1e-5, "R0.r": 10, "R1.r": 100, "C1.c": 1e-5},
    "rq": {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-4, "CPE1.alpha": 0.8},
    "rq_l": {"L0.l": 1e-5, "R0.r": 10, "R1.r": 100, "CPE1.q": 1e-4, "CPE1.alpha": 0.8},
    "two_rc": {"R0.r": 10, "R1.r": 50, "C1.c": 1e-6, "R2.r": 100, "C2.c": 1e-3},
    "two_rc_l": {"L0.l": 1e-5, "R0.r": 10, "R1.r": 50, "C1.c": 1e-6, "R2.r": 100, "C2.c": 1e-3},
    "two_rq": {"R0.r": 10, "R1.r": 50, "CPE1.q": 1e-5, "CPE1.alpha": 0.85, "R2.r": 100, "CPE2.q": 1e-3,
               "CPE2.alpha": 0.8},
    "two_rq_l": {"L0.l": 1e-5, "R0.r": 10, "R1.r": 50, "CPE1.q": 1e-5, "CPE1.alpha": 0.85, "R2.r": 100,
                 "CPE2.q": 1e-3, "CPE2.alpha": 0.8},
    "randles": {"R0.r": 10, "R1.r": 50, "W1.aw": 20, "CPE1.q": 1e-5, "CPE1.alpha": 0.9},
    "sei_randles": {"R0.r": 10, "R1.r": 30, "CPE1.q": 1e-5, "CPE1.alpha": 0.9, "R2.r": 100, "W2.aw": 30,
                    "CPE2.q": 1e-3, "CPE2.alpha": 0.85},
    "sei_randles_wo": {"R0.r": 10, "R1.r": 30, "CPE1.q": 1e-5, "CPE1.alpha": 0.9, "R2.r": 100, "Wo2.z0": 50,
                       "Wo2.tau": 1.0, "CPE2.q": 1e-3, "CPE2.alpha": 0.85},
}


def test_every_built_in_model_has_a_case():
    assert set(MODEL_VALUES) == set(kelvra.Circuit.ml_circuits())


@pytest.mark.parametrize("model", sorted(MODEL_VALUES))
def test_suggest_circuit_names_the_model(model):
    f = np.logspace(5, -3, 80)
    z = noisy(kelvra.Circuit(model).with_named_values(MODEL_VALUES[model]).impedance(f), 71)
    suggestion = kdrt.drt(f, z).suggest_circuit()
    assert suggestion.model == model, suggestion.reasons
    circuit = suggestion.to_circuit()
    assert circuit.param_names() == kelvra.Circuit(model).param_names()
    # The starting values put R0 and the largest resistance near the truth.
    assert suggestion.params["R0.r"] == pytest.approx(10, rel=0.2)


def test_drt_many_keeps_order_and_reports_errors_in_place():
    spectra = [(FREQUENCIES, noisy(10 + zarc(100, tau, 0.9), i)) for i, tau in enumerate([1e-4, 1e-3, 1e-2])]
    spectra.insert(1, (FREQUENCIES[:3], np.ones(3)))
    one = kdrt.drt_many(spectra, workers=1)
    two = kdrt.drt_many(spectra, workers=2)
    assert isinstance(one[1], ValueError) and "at least 5 points" in str(one[1])
    for i in (0, 2, 3):
        single = kdrt.drt(*spectra[i])
        for result in (one[i], two[i]):
            np.testing.assert_array_equal(result.gamma, single.gamma)
            assert result.r_inf == single.r_inf


def test_result_tables():
    pytest.importorskip("pandas")
    result = kdrt.drt(FREQUENCIES, noisy(10 + zarc(100, 1e-2, 0.85), 81))
    frame = result.to_frame()
    assert list(frame.columns) == ["tau / s", "gamma / ohm"]
    assert len(frame) == result.tau.size
    assert list(result.peaks_frame()["tau"]) == [p.tau for p in result.peaks]
    assert result.row()["n_peaks"] == len(result.peaks)
    assert result._repr_html_().count("<tr><td>") == len(result.peaks)


def test_plots_draw_gamma_peaks_and_series_elements():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    from kelvra import plot

    result = kdrt.drt(FREQUENCIES, noisy(10 + zarc(40, 1e-4, 0.9) + zarc(80, 1e-2, 0.85), 91))
    ax = plot.drt(result, ax=Figure().subplots())
    assert ax.get_xscale() == "log"
    labels = [text.get_text() for text in ax.get_legend().get_texts()]
    assert labels[-2].startswith("R\u221e = 10") and labels[-1].startswith("L = ")
    assert len(ax.texts) == len(result.peaks) == 2
    figure = plot.plot_drt(result, fig=Figure(layout="constrained"))
    assert len(figure.axes) == 3 and "ok:" in figure._suptitle.get_text()
