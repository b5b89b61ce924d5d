"""What every reader returns: one `Spectrum` per sweep in the file."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Mapping, Tuple

import numpy as np

from ..tables import BATTERY_COLUMNS

# The battery-data-format column names that `Circuit.fit` reads (the core's
# first spelling of each), and the ones of the same convention for the
# quantities recorded beside each point.
FREQUENCY = BATTERY_COLUMNS["frequency"][0]
REAL = BATTERY_COLUMNS["real"][0]
IMAGINARY = BATTERY_COLUMNS["imaginary"][0]
TIME = "Test Time / s"
VOLTAGE = "Voltage / V"
CURRENT = "Current / A"


@dataclass(frozen=True, eq=False)
class Spectrum(Mapping):
    """One measured sweep: its columns, where it came from, and what the file says about it.

    ``data`` maps column names to equal-length arrays (a dict of NumPy arrays,
    or a pandas DataFrame when read with ``frame=True``): always the
    frequency and the real and imaginary impedance under their battery-data
    names (``kelvra.tables.BATTERY_COLUMNS``; capacitive points have a negative
    imaginary part), and where the file records them "Test Time / s",
    "Voltage / V" and "Current / A". The
    spectrum itself is a read-only mapping over ``data``, so it can be passed
    straight to ``Circuit.fit``. ``metadata`` holds the file's own facts
    (``sweep``, the 0-based position of this sweep in the file, always;
    cycle, start time, potential and so on where the format has them).
    """

    path: str
    format: str
    data: Any
    metadata: Dict[str, Any] = field(default_factory=dict)

    # Two reads of one file are equal only as the same object: comparing
    # arrays column by column, as Mapping would, has no single truth value.
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def __getitem__(self, column: str) -> Any:
        return self.data[column]

    def __iter__(self) -> Iterator[str]:
        return iter(list(self.data.keys()))

    def __len__(self) -> int:
        return len(list(self.data.keys()))

    @property
    def source(self) -> str:
        """The file the spectrum was read from (empty for one built from arrays)."""
        return self.path

    @property
    def sweep(self) -> int:
        return int(self.metadata.get("sweep", 0))

    @property
    def frequencies(self) -> np.ndarray:
        return np.asarray(self.data[FREQUENCY], dtype=np.float64)

    @property
    def impedances(self) -> np.ndarray:
        return np.asarray(self.data[REAL], dtype=np.float64) + 1j * np.asarray(self.data[IMAGINARY], dtype=np.float64)

    def to_frame(self) -> Any:
        """The columns as a pandas DataFrame."""
        return as_frame(dict(self.data.items()))

    def __repr__(self) -> str:
        return (f"Spectrum({self.path!r}, format={self.format!r}, sweep={self.metadata.get('sweep')}, "
                f"points={len(self.frequencies)})")


def as_frame(columns: Dict[str, np.ndarray]) -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError("a DataFrame needs pandas: install the package 'pandas'") from None
    return pandas.DataFrame(columns)


# One sweep as a format module produces it: its columns and its metadata.
Sweep = Tuple[Dict[str, np.ndarray], Dict[str, Any]]


def split_runs(keys: np.ndarray) -> List[slice]:
    """The slices over which `keys` keeps one value, in order."""
    if len(keys) == 0:
        return []
    starts = [0, *(np.flatnonzero(keys[1:] != keys[:-1]) + 1).tolist(), len(keys)]
    return [slice(start, stop) for start, stop in zip(starts[:-1], starts[1:])]


def take(columns: Dict[str, np.ndarray], rows: Any) -> Dict[str, np.ndarray]:
    return {name: values[rows] for name, values in columns.items()}


def build(path: str, format_name: str, sweeps: List[Sweep], frame: bool) -> List[Spectrum]:
    spectra = []
    for index, (columns, metadata) in enumerate(sweeps):
        data = as_frame(columns) if frame else columns
        spectra.append(Spectrum(path, format_name, data, {"sweep": index, **metadata}))
    return spectra
