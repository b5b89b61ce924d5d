import math

import numpy as np
import pytest

import kelvra
import kelvra.io
from kelvra import ranking

FREQUENCIES = np.logspace(5, -2, 50)

# True values with well-separated time constants inside the band.
TRUTHS = {
    "rc": [0.5, 2.0, 1e-3],
    "rq_l": [2e-7, 0.5, 2.0, 1e-3, 0.85],
    "two_rq": [1.0, 2.0, 1e-4, 0.85, 5.0, 1e-1, 0.9],
    "randles": [1.0, 5.0, 2.0, 1e-5, 0.9],
}


def noisy_spectrum(model, noise=0.002, seed=1):
    circuit = kelvra.Circuit(model).with_values(TRUTHS[model])
    z = np.asarray(circuit.impedance(FREQUENCIES))
    rng = np.random.default_rng(seed)
    return z * (1 + noise * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)))


# By AIC a model with more parameters than the truth wins on about one
# noisy spectrum in five (bench/rank_bench.py), by BIC on about one in
# twenty; the spectra here are ones where neither does.
@pytest.mark.parametrize("criterion, seed", [("aic", 1), ("bic", 1), ("bic", 2), ("bic", 3)])
@pytest.mark.parametrize("model", sorted(TRUTHS))
def test_true_topology_ranks_first(model, criterion, seed):
    result = ranking.rank(FREQUENCIES, noisy_spectrum(model, seed=seed), criterion=criterion, workers=1)
    assert len(result) == len(kelvra.Circuit.ml_circuits())
    assert result.best.model == model, result.text()
    assert [fit.rank for fit in result] == list(range(1, len(result) + 1))
    order = [getattr(fit, criterion) for fit in result]
    assert order == sorted(order)
    assert min(result.delta_aic()) == 0.0


# Screening fits each candidate once from its guess; the full fit (taken
# whenever an option beyond `weight` is given) retries from more starts.
# Where the full fit's winner is a clear one, screening must agree on it and
# on its chi-square.
@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("model", sorted(TRUTHS))
def test_screening_agrees_with_the_full_fit_on_the_winner(model, weight):
    z = noisy_spectrum(model)
    screened = ranking.rank(FREQUENCIES, z, workers=1, weight=weight)
    full = ranking.rank(FREQUENCIES, z, workers=1, weight=weight, max_iterations=200)
    assert screened.best.model == full.best.model == model
    assert screened.best.chi_square == pytest.approx(full.best.chi_square, rel=1e-6)


# A model nested in another one is a limit of it: the larger model started
# from the smaller one's fit, with capacitors turned into CPEs of exponent
# 1 and the elements it adds at their floors, reproduces that fit.
@pytest.mark.parametrize("inner, outer", [("rc", "rq"), ("rc", "rc_l"), ("two_rc", "two_rq"),
                                          ("two_rc", "two_rq_l"), ("rq", "randles")])
def test_nested_fit_embeds_exactly(inner, outer):
    z = noisy_spectrum("rc") if inner == "rc" else noisy_spectrum("two_rq")
    fit = next(f for f in ranking.rank(FREQUENCIES, z, workers=1) if f.model == inner)
    start = ranking._embedded(fit, kelvra.Circuit(outer), FREQUENCIES, z, 0.0)
    chi_square = np.sum(np.asarray(start.residuals(start.param_values(), FREQUENCIES, z)) ** 2)
    # An inductance at its floor, 1 pH, still adds a part in 10^6 at 100 kHz.
    assert chi_square == pytest.approx(fit.chi_square, rel=1e-5)


def test_no_model_fits_worse_than_one_nested_in_it():
    for model in sorted(TRUTHS):
        fits = {fit.model: fit for fit in ranking.rank(FREQUENCIES, noisy_spectrum(model), workers=1)}
        for outer, nested in ranking.NESTED.items():
            for inner in nested:
                assert fits[outer].chi_square <= fits[inner].chi_square * (1 + ranking.NESTING_SLACK), (outer, inner)


# Rows without a positive frequency are left out with a warning, and the
# restarts from nested fits size the missing elements from the rest; a
# corrupt point stops the ranking with an error naming it.
@pytest.mark.parametrize("point", ["negative frequency", "zero frequency", "zero impedance", "nan impedance"])
def test_hostile_points(point):
    f = FREQUENCIES.copy()
    z = noisy_spectrum("randles")
    if point == "negative frequency":
        f[0] = -f[0]
    elif point == "zero frequency":
        f[-1] = 0.0
    elif point == "zero impedance":
        z[0] = 0.0
    else:
        z[0] = complex("nan")
    if point.endswith("impedance"):
        with pytest.raises(kelvra.io.PointError, match="spectrum: point 0: impedance"):
            ranking.rank(f, z, workers=1)
        return
    with pytest.warns(kelvra.io.PointWarning, match="without a positive frequency"):
        assert len(ranking.rank(f, z, workers=1)) == len(kelvra.Circuit.ml_circuits())


def test_information_criteria_by_hand():
    # m = 100 residuals, chi-square 0.5, n = 3 parameters plus the variance.
    base = 100 * math.log(2 * math.pi * 0.5 / 100) + 100
    aic, bic = ranking.information_criteria(0.5, 100, 3)
    assert aic == pytest.approx(base + 8)
    assert bic == pytest.approx(base + 4 * math.log(100))
    assert all(math.isnan(v) for v in ranking.information_criteria(math.nan, 100, 3))
    assert ranking.information_criteria(0.0, 100, 3) == (-math.inf, -math.inf)


@pytest.mark.parametrize("params, stderr, expected", [
    ({"R0.r": 1.0, "R1.r": 2.0, "CPE1.q": 1e-3, "CPE1.alpha": 0.9},
     {"R0.r": 0.1, "R1.r": 0.1, "CPE1.q": 1e-5, "CPE1.alpha": 0.01}, {}),
    ({"R0.r": 1.0, "R1.r": 2.0, "CPE1.q": 1e-3, "CPE1.alpha": 0.9},
     {"R0.r": 0.1, "R1.r": 3.0, "CPE1.q": math.nan, "CPE1.alpha": 0.01},
     {"R1.r": ("undetermined",), "CPE1.q": ("undetermined",)}),
    ({"R0.r": 1e-12, "R1.r": 2.0, "CPE1.q": 1e-3, "CPE1.alpha": 1.0},
     {"R0.r": 1e-14, "R1.r": 0.1, "CPE1.q": 1e-5, "CPE1.alpha": 0.01},
     {"R0.r": ("on_bound",), "CPE1.alpha": ("on_bound",)}),
    ({"R0.r": 1.0, "R1.r": 2.0, "CPE1.q": 1e-3, "CPE1.alpha": 0.4},
     {"R0.r": 0.1, "R1.r": 0.1, "CPE1.q": 1e-5, "CPE1.alpha": 0.01},
     {"CPE1.alpha": ("low_exponent",)}),
    ({"R0.r": 1.0, "R1.r": 2.0, "CPE1.q": 1e-3, "CPE1.alpha": 0.0},
     {}, {name: ("undetermined",) for name in ("R0.r", "R1.r", "CPE1.q")}
     | {"CPE1.alpha": ("undetermined", "on_bound", "low_exponent")}),
])
def test_distrust_flags(params, stderr, expected):
    assert ranking._flags(kelvra.Circuit("rq"), params, stderr) == expected


def test_extra_candidates_with_and_without_values():
    z = noisy_spectrum("two_rq")
    started = kelvra.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values(TRUTHS["two_rq"])
    result = ranking.rank(FREQUENCIES, z, ["R0-(R1,C1)-W2", started], builtin=False, workers=1)
    assert [fit.model for fit in result] == ["", ""]
    best, other = result
    assert best.circuit == "R0-(R1,CPE1)-(R2,CPE2)" and best.success
    np.testing.assert_allclose([best.params[n] for n in started.param_names()], TRUTHS["two_rq"], rtol=0.1)
    assert other.flags[""] == ("no_learned_guess",)
    with pytest.raises(TypeError, match="a candidate is a circuit string or a Circuit"):
        ranking.rank(FREQUENCIES, z, [3], workers=1)
    with pytest.raises(ValueError, match="no candidates"):
        ranking.rank(FREQUENCIES, z, builtin=False, workers=1)
    with pytest.raises(ValueError, match="unknown criterion 'aicc'"):
        ranking.rank(FREQUENCIES, z, criterion="aicc", workers=1)


def test_many_spectra_on_threads_equal_one_at_a_time():
    spectra = [(FREQUENCIES, noisy_spectrum(model, seed=seed)) for model in ("rc", "two_rq") for seed in (1, 2)]
    together = ranking.rank_many(spectra, workers=3)
    for (frequencies, z), result in zip(spectra, together):
        alone = ranking.rank(frequencies, z, workers=1)
        assert [(f.model, f.aic, f.params) for f in result] == [(f.model, f.aic, f.params) for f in alone]


def test_rows_in_rank_order_with_parameters():
    result = ranking.rank(FREQUENCIES, noisy_spectrum("rc"), ["R0-(R1,C1)-W2"], workers=1)
    rows = result.rows()
    assert [row["rank"] for row in rows] == list(range(1, 13))
    assert list(rows[0])[:8] == ["file", "sweep", "rank", "circuit", "model", "aic", "bic", "chi_square"]
    assert rows[0]["delta_bic"] == 0.0 and min(row["delta_aic"] for row in rows) == 0.0
    for row, fit in zip(rows, result):
        for name, value in fit.params.items():
            # A standard error the fit cannot give is NaN, which equals nothing.
            assert row[name] == value
            np.testing.assert_equal(row[f"{name}_stderr"], fit.stderr[name])


def test_untrained_candidate_flagged_on_every_spectrum_without_warnings(recwarn):
    # Warnings from fits on several threads cannot be told apart, so the
    # flag must not come from them.
    spectra = [(FREQUENCIES, noisy_spectrum("rc", seed=seed)) for seed in range(4)]
    results = ranking.rank_many(spectra, ["R0-(R1,C1)-W2"], workers=3)
    for result in results:
        extra, = [fit for fit in result if not fit.model]
        assert extra.flags[""] == ("no_learned_guess",)
        assert all("" not in fit.flags for fit in result if fit.model)
    assert not [w for w in recwarn if issubclass(w.category, UserWarning)]


def _fit(circuit, bic, success, error=""):
    from kelvra.ranking import RankedFit

    return RankedFit(0, circuit, "", bic, bic, 1.0, 3, 20, {}, {}, {}, success, error)


def test_a_fit_that_did_not_converge_never_ranks_above_one_that_did():
    from kelvra._search import _ranked

    ranking = _ranked([_fit("A", 10.0, True), _fit("B", -50.0, False), _fit("C", math.nan, False, "failed"),
                       _fit("D", 20.0, True)], "bic")
    assert [fit.circuit for fit in ranking] == ["A", "D", "B", "C"]
    assert [fit.trusted for fit in ranking] == [True, True, False, False]
    assert [row["trusted"] for row in ranking.rows()] == [True, True, False, False]
    lines = ranking.text().splitlines()
    assert "success  trusted  flags" in lines[1]
    assert " NO " in lines[4] and lines[2].split()[-2:] == ["yes", "yes"]
