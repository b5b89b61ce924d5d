# The package's surface is exactly the compiled core's: its names, its
# __all__ and its empty docstring. The pure-Python layer (readers, plots,
# saved fits, the command line) lives in submodules imported on first use,
# so that importing the package needs nothing beyond NumPy, yet
# `kelvra.kk` and the like work after a plain `import kelvra`.
import importlib as _importlib
import importlib.util as _importlib_util

from ._core import *  # noqa: F401,F403
from ._core import InternalError, __all__, __doc__  # noqa: F401
from ._version import __version__  # noqa: F401



def __getattr__(name):
    # Only public submodules (kelvra.io, kelvra.kk, ...): the private ones
    # stay behind the modules that use them.
    if not name.startswith("_") and _importlib_util.find_spec(f"{__name__}.{name}") is not None:
        return _importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
