"""The package around the compiled core: what importing it loads, and where its names live."""
import subprocess
import sys

import kelvra


def test_import_loads_only_numpy_and_the_core():
    code = ("import sys, kelvra; "
            "print(sorted(m for m in ('pandas', 'matplotlib', 'kelvra.io', 'kelvra.plot') if m in sys.modules))")
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert loaded.strip() == "[]"


def test_public_names_belong_to_the_package():
    assert kelvra._core.__name__ == "kelvra._core"
    for name in kelvra.__all__:
        assert getattr(kelvra, name) is getattr(kelvra._core, name)
        assert getattr(kelvra, name).__module__ == "kelvra"
    assert kelvra.InternalError.__module__ == "kelvra"


def test_submodules_are_reachable_after_a_plain_import():
    code = "import kelvra; print(kelvra.kk.kramers_kronig.__name__, kelvra.io.read.__name__, kelvra.__version__)"
    shown = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert shown.split()[:2] == ["kramers_kronig", "read"]


def _public_functions():
    import kelvra.batch
    import kelvra.fitting
    import kelvra.io
    import kelvra.kk
    import kelvra.ranking
    import kelvra.saving

    return [kelvra.batch.fit_many, kelvra.fitting.fit_spectrum, kelvra.fitting.fit_file, kelvra.fitting.fit_files,
            kelvra.io.read, kelvra.io.as_spectrum, kelvra.kk.kramers_kronig, kelvra.kk.kramers_kronig_many,
            kelvra.ranking.rank, kelvra.ranking.rank_many, kelvra.saving.save_fit, kelvra.saving.load_fits,
            kelvra.report.FitReport.from_result]


def test_public_functions_document_parameters_returns_and_raises():
    import inspect

    for function in _public_functions():
        doc = inspect.getdoc(function) or ""
        for section in ("Parameters", "Returns"):
            assert f"\n{section}\n{'-' * len(section)}\n" in doc, (function.__qualname__, section)
    for function in (kelvra.kk.kramers_kronig, kelvra.ranking.rank):
        assert "\nReferences\n----------\n" in inspect.getdoc(function), function.__qualname__
