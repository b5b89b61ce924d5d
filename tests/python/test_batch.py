"""Batch fitting: the same rows whatever runs the fits, a row for every
spectrum however broken, and a clean stop on Ctrl-C."""
import gc
import pathlib
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
# Imported before any test sends Ctrl-C: an interrupt that lands inside the
# batch's first import of pandas would leave a half-made module behind for
# every later test.
import pandas  # noqa: F401
import pytest

from kelvra import Circuit, _core
from kelvra.batch import fit_many, fit_partitions
from kelvra.tables import MANY_FITS_OPTIONS

FREQUENCIES = np.logspace(-2, 5, 40)
TRUTH = {"R0-(R1,C1)": [1.0, 2.0, 1e-3], "R0-(R1,CPE1)": [0.02, 0.05, 1e-3, 0.85]}


def noisy_spectra(topology, count, seed=7):
    """Spectra of `topology` around its truth, each scaled and noised."""
    rng = np.random.default_rng(seed)
    clean = Circuit(topology).with_values(TRUTH[topology]).impedance(FREQUENCIES)
    return [(FREQUENCIES, clean * rng.uniform(0.5, 2.0)
             * (1 + 0.01 * (rng.standard_normal(clean.size) + 1j * rng.standard_normal(clean.size))))
            for _ in range(count)]


def start(topology):
    return Circuit(topology).with_values([1.5 * v if v < 0.8 else v for v in TRUTH[topology]])


def fitted(table):
    """The table without the timings, which are the one thing allowed to differ."""
    return table.drop(columns="time")


SEEDED = {"method": "particle_swarm", "num_particles": 20, "generations": 30, "seed": 11}


@pytest.mark.parametrize("fit_arguments", [{}, SEEDED], ids=["levenberg_marquardt", "seeded particle_swarm"])
def test_one_and_two_workers_give_identical_rows(fit_arguments):
    spectra = noisy_spectra("R0-(R1,CPE1)", 24)
    one = fit_many(start("R0-(R1,CPE1)"), spectra, workers=1, **fit_arguments)
    two = fit_many(start("R0-(R1,CPE1)"), spectra, workers=2, **fit_arguments)
    assert list(one["key"]) == list(range(24))
    assert one["success"].all()
    assert fitted(one).equals(fitted(two))


def test_dask_local_cluster_gives_the_rows_of_local_threads():
    distributed = pytest.importorskip("distributed")
    dask_dataframe = pytest.importorskip("dask.dataframe")
    spectra = noisy_spectra("R0-(R1,C1)", 12)
    circuits = [start("R0-(R1,C1)"), "R0-(R1,C1)"] * 6
    local = fit_many(circuits, spectra)
    frame = battery_frame(spectra[:4], cycles=[0, 1, 2, 3])
    by_cycle = fit_many(start("R0-(R1,C1)"), frame, key="cycle")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = fit_many(circuits, spectra, client=client)
        # Indexed by the cycle that is also a column, two cycles a partition.
        partitions = dask_dataframe.from_pandas(frame.set_index("cycle", drop=False), npartitions=2)
        mapped = fit_partitions(start("R0-(R1,C1)"), partitions, "cycle").compute()
    # The cluster's objects hold one another in cycles; collected here, their
    # finalizers run now rather than inside a later test, where a Ctrl-C
    # landing in one would be dropped.
    del cluster, client
    gc.collect()
    assert fitted(local).equals(fitted(remote))
    assert fitted(mapped.reset_index(drop=True)).equals(fitted(by_cycle))


GOOD = noisy_spectra("R0-(R1,C1)", 1)[0]
BROKEN = [
    # (spectrum, error text at the start of its row; None: the fit ran and failed)
    ((FREQUENCIES, np.full(FREQUENCIES.size, np.nan + 0j)), "PointError: spectrum: point 0: impedance"),
    (([], []), "ValueError: "),
    ((FREQUENCIES, GOOD[1][:-1]), "ValueError: frequencies and impedances must have the same length"),
    ((FREQUENCIES, ["not a number"] * FREQUENCIES.size), "ValueError: "),
    (5, "TypeError: "),
]


def test_broken_spectra_fail_in_their_own_rows():
    spectra = [GOOD] + [spectrum for spectrum, _ in BROKEN] + [GOOD]
    table = fit_many(start("R0-(R1,C1)"), spectra, workers=2)
    assert len(table) == len(spectra)
    assert table["success"].tolist() == [True] + [False] * len(BROKEN) + [True]
    assert table["error"][0] == table["error"][len(spectra) - 1] == ""
    for row, (_, error) in enumerate(BROKEN, start=1):
        assert table["error"][row].startswith(error) if error else table["error"][row] == ""
        if error:
            assert np.isnan(table["R0.r"][row]) and np.isnan(table["chi_square"][row])


def test_a_fit_without_standard_errors_leaves_their_columns_nan():
    table = fit_many(start("R0-(R1,C1)"), [(FREQUENCIES[:1], GOOD[1][:1])])
    assert table["error"][0] == "" and np.isfinite(table["R0.r"][0]) and np.isnan(table["R0.r_stderr"][0])


def battery_frame(spectra, cycles):
    """One long-format battery data format frame of `spectra`, told apart by "cycle"."""
    import pandas

    return pandas.concat([pandas.DataFrame({"cycle": cycle, "frequency_hertz": frequencies,
                                            "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag})
                          for cycle, (frequencies, z) in zip(cycles, spectra)], ignore_index=True)


def test_dataframe_groups_keep_first_appearance_order_and_mixed_circuits_share_a_table():
    pytest.importorskip("pandas")
    frame = battery_frame(noisy_spectra("R0-(R1,C1)", 3), cycles=[7, 3, 5])
    frame.index += 100
    table = fit_many([start("R0-(R1,C1)"), start("R0-(R1,CPE1)"), "R0-(R1,C1"], frame, key="cycle")
    assert table["cycle"].tolist() == [7, 3, 5]
    assert table["success"][0] and table["error"][1] == ""
    assert table["error"][2].startswith("ValueError: ")
    assert np.isnan(table["CPE1.q"][0]) and np.isnan(table["C1.c"][1]) and table["CPE1.alpha_stderr"][1] > 0
    with pytest.raises(ValueError, match="key="):
        fit_many("R0-(R1,C1)", frame)


def test_warm_start_chains_each_fit_from_the_previous_result():
    spectra = noisy_spectra("R0-(R1,CPE1)", 4)
    table = fit_many(start("R0-(R1,CPE1)"), spectra, warm_start=True)
    circuit = start("R0-(R1,CPE1)")
    for row, (frequencies, z) in enumerate(spectra):
        result = circuit.fit(frequencies, z, **MANY_FITS_OPTIONS)
        assert table["chi_square"][row] == result.chi_square
        circuit = result.circuit


def test_without_pandas_a_table_asks_for_it_and_a_bar_for_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        fit_many("R0-(R1,C1)", (FREQUENCIES, np.array([GOOD[1], GOOD[1]])), guess_init=False)
    monkeypatch.delitem(sys.modules, "pandas")
    with pytest.raises(ImportError, match="tqdm"):
        monkeypatch.setitem(sys.modules, "tqdm", None)
        fit_many("R0-(R1,C1)", [GOOD], progress=True)


def test_ctrl_c_stops_the_batch_promptly_and_returns_nothing(ctrl_c):
    slow = {"method": "differential_evolution", "de_evaluations": 20000, "seed": 1}
    # Tens of seconds of fits, of which the interrupt leaves the fits in hand.
    spectra = noisy_spectra("R0-(R1,CPE1)", 1000)
    began = time.perf_counter()
    with pytest.raises(KeyboardInterrupt), ctrl_c(0.3):
        fit_many(start("R0-(R1,CPE1)"), spectra, workers=2, **slow)
    assert time.perf_counter() - began < 5.0
    # Listed, not asked is_alive(): an interrupted join can mark a running thread stopped.
    assert not [t for t in threading.enumerate() if t.name.startswith("kelvra-batch")]


def test_ctrl_c_stops_the_fits_in_flight_in_every_thread(ctrl_c):
    # Each fit alone would run for hours: only the shared stop flag, polled by
    # the native fits in the worker threads, can end the batch.
    endless = {"method": "differential_evolution", "de_evaluations": 200_000_000}
    began = time.perf_counter()
    with pytest.raises(KeyboardInterrupt), ctrl_c(0.3):
        fit_many(start("R0-(R1,CPE1)"), noisy_spectra("R0-(R1,CPE1)", 2), workers=2, **endless)
    assert time.perf_counter() - began < 3.0
    assert not [t for t in threading.enumerate() if t.name.startswith("kelvra-batch")]


def test_a_stop_flag_stops_a_native_fit_in_another_thread():
    flag = _core.StopFlag()
    outcome = []

    def fit():
        with flag:
            try:
                Circuit("R0-(R1,C1)").fit(FREQUENCIES, noisy_spectra("R0-(R1,C1)", 1)[0][1],
                                          method="differential_evolution", de_evaluations=200_000_000)
            except KeyboardInterrupt:
                outcome.append(time.perf_counter())

    worker = threading.Thread(target=fit)
    worker.start()
    time.sleep(0.3)
    assert not flag.is_set() and worker.is_alive()
    flag.set()
    stopped = time.perf_counter()
    worker.join(10.0)
    assert outcome and outcome[0] - stopped < 1.0
    # Outside the flag the same thread's work runs as before.
    assert Circuit("R0-(R1,C1)").fit(*noisy_spectra("R0-(R1,C1)", 1)[0]).success


def test_fit_command_on_a_directory_writes_the_rows_of_its_files_on_any_number_of_threads(tmp_path):
    data = pathlib.Path(__file__).resolve().parents[1] / "data"
    files = [data / "biologic_ex1.mpt", data / "exampleDataGamry.DTA"]
    folder = tmp_path / "spectra"
    folder.mkdir()
    for path in files:
        shutil.copy(path, folder)
    (folder / "notes.md").write_text("not a spectrum\n")

    def fit(*arguments, out):
        done = subprocess.run([sys.executable, "-m", "kelvra", "fit", *map(str, arguments), "--circuit",
                               "R0-(R1,CPE1)", "--out", str(tmp_path / out)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return (tmp_path / out).read_text().replace(str(folder), str(data)).splitlines()

    rows = fit(folder, "--workers", "2", out="folder.csv")
    assert len(rows) == 1 + 3  # the header, two sweeps of one file and one of the other
    assert rows == fit(*files, "--workers", "1", out="files.csv")


def test_the_progress_bar_ends_at_the_total(monkeypatch):
    tqdm = pytest.importorskip("tqdm")
    shown = []

    class Recording(tqdm.tqdm):
        def close(self):
            shown.append((self.n, self.total))
            super().close()

    monkeypatch.setattr(tqdm, "tqdm", Recording)
    from kelvra._threads import map_in_threads

    # Tasks much faster than the poll: the last ones finish between polls.
    assert map_in_threads(lambda i: i * i, 50, 2, progress=True) == [i * i for i in range(50)]
    assert shown[0] == (50, 50)
