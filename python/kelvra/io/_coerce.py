"""The one way a spectrum enters the user layer: `as_spectrum`.

Every entry point (fitting, batch, ranking, the Kramers-Kronig test, the
command line) turns what it is given into a `Spectrum` here, so that they
all treat a broken point alike:

- A row whose frequency is not a positive number (0 Hz for a DC step, a
  negative value, a blank cell read as NaN) is not a measurement. It is left
  out, as ``Circuit.fit`` leaves it out of a dataframe, with a `PointWarning`
  that says how many rows went and which.
- A measured point with an infinite frequency, a non-finite impedance or an
  impedance of exactly 0 is corrupt: no model can fit it (the default
  modulus weighting divides by |Z|), and leaving it out would hide a broken
  file. It raises `PointError`, which names the file, the sweep and the
  point.
"""
from __future__ import annotations

import warnings
from typing import Any, Optional, Tuple

import numpy as np

from ._spectrum import FREQUENCY, IMAGINARY, REAL, Spectrum

# How many dropped rows a warning lists before it only counts them.
LISTED_ROWS = 5


class PointError(ValueError):
    """A spectrum holds a point no fit can use; the message names the file, the sweep and the point."""


class PointWarning(UserWarning):
    """Rows without a positive frequency were left out of a spectrum."""


def _where(source: str, sweep: Optional[int]) -> str:
    name = source or "spectrum"
    return name if sweep is None else f"{name} (sweep {sweep})"


def _column(frame: Any, names: Tuple[str, str]) -> Optional[np.ndarray]:
    """The column under either name, or None. Dataframe libraries differ in
    what a missing column raises, so any Exception but MemoryError means the
    name is not there."""
    for name in names:
        try:
            column = frame[name]
        except MemoryError:
            raise
        except Exception:
            continue
        try:
            return np.asarray(column, dtype=np.float64).ravel()
        except (TypeError, ValueError):
            raise ValueError(f"column {name!r} is not numeric") from None
    return None


def _frame_arrays(frame: Any) -> Tuple[np.ndarray, np.ndarray]:
    from ..tables import BATTERY_COLUMNS

    frequencies = _column(frame, BATTERY_COLUMNS["frequency"])
    if frequencies is None:
        first, second = BATTERY_COLUMNS["frequency"]
        raise ValueError(f"expected a dataframe with a {first!r} or {second!r} column, or frequencies and "
                         "impedances as two arguments")
    real, imaginary = _column(frame, BATTERY_COLUMNS["real"]), _column(frame, BATTERY_COLUMNS["imaginary"])
    if real is not None and imaginary is not None:
        if len(real) != len(imaginary):
            raise ValueError("real and imaginary impedance columns must have the same length")
        impedances = real + 1j * imaginary
    else:
        modulus, phase = _column(frame, BATTERY_COLUMNS["modulus"]), _column(frame, BATTERY_COLUMNS["phase"])
        if modulus is None or phase is None:
            raise ValueError("no impedance columns: expected real and imaginary impedance, or absolute impedance "
                             "and phase")
        if len(modulus) != len(phase):
            raise ValueError("absolute impedance and phase columns must have the same length")
        impedances = modulus * np.exp(1j * np.radians(phase))
    return frequencies, impedances


def _arrays(spectrum: Any, impedances: Any) -> Tuple[np.ndarray, np.ndarray]:
    if impedances is not None:
        return np.asarray(spectrum, dtype=np.float64).ravel(), np.asarray(impedances, dtype=np.complex128).ravel()
    if isinstance(spectrum, Spectrum):
        return spectrum.frequencies, spectrum.impedances
    if isinstance(spectrum, (tuple, list)) and len(spectrum) == 2:
        return _arrays(spectrum[0], spectrum[1])
    return _frame_arrays(spectrum)


def as_spectrum(spectrum: Any, impedances: Any = None, *, source: Optional[str] = None,
                sweep: Optional[int] = None) -> Spectrum:
    """The `Spectrum` of any input the user layer accepts, with its points checked.

    Parameters
    ----------
    spectrum : Spectrum, dataframe, (frequencies, impedances) pair or sequence
        A spectrum read by `kelvra.io.read`; a battery-data-format dataframe
        (anything indexable by column name); a pair of sequences; or the
        frequencies (Hz), with `impedances` given.
    impedances : sequence of complex, optional
        The impedances (ohm), when `spectrum` holds only the frequencies.
    source, sweep : str and int, optional
        The file and sweep the spectrum came from, for messages; a `Spectrum`
        brings its own.

    Returns
    -------
    Spectrum
        The same object when `spectrum` is a `Spectrum` that needed no
        change; otherwise a new one holding the frequency, real and
        imaginary columns of the measured points, in input order.

    Raises
    ------
    PointError
        A point has an infinite frequency, a non-finite impedance or an
        impedance of 0, or no row has a positive frequency.
    ValueError
        The input is not a spectrum (no frequency column, lengths differ).

    Warns
    -----
    PointWarning
        When rows without a positive frequency are left out.
    """
    return _wrap(spectrum, *checked_arrays(spectrum, impedances, source=source, sweep=sweep))


def checked_arrays(spectrum: Any, impedances: Any = None, *, source: Optional[str] = None,
                   sweep: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray, str, Optional[int], bool]:
    """What `as_spectrum` checks, as arrays: (frequencies, impedances, source,
    sweep, whether every row was kept). The entry points that pass arrays on
    to the core take these, so that no Spectrum rebuilds its complex column."""
    if isinstance(spectrum, Spectrum):
        source = spectrum.path if source is None else source
        sweep = spectrum.metadata.get("sweep") if sweep is None else sweep
    source = "" if source is None else str(source)
    frequencies, measured = _arrays(spectrum, impedances)
    if len(frequencies) != len(measured):
        raise ValueError("frequencies and impedances must have the same length")
    where = _where(source, sweep)
    kept = frequencies > 0.0
    if not kept.all():
        dropped = np.flatnonzero(~kept)
        listed = ", ".join(f"row {i} ({frequencies[i]:g} Hz)" for i in dropped[:LISTED_ROWS])
        more = f" and {len(dropped) - LISTED_ROWS} more" if len(dropped) > LISTED_ROWS else ""
        if not kept.any():
            raise PointError(f"{where}: no measured points: no row has a positive frequency")
        warnings.warn(f"{where}: left out {len(dropped)} row{'s' if len(dropped) > 1 else ''} without a positive "
                      f"frequency: {listed}{more}", PointWarning, stacklevel=2)
    bad = kept & ~(np.isfinite(frequencies) & np.isfinite(measured) & (measured != 0))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        if not np.isfinite(frequencies[i]):
            what = f"frequency {frequencies[i]:g} Hz is not finite"
        elif measured[i] == 0:
            what = f"impedance at {frequencies[i]:g} Hz is 0"
        else:
            what = f"impedance {measured[i]} at {frequencies[i]:g} Hz is not finite"
        others = int(bad.sum()) - 1
        tail = f" (and {others} more such point{'s' if others > 1 else ''})" if others else ""
        raise PointError(f"{where}: point {i}: {what}{tail}")
    if not kept.all():
        frequencies, measured = frequencies[kept], measured[kept]
    return frequencies, measured, source, sweep, bool(kept.all())


def _wrap(spectrum: Any, frequencies: np.ndarray, measured: np.ndarray, source: str, sweep: Optional[int],
          all_kept: bool) -> Spectrum:
    if isinstance(spectrum, Spectrum) and all_kept:
        return spectrum
    data = {FREQUENCY: frequencies, REAL: measured.real.copy(), IMAGINARY: measured.imag.copy()}
    metadata = dict(spectrum.metadata) if isinstance(spectrum, Spectrum) else {}
    metadata["sweep"] = 0 if sweep is None else sweep
    fmt = spectrum.format if isinstance(spectrum, Spectrum) else ""
    return Spectrum(source, fmt, data, metadata)
