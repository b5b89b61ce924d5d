"""Impedance plots with matplotlib: Nyquist, Bode and fit residuals.

Each function draws the measured data, a model, or both, into the axes it
is given (new ones when None) and returns what it drew on; none of them
shows a window. `model` may be an array of impedances at the measured
frequencies, or a Circuit, which is evaluated on a dense logarithmic grid
over the measured range for a smooth curve. `plot_fit` draws all three
views of a `kelvra.fitting.FitReport` into one figure; `drt` draws a
distribution of relaxation times, and `plot_drt` it beside its data.
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


# Trajectory figures: panels per row, and their size in inches.
_TRAJECTORY_COLUMNS = 2
_PANEL_SIZE = (5.0, 2.6)


def trajectories(series: Any, names: Any = None, *, fig: Any = None, area: Optional[float] = None) -> Any:
    """Each parameter of a `kelvra.series.SeriesResult` against the series
    key, in a readable unit (normalised to `area` cm² when given), with its
    interval as a shaded band; outliers are crossed, untrusted fits hollow.
    Returns the figure."""
    from kelvra.units import per_area, prefix_scale

    names = list(series.names if names is None else names)
    unknown = [name for name in names if name not in series.names]
    if unknown:
        raise ValueError(f"no parameter {unknown[0]!r} in the series; its parameters are {', '.join(series.names)}")
    rows = max(1, -(-len(names) // _TRAJECTORY_COLUMNS))
    columns = min(_TRAJECTORY_COLUMNS, max(1, len(names)))
    if fig is None:
        fig = _pyplot().figure(figsize=(_PANEL_SIZE[0] * columns, _PANEL_SIZE[1] * rows), layout="constrained")
    table = series.table
    x = _key_axis(table.index)
    trusted = table["trusted"].to_numpy(dtype=bool)
    outlier = table["outlier"].to_numpy(dtype=bool)
    for i, name in enumerate(names):
        ax = fig.add_subplot(rows, columns, i + 1)
        unit = series.units[series.names.index(name)]
        value, shown = per_area(table[name].to_numpy(), unit, area)
        low, _ = per_area(table[f"{name}_low"].to_numpy(), unit, area)
        high, _ = per_area(table[f"{name}_high"].to_numpy(), unit, area)
        factor, label = prefix_scale(value, shown)
        ax.fill_between(x, low / factor, high / factor, color="C0", alpha=0.25, linewidth=0,
                        label=f"{series.level:.0%} interval")
        ax.plot(x, value / factor, color="C0", linewidth=0.8)
        ax.plot(x[trusted], value[trusted] / factor, "o", color="C0", markersize=3, label="trusted")
        ax.plot(x[~trusted], value[~trusted] / factor, "o", color="C0", fillstyle="none", markersize=4,
                label="untrusted")
        if outlier.any():
            _mark_outliers(ax, x[outlier], value[outlier] / factor, low[~outlier] / factor, high[~outlier] / factor)
        ax.set_ylabel(f"{name} / {label}")
        ax.set_xlabel(str(series.key))
        ax.grid(True, alpha=0.3)
        if i == 0:
            ax.legend(fontsize="small")
    return fig


# Room left above and below the trajectory's bands, as a fraction of their span.
_TRAJECTORY_MARGIN = 0.1


def _mark_outliers(ax: Any, x: np.ndarray, y: np.ndarray, low: np.ndarray, high: np.ndarray) -> None:
    """Crosses at the outliers, with the y range set by the other spectra's
    bands so that one wild fit does not flatten the trajectory; an outlier
    beyond that range is drawn at its edge as a triangle pointing out."""
    band = np.concatenate([low[np.isfinite(low)], high[np.isfinite(high)]])
    if band.size == 0:
        ax.plot(x, y, "x", color="C3", markersize=7, label="outlier")
        return
    margin = _TRAJECTORY_MARGIN * max(float(band.max() - band.min()), abs(float(band.max())) * 1e-3)
    bottom, top = float(band.min()) - margin, float(band.max()) + margin
    inside = (y >= bottom) & (y <= top)
    ax.plot(x[inside], y[inside], "x", color="C3", markersize=7, label="outlier")
    ax.plot(x[y > top], np.full(int((y > top).sum()), top), "^", color="C3", markersize=7,
            label="outlier off scale")
    ax.plot(x[y < bottom], np.full(int((y < bottom).sum()), bottom), "v", color="C3", markersize=7)
    ax.set_ylim(bottom, top)


def _key_axis(index: Any) -> np.ndarray:
    """The key as x coordinates: its values when numeric, positions otherwise."""
    values = np.asarray(index)
    if np.issubdtype(values.dtype, np.number):
        return values.astype(np.float64)
    return np.arange(len(values), dtype=np.float64)


# Rows of a DRT map per decade of tau.
DRT_MAP_POINTS_PER_DECADE = 20


def drt_map(series: Any, *, ax: Any = None, **drt_options: Any) -> Any:
    """The distribution of relaxation times γ(τ) of every spectrum of a
    `kelvra.series.SeriesResult` as a heat map: τ up, the key along, on one
    τ grid that spans every spectrum's (a spectrum is blank where its own
    grid does not reach, and where it has no fit). `drt_options` go to
    ``kelvra.drt.drt_many``. Returns the axes."""
    try:
        from kelvra import drt
    except ImportError:
        raise ImportError("a DRT map needs kelvra.drt, which this installation of kelvra does not have") from None
    fitted = [(i, r) for i, r in enumerate(series.reports) if r is not None]
    if not fitted:
        raise ValueError("no fitted spectrum in the series to take a DRT of")
    results = drt.drt_many([(r.frequencies, r.impedances) for _, r in fitted], **drt_options)
    taken = [(i, result) for (i, _), result in zip(fitted, results) if not isinstance(result, Exception)]
    if not taken:
        raise ValueError("no spectrum of the series has a DRT")
    low = min(np.log10(result.tau.min()) for _, result in taken)
    high = max(np.log10(result.tau.max()) for _, result in taken)
    tau = np.logspace(low, high, max(2, int(np.ceil((high - low) * DRT_MAP_POINTS_PER_DECADE)) + 1))
    gamma = np.full((len(tau), len(series.keys)), np.nan)
    for i, result in taken:
        own = np.log(np.asarray(result.tau))
        gamma[:, i] = np.interp(np.log(tau), own, np.asarray(result.gamma), left=np.nan, right=np.nan)
    if ax is None:
        ax = _pyplot().subplots(figsize=(8, 4.5), layout="constrained")[1]
    x = _key_axis(np.asarray(series.keys))
    mesh = ax.pcolormesh(x, tau, np.ma.masked_invalid(gamma), shading="nearest", cmap="viridis")
    ax.set_yscale("log")
    ax.set_ylabel("\u03c4 / s")
    ax.set_xlabel(str(series.key))
    ax.figure.colorbar(mesh, ax=ax, label="\u03b3(\u03c4) / \u03a9")
    return ax


def drt(result: Any, ax: Any = None) -> Any:
    """gamma against tau (log axis) of a `kelvra.drt.DrtResult`, its peaks
    marked and labelled with their resistance, R_inf and L in the legend.
    Returns the axes."""
    if ax is None:
        ax = _pyplot().subplots()[1]
    ax.plot(result.tau, result.gamma, color="C0", label="\u03b3(\u03c4)")
    if result.peaks:
        taus = [p.tau for p in result.peaks]
        heights = [p.height for p in result.peaks]
        ax.plot(taus, heights, "v", color="C3", label="peaks")
        for peak in result.peaks:
            ax.annotate(f"{peak.resistance:.3g} \u03a9", (peak.tau, peak.height), textcoords="offset points",
                        xytext=(0, 6), ha="center", fontsize="small")
    # Legend-only entries for the series elements, which gamma does not show.
    ax.plot([], [], " ", label=f"R\u221e = {result.r_inf:.4g} \u03a9")
    ax.plot([], [], " ", label=f"L = {result.inductance:.3g} H")
    ax.set_xscale("log")
    ax.set_xlabel("\u03c4 / s")
    ax.set_ylabel("\u03b3 / \u03a9")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    return ax


def plot_drt(result: Any, *, fig: Any = None) -> Any:
    """The data with the DRT model's Nyquist curve, gamma(tau) and the
    relative residuals of a `kelvra.drt.DrtResult` in one figure, which is
    returned; its title carries the result's verdict."""
    if fig is None:
        fig = _pyplot().figure(figsize=(11, 8), layout="constrained")
    grid = fig.add_gridspec(2, 2)
    nyquist(result.frequencies, result.impedances, result.fitted, ax=fig.add_subplot(grid[0, 0]))
    residuals(result.frequencies, result.impedances, result.fitted, ax=fig.add_subplot(grid[1, 0]))
    drt(result, ax=fig.add_subplot(grid[:, 1]))
    fig.suptitle(f"DRT, \u03bb = {result.lambda_:.3g}: {result.verdict}")
    return fig
