import math

import numpy as np
import pytest

from eisnn_train.features import interpolate, spectrum_features, spectrum_scales


def randles_like(freq):
    w = 2 * np.pi * freq
    return 0.05 + 1 / (1 / (0.2 + 3 / np.sqrt(w) * (1 - 1j)) + 1e-3 * (1j * w) ** 0.85)


FREQ = np.logspace(-2, 5, 47)
Z = randles_like(FREQ)
PERMUTATION = np.random.default_rng(3).permutation(len(FREQ))


@pytest.mark.parametrize("freq, z", [
    pytest.param(FREQ, Z * 731.0, id="impedances scaled"),
    pytest.param(FREQ, Z * 1e-4, id="impedances scaled down"),
    pytest.param(FREQ * 1e3, Z, id="frequencies scaled"),
    pytest.param(FREQ[PERMUTATION], Z[PERMUTATION], id="points shuffled"),
    pytest.param(FREQ[::-1], Z[::-1], id="descending sweep"),
])
def test_features_ignore_scale_and_point_order(freq, z):
    image, extras, _, _ = spectrum_features(FREQ, Z)
    other_image, other_extras, _, _ = spectrum_features(freq, z)
    np.testing.assert_allclose(other_image, image, rtol=0, atol=1e-12)
    np.testing.assert_allclose(other_extras, extras, rtol=0, atol=1e-12)


def test_scales_follow_a_scaled_spectrum():
    r, w = spectrum_scales(FREQ, Z)
    r2, w2 = spectrum_scales(FREQ * 10, Z * 3)
    assert r2 == pytest.approx(3 * r, rel=1e-12)
    assert w2 == pytest.approx(10 * w, rel=1e-12)


def test_scales_weight_only_capacitive_points():
    r, w = spectrum_scales([1.0, 10.0], [1 - 1j, 1 + 0j])
    assert r == pytest.approx(math.sqrt(2), rel=1e-12)
    assert w == pytest.approx(2 * math.pi, rel=1e-12)
    image, _, _, _ = spectrum_features([1.0, 10.0], [1 - 1j, 1 + 0j])
    assert image[1, 0] == pytest.approx(-0.5, rel=1e-12)


def test_scales_without_capacitive_points_use_band_centre_and_upper_median():
    freq = np.array([1.0, 10.0, 100.0, 1000.0])
    r, w = spectrum_scales(freq, [4j, 1, 3, 2j])
    assert r == 3.0
    assert w == pytest.approx(2 * math.pi * math.sqrt(1000.0), rel=1e-12)


@pytest.mark.parametrize("x, expected", [(0.25, 2.5), (-1.0, 0.0), (2.0, 10.0), (1.0, 10.0)])
def test_interpolate_is_clamped_linear(x, expected):
    assert interpolate(np.array([0.0, 1.0]), np.array([0.0, 10.0]), x) == expected


def test_interpolate_takes_left_value_at_repeated_abscissa():
    assert interpolate(np.array([0.0, 1.0, 1.0, 2.0]), np.array([0.0, 5.0, 7.0, 9.0]), 1.0) == 7.0


def test_phase_is_unwrapped_across_the_cut():
    freq = [1.0, 2.0]
    z = [np.exp(3.1j), np.exp(-3.1j)]
    image, _, _, _ = spectrum_features(freq, z, n_grid=2)
    assert image[1, 1] * math.pi / 2 == pytest.approx(2 * math.pi - 3.1, rel=1e-12)


def test_single_point_is_refused():
    with pytest.raises(ValueError, match="need at least 2 frequency points to guess, got 1"):
        spectrum_features([1.0], [1 - 1j])
