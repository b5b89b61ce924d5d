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
