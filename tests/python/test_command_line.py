"""The kelvra command line, end to end in a child process."""
import csv
import json
import math
import pathlib
import subprocess
import sys

import pytest

import kelvra
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
    assert report.settings == {"method": "levenberg_marquardt", "weight": "unit", "seed": 3, "early_stop": "repeat"}
    # The same fit from Python gives the same figures.
    expected = kelvra.Circuit(CIRCUIT).fit(io.read(path)[0], weight="unit", seed=3)
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
    (["fit", "x.csv", "--circuit", CIRCUIT, "--max-iterations", "0"], 2, "expected a positive integer"),
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


def test_plot_into_a_path_that_cannot_be_written_is_a_clear_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    done = kelvra_command("fit", EXAMPLES / "li_ion_cell.csv", "--circuit", CIRCUIT, "--plot", blocker / "figures")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith(f"kelvra: cannot write figures into '{blocker / 'figures'}': ")
    assert "Traceback" not in done.stderr


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


def test_results_file_that_cannot_be_written_is_a_clear_error(tmp_path):
    done = kelvra_command("kk", EXAMPLES / "li_ion_cell.csv", "--out", tmp_path / "missing" / "out.csv")
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.startswith(f"kelvra: cannot write '{tmp_path / 'missing' / 'out.csv'}': ")
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
