"""The type stubs of the compiled core against the module itself, and a type checker on user code."""
import ast
import inspect
import pathlib
import subprocess
import sys

import pytest

import kelvra

PACKAGE = pathlib.Path(kelvra.__file__).parent


def _stub():
    return ast.parse((PACKAGE / "_core.pyi").read_text())


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").exists()


def test_stub_declares_every_public_name_and_method():
    tree = _stub()
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    aliases = {node.targets[0].id for node in tree.body if isinstance(node, ast.Assign)}
    assert set(kelvra.__all__) <= set(classes) | functions | aliases
    assert "InternalError" in classes
    for name, node in classes.items():
        # Special methods (__init__, a context manager's) are the class's protocol, not its names.
        declared = {item.name for item in node.body
                    if isinstance(item, ast.FunctionDef) and not item.name.startswith("__")}
        cls = getattr(kelvra._core, name.removeprefix("_Element_"))
        runtime = {attribute for attribute in vars(cls) if not attribute.startswith("_")}
        assert runtime - {"__match_args__"} <= declared | {item.target.id for item in node.body
                                                        if isinstance(item, ast.AnnAssign)}, name
        assert declared <= runtime, name


def test_stub_fit_signature_matches():
    tree = _stub()
    circuit = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Circuit")
    fit = next(item for item in circuit.body if isinstance(item, ast.FunctionDef) and item.name == "fit")
    declared = [(arg.arg, ast.literal_eval(default)) for arg, default in
                zip(fit.args.args[-len(fit.args.defaults):], fit.args.defaults)]
    runtime = [(p.name, p.default) for p in inspect.signature(kelvra.Circuit.fit).parameters.values()
               if p.default is not inspect.Parameter.empty]
    assert declared == runtime


USER_CODE = """
import kelvra
from kelvra import io
spectrum = io.read("cell.csv")[0]
result = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 3.0]).fit(spectrum, seed=1)
chi: float = result.chi_square
alpha: float = kelvra.Cpe(1e-5, 0.9).alpha
wrong: str = result.chi_square
kelvra.Series([kelvra.R(1.0), "R2"])
"""


def test_type_checker_checks_user_code(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "user.py"
    script.write_text(USER_CODE)
    checked = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental",
                              "--cache-dir", str(tmp_path / "cache"), str(script)],
                             capture_output=True, text=True, cwd=tmp_path)
    flagged = sorted(int(line.split(":")[1]) for line in checked.stdout.splitlines() if ": error:" in line)
    assert flagged == [8, 9], checked.stdout
