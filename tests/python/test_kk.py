import glob
import os

import numpy as np
import pytest

import math

import kelvra
from kelvra import kk
from kelvra.kk import kramers_kronig

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
# Every measured spectrum the project carries: the instrument files and the
# demo's cell.
REAL_FILES = [*glob.glob(os.path.join(ROOT, "tests", "data", "*")),
              os.path.join(ROOT, "examples", "li_ion_cell.csv")]
FREQUENCIES = np.logspace(5, -2, 50)  # a sweep from high to low frequency
OMEGA = 2 * np.pi * FREQUENCIES


def zarc(r, q, alpha):
    return r / (1 + r * q * (1j * OMEGA) ** alpha)


def two_arcs(noise=0.0, seed=1):
    """A clean cell, 0.1 % proportional noise unless told otherwise."""
    z = 10 + zarc(20, 1e-4, 0.85) + zarc(50, 1e-2, 0.9)
    rng = np.random.default_rng(seed)
    return z * (1 + noise * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))


def sweep_time():
    """Elapsed time at each point, one period per point, as a fraction of the sweep."""
    elapsed = np.cumsum(1 / FREQUENCIES)
    return elapsed / elapsed[-1]


@pytest.mark.parametrize("name, impedances, options, valid", [
    ("valid two arcs", two_arcs(0.001), {}, True),
    # The impedance grows by 10 % over the sweep, as in a cell that is not
    # at steady state: no causal, stable circuit reproduces that.
    ("drifting two arcs", two_arcs(0.001) * (1 + 0.1 * sweep_time()), {}, False),
    ("inductive tail", two_arcs(0.001) + 1j * OMEGA * 2e-5, {}, True),
    ("inductive tail, no inductor", two_arcs(0.001) + 1j * OMEGA * 2e-5, {"inductance": False}, False),
    ("blocking electrode", two_arcs(0.001) + 1 / (1j * OMEGA * 0.5), {"capacitance": True}, True),
])
def test_verdicts_on_synthetic_spectra(name, impedances, options, valid):
    result = kk.kramers_kronig(FREQUENCIES, impedances, **options)
    assert result.valid == valid, (name, result.verdict)
    assert result.mu < result.mu_cutoff
    if valid:
        np.testing.assert_allclose(result.fitted, impedances, rtol=0.01)


def test_threshold_decides_the_verdict():
    noisy = two_arcs(0.005)
    result = kk.kramers_kronig(FREQUENCIES, noisy)
    loose = kk.kramers_kronig(FREQUENCIES, noisy, threshold=1.5 * result.max_residual)
    tight = kk.kramers_kronig(FREQUENCIES, noisy, threshold=0.5 * result.max_residual)
    assert loose.valid and not tight.valid
    assert result.worst_points(1)[0] == np.argmax(
        np.maximum(abs(result.residuals_real), abs(result.residuals_imag)))


def explicit_fit(frequencies, impedances, count, inductance=True, capacitance=False):
    """The same linear problem solved directly by NumPy's least squares."""
    omega = 2 * np.pi * frequencies
    tau = np.geomspace(1 / omega.max(), 1 / omega.min(), count) if count > 1 else [
        1 / np.sqrt(omega.max() * omega.min())]
    columns = [np.ones_like(omega)]
    if inductance:
        columns.append(1j * omega)
    if capacitance:
        columns.append(-1j / omega)
    columns += [1 / (1 + 1j * omega * t) for t in tau]
    basis = np.array(columns).T / np.abs(impedances)[:, None]
    target = impedances / np.abs(impedances)
    a = np.vstack([basis.real, basis.imag])
    scale = np.linalg.norm(a, axis=0)
    x = np.linalg.lstsq(a / scale, np.concatenate([target.real, target.imag]), rcond=None)[0] / scale
    return x, a @ x


@pytest.mark.parametrize("count", [1, 2, 7, 15, 30])
@pytest.mark.parametrize("inductance, capacitance", [(True, False), (False, True), (True, True)])
def test_normal_equations_match_direct_least_squares(count, inductance, capacitance):
    z = two_arcs(0.003) + 1 / (1j * OMEGA * 0.5)
    result = kk.kramers_kronig(FREQUENCIES, z, n_elements=count, inductance=inductance, capacitance=capacitance)
    x, model = explicit_fit(FREQUENCIES, z, count, inductance, capacitance)
    np.testing.assert_allclose(result.resistances, x[-count:], rtol=1e-6, atol=1e-9 * np.abs(x).max())
    np.testing.assert_allclose(result.residuals_real, z.real / abs(z) - model[:50], atol=1e-9)
    np.testing.assert_allclose(result.residuals_imag, z.imag / abs(z) - model[50:], atol=1e-9)


@pytest.mark.parametrize("options, first", [({}, 18), ({"min_elements": 1}, 1), ({"min_elements": 20}, 20)])
def test_scan_picks_the_first_count_below_the_cutoff(options, first):
    z = two_arcs(0.005)
    mus = [kk.kramers_kronig(FREQUENCIES, z, n_elements=m).mu for m in range(1, 51)]
    expected = next(m for m in range(first, 51) if mus[m - 1] < kk.DEFAULT_MU_CUTOFF)
    result = kk.kramers_kronig(FREQUENCIES, z, **options)
    assert result.n_elements == expected
    assert result.mu == pytest.approx(mus[expected - 1], rel=1e-9)


def test_scan_without_a_crossing_uses_the_largest_count():
    result = kk.kramers_kronig(FREQUENCIES, two_arcs(0.005), mu_cutoff=1e-12, max_elements=12)
    assert result.n_elements == 12


def test_ill_conditioned_counts_fall_back_to_qr():
    # 95 elements over 7 decades: far beyond what the normal equations hold.
    z = two_arcs(0.001)
    result = kk.kramers_kronig(FREQUENCIES, z, n_elements=95)
    x, model = explicit_fit(FREQUENCIES, z, 95)
    assert np.abs(result.residuals_real - (z.real / abs(z) - model[:50])).max() < 1e-6


@pytest.mark.parametrize("frequencies, impedances, options, message", [
    ([1, 2, 3], [1, 2], {}, "same length"),
    ([1], [1], {}, "at least two points"),
    # Rows without a positive frequency are left out (with a warning) before the count is checked.
    ([0, 1], [1, 2], {}, "at least two points"),
    ([np.inf, 1, 2], [1, 2, 3], {}, "point 0: frequency inf Hz is not finite"),
    ([1, 2, 3], [1, np.inf, 3], {}, "point 1: impedance .* is not finite"),
    ([1, 2, 3], [1, 0, 3], {}, "point 1: impedance at 2 Hz is 0"),
    ([1, 2, 3], [1, 2, 3], {"n_elements": 0}, "n_elements must be between 1 and 3"),
    ([1, 2, 3], [1, 2, 3], {"max_elements": 5}, "max_elements must be between 1 and 3"),
    ([1, 2, 3], [1, 2, 3], {"min_elements": 4}, "min_elements must be between 1 and 3"),
    # Options out of range: a NaN or negative cut-off once made the scan try every count.
    ([1, 2, 3], [1, 2, 3], {"mu_cutoff": np.nan}, r"mu_cutoff must be in \(0, 1\], got nan"),
    ([1, 2, 3], [1, 2, 3], {"mu_cutoff": -1}, r"mu_cutoff must be in \(0, 1\], got -1"),
    ([1, 2, 3], [1, 2, 3], {"mu_cutoff": 1.5}, r"mu_cutoff must be in \(0, 1\]"),
    ([1, 2, 3], [1, 2, 3], {"threshold": np.nan}, "threshold must be positive and finite"),
    ([1, 2, 3], [1, 2, 3], {"max_elements": 2.5}, "max_elements must be a whole number"),
    (np.logspace(0, 3, 100), np.linspace(1, 2, 100) - 1j, {"n_elements": kk.MAX_ELEMENTS + 1},
     f"between 1 and {kk.MAX_ELEMENTS}"),
    # Spectra the linear system cannot take.
    ([5.0] * 10, [1 + 1j] * 10, {}, "at least two distinct frequencies"),
    ([1e-300, 1e300], [1 + 1j, 2 + 2j], {}, "too extreme for double-precision"),
])
@pytest.mark.filterwarnings("ignore::kelvra.io.PointWarning")
def test_rejected_input(frequencies, impedances, options, message):
    with pytest.raises(ValueError, match=message):
        kk.kramers_kronig(frequencies, impedances, **options)


def test_many_records_each_refused_spectrum_and_goes_on():
    spectra = [([5.0] * 10, [1 + 1j] * 10), ([1e-300, 1e300], [1 + 1j, 2 + 2j]), (FREQUENCIES, two_arcs())]
    first, second, third = kk.kramers_kronig_many(spectra, workers=2)
    assert isinstance(first, ValueError) and isinstance(second, ValueError)
    assert third.valid
    # Options are everyone's: refused once, before any spectrum.
    with pytest.raises(ValueError, match="mu_cutoff"):
        kk.kramers_kronig_many(spectra, mu_cutoff=float("nan"))


def test_the_element_scan_is_capped_on_long_spectra():
    frequencies = np.logspace(-2, 6, 3000)
    z = 10 + 20 / (1 + 20 * 1e-4 * (2j * np.pi * frequencies) ** 0.85)
    result = kk.kramers_kronig(frequencies, z, mu_cutoff=1e-12)
    assert result.n_elements <= kk.MAX_ELEMENTS


def real_spectra():
    io = pytest.importorskip("kelvra.io")
    return [s for path in sorted(REAL_FILES) if not path.endswith(".md") for s in io.read(path)]


def test_every_real_spectrum_gets_a_verdict():
    spectra = real_spectra()
    assert len(spectra) >= 14
    for spectrum in spectra:
        kept = spectrum.frequencies > 0
        result = kk.kramers_kronig(spectrum.frequencies[kept], spectrum.impedances[kept])
        assert isinstance(result.valid, bool)
        assert np.isfinite(result.max_residual), spectrum.path
        assert 1 <= result.n_elements <= kept.sum()


@pytest.mark.parametrize("circuit, values, tail", [
    ("R0-(R1,C1)-C2", [10.0, 100.0, 1e-5, 1e-3], True),
    ("R0-(R1,C1)-W1", [10.0, 100.0, 1e-5, 50.0], True),
    ("R0-(R1,C1)", [10.0, 100.0, 1e-5], False),
])
def test_series_capacitor_is_chosen_by_the_data(circuit, values, tail):
    from kelvra.kk import capacitive_tail

    frequencies = np.logspace(-2, 5, 50)
    impedances = kelvra.Circuit(circuit).with_values(values).impedance(frequencies)
    assert capacitive_tail(frequencies, impedances) == tail
    chosen = kramers_kronig(frequencies, impedances)
    assert chosen.valid
    assert bool(chosen.note) == tail
    if circuit.endswith("C2"):
        # A blocking electrode fails without the capacitor: the test says so.
        assert not kramers_kronig(frequencies, impedances, capacitance=False).valid
        assert math.isfinite(chosen.capacitance) and "need the series capacitor" in chosen.note
