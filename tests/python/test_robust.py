"""The robust fit, the verdict and the fit controls of the command line."""
import math
import pathlib
import warnings

import numpy as np
import pytest

import kelvra
from kelvra import controls, io
from kelvra.fitting import fit_spectrum, select_points
from kelvra.nesting import vanishing_elements, whole_branches
from kelvra.verdict import runs_z, time_constants

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
FREQUENCIES = np.logspace(-2, 5, 50)
NOISE = 0.002


def noisy(circuit, truth, seed=1):
    rng = np.random.default_rng(seed)
    exact = kelvra.Circuit(circuit).with_named_values(truth).impedance(FREQUENCIES)
    return exact * (1 + NOISE * (rng.standard_normal(FREQUENCIES.size) + 1j * rng.standard_normal(FREQUENCIES.size)))


def best_objective(circuit, truth, measured):
    """The optimum near the truth: the fit started there, which a long
    global search cannot beat by more than the noise allows."""
    return kelvra.Circuit(circuit).with_named_values(truth).fit(FREQUENCIES, measured, guess_init=False).chi_square


# Spectra built so that the ordinary fit from `start` ends in a local minimum.
TRAPS = [
    pytest.param("R0-(R1-W1,CPE1)",
                 {"R0.r": 10, "R1.r": 100, "W1.aw": 300, "CPE1.q": 1e-5, "CPE1.alpha": 0.9},
                 {"R0.r": 10, "R1.r": 1000, "W1.aw": 1e-6, "CPE1.q": 1e-5, "CPE1.alpha": 0.9},
                 id="warburg tail sent to its floor"),
    pytest.param("R0-(R1,CPE1)-(R2,CPE2)",
                 {"R0.r": 5, "R1.r": 20, "CPE1.q": 1e-6, "CPE1.alpha": 0.9, "R2.r": 200, "CPE2.q": 1e-3,
                  "CPE2.alpha": 0.8},
                 {"R0.r": 5, "R1.r": 1e-3, "CPE1.q": 1e-3, "CPE1.alpha": 0.5, "R2.r": 220, "CPE2.q": 1e-6,
                  "CPE2.alpha": 0.9},
                 id="two arcs of very different size, started in the wrong basin"),
    pytest.param("R0-(R1,CPE1)-W1",
                 {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-5, "CPE1.alpha": 0.85, "W1.aw": 50},
                 {"R0.r": 10, "R1.r": 300, "CPE1.q": 1e-5, "CPE1.alpha": 0.85, "W1.aw": 1e-9},
                 id="no learned guess, diffusion started at its floor"),
]


@pytest.mark.parametrize("circuit, truth, start", TRAPS)
def test_robust_fit_escapes_traps_the_plain_fit_falls_into(circuit, truth, start):
    measured = noisy(circuit, truth)
    best = best_objective(circuit, truth, measured)
    trapped = kelvra.Circuit(circuit).with_named_values(start)
    plain = fit_spectrum(trapped, FREQUENCIES, measured, guess_init=False)
    robust = fit_spectrum(trapped, FREQUENCIES, measured, guess_init=False, robust=True)
    assert plain.chi_square > 10 * best  # the trap is real
    assert not plain.trusted  # and the plain fit says so
    assert robust.chi_square <= 1.05 * best
    assert robust.trusted, robust.verdict
    assert robust.settings["winning_start"] != "given"


# A measured cell with a small ideal arc and a diffusion-like one: its
# learned guess, the best start there is, puts CPE1.alpha on its bound of 1,
# and a run that lets the exponent go past the bound ends worse than that
# start. The best objectives are those of long basin-hopping searches.
@pytest.mark.parametrize("sweep, best", [(0, 2.16527), (1, 2.27914)])
def test_robust_fit_holds_an_exponent_its_start_puts_on_the_bound(sweep, best):
    spectrum = io.read(DATA / "biologic_ex1.mpt")[sweep]
    report = fit_spectrum("R0-(R1,CPE1)-(R2,CPE2)", spectrum, robust=True)
    assert report.chi_square <= 1.001 * best
    # The reported fit is the circuit's own, with nothing left held.
    alpha = next(p for p in report.parameters if p.name == "CPE1.alpha")
    assert not alpha.fixed and math.isfinite(alpha.stderr)
    assert "CPE1.alpha on_bound" in report.verdict.reasons


@pytest.mark.parametrize("seed", [3, 4, 5])
def test_robust_fit_revives_one_vanished_element_after_another(seed):
    # From this start the fit lets several elements vanish (the inductance,
    # the series resistance, the capacitance), and each revival uncovers
    # the next; the last, the small inductance, also needs its revival.
    circuit = "L0-R0-(R1,CPE1)-W1"
    truth = {"L0.l": 1.96e-07, "R0.r": 5.73, "R1.r": 137, "CPE1.q": 2.47e-06, "CPE1.alpha": 0.809, "W1.aw": 171}
    start = {"L0.l": 1.05e-08, "R0.r": 12.6, "R1.r": 3.51, "CPE1.q": 1.22e-05, "CPE1.alpha": 0.528, "W1.aw": 8.39e+03}
    measured = noisy(circuit, truth, seed)
    robust = fit_spectrum(kelvra.Circuit(circuit).with_named_values(start), FREQUENCIES, measured, guess_init=False,
                          robust=True)
    assert robust.chi_square <= 1.05 * best_objective(circuit, truth, measured)
    assert robust.trusted, robust.verdict


def test_peak_starts_give_a_single_arc_the_peak_that_is_not_the_diffusion_tail():
    # Two arcs, the second one's low-frequency tail fitted by a CPE: the
    # largest relaxation-time peak is that tail's, and the arc lies at the
    # smaller one. The trapped fit pairs R1 with the tail.
    truth = {"R0.r": 50.6, "R1.r": 128, "CPE1.q": 4.15e-06, "CPE1.alpha": 0.747, "R2.r": 496, "CPE2.q": 0.00673,
             "CPE2.alpha": 0.62}
    trapped = {"R0.r": 1e-12, "R1.r": 164, "CPE1.q": 0.0395, "CPE1.alpha": 1.0, "CPE2.q": 0.00349, "CPE2.alpha": 0.106}
    optimum = {"R0.r": 51.9, "R1.r": 112, "CPE1.q": 2.45e-06, "CPE1.alpha": 0.8, "CPE2.q": 0.00747, "CPE2.alpha": 0.375}
    from kelvra import robust

    measured = noisy("R0-(R1,CPE1)-(R2,CPE2)", truth)
    circuit = kelvra.Circuit("R0-(R1,CPE1)-CPE2")
    best = circuit.with_named_values(optimum).fit(FREQUENCIES, measured, guess_init=False).chi_square
    search = robust._Search(circuit, FREQUENCIES, measured, None, None, {})
    search.offer(circuit.with_named_values(trapped).fit(FREQUENCIES, measured, guess_init=False), robust.START_GIVEN)
    assert search.best.chi_square > 2 * best
    robust._drt_starts(search, {})
    assert search.best.chi_square <= 1.05 * best and search.start == robust.START_DRT


@pytest.mark.parametrize("circuit, truth", [
    ("R0-(R1,C1)", {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5}),
    ("R0-(R1,CPE1)", {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-5, "CPE1.alpha": 0.85}),
    ("L0-R0-(R1,CPE1)", {"L0.l": 1e-6, "R0.r": 1, "R1.r": 10, "CPE1.q": 1e-3, "CPE1.alpha": 0.8}),
    ("R0-(R1-W1,CPE1)", {"R0.r": 10, "R1.r": 100, "W1.aw": 300, "CPE1.q": 1e-5, "CPE1.alpha": 0.9}),
    ("R0-(R1,C1)-(R2,C2)", {"R0.r": 10, "R1.r": 100, "C1.c": 1e-6, "R2.r": 500, "C2.c": 1e-2}),
])
def test_well_posed_spectra_are_trusted(circuit, truth):
    measured = noisy(circuit, truth)
    for robust in (False, True):
        report = fit_spectrum(circuit, FREQUENCIES, measured, robust=robust)
        assert report.trusted, (robust, report.verdict)
        assert report.chi_square <= 1.05 * best_objective(circuit, truth, measured)


@pytest.mark.parametrize("fixed", [{"CPE1.alpha": 0.8}, ["R0.r"], {"R0.r": 12.5, "CPE1.alpha": 1.0}])
def test_fixed_parameters_stay_exactly_through_every_start(fixed):
    truth = {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-5, "CPE1.alpha": 0.85, "W1.aw": 50}
    measured = noisy("R0-(R1,CPE1)-W1", truth)
    start = kelvra.Circuit("R0-(R1,CPE1)-W1").with_named_values({**truth, "W1.aw": 1e-9, "R0.r": 7.0})
    report = fit_spectrum(start, FREQUENCIES, measured, guess_init=False, robust=True, fixed=fixed)
    held = fixed if isinstance(fixed, dict) else {"R0.r": 7.0}
    for name, value in held.items():
        assert report.params[name] == value
        parameter = next(p for p in report.parameters if p.name == name)
        assert parameter.fixed and "fixed" in parameter.flags


def test_custom_bounds_bound_the_report_and_its_verdict():
    truth = {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-5, "CPE1.alpha": 0.85}
    measured = noisy("R0-(R1,CPE1)", truth)
    report = fit_spectrum("R0-(R1,CPE1)", FREQUENCIES, measured, robust=True, bounds={"R1.r": (None, 50.0)})
    assert report.params["R1.r"] == pytest.approx(50.0)
    assert not report.trusted and "R1.r on_bound" in report.verdict.reasons


@pytest.mark.parametrize("fmin, fmax, drop, kept", [
    (None, None, False, [1, 10, 100, 1000, 10000]),
    (10, 1000, False, [10, 100, 1000]),
    (10, None, True, [10, 1000]),
    (None, 100, True, [1, 10]),
])
def test_window_and_inductive_filters_drop_exactly_their_points(fmin, fmax, drop, kept):
    frequencies = np.array([1.0, 10.0, 100.0, 1000.0, 10000.0])
    impedances = np.array([5 - 3j, 4 - 1j, 3 + 0.5j, 2 - 0.1j, 1 + 1j])
    mask = select_points(frequencies, impedances, fmin=fmin, fmax=fmax, drop_inductive=drop)
    assert frequencies[mask].tolist() == kept


@pytest.mark.parametrize("options, message", [
    ({"fmin": 100.0, "fmax": 10.0}, "fmin 100 Hz is above fmax 10 Hz"),
    ({"fmin": -1.0}, "fmin must be a positive frequency"),
    ({"fmin": 1e6}, "no point of the spectrum is left"),
])
def test_bad_windows_are_clear_errors(options, message):
    with pytest.raises(ValueError, match=message):
        fit_spectrum("R0-(R1,C1)", [1.0, 10.0], [2 - 1j, 1 - 0.5j], **options)


def test_dropping_inductive_points_needs_a_circuit_without_inductor():
    with pytest.raises(ValueError, match="has one"):
        fit_spectrum("L0-R0-(R1,C1)", [1.0, 10.0], [2 - 1j, 1 - 0.5j], drop_inductive=True)


def test_report_keeps_only_the_points_fitted():
    truth = {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5}
    measured = noisy("R0-(R1,C1)", truth)
    report = fit_spectrum("R0-(R1,C1)", FREQUENCIES, measured, fmin=1.0, fmax=1e3)
    assert report.frequencies.min() >= 1.0 and report.frequencies.max() <= 1e3
    assert report.settings["fmin"] == 1.0


def test_absurd_resistance_of_a_misfit_is_named():
    # A capacitive tail fitted by a parallel R-C: the resistance runs off to
    # describe a capacitor alone.
    measured = kelvra.Circuit("R0-C1").with_values([10.0, 1e-4]).impedance(FREQUENCIES)
    report = fit_spectrum(kelvra.Circuit("R0-(R1,C1)").with_values([10.0, 1e3, 1e-4]), FREQUENCIES, measured,
                          guess_init=False)
    assert not report.trusted
    assert any(reason.startswith("R1.r absurd") or reason.startswith("time constant of R1||C1 absurd")
               for reason in report.verdict.reasons)


def test_a_time_constant_past_double_range_is_infinite_not_an_error():
    # Where a global search ended once on a measured cell: (R q)^(1/alpha) overflows.
    params = {"R1.r": 1e30, "CPE1.q": 1e10, "CPE1.alpha": 0.1}
    assert time_constants("R0-(R1,CPE1)", params) == {"R1||CPE1": math.inf}


def test_an_element_the_data_do_not_need_is_named():
    truth = {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-5, "CPE1.alpha": 0.85}
    measured = noisy("R0-(R1,CPE1)", truth)
    report = fit_spectrum("R0-(R1-W1,CPE1)", FREQUENCIES, measured, robust=True)
    assert not report.trusted
    assert any(reason.startswith("not needed") and "W1 as a short circuit" in reason
               for reason in report.verdict.reasons)


@pytest.mark.parametrize("signs, sense", [
    ([1, -1] * 20, 1),   # alternating: more runs than chance
    ([1] * 20 + [-1] * 20, -1),  # two blocks: far fewer
])
def test_runs_test_tells_alternation_from_blocks(signs, sense):
    assert math.copysign(1, runs_z([np.array(signs, dtype=float)])) == sense
    assert abs(runs_z([np.array(signs, dtype=float)])) > 3


def test_vanishing_elements_cover_shorts_and_opens_inside_parallel_groups_only():
    circuit = kelvra.Circuit("L0-R0-(R1,CPE1)-C2")
    ways = {(way.element, way.how) for way in vanishing_elements(circuit, FREQUENCIES, np.full(50, 10.0 + 0j))}
    assert ways == {("L0", "short"), ("R0", "short"), ("R1", "short"), ("R1", "open"), ("CPE1", "short"),
                    ("CPE1", "open"), ("C2", "short")}


def test_vanished_elements_come_back_small_and_at_the_largest_modulus():
    # Smallest modulus 10 ohm, largest 1000 ohm. A short comes back at a
    # tenth of the smallest modulus and at the largest, where the element's
    # impedance is largest in the band; an open at ten times the largest and
    # at the largest, where it is smallest.
    measured = np.full(FREQUENCIES.size, 10.0 + 0j)
    measured[0] = 1000.0
    ways = vanishing_elements(kelvra.Circuit("L0-R0-(R1,C1)-W1-C2"), FREQUENCIES, measured)
    assert {(way.element, way.how) for way in ways} == {
        ("L0", "short"), ("R0", "short"), ("R1", "short"), ("R1", "open"), ("C1", "short"), ("C1", "open"),
        ("W1", "short"), ("C2", "short")}
    for way in ways:
        element = kelvra.Circuit(way.element)
        size = {"short": np.max, "open": np.min}[way.how]
        small, full = (size(np.abs(element.with_named_values({way.parameter: value}).impedance(FREQUENCIES)))
                       for value in (way.restart_value, way.full_value))
        # A Warburg element's modulus is sqrt(2) times its real part.
        slack = math.sqrt(2) if way.element == "W1" else 1.0
        assert small == pytest.approx((1.0 if way.how == "short" else 1e4) * slack, rel=1e-9), way
        assert full == pytest.approx(1000.0 * slack, rel=1e-9), way


@pytest.mark.parametrize("text, groups", [
    ("R0-(R1,CPE1)-(R2,CPE2)", [{"R1", "CPE1"}, {"R2", "CPE2"}]),
    ("R0-(R1-W1,CPE1)", [{"CPE1"}]),  # shorting R1 leaves W1 in its branch
    ("L0-R0-p(R1,C1)", [{"R1", "C1"}]),
    ("R0-(R1,(R2,C2)-C3)", [{"R2", "C2"}, {"R1"}]),
    ("R0-C1", []),
])
def test_whole_branches_of_parallel_groups_share_their_short(text, groups):
    found = whole_branches(text)
    assert sorted(map(sorted, groups)) == sorted(
        sorted(label for label in found if found[label] == group) for group in set(found.values()))


@pytest.mark.parametrize("circuit, truth, fitted, options, suspect", [
    # W1 at its floor, undetermined: the data do not need it.
    ("R0-(R1,CPE1)", {"R0.r": 10, "R1.r": 100, "CPE1.q": 1e-5, "CPE1.alpha": 0.85}, "R0-(R1-W1,CPE1)", {}, False),
    # A parallel resistance run off to an open circuit to describe a
    # capacitor alone: absurd, and not needed.
    ("R0-C1", {"R0.r": 10, "C1.c": 1e-4}, "R0-(R1,C1)", {}, False),
    ("R0-(R1,C1)", {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5}, "R0-(R1,C1)", {}, False),
    # The same open resistance beside residuals a diffusion tail leaves
    # systematic: there may be room for a better minimum.
    ("R0-C1-W1", {"R0.r": 10, "C1.c": 1e-4, "W1.aw": 30}, "R0-(R1,C1)", {}, True),
    # Stopped before it converged.
    ("R0-(R1,C1)", {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5}, "R0-(R1,C1)",
     {"max_iterations": 1, "guess_init": False, "start": {"R0.r": 1.0, "R1.r": 1.0, "C1.c": 1e-2}}, True),
])
def test_only_a_fit_that_looks_like_a_local_minimum_is_searched_further(circuit, truth, fitted, options, suspect):
    from kelvra import robust

    measured = noisy(circuit, truth)
    search = robust._Search(kelvra.Circuit(fitted), FREQUENCIES, measured, None, None, {})
    search.offer(kelvra.Circuit(fitted).fit(FREQUENCIES, measured, **options), robust.START_GIVEN)
    nested = [] if options else robust._nested_repair(search, {})
    assert robust._suspect(search, {}, None, nested) == suspect


@pytest.mark.parametrize("argument, parse, expected", [
    (["R0.r=0.01,R1.r=0.02"], controls.parse_values, {"R0.r": 0.01, "R1.r": 0.02}),
    (["R0.r=1", "R1.r=2"], controls.parse_values, {"R0.r": 1.0, "R1.r": 2.0}),
    (["CPE1.alpha=0.9"], controls.parse_fixed, {"CPE1.alpha": 0.9}),
    (["R0.r,CPE1.alpha"], controls.parse_fixed, ["R0.r", "CPE1.alpha"]),
    (["CPE1.alpha=0.5:1"], controls.parse_bounds, {"CPE1.alpha": (0.5, 1.0)}),
    (["R0.r=:10,R1.r=1e-3:"], controls.parse_bounds, {"R0.r": (None, 10.0), "R1.r": (1e-3, None)}),
])
def test_control_options_parse(argument, parse, expected):
    assert parse(argument) == expected


@pytest.mark.parametrize("argument, parse, message", [
    (["R0.r"], controls.parse_values, "expected NAME=VALUE"),
    (["R0.r=abc"], controls.parse_values, "'abc' is not a number"),
    (["R0.r=1,R1.r"], controls.parse_fixed, "not both"),
    (["R0.r=1"], controls.parse_bounds, "expected NAME=LOWER:UPPER"),
    (["R0.r=a:1"], controls.parse_bounds, "'a' is not a number"),
])
def test_bad_control_options_are_clear_errors(argument, parse, message):
    with pytest.raises(ValueError, match=message):
        parse(argument)


def test_command_line_fit_prints_the_verdict_and_takes_the_controls(capsys, tmp_path):
    from kelvra.__main__ import main

    path = tmp_path / "cell.csv"
    truth = {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5}
    measured = noisy("R0-(R1,C1)", truth)
    path.write_text("".join(f"{f!r},{z.real!r},{z.imag!r}\n" for f, z in zip(FREQUENCIES, measured)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        status = main(["fit", str(path), "--circuit", "R0-(R1,C1)", "--fix", "R0.r=10", "--fmax", "1e4"])
    out = capsys.readouterr().out
    assert status == 0
    assert "verdict: trusted" in out and "best start:" in out
    assert main(["fit", str(path), "--circuit", "R0-(R1,C1)", "--bounds", "R9.r=1:2"]) == 2
    assert "did you mean 'R1.r'?" in capsys.readouterr().err


def test_fit_many_fits_robustly_on_request_and_says_which_rows_to_trust():
    from kelvra.batch import fit_many

    truth = {"R0.r": 5, "R1.r": 20, "CPE1.q": 1e-6, "CPE1.alpha": 0.9, "R2.r": 200, "CPE2.q": 1e-3, "CPE2.alpha": 0.8}
    trap = {"R0.r": 5, "R1.r": 1e-3, "CPE1.q": 1e-3, "CPE1.alpha": 0.5, "R2.r": 220, "CPE2.q": 1e-6,
            "CPE2.alpha": 0.9}
    circuit = kelvra.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_named_values(trap)
    spectra = [(FREQUENCIES, noisy("R0-(R1,CPE1)-(R2,CPE2)", truth, seed)) for seed in (1, 2)]
    plain = fit_many(circuit, spectra, guess_init=False, workers=1)
    robust = fit_many(circuit, spectra, guess_init=False, workers=1, robust=True)
    assert list(plain["trusted"]) == [False, False]
    assert list(robust["trusted"]) == [True, True]
    assert (robust["chi_square"] < plain["chi_square"] / 10).all()
    with pytest.raises(ValueError, match="robust=True"):
        fit_many(circuit, spectra, robust=True, out="rows.csv")


def test_a_robust_fit_with_a_global_method_keeps_its_seed():
    truth = {"R0.r": 10, "R1.r": 100, "C1.c": 1e-5}
    measured = noisy("R0-(R1,C1)", truth)
    options = dict(method="basin_hopping", basin_hopping_hops=3, seed=5)
    robust = fit_spectrum("R0-(R1,C1)", FREQUENCIES, measured, robust=True, **options)
    plain = kelvra.Circuit("R0-(R1,C1)").fit(FREQUENCIES, measured, **options)
    # Equal to rounding: the two calls hand the learned guess arrays of
    # different provenance, which may round differently in its kernels.
    assert robust.params == pytest.approx(plain.params, rel=1e-9)
