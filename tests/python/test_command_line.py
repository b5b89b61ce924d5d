"""The kelvra command line, end to end in a child process."""
import csv
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

import kelvra
from kelvra.tables import MANY_FITS_OPTIONS
from kelvra import io
from kelvra.saving import load_fit

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
CIRCUIT = "R0-(R1,CPE1)"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def kelvra_command(*arguments, cwd=None):
    return subprocess.run([sys.executable, "-m", "kelvra", *map(str, arguments)], capture_output=True, text=True,
                          cwd=cwd)


def test_fit_three_formats_to_csv_and_png_past_a_broken_file(tmp_path):
    broken = tmp_path / "broken.csv"
    broken.write_text("freq/Hz,Re(Z)/Ohm,-Im(Z)/Ohm\n10,1,2\n100,x,3\n")
    files = [DATA / "exampleDataGamry.DTA", broken, DATA / "biologic_ex1.mpt", EXAMPLES / "li_ion_cell.csv"]
    done = kelvra_command("fit", *files, "--circuit", CIRCUIT, "--seed", 1, "--max-iterations", 100,
                          "--out", tmp_path / "results.csv", "--plot", tmp_path / "figures")
    assert done.returncode == 1, done.stderr
    assert done.stderr.strip() == f"kelvra: {broken}, line 3: expected a number in column 'Re(Z)/Ohm', found 'x'"
    for path in files[:1] + files[2:]:
        assert f"{path} (sweep 0): {CIRCUIT}, chi-square " in done.stdout
    with open(tmp_path / "results.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [(row["file"], row["sweep"], row["success"]) for row in rows] == [
        (str(files[0]), "0", "True"), (str(broken), "", "False"), (str(files[2]), "0", "True"),
        (str(files[2]), "1", "True"), (str(files[3]), "0", "True")]
    assert rows[1]["error"].startswith(f"{broken}, line 3:")
    for row in rows[:1] + rows[2:]:
        assert row["circuit"] == CIRCUIT and row["method"] == "levenberg_marquardt"
        assert float(row["chi_square"]) >= 0
        for name in ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha"):
            value, error = float(row[name]), float(row[f"{name}_stderr"])
            undetermined = not math.isfinite(error) or error > abs(value)
            assert (name in row["undetermined"].split()) == undetermined
    figures = sorted(path.name for path in (tmp_path / "figures").iterdir())
    assert figures == ["biologic_ex1_sweep0.png", "biologic_ex1_sweep1.png", "exampleDataGamry.png",
                       "li_ion_cell.png"]
    for name in figures:
        assert (tmp_path / "figures" / name).read_bytes().startswith(PNG_SIGNATURE)


def test_fit_to_json_with_method_and_weighting(tmp_path):
    path = DATA / "exampleDataPowersuite.txt"
    done = kelvra_command("fit", path, "--circuit", CIRCUIT, "--weighting", "unit", "--seed", 3, "--no-robust",
                          "--out", tmp_path / "results.json")
    assert done.returncode == 0, done.stderr
    # The file is the saved-fit format that load_fit reads.
    report = load_fit(tmp_path / "results.json")
    assert (report.source, report.circuit, report.success) == (str(path), CIRCUIT, True)
    assert report.settings == {"method": "levenberg_marquardt", "weight": "unit", "seed": 3, **MANY_FITS_OPTIONS}
    # The same fit from Python gives the same figures.
    expected = kelvra.Circuit(CIRCUIT).fit(io.read(path)[0], weight="unit", seed=3, **MANY_FITS_OPTIONS)
    assert report.chi_square == expected.chi_square
    assert report.params == expected.params


def test_inputs_of_the_same_name_get_their_own_figures(tmp_path):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "cell.txt").write_bytes((DATA / "exampleDataPowersuite.txt").read_bytes())
    done = kelvra_command("fit", "a/cell.txt", "b/cell.txt", "--circuit", "R0-(R1,C1)", "--plot", "figures",
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(path.name for path in (tmp_path / "figures").iterdir()) == ["cell.png", "cell_2.png"]


@pytest.mark.parametrize("arguments, status, message", [
    (["fit", "--circuit", CIRCUIT], 2, "the following arguments are required: FILE"),
    (["fit", "x.csv", "--circuit", "R0-X1"], 2, "invalid circuit 'R0-X1'"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--method", "newton"], 2, "invalid choice: 'newton'"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--out", "results.txt"], 2, "expected a file name ending in .csv"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--max-iterations", "0"], 2, "expected a whole number from 1 to"),
    # Numbers the core cannot hold are usage errors, never an OverflowError.
    (["fit", "x.csv", "--circuit", CIRCUIT, "--max-iterations", "99999999999"], 2,
     "expected a whole number from 1 to 4294967295, found 99999999999"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--seed", "-1"], 2, "expected a seed from 0 to 2**64 - 1, found -1"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--seed", str(2**64)], 2, "expected a seed from 0"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--fmin", "nan"], 2, "expected a positive finite number, found nan"),
    (["kk", "x.csv", "--mu-cutoff", "nan"], 2, "expected a number in (0, 1], found nan"),
    (["kk", "x.csv", "--mu-cutoff", "-1"], 2, "expected a number in (0, 1], found -1"),
    (["series", "x.csv", "--circuit", CIRCUIT, "--workers", "0"], 2, "expected a whole number from 1 to"),
    (["fit", "x.csv", "--circuit", CIRCUIT, "--early-stop", "never"], 2, "invalid choice: 'never'"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["fit", "missing.csv", "--circuit", CIRCUIT], 1, "No such file or directory: 'missing.csv'"),
])
def test_usage_and_input_errors(tmp_path, arguments, status, message):
    done = kelvra_command(*arguments, cwd=tmp_path)
    assert done.returncode == status
    assert message in done.stderr
    assert done.stdout == ""


def test_help_of_each_command():
    for command in ("fit", "guess", "models"):
        done = kelvra_command(command, "--help")
        assert done.returncode == 0 and done.stdout.startswith(f"usage: kelvra {command}")


def test_console_command_matches_module(tmp_path):
    script = pathlib.Path(sys.executable).parent / "kelvra"
    if not script.exists():
        pytest.skip("no kelvra console command beside this interpreter")
    done = subprocess.run([script, "fit", "--help"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == kelvra_command("fit", "--help").stdout


def test_models_lists_the_built_in_models():
    done = kelvra_command("models")
    assert done.returncode == 0
    listed = [line.split() for line in done.stdout.splitlines()]
    assert [(name, topology) for name, topology in listed] == list(kelvra.Circuit.ml_circuits().items())


def test_guess_prints_one_value_per_parameter():
    done = kelvra_command("guess", EXAMPLES / "li_ion_cell.csv", "--circuit", "R0-(R1,CPE1)")
    assert done.returncode == 0, done.stderr
    names = [line.split()[0] for line in done.stdout.splitlines()[1:]]
    assert names == ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]


def test_rank_two_files_to_csv_in_rank_order(tmp_path):
    files = [DATA / "exampleDataZPlot.z", EXAMPLES / "li_ion_cell.csv"]
    done = kelvra_command("rank", *files, "--candidate", "R0-(R1,C1)-W2", "--workers", 2,
                          "--out", tmp_path / "ranked.csv")
    assert done.returncode == 0, done.stderr
    with open(tmp_path / "ranked.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert list(rows[0])[:8] == ["file", "sweep", "rank", "circuit", "model", "aic", "bic", "chi_square"]
    models = set(kelvra.Circuit.ml_circuits())
    for path in files:
        mine = [row for row in rows if row["file"] == str(path)]
        assert [int(row["rank"]) for row in mine] == list(range(1, len(models) + 2))
        assert {row["model"] for row in mine} == models | {""}
        assert [float(row["bic"]) for row in mine] == sorted(float(row["bic"]) for row in mine)
        assert f"{path} (sweep 0)" in done.stdout


def test_kk_reports_failing_spectra_as_results(tmp_path):
    broken = tmp_path / "broken.csv"
    broken.write_text("freq/Hz,Re(Z)/Ohm,-Im(Z)/Ohm\n10,1,2\n100,x,3\n")
    # Parstat's high-frequency points are far from any causal circuit; ZPlot's pass.
    files = [DATA / "exampleDataParstat.txt", DATA / "exampleDataZPlot.z"]
    done = kelvra_command("kk", *files, "--out", tmp_path / "kk.json")
    assert done.returncode == 0, done.stderr
    rows = json.loads((tmp_path / "kk.json").read_text())
    assert [(row["file"], row["valid"]) for row in rows] == [(str(files[0]), False), (str(files[1]), True)]
    assert f"{files[0]} (sweep 0): fail: largest residual" in done.stdout
    assert f"{files[1]} (sweep 0): pass: largest residual" in done.stdout
    failed = kelvra_command("kk", broken, files[1], "--threshold", 0.01)
    assert failed.returncode == 1
    assert failed.stderr.startswith(f"kelvra: {broken}, line 3:")
    assert f"{files[1]} (sweep 0): fail: largest residual" in failed.stdout


def test_version_of_the_command_and_the_package():
    done = kelvra_command("--version")
    assert (done.returncode, done.stdout) == (0, f"kelvra {kelvra.__version__}\n")
    assert kelvra.__version__.count(".") == 2


def test_a_misspelt_model_name_suggests_the_models():
    done = kelvra_command("fit", "x.csv", "--circuit", "two_rq_x")
    assert done.returncode == 2
    assert "'two_rq_x' is not a built-in model (did you mean 'two_rq_l' or 'two_rq'" in done.stderr


def test_rank_help_names_the_default_criterion():
    assert "rank them by BIC (or AIC)" in " ".join(kelvra_command("--help").stdout.split())


@pytest.mark.parametrize("command", [["fit", "--circuit", CIRCUIT], ["kk"], ["rank"], ["drt"]])
@pytest.mark.parametrize("option, target, message", [
    ("--out", "{input}", "--out '{input}' is one of the input files; writing it would overwrite the data"),
    ("--out", "{tmp}/missing/out.csv", "--out '{tmp}/missing/out.csv' cannot be written: no directory"),
    ("--out", "{tmp}/folder.csv", "--out '{tmp}/folder.csv' is a directory"),
    ("--plot", "{tmp}/blocker", "--plot '{tmp}/blocker' exists and is not a directory"),
    ("--plot", "{tmp}/blocker/figures", "--plot '{tmp}/blocker/figures' cannot be made: "),
], ids=["input as out", "out in no directory", "directory as out", "file as plot", "plot under a file"])
def test_unwritable_outputs_are_usage_errors_before_any_work(tmp_path, command, option, target, message):
    if option == "--plot" and command[0] not in ("fit", "drt"):
        pytest.skip("no figures")
    measured = tmp_path / "cell.csv"
    measured.write_bytes((EXAMPLES / "li_ion_cell.csv").read_bytes())
    before = measured.read_bytes()
    (tmp_path / "folder.csv").mkdir()
    (tmp_path / "blocker").write_text("")
    fill = {"input": measured, "tmp": tmp_path}
    done = kelvra_command(*command, measured, option, target.format(**fill))
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith("kelvra: " + message.format(**fill)), done.stderr
    assert done.stdout == "" and "Traceback" not in done.stderr
    assert measured.read_bytes() == before


def test_a_rerun_into_its_own_directory_skips_the_results_it_wrote(tmp_path):
    (tmp_path / "cell.csv").write_bytes((EXAMPLES / "li_ion_cell.csv").read_bytes())
    first = kelvra_command("fit", tmp_path, "--circuit", CIRCUIT, "--quiet", "--out", tmp_path / "results.csv")
    assert first.returncode == 0, first.stderr
    again = kelvra_command("fit", tmp_path, "--circuit", CIRCUIT, "--quiet", "--out", tmp_path / "results.csv")
    assert again.returncode == 0, again.stderr
    assert f"skipping '{tmp_path / 'results.csv'}': this command writes it (--out)" in again.stderr
    # An earlier run's table under another name is no spectrum either.
    (tmp_path / "results.csv").rename(tmp_path / "old.csv")
    tested = kelvra_command("kk", tmp_path, "--quiet")
    assert tested.returncode == 0, tested.stderr
    assert f"skipping '{tmp_path / 'old.csv'}': a results table of kelvra" in tested.stderr


def test_a_file_name_that_is_not_utf8_is_written_back_as_it_is(tmp_path):
    name = os.fsencode(str(tmp_path)) + b"/caf\xe9.csv"
    with open(name, "wb") as handle:
        handle.write((EXAMPLES / "li_ion_cell.csv").read_bytes())
    done = subprocess.run([sys.executable, "-m", "kelvra", "fit", name, "--circuit", CIRCUIT, "--quiet",
                           "--out", tmp_path / "results.csv"], capture_output=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(name + b" (sweep 0): ")
    table = (tmp_path / "results.csv").read_bytes().splitlines()
    assert len(table) == 2 and table[1].startswith(name + b",0,")


def test_a_seed_with_differential_evolution_is_said_to_do_nothing():
    done = kelvra_command("fit", EXAMPLES / "li_ion_cell.csv", "--circuit", "R0-(R1,C1)", "--method",
                          "differential_evolution", "--seed", "2", "--no-robust", "--quiet")
    assert "differential_evolution is not seeded: --seed does not make its fits repeatable" in done.stderr


def test_quiet_prints_one_line_per_spectrum():
    files = [DATA / "biologic_ex1.mpt", EXAMPLES / "li_ion_cell.csv"]
    done = kelvra_command("fit", *files, "--circuit", "R0-(R1,C1)", "--quiet")
    assert done.returncode == 0, done.stderr
    assert [line.split(":")[0] for line in done.stdout.splitlines()] == [
        f"{files[0]} (sweep 0)", f"{files[0]} (sweep 1)", f"{files[1]} (sweep 0)"]
    ranked = kelvra_command("rank", files[1], "--quiet")
    assert ranked.stdout.startswith(f"{files[1]} (sweep 0): best ") and ranked.stdout.count("\n") == 1
    tested = kelvra_command("kk", files[1], "--quiet")
    assert tested.stdout.count("\n") == 1


@pytest.mark.parametrize("command", [["rank", "--no-builtin", "--candidate", "R0-(R1,C1)"], ["kk"]])
def test_rank_and_kk_record_failed_files_in_their_results(tmp_path, command):
    broken = tmp_path / "broken.csv"
    broken.write_text("freq/Hz,Re(Z)/Ohm,-Im(Z)/Ohm\n10,1,2\n100,x,3\n")
    done = kelvra_command(*command, broken, EXAMPLES / "li_ion_cell.csv", "--out", tmp_path / "out.json")
    assert done.returncode == 1
    rows = json.loads((tmp_path / "out.json").read_text())
    assert rows[0]["file"] == str(broken) and rows[0]["error"].startswith(f"{broken}, line 3:")
    assert all(row["file"] == str(EXAMPLES / "li_ion_cell.csv") for row in rows[1:]) and len(rows) > 1


def test_drt_writes_gamma_peaks_and_figures_past_a_broken_file(tmp_path):
    broken = tmp_path / "broken.csv"
    broken.write_text("freq/Hz,Re(Z)/Ohm,-Im(Z)/Ohm\n10,1,2\n100,x,3\n")
    files = [DATA / "exampleDataAutolab.txt", broken, DATA / "exampleDataZPlot.z"]
    done = kelvra_command("drt", *files, "--out", tmp_path / "drt.csv", "--plot", tmp_path / "figures")
    assert done.returncode == 1
    assert done.stderr.startswith(f"kelvra: {broken}, line 3:")
    assert f"{files[0]} (sweep 0): ok: largest residual" in done.stdout
    with open(tmp_path / "drt.csv", newline="") as table:
        gamma_rows = list(csv.DictReader(table))
    with open(tmp_path / "drt_peaks.csv", newline="") as table:
        peak_rows = list(csv.DictReader(table))
    assert {row["file"] for row in gamma_rows} == {str(files[0]), str(files[2])}
    assert all(float(row["gamma / ohm"]) >= 0 for row in gamma_rows)
    assert [int(row["peak"]) for row in peak_rows if row["file"] == str(files[0])] == [1, 2, 3, 4]
    figures = sorted(p.name for p in (tmp_path / "figures").iterdir())
    assert figures == ["exampleDataAutolab_sweep0_drt.png", "exampleDataZPlot_sweep0_drt.png"]
    assert (tmp_path / "figures" / figures[0]).read_bytes().startswith(PNG_SIGNATURE)
    as_json = kelvra_command("drt", files[2], "--method", "mgcv", "--out", tmp_path / "drt.json")
    assert as_json.returncode == 0, as_json.stderr
    record, = json.loads((tmp_path / "drt.json").read_text())
    assert len(record["tau"]) == len(record["gamma"]) and record["peaks"]
