"""Every example of the README runs as written: its Python blocks in order
in one namespace, and each `kelvra` line of its shell blocks as a command."""
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def _blocks(language):
    return [body for found, body in BLOCK.findall((ROOT / "README.md").read_text()) if found == language]


@pytest.fixture()
def workdir(tmp_path, monkeypatch):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    (tmp_path / "tests").symlink_to(ROOT / "tests")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_python_examples_run(workdir):
    pytest.importorskip("matplotlib")
    pytest.importorskip("pandas")
    namespace = {}
    for block in _blocks("python"):
        exec(compile(block, "README.md", "exec"), namespace)
    assert (workdir / "li_ion_cell.png").read_bytes().startswith(b"\x89PNG")
    assert (workdir / "li_ion_cell.fit.json").exists()
    assert (workdir / "autolab_drt.png").read_bytes().startswith(b"\x89PNG")


def test_command_line_examples_run(workdir):
    commands = [line for block in _blocks("sh") for line in block.splitlines() if line.startswith("kelvra ")]
    assert commands
    for command in commands:
        arguments = shlex.split(command, comments=True)[1:]
        done = subprocess.run([sys.executable, "-m", "kelvra", *arguments], capture_output=True, text=True,
                              env={**os.environ, "MPLBACKEND": "Agg"})
        assert done.returncode == 0, (command, done.stderr)
    assert sorted(os.listdir(workdir / "figures")) == [
        "biologic_ex1_sweep0.png", "biologic_ex1_sweep1.png", "exampleDataGamry.png"]
    assert (workdir / "results.csv").exists() and (workdir / "results.json").exists()
    assert sorted(os.listdir(workdir / "drt_figures")) == ["exampleDataAutolab_sweep0_drt.png",
                                                            "exampleDataZPlot_sweep0_drt.png"]
