"""fit_many's compiled, chunked path: the rows of the one-fit-at-a-time
path for any input form, spectra taken from generators, rows streamed to a
CSV file in input order, and a Ctrl-C that leaves only complete rows."""
import threading
import warnings

import numpy as np
import pandas
import pytest

from kelvra import Circuit, _chunked, batch
from kelvra.batch import fit_many
from kelvra.tables import EARLY_STOP_RULES, JACOBIAN_METHODS, MANY_FITS_EARLY_STOP, MANY_FITS_JACOBIAN

FREQUENCIES = np.logspace(-2, 5, 40)
TOPOLOGIES = {"R0-(R1,C1)": [1.0, 2.0, 1e-3], "R0-(R1,CPE1)": [0.02, 0.05, 1e-3, 0.85]}


def noisy(topology, count, seed=5):
    rng = np.random.default_rng(seed)
    clean = Circuit(topology).with_values(TOPOLOGIES[topology]).impedance(FREQUENCIES)
    return [(FREQUENCIES, clean * rng.uniform(0.5, 2.0) * (1 + 0.01 * rng.standard_normal(clean.size)))
            for _ in range(count)]


def broken(spectra):
    """Spectra with a row of every kind of failure and a dropped 0 Hz point."""
    spectra = list(spectra)
    spectra[1] = "no pair"
    spectra[2] = (FREQUENCIES, spectra[2][1][:-1])
    spectra[3] = (FREQUENCIES, np.where(np.arange(FREQUENCIES.size) == 4, 0, spectra[3][1]))
    spectra[4] = (np.r_[0.0, FREQUENCIES[1:]], spectra[4][1])
    return spectra


def fitted(table):
    return table.drop(columns="time")


@pytest.fixture
def small_chunks(monkeypatch):
    monkeypatch.setattr(_chunked, "CHUNK", 7)


def per_fit(monkeypatch, *args, **kwargs):
    monkeypatch.setattr(batch, "COMPILED_BATCH", False)
    try:
        return fit_many(*args, **kwargs)
    finally:
        monkeypatch.setattr(batch, "COMPILED_BATCH", True)


CASES = {
    "guessed, broken rows": lambda: ("R0-(R1,CPE1)", broken(noisy("R0-(R1,CPE1)", 20))),
    "own values, full rule": lambda: (Circuit("R0-(R1,C1)").with_values([2.0, 1.0, 1e-2]),
                                      noisy("R0-(R1,C1)", 16), {"early_stop": "plausible"}),
    "mixed circuits, bad string": lambda: (["R0-(R1,C1)", "R0-(R1,CPE1)", "R0-(R1,"] * 5,
                                           noisy("R0-(R1,C1)", 15)),
    "shared frequencies": lambda: ("R0-(R1,C1)", (FREQUENCIES, np.array([z for _, z in noisy("R0-(R1,C1)", 9)]))),
    "keyed dict": lambda: ("R0-(R1,C1)", {f"cell{i}": s for i, s in enumerate(noisy("R0-(R1,C1)", 9))}),
}


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_compiled_chunks_give_the_rows_of_one_fit_at_a_time(case, small_chunks, monkeypatch):
    circuit, spectra, *options = CASES[case]()
    options = options[0] if options else {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = per_fit(monkeypatch, circuit, spectra, workers=1, **options)
        for workers in (1, 2, 3):
            assert fitted(fit_many(circuit, spectra, workers=workers, **options)).equals(fitted(expected))


def test_batches_use_their_early_stop_and_the_analytic_jacobian_unless_told_otherwise():
    for choices, batch_default in ((EARLY_STOP_RULES, MANY_FITS_EARLY_STOP), (JACOBIAN_METHODS, MANY_FITS_JACOBIAN)):
        assert batch_default in choices and next(iter(choices)) != batch_default
    # One arc with a 1 % ripple, fitted with two: the second arc can vanish
    # in many ways and one run crawls for tens of thousands of evaluations.
    frequencies = np.logspace(-1, 4, 30)
    k = np.arange(frequencies.size)
    ripple = 1 + 0.01 * np.sin(1.7 * k) + 0.01j * np.cos(2.21 * k)
    z = Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.85]).impedance(frequencies) * ripple
    start = Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values([10.0, 50.0, 1e-4, 0.8, 50.0, 1e-3, 0.8])
    default = fit_many(start, [(frequencies, z)])
    full = fit_many(start, [(frequencies, z)], early_stop="plausible", jacobian="central")
    assert full["impedance_evals"][0] == start.fit(frequencies, z).impedance_evals
    assert default["impedance_evals"][0] == start.fit(frequencies, z, early_stop=MANY_FITS_EARLY_STOP,
                                                      jacobian="analytic").impedance_evals
    assert default["impedance_evals"][0] * 10 < full["impedance_evals"][0]
    assert default["chi_square"][0] == pytest.approx(full["chi_square"][0], rel=1e-3)


def test_joining_and_lagging_rules_keep_the_answers_for_fewer_evaluations():
    # Two arcs, the first nearly ideal: its exponent often ends on its bound,
    # no result is plausible and every start runs, several to the same end
    # and most to a worse one.
    rng = np.random.default_rng(11)
    topology = "R0-(R1,CPE1)-(R2,CPE2)"
    spectra = []
    for _ in range(40):
        truth = [rng.uniform(0.5, 2), 10 ** rng.uniform(-1, 1), 10 ** rng.uniform(-4, -2), rng.uniform(0.9, 1.0),
                 10 ** rng.uniform(-2, 0), 10 ** rng.uniform(-2, 0), rng.uniform(0.7, 0.9)]
        clean = Circuit(topology).with_values(truth).impedance(FREQUENCIES)
        noise = rng.standard_normal(clean.size) + 1j * rng.standard_normal(clean.size)
        spectra.append((FREQUENCIES, clean * (1 + 0.01 * noise)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        settled = fit_many(topology, spectra, early_stop="settled")
        joined = fit_many(topology, spectra, early_stop="joined")
        lagging = fit_many(topology, spectra, early_stop="lagging")
    assert list(joined["success"]) == list(settled["success"]) == list(lagging["success"])
    # The same answers to a thousandth of one unit of chi-square noise (1 %).
    assert joined["chi_square"].to_numpy() == pytest.approx(settled["chi_square"].to_numpy(), rel=1e-5)
    assert joined["impedance_evals"].sum() < 0.95 * settled["impedance_evals"].sum()
    # Here passing over the lagging runs costs no fit its answer, and lets one
    # fit reach a lower minimum from a later start.
    assert np.all(lagging["chi_square"].to_numpy() <= joined["chi_square"].to_numpy() * (1 + 1e-6))
    assert lagging["impedance_evals"].sum() < 0.97 * joined["impedance_evals"].sum()


def test_a_generator_streamed_to_csv_gives_the_in_memory_table(tmp_path, small_chunks):
    spectra = broken(noisy("R0-(R1,CPE1)", 30))
    circuits = ["R0-(R1,C1)", "R0-(R1,CPE1)"] * 15  # the second circuit's columns appear in every chunk
    table = fit_many(circuits, spectra)
    out = tmp_path / "rows.csv"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        written = fit_many(iter(circuits), (s for s in spectra), out=out)
    assert written == len(spectra)
    streamed = pandas.read_csv(out, float_precision="round_trip", keep_default_na=False,
                               na_values={c: ["", "NaN", "nan"] for c in table.columns if c != "error"})
    assert list(streamed.columns) == list(table.columns)
    pandas.testing.assert_frame_equal(fitted(streamed), fitted(table), check_dtype=False)


def test_ctrl_c_leaves_a_file_of_complete_rows_and_says_where_it_stopped(tmp_path, small_chunks, capsys, ctrl_c):
    slow = {"method": "particle_swarm", "num_particles": 20, "generations": 30, "seed": 3}
    out = tmp_path / "rows.csv"
    # Some tenths of a second a chunk: the interrupt comes several chunks in.
    with pytest.raises(KeyboardInterrupt), ctrl_c(2.0, again=2.0):
        fit_many("R0-(R1,CPE1)", (s for s in noisy("R0-(R1,CPE1)", 5000)), out=out, workers=2, **slow)
    rows = pandas.read_csv(out)
    message = capsys.readouterr().err
    assert f"stopped after {len(rows)} spectra" in message
    assert 0 < len(rows) < 5000 and len(rows) % 7 == 0
    assert list(rows["key"]) == list(range(len(rows)))
    assert not rows.drop(columns="error").isna().any().any()
    assert not [t for t in threading.enumerate() if t.name == "kelvra-csv-writer"]


@pytest.mark.parametrize("failure", ["reading", "circuits"])
def test_input_that_fails_midway_leaves_the_chunks_before_it_and_raises(tmp_path, small_chunks, failure):
    spectra = noisy("R0-(R1,C1)", 20)

    def reading():
        yield from spectra[:16]
        raise OSError("disk gone")

    out = tmp_path / "rows.csv"
    arguments = ((iter(["R0-(R1,C1)"] * 16), iter(spectra)) if failure == "circuits"
                 else ("R0-(R1,C1)", reading()))
    with pytest.raises(ValueError if failure == "circuits" else OSError):
        fit_many(*arguments, out=out)
    # The spectra are fitted while the next chunk is read: the two complete
    # chunks before the failing one are in the file all the same.
    assert list(pandas.read_csv(out)["key"]) == list(range(14))
    assert not [t for t in threading.enumerate() if t.name in ("kelvra-csv-writer", "kelvra-chunk-fits")]
