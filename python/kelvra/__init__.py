# The package's surface is exactly the compiled core's: its names, its
# __all__ and its empty docstring. The pure-Python layer (readers, plots,
# saved fits, the command line) lives in submodules imported on demand, so
# that importing the package needs nothing beyond NumPy.
from ._core import *  # noqa: F401,F403
from ._core import InternalError, __all__, __doc__  # noqa: F401
