"""`kelvra series`, `kelvra report` and the --report option, end to end in a child process."""
import csv
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
MULTI_CYCLE = DATA / "biologic_ex1.mpt"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def kelvra_command(*arguments):
    return subprocess.run([sys.executable, "-m", "kelvra", *map(str, arguments)], capture_output=True, text=True)


def test_series_of_a_multi_cycle_file_writes_trajectories_figures_and_report(tmp_path):
    done = kelvra_command("series", MULTI_CYCLE, "--circuit", "R0-(R1,CPE1)", "--key", "Cycle", "--seed", 1,
                          "--out", tmp_path / "trajectories.csv", "--plot", tmp_path / "figures",
                          "--report", tmp_path / "series.html", "--area", 0.5)
    assert done.returncode == 0, done.stderr
    assert "2 spectra" in done.stdout
    with open(tmp_path / "trajectories.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [row["Cycle"] for row in rows] == ["1", "2"]
    assert {"R1.r", "R1.r_stderr", "R1.r_low", "R1.r_high", "trusted", "outlier"} <= set(rows[0])
    assert (tmp_path / "figures" / "trajectories.png").read_bytes().startswith(PNG_SIGNATURE)
    page = (tmp_path / "series.html").read_text(encoding="utf-8")
    assert "Cycle 2" in page and "\u03a9\u00b7cm\u00b2" in page


@pytest.mark.parametrize("arguments, message", [
    (["--key", "Temperature"], "no key column 'Temperature'"),
    (["--out", "trajectories.txt"], "ending in .csv or .json"),
    (["--bootstrap", "1"], "at least 2"),
])
def test_series_usage_errors(arguments, message):
    done = kelvra_command("series", MULTI_CYCLE, "--circuit", "R0-(R1,CPE1)", *arguments)
    assert done.returncode == 2 and message in done.stderr


@pytest.mark.parametrize("arguments", [["--report", "fits.txt"], ["--area", "0"], ["--area", "x"]])
def test_report_options_are_validated(arguments):
    done = kelvra_command("fit", DATA / "exampleDataGamry.DTA", "--circuit", "R0-(R1,CPE1)", *arguments)
    assert done.returncode == 2


def test_fit_and_rank_write_reports(tmp_path):
    fit = kelvra_command("fit", DATA / "exampleDataGamry.DTA", "--circuit", "R0-(R1,CPE1)", "--seed", 1,
                         "--report", tmp_path / "fit.html")
    assert fit.returncode == 0, fit.stderr
    assert 'id="summary"' in (tmp_path / "fit.html").read_text(encoding="utf-8")
    rank = kelvra_command("rank", DATA / "exampleDataGamry.DTA", "--report", tmp_path / "rank.html")
    assert rank.returncode == 0, rank.stderr
    assert "Rankings" in (tmp_path / "rank.html").read_text(encoding="utf-8")


def test_report_command_fits_spectra_and_lists_what_failed(tmp_path):
    done = kelvra_command("report", DATA / "exampleDataZPlot.z", tmp_path / "missing.json", "--circuit",
                          "R0-(R1,C1)", "--seed", 1, "--out", tmp_path / "report.html")
    assert done.returncode == 1
    assert "missing.json" in done.stderr
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "exampleDataZPlot.z (sweep 0)" in page and "missing.json" in page
