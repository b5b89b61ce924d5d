"""A whole experiment: one circuit fitted along a series of spectra.

`fit_series` fits the spectra in order. Each spectrum is fitted twice, from
the previous spectrum's fit and from the circuit's own start (the learned
guess where a built-in model matches), and the better fit is kept, so one
bad spectrum cannot derail the chain: the spectrum after it still has a
start of its own. Interchangeable arcs are reported fastest first (see
``kelvra.arcs``), so trajectories do not swap; every parameter carries its
95 % interval (see ``kelvra.uncertainty``); spectra that break a trajectory
are marked as outliers (`outliers`).
"""
from __future__ import annotations

import dataclasses
import math
import os
from dataclasses import dataclass
from statistics import median
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _core
from .uncertainty import DEFAULT_LEVEL, Uncertainty

# The key of a series that brings none of its own: the spectrum's position.
DEFAULT_KEY = "Spectrum"
# A point whose robust score exceeds this many (normal-equivalent) standard
# deviations breaks its trajectory. Far beyond the ~3.5 of a single test, so
# that a hundred spectra of many parameters raise no false alarm by chance.
OUTLIER_SCORE = 5.0
# The neighbours a point is compared with: two on each side.
MEDIAN_HALF_WINDOW = 2
# The median absolute deviation times this estimates a normal standard deviation.
MAD_TO_SIGMA = 1.4826
# The starts a fit of the series can keep.
START_PREVIOUS = "previous"
START_OWN = "own"


def _report_from_result(result: Any, frequencies: np.ndarray, impedances: np.ndarray, options: Dict[str, Any],
                        source: str, sweep: Any) -> Any:
    """The FitReport of a finished fit, without fitting again."""
    from .report import FitReport

    held = options.get("fixed") or ()
    return FitReport.from_result(result, frequencies, impedances, settings=options, source=source, sweep=sweep,
                                 fixed=list(held.keys()) if isinstance(held, dict) else list(held))


def _judged(report: Any, nested: Sequence[Any] = ()) -> Any:
    """The report with the robust verdict, where this installation has one
    (absurd values, systematic residuals, elements the `nested` fits of the
    same spectrum show to be unneeded, beside the fit's own flags)."""
    try:
        from .verdict import judge
    except ImportError:
        return report
    return dataclasses.replace(report, verdict=judge(report, nested))


def trusted(report: Any) -> bool:
    """The fit's verdict: the robust one where the fit had it judged."""
    return bool(report.verdict.trusted)


def _better(first: Any, second: Any) -> Any:
    """The fit of lower chi-square; a fit whose chi-square is not finite loses."""
    if second is None:
        return first
    if first is None:
        return second
    a = first.chi_square if math.isfinite(first.chi_square) else math.inf
    b = second.chi_square if math.isfinite(second.chi_square) else math.inf
    return second if b < a else first


# --- inputs -------------------------------------------------------------------

@dataclass(frozen=True)
class _Item:
    key: Any
    frequencies: np.ndarray
    impedances: np.ndarray
    source: str
    sweep: Any
    error: str = ""


def _from_frame(frame: Any, key: Optional[str]) -> Tuple[str, List[_Item]]:
    from .batch import key_values
    from .io import as_spectrum

    if key is None:
        if DEFAULT_KEY not in frame.columns:
            raise ValueError(f"a dataframe of many spectra needs key=, the column that tells them apart (or a "
                             f"{DEFAULT_KEY!r} column)")
        key = DEFAULT_KEY
    values = key_values(frame, key).to_numpy()
    items = []
    for k, group in frame.groupby(values, sort=False):
        source = str(group["File"].iloc[0]) if "File" in group.columns else ""
        sweep = group["Sweep"].iloc[0] if "Sweep" in group.columns else k
        items.append(_item(k, lambda: as_spectrum({name: group[name].to_numpy() for name in group.columns}),
                           source, sweep))
    return key, items


def _item(key: Any, coerce: Any, source: str, sweep: Any) -> "_Item":
    """The item of one spectrum; one whose points no fit can use keeps its
    place in the series with the reason, and no points."""
    from .io import PointError

    try:
        spectrum = coerce()
    except PointError as error:
        return _Item(key, np.empty(0), np.empty(0, dtype=np.complex128), source, sweep, str(error))
    return _Item(key, spectrum.frequencies, spectrum.impedances, source, sweep)


def _items(spectra: Any, key: Optional[str]) -> Tuple[str, List[_Item]]:
    """The spectra of a series and the name of their key."""
    if isinstance(spectra, (str, os.PathLike)):
        from .io import read_spectra

        spectra = read_spectra(spectra)
    if hasattr(spectra, "groupby") and hasattr(spectra, "columns"):
        return _from_frame(spectra, key)
    if isinstance(spectra, dict):
        entries = list(spectra.items())
    else:
        entries = list(enumerate(spectra))
    from .io import Spectrum, as_spectrum

    items = []
    for k, entry in entries:
        if isinstance(entry, Spectrum):
            # A spectrum read from a file: its key is read from its metadata.
            items.append(_item(entry.metadata.get(key, k) if key else k, lambda: as_spectrum(entry), entry.path,
                               entry.metadata.get("sweep", k)))
        else:
            items.append(_item(k, lambda: as_spectrum(entry, source=str(k)), "", k))
    return key or DEFAULT_KEY, items


# --- fitting ------------------------------------------------------------------

def fit_series(circuit: Any, spectra: Any, *, key: Optional[str] = None, order_arcs: bool = True,
               level: float = DEFAULT_LEVEL, bootstrap: Optional[int] = None, seed: Optional[int] = None,
               outlier_score: float = OUTLIER_SCORE, robust: bool = False, workers: Optional[int] = None,
               progress: Optional[bool] = None, **options: Any) -> "SeriesResult":
    """Fit one circuit along a series of spectra.

    Parameters
    ----------
    circuit : Circuit or str
        The circuit; without values it starts from the learned guess where a
        built-in model matches its topology.
    spectra : DataFrame, sequence, dict or path
        A long battery-data dataframe told apart by `key` (as
        ``kelvra.io.read_series`` returns, whose "Spectrum" column is the
        default key), a sequence of ``kelvra.io.Spectrum`` or of
        (frequencies, impedances) pairs, a dict of pairs (its keys become the
        key), or a file or directory to read with ``kelvra.io.read_spectra``.
    key : str, optional
        The column (or, for spectra read from files, the metadata entry such
        as "cycle") that names each spectrum.
    order_arcs : bool
        Report interchangeable arcs fastest first (default True).
    level : float
        The coverage of the parameter intervals.
    bootstrap : int, optional
        Residual-bootstrap refits per spectrum for the intervals, instead of
        the linearised ones.
    seed : int, optional
        Seeds the bootstrap and any random starts of the fits.
    outlier_score : float
        The robust score above which a spectrum breaks a trajectory (see `outliers`).
    robust : bool
        Fit from the circuit's own start with ``kelvra.robust.robust_fit``
        (nested models, relaxation-time peaks, a short global search), and
        judge each kept fit with the nested fits it made.
    workers : int, optional
        Threads for the fits from the circuit's own start.
    progress : bool, optional
        Show a progress bar (tqdm).
    **options
        Passed to every ``Circuit.fit``.

    Returns
    -------
    SeriesResult

    Raises
    ------
    ValueError
        For a circuit string that does not parse, or spectra without a key.
    """
    from ._threads import map_in_threads, thread_count
    from .arcs import order_report
    from .uncertainty import report_uncertainty

    if isinstance(circuit, str):
        circuit = _core.Circuit(circuit)
    key_name, items = _items(spectra, key)
    if seed is not None:
        options = {**options, "seed": seed}

    def own_fit(i: int) -> Any:
        """(FitResult, nested fits for the verdict), or the error."""
        if items[i].error:
            return ValueError(items[i].error)
        try:
            if robust:
                from .robust import robust_fit

                found = robust_fit(circuit, items[i].frequencies, items[i].impedances, **options)
                return found.result, found.nested
            return circuit.fit(items[i].frequencies, items[i].impedances, **options), ()
        except ValueError as error:
            return error

    # The fits from the circuit's own start do not depend on each other.
    own = map_in_threads(own_fit, len(items), thread_count(workers), progress)
    reports: List[Any] = []
    starts: List[str] = []
    errors: List[str] = []
    previous = None
    for item, fresh in zip(items, own):
        warm = None
        if previous is not None and not item.error:
            try:
                warm = previous.fit(item.frequencies, item.impedances, **options)
            except ValueError:
                warm = None
        fresh_result, nested = (None, ()) if isinstance(fresh, BaseException) else fresh
        best = _better(fresh_result, warm)
        if best is None:
            reports.append(None)
            starts.append("")
            errors.append(str(fresh))
            continue
        report = _report_from_result(best, item.frequencies, item.impedances, options, item.source, item.sweep)
        if order_arcs:
            report = order_report(report)
        report = _judged(report, nested)
        reports.append(report)
        starts.append(START_PREVIOUS if best is warm else START_OWN)
        errors.append("")
        previous = report.fitted_circuit
    uncertainties = [None if report is None else
                     _uncertainty(report_uncertainty, report, bootstrap, seed, level, workers)
                     for report in reports]
    return SeriesResult(_core_text(circuit), key_name, [item.key for item in items], reports, uncertainties,
                        starts, errors, level, outlier_score)


def _core_text(circuit: Any) -> str:
    return circuit.text


def _uncertainty(compute: Any, report: Any, bootstrap: Optional[int], seed: Optional[int], level: float,
                 workers: Optional[int]) -> Optional[Uncertainty]:
    try:
        return compute(report, bootstrap_count=bootstrap, seed=seed, level=level, workers=workers)
    except ValueError:
        return None


# --- outliers -------------------------------------------------------------------

def _spike_residuals(values: np.ndarray, half: int) -> np.ndarray:
    """How far each value lies off the trajectory on both sides of it.

    The `half` values before a point, carried forward along the local step
    (the median step near it, leaving out the two steps that touch the point
    itself), say where the point should lie; so do the `half` values after
    it, carried back. The residual is the smaller of the two distances when
    both say the point is off to the same side, else 0: a point that only
    one side disagrees with starts or ends a jump rather than leaving the
    trajectory. The first and last points have one side, which decides.
    """
    # Plain floats: the windows hold a handful of values, for which NumPy's
    # median costs a hundred times what the arithmetic does.
    x = [float(v) for v in values]
    finite = [math.isfinite(v) for v in x]
    count = len(x)
    steps = [x[k + 1] - x[k] for k in range(count - 1)]
    out = np.zeros(count)
    for i in range(count):
        if not finite[i]:
            continue
        near = [steps[k] for k in range(max(0, i - half - 1), min(count - 1, i + half + 1))
                if k not in (i - 1, i) and math.isfinite(steps[k])]
        slope = median(near) if near else 0.0
        sides = []
        for js in (range(max(0, i - half), i), range(i + 1, min(count, i + half + 1))):
            carried = [x[j] + slope * (i - j) for j in js if finite[j]]
            if carried:
                sides.append(x[i] - median(carried))
        if len(sides) == 1:
            out[i] = sides[0]
        elif len(sides) == 2 and sides[0] * sides[1] > 0:
            out[i] = min(sides, key=abs)
    return out


def _robust_scale(values: np.ndarray) -> float:
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return math.nan
    return MAD_TO_SIGMA * float(np.median(np.abs(finite - np.median(finite))))


def trajectory_scores(values: Any, stderr: Any = None) -> Tuple[np.ndarray, np.ndarray]:
    """Robust scores of one parameter's trajectory: (spike, step) per spectrum.

    The values are taken on a log scale when all are positive, so a
    resistance that grows tenfold counts as evenly along the series as one
    that grows by a constant. The spike score of a spectrum is how far both
    its neighbours before and those after put it off the trajectory (see
    `_spike_residuals`); the step
    score is the difference from the previous spectrum, less the median step.
    Each is divided by the median absolute deviation of all such distances
    (scaled to a normal standard deviation), or by the median standard
    error of the parameter when that is larger, so a noise-free series does
    not make every wobble an outlier. The first spectrum has no step score (0).
    """
    x = np.asarray(values, dtype=np.float64)
    se = np.full(len(x), np.nan) if stderr is None else np.asarray(stderr, dtype=np.float64)
    finite = x[np.isfinite(x)]
    if finite.size and np.all(finite > 0):
        with np.errstate(divide="ignore", invalid="ignore"):
            se = se / x
            x = np.log(x)
    floor = float(np.nanmedian(se)) if np.any(np.isfinite(se)) else 0.0

    def scores(distance: np.ndarray) -> np.ndarray:
        scale = max(_robust_scale(distance), floor)
        if not scale > 0:
            return np.zeros(len(distance))
        return np.nan_to_num(np.abs(distance) / scale, nan=0.0)

    spike = scores(_spike_residuals(x, MEDIAN_HALF_WINDOW))
    steps = np.diff(x)
    finite_steps = steps[np.isfinite(steps)]
    step = np.zeros(len(x))
    if finite_steps.size:
        step[1:] = scores(steps - np.median(finite_steps))
    return spike, step


def outliers(table: Any, names: Sequence[str], threshold: float = OUTLIER_SCORE) -> Tuple[np.ndarray, np.ndarray]:
    """Which spectra break the trajectories: (outlier, jump) as boolean arrays.

    A spectrum is an outlier when any parameter's spike score (see
    `trajectory_scores`) exceeds `threshold`: it disagrees with its
    neighbours on both sides. It marks a jump when a step score exceeds the
    threshold at a spectrum that is no outlier, nor follows one: the
    trajectory moved there and stayed. Rows without a fit are neither.
    """
    count = len(table)
    outlier = np.zeros(count, dtype=bool)
    jump = np.zeros(count, dtype=bool)
    for name in names:
        spike, step = trajectory_scores(table[name].to_numpy(), table[f"{name}_stderr"].to_numpy())
        outlier |= spike > threshold
        jump |= step > threshold
    after_outlier = np.zeros(count, dtype=bool)
    after_outlier[1:] = outlier[:-1]
    return outlier, jump & ~outlier & ~after_outlier


# --- the result -------------------------------------------------------------------

class SeriesResult:
    """The fits of a series and their trajectories.

    ``table`` is a DataFrame indexed by the key with, per parameter, its
    value, "<name>_stderr", and "<name>_low" and "<name>_high" (the interval
    of ``level``); then "chi_square", "success", "trusted", "outlier",
    "jump", "start" (which start the kept fit came from: "previous" or
    "own"), "file", "sweep" and "error" (why a spectrum has no fit).
    ``reports`` holds each spectrum's FitReport (None where the fit failed)
    and ``uncertainties`` their Uncertainty.
    """

    def __init__(self, circuit: str, key: str, keys: Sequence[Any], reports: Sequence[Any],
                 uncertainties: Sequence[Optional[Uncertainty]], starts: Sequence[str], errors: Sequence[str],
                 level: float = DEFAULT_LEVEL, outlier_score: float = OUTLIER_SCORE) -> None:
        self.circuit = circuit
        self.key = key
        self.keys = list(keys)
        self.reports = list(reports)
        self.uncertainties = list(uncertainties)
        self.level = level
        self.names = list(_core.Circuit(circuit).param_names())
        self.units = list(_core.Circuit(circuit).param_units())
        self.table = self._table(starts, errors, outlier_score)

    def _table(self, starts: Sequence[str], errors: Sequence[str], outlier_score: float) -> Any:
        import pandas

        count = len(self.keys)
        columns: Dict[str, Any] = {}
        for name in self.names:
            for suffix in ("", "_stderr", "_low", "_high"):
                columns[name + suffix] = np.full(count, np.nan)
        chi_square = np.full(count, np.nan)
        success = np.zeros(count, dtype=bool)
        trust = np.zeros(count, dtype=bool)
        files = np.empty(count, dtype=object)
        sweeps = np.empty(count, dtype=object)
        for i, (report, spread) in enumerate(zip(self.reports, self.uncertainties)):
            if report is None:
                continue
            chi_square[i], success[i], trust[i] = report.chi_square, report.success, trusted(report)
            files[i], sweeps[i] = report.source, report.sweep
            for p in report.parameters:
                columns[p.name][i] = p.value
                columns[f"{p.name}_stderr"][i] = p.stderr
            if spread is not None:
                for j, name in enumerate(spread.names):
                    columns[f"{name}_low"][i] = spread.low[j]
                    columns[f"{name}_high"][i] = spread.high[j]
                    if spread.method == "bootstrap":
                        columns[f"{name}_stderr"][i] = spread.stderr[j]
        table = pandas.DataFrame(columns, index=pandas.Index(self.keys, name=self.key))
        table["chi_square"] = chi_square
        table["success"] = success
        table["trusted"] = trust
        outlier, jump = outliers(table, self.names, outlier_score)
        table["outlier"] = outlier
        table["jump"] = jump
        table["start"] = list(starts)
        table["file"] = files
        table["sweep"] = sweeps
        table["error"] = list(errors)
        return table

    def __len__(self) -> int:
        return len(self.keys)

    def to_frame(self) -> Any:
        return self.table

    def __repr__(self) -> str:
        fitted = sum(r is not None for r in self.reports)
        return (f"SeriesResult({self.circuit!r}, {len(self)} spectra by {self.key!r}: {fitted} fitted, "
                f"{int(self.table['trusted'].sum())} trusted, {int(self.table['outlier'].sum())} outliers)")

    def _repr_html_(self) -> str:
        return f"<p>{_escape(repr(self))}</p>" + self.table.to_html(max_rows=20)

    def plot(self, names: Optional[Sequence[str]] = None, *, fig: Any = None, area: Optional[float] = None) -> Any:
        """Each parameter against the key, with its interval as a band;
        outliers marked with a cross, untrusted fits hollow. `area` (cm²)
        normalises the parameters to it. Returns the figure."""
        from .plot import trajectories

        return trajectories(self, names, fig=fig, area=area)

    def drt_map(self, *, ax: Any = None, **drt_options: Any) -> Any:
        """γ(τ) of every spectrum against the key as a heat map (needs ``kelvra.drt``). Returns the axes."""
        from .plot import drt_map

        return drt_map(self, ax=ax, **drt_options)


def _escape(text: str) -> str:
    import html

    return html.escape(text)
