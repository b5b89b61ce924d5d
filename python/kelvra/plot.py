"""Impedance plots with matplotlib: Nyquist, Bode and fit residuals.

Each function draws the measured data, a model, or both, into the axes it
is given (new ones when None) and returns what it drew on; none of them
shows a window. `model` may be an array of impedances at the measured
frequencies, or a Circuit, which is evaluated on a dense logarithmic grid
over the measured range for a smooth curve. `plot_fit` draws all three
views of a `kelvra.fitting.FitReport` into one figure.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

# Model curves drawn from a Circuit use this many points per decade of frequency.
MODEL_POINTS_PER_DECADE = 50
_PERCENT = 100.0
_DATA_STYLE = {"linestyle": "none", "marker": "o", "markersize": 4, "fillstyle": "none", "label": "data"}
_MODEL_STYLE = {"linestyle": "-", "label": "model"}


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as pyplot
    except ImportError:
        raise ImportError("plotting needs matplotlib: install the package 'matplotlib'") from None
    return pyplot


def _model_curve(frequencies: np.ndarray, model: Any) -> Tuple[np.ndarray, np.ndarray]:
    """Frequencies and impedances of the model curve."""
    if hasattr(model, "impedance"):
        positive = frequencies[frequencies > 0]
        if len(positive) == 0:
            raise ValueError("a model curve needs at least one positive frequency")
        low, high = np.log10(positive.min()), np.log10(positive.max())
        count = max(2, int(np.ceil((high - low) * MODEL_POINTS_PER_DECADE)) + 1)
        grid = np.logspace(low, high, count)
        return grid, np.asarray(model.impedance(grid))
    values = np.asarray(model, dtype=np.complex128)
    if values.shape != frequencies.shape:
        raise ValueError(f"model has {values.size} impedances for {frequencies.size} frequencies")
    return frequencies, values


def _check_inputs(frequencies: Any, impedances: Any, model: Any) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    if impedances is None and model is None:
        raise ValueError("nothing to draw: give impedances, a model, or both")
    f = np.asarray(frequencies, dtype=np.float64)
    if impedances is None:
        return f, None
    z = np.asarray(impedances, dtype=np.complex128)
    if z.shape != f.shape:
        raise ValueError(f"{z.size} impedances for {f.size} frequencies")
    return f, z


def nyquist(frequencies: ArrayLike, impedances: Any = None, model: Any = None, *, ax: Any = None) -> Any:
    """Nyquist plot: −Im Z against Re Z on equal scales, capacitive arcs upward. Returns the axes."""
    f, z = _check_inputs(frequencies, impedances, model)
    if ax is None:
        ax = _pyplot().subplots()[1]
    if z is not None:
        ax.plot(z.real, -z.imag, **_DATA_STYLE)
    if model is not None:
        _, curve = _model_curve(f, model)
        ax.plot(curve.real, -curve.imag, **_MODEL_STYLE)
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("Re Z / ohm")
    ax.set_ylabel("\u2212Im Z / ohm")
    ax.grid(True, alpha=0.3)
    ax.legend()
    return ax


def bode(frequencies: ArrayLike, impedances: Any = None, model: Any = None, *,
         axes: Optional[Tuple[Any, Any]] = None) -> Tuple[Any, Any]:
    """Bode plot: modulus (log scale) and phase against frequency. Returns the two axes."""
    f, z = _check_inputs(frequencies, impedances, model)
    if axes is None:
        modulus_ax, phase_ax = _pyplot().subplots(2, 1, sharex=True)[1]
    else:
        modulus_ax, phase_ax = axes
    if z is not None:
        modulus_ax.plot(f, np.abs(z), **_DATA_STYLE)
        phase_ax.plot(f, np.angle(z, deg=True), **_DATA_STYLE)
    if model is not None:
        grid, curve = _model_curve(f, model)
        modulus_ax.plot(grid, np.abs(curve), **_MODEL_STYLE)
        phase_ax.plot(grid, np.angle(curve, deg=True), **_MODEL_STYLE)
    modulus_ax.set_xscale("log")
    modulus_ax.set_yscale("log")
    modulus_ax.set_ylabel("|Z| / ohm")
    phase_ax.set_xscale("log")
    phase_ax.set_ylabel("phase Z / deg")
    phase_ax.set_xlabel("frequency / Hz")
    for ax in (modulus_ax, phase_ax):
        ax.grid(True, which="both", alpha=0.3)
    modulus_ax.legend()
    return modulus_ax, phase_ax


def residuals(frequencies: ArrayLike, impedances: ArrayLike, model: Any, *, ax: Any = None) -> Any:
    """Relative residuals (Z − model)/|Z| in percent, real and imaginary parts,
    against frequency. Returns the axes."""
    f = np.asarray(frequencies, dtype=np.float64)
    z = np.asarray(impedances, dtype=np.complex128)
    if z.shape != f.shape:
        raise ValueError(f"{z.size} impedances for {f.size} frequencies")
    fitted = np.asarray(model.impedance(f)) if hasattr(model, "impedance") else _model_curve(f, model)[1]
    relative = (z - fitted) / np.abs(z) * _PERCENT
    if ax is None:
        ax = _pyplot().subplots()[1]
    ax.axhline(0.0, color="0.5", linewidth=0.8)
    ax.plot(f, relative.real, marker="o", markersize=4, label="real")
    ax.plot(f, relative.imag, marker="s", markersize=4, label="imaginary")
    ax.set_xscale("log")
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("(Z \u2212 model) / |Z| / %")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    return ax


def plot_fit(report: Any, *, fig: Any = None) -> Any:
    """Nyquist, Bode and residual plots of a fit report in one figure, which is returned."""
    if fig is None:
        fig = _pyplot().figure(figsize=(11, 8), layout="constrained")
    grid = fig.add_gridspec(2, 2)
    nyquist_ax = fig.add_subplot(grid[0, 0])
    residual_ax = fig.add_subplot(grid[1, 0])
    bode_grid = grid[:, 1].subgridspec(2, 1)
    modulus_ax = fig.add_subplot(bode_grid[0])
    phase_ax = fig.add_subplot(bode_grid[1], sharex=modulus_ax)
    circuit = report.fitted_circuit
    nyquist(report.frequencies, report.impedances, circuit, ax=nyquist_ax)
    bode(report.frequencies, report.impedances, circuit, axes=(modulus_ax, phase_ax))
    residuals(report.frequencies, report.impedances, circuit, ax=residual_ax)
    title = report.circuit if not report.source else f"{report.source}: {report.circuit}"
    fig.suptitle(f"{title}   (\u03c7\u00b2 = {report.chi_square:.4g})")
    return fig
