"""A fitting report to share: one self-contained HTML file.

`write_report` writes the fits of single spectra, a whole series, or
rankings into one page that needs nothing but a browser: the figures are
inline PNG images and the only script (the one that sorts the summary table
when a column heading is clicked) is inline too. The page holds a summary
table with one row per spectrum, then per spectrum its fit figure, verdict,
parameters with their intervals and its Kramers–Kronig verdict, and for a
series the parameter trajectories (and the DRT map where ``kelvra.drt``
exists). Values are shown in readable units (mΩ, kΩ, ...), normalised to
the electrode area when one is given.
"""
from __future__ import annotations

import base64
import html
import io as _bytes_io
import math
import os
from datetime import datetime, timezone
from types import SimpleNamespace
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .units import format_quantity, per_area

# Resolution of the inline figures: sharp on a screen, small in the file.
FIGURE_DPI = 80
_FIT_FIGURE_SIZE = (9.0, 5.6)
_DASH = "\u2014"
# Correlations of at least this magnitude are listed under a spectrum's parameters.
STRONG_CORRELATION = 0.95

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 72em; color: #222; }
h1 { font-size: 1.6em; } h2 { font-size: 1.3em; margin-top: 2em; } h3 { font-size: 1.1em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.8em 0; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
th { background: #f0f0f0; }
table.sortable th { cursor: pointer; user-select: none; }
table.sortable th:after { content: " \\2195"; color: #999; }
td.text, th.text { text-align: left; }
tr.untrusted td { background: #fff4e0; } tr.outlier td { background: #fde8e8; }
.pass { color: #17692b; } .fail { color: #a61b1b; }
img { max-width: 100%; }
.note { color: #555; font-size: 0.9em; }
"""

# Sorts a table by the column whose heading was clicked: by the cells'
# data-value as numbers where every one is a number, as text otherwise;
# a second click reverses the order.
_SCRIPT = """
document.querySelectorAll("table.sortable").forEach(function (table) {
  table.querySelectorAll("th").forEach(function (heading, column) {
    heading.addEventListener("click", function () {
      var body = table.tBodies[0];
      var rows = Array.prototype.slice.call(body.rows);
      var descending = heading.getAttribute("data-order") === "ascending";
      table.querySelectorAll("th").forEach(function (h) { h.removeAttribute("data-order"); });
      heading.setAttribute("data-order", descending ? "descending" : "ascending");
      var key = function (row) {
        var cell = row.cells[column];
        return cell.hasAttribute("data-value") ? cell.getAttribute("data-value") : cell.textContent;
      };
      var numeric = rows.every(function (row) { return key(row) !== "" && !isNaN(Number(key(row))); });
      rows.sort(function (a, b) {
        var x = key(a), y = key(b);
        var order = numeric ? Number(x) - Number(y) : x.localeCompare(y);
        return descending ? -order : order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
});
"""


def _escape(value: Any) -> str:
    return html.escape(str(value), quote=True)


def figure_png(figure: Any) -> str:
    """A matplotlib figure as an inline <img> element."""
    buffer = _bytes_io.BytesIO()
    figure.savefig(buffer, format="png", dpi=FIGURE_DPI)
    encoded = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="figure" src="data:image/png;base64,{encoded}">'


def _new_figure(size: Tuple[float, float], layout: Optional[str] = "constrained") -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("a report's figures need matplotlib: install the package 'matplotlib'") from None
    return Figure(figsize=size, layout=layout)


class _Scaled:
    """A model whose impedance is another's times a factor, for plotting in other units."""

    def __init__(self, model: Any, factor: float) -> None:
        self.model = model
        self.factor = factor

    def impedance(self, frequencies: Any) -> np.ndarray:
        return np.asarray(self.model.impedance(frequencies)) * self.factor


def fit_figure(report: Any, area: Optional[float] = None) -> Any:
    """Nyquist, Bode and residual plots of one fit, in a readable impedance
    unit (per area when `area` is given). Lighter than ``plot.plot_fit``:
    a fixed layout and no minor ticks, since a report draws one per spectrum."""
    from .plot import bode, nyquist, residuals
    from .units import prefix_scale

    modulus, unit = per_area(np.abs(report.impedances), "ohm", area)
    factor, label = prefix_scale(modulus, unit)
    scale = (1.0 if area is None else area) / factor
    figure = _new_figure(_FIT_FIGURE_SIZE, layout=None)
    (nyquist_ax, modulus_ax), (residual_ax, phase_ax) = figure.subplots(2, 2)
    model = _Scaled(report.fitted_circuit, scale)
    nyquist(report.frequencies, report.impedances * scale, model, ax=nyquist_ax)
    bode(report.frequencies, report.impedances * scale, model, axes=(modulus_ax, phase_ax))
    residuals(report.frequencies, report.impedances, report.fitted_circuit, ax=residual_ax)
    nyquist_ax.set_xlabel(f"Re Z / {label}")
    nyquist_ax.set_ylabel(f"\u2212Im Z / {label}")
    modulus_ax.set_ylabel(f"|Z| / {label}")
    for ax in figure.axes:
        # Minor ticks on log axes cost most of a figure's drawing time.
        ax.minorticks_off()
        ax.grid(False, which="minor")
    figure.subplots_adjust(left=0.08, right=0.98, bottom=0.09, top=0.95, wspace=0.28, hspace=0.3)
    return figure


# --- what each spectrum contributes --------------------------------------------------

def verdict_of(report: Any) -> Tuple[bool, List[str]]:
    """(trusted, reasons) of a report's verdict."""
    return bool(report.verdict.trusted), [str(reason) for reason in report.verdict.reasons]


def _kk(report: Any) -> Optional[Any]:
    from .kk import kramers_kronig

    try:
        return kramers_kronig(report.frequencies, report.impedances)
    except ValueError:
        return None


def _quantity(value: float, unit: str, area: Optional[float]) -> str:
    value, unit = per_area(value, unit, area)
    return format_quantity(value, unit)


def _number(value: float) -> str:
    return f"{value:.6g}" if isinstance(value, float) else str(value)


class _Entry:
    """One spectrum of the report: its label, fit, uncertainty and KK test."""

    def __init__(self, label: str, report: Any, spread: Any = None, outlier: Optional[bool] = None,
                 error: str = "", key: Any = None) -> None:
        self.label = label
        self.report = report
        self.spread = spread
        self.outlier = outlier
        self.error = error
        self.key = key
        self.kk = None if report is None else _kk(report)
        self.trusted, self.reasons = (False, [error]) if report is None else verdict_of(report)


def _spread(report: Any) -> Any:
    from .uncertainty import report_uncertainty

    try:
        return report_uncertainty(report)
    except ValueError:
        return None


# --- the page -------------------------------------------------------------------------

def _columns(entries: Sequence[_Entry], names: Sequence[str], area: Optional[float]) -> Dict[str, Tuple[float, str]]:
    """Per parameter, the (factor, unit label) its summary column is shown
    in: one readable prefix for the whole column."""
    from .units import prefix_scale

    found: Dict[str, Tuple[str, List[float]]] = {}
    for entry in entries:
        for p in () if entry.report is None else entry.report.parameters:
            unit, values = found.setdefault(p.name, (p.unit, []))
            values.append(p.value)
    columns = {}
    for name in names:
        unit, values = found.get(name, ("-", []))
        shown, shown_unit = per_area(values, unit, area)
        columns[name] = prefix_scale(shown, shown_unit)
    return columns


def _summary(entries: Sequence[_Entry], names: Sequence[str], area: Optional[float], series: bool,
             key: str) -> str:
    circuits = {entry.report.circuit for entry in entries if entry.report is not None}
    # One circuit for every row goes in the heading above, not in each row.
    show_circuit = len(circuits) > 1
    columns = _columns(entries, names, area)
    headings = [key if series else "spectrum", *(["circuit"] if show_circuit else []), "\u03c7\u00b2", "success",
                "trusted", *(["outlier"] if series else []), "Kramers\u2013Kronig"]
    text_columns = 2 if show_circuit else 1
    head = "".join(f'<th class="{"text" if i < text_columns else ""}">{_escape(h)}</th>'
                   for i, h in enumerate(headings))
    head += "".join(f"<th>{_escape(name)}<br>{_escape(label)}</th>" if label not in ("-", "") else
                    f"<th>{_escape(name)}</th>" for name, (_, label) in columns.items())
    rows = []
    for position, entry in enumerate(entries):
        report = entry.report
        classes = [c for c, on in (("untrusted", not entry.trusted), ("outlier", bool(entry.outlier))) if on]
        sort_key = entry.key if series and isinstance(entry.key, (int, float)) else position
        cells = [f'<td class="text" data-value="{_escape(sort_key)}"><a href="#spectrum-{position}">'
                 f'{_escape(entry.label)}</a></td>']
        if show_circuit:
            cells.append(f'<td class="text">{_escape(report.circuit if report is not None else "")}</td>')
        chi = report.chi_square if report is not None else math.nan
        cells.append(f'<td data-value="{chi if math.isfinite(chi) else ""}">{_escape(f"{chi:.4g}")}</td>')
        cells.append(f"<td>{'yes' if report is not None and report.success else 'no'}</td>")
        cells.append(f"<td>{'yes' if entry.trusted else 'no'}</td>")
        if series:
            cells.append(f"<td>{'yes' if entry.outlier else 'no'}</td>")
        if entry.kk is None:
            cells.append('<td data-value="">\u2014</td>')
        else:
            word = "pass" if entry.kk.valid else "fail"
            cells.append(f'<td class="{word}" data-value="{entry.kk.max_residual}">{word} '
                         f"({100 * entry.kk.max_residual:.2g} %)</td>")
        values = {} if report is None else {p.name: p for p in report.parameters}
        for name, (factor, _) in columns.items():
            p = values.get(name)
            shown = math.nan if p is None else per_area(p.value, p.unit, area)[0]
            if not math.isfinite(shown):
                cells.append(f'<td data-value="">{_DASH if p is None else _escape(shown)}</td>')
                continue
            cells.append(f'<td data-value="{shown}">{shown / factor:.4g}</td>')
        rows.append(f'<tr class="{" ".join(classes)}">{"".join(cells)}</tr>')
    return (f'<table class="sortable" id="summary"><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(rows)}</tbody></table>')


def _parameter_table(entry: _Entry, area: Optional[float]) -> str:
    report, spread = entry.report, entry.spread
    level = f"{spread.level:.0%} interval" if spread is not None else "interval"
    lines = [f"<table><thead><tr><th class='text'>parameter</th><th>value</th><th>standard error</th>"
             f"<th>{_escape(level)}</th><th class='text'>flags</th></tr></thead><tbody>"]
    for i, p in enumerate(report.parameters):
        interval = "\u2014"
        if spread is not None and p.name in spread.names:
            j = spread.names.index(p.name)
            interval = f"{_quantity(spread.low[j], p.unit, area)} \u2026 {_quantity(spread.high[j], p.unit, area)}"
        flags = [flag.replace("_", " ") for flag in p.flags]
        lines.append(f"<tr><td class='text'>{_escape(p.name)}</td><td>{_escape(_quantity(p.value, p.unit, area))}"
                     f"</td><td>{_escape(_quantity(p.stderr, p.unit, area))}</td><td>{_escape(interval)}</td>"
                     f"<td class='text'>{_escape(' '.join(flags))}</td></tr>")
    lines.append("</tbody></table>")
    if spread is not None:
        corr = spread.correlation
        strong = [f"{spread.names[a]} and {spread.names[b]}: {corr[a, b]:+.3f}"
                  for a in range(len(spread.names)) for b in range(a + 1, len(spread.names))
                  if abs(corr[a, b]) >= STRONG_CORRELATION]
        if strong:
            lines.append(f"<p class='note'>Strongly correlated: {_escape('; '.join(strong))}.</p>")
    return "".join(lines)


def _spectrum_section(position: int, entry: _Entry, area: Optional[float], figure: bool) -> str:
    parts = [f'<section id="spectrum-{position}"><h3>{_escape(entry.label)}</h3>']
    if entry.report is None:
        parts.append(f"<p class='fail'>Not fitted: {_escape(entry.error)}</p></section>")
        return "".join(parts)
    report = entry.report
    word, cls = ("trusted", "pass") if entry.trusted else ("not trusted", "fail")
    reasons = f": {'; '.join(entry.reasons)}" if entry.reasons else ""
    parts.append(f"<p>{_escape(report.circuit)}, \u03c7\u00b2 = {_escape(_number(report.chi_square))}, "
                 f"<span class='{cls}'>{word}</span>{_escape(reasons)}"
                 f"{', an outlier of the series' if entry.outlier else ''}.</p>")
    if entry.kk is not None:
        cls = "pass" if entry.kk.valid else "fail"
        parts.append(f"<p>Kramers\u2013Kronig: <span class='{cls}'>{_escape(entry.kk.verdict)}</span>, "
                     f"\u03bc = {entry.kk.mu:.3f}, {entry.kk.n_elements} RC elements.</p>")
    if figure:
        parts.append(figure_png(fit_figure(report, area)))
    parts.append(_parameter_table(entry, area))
    parts.append("</section>")
    return "".join(parts)


def _page(title: str, body: Sequence[str]) -> str:
    generated = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return ("<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>"
            "<link rel='icon' href='data:,'>"
            f"<title>{_escape(title)}</title><style>{_STYLE}</style></head><body>"
            f"<h1>{_escape(title)}</h1><p class='note'>Written by kelvra on {generated}.</p>"
            + "".join(body) + f"<script>{_SCRIPT}</script></body></html>\n")


def _names(entries: Sequence[_Entry]) -> List[str]:
    names: Dict[str, None] = {}
    for entry in entries:
        if entry.report is not None:
            names.update(dict.fromkeys(p.name for p in entry.report.parameters))
    return list(names)


def _label(report: Any) -> str:
    source = os.path.basename(report.source) if report.source else "spectrum"
    return f"{source} (sweep {report.sweep})"


def render(reports: Sequence[Any] = (), *, series: Any = None, rankings: Sequence[Any] = (),
           area: Optional[float] = None, title: Optional[str] = None, figures: Optional[int] = None,
           failures: Sequence[Tuple[str, str]] = ()) -> str:
    """The report as an HTML document (see `write_report`)."""
    entries: List[_Entry] = []
    body: List[str] = []
    if series is not None:
        for i, key in enumerate(series.keys):
            report = series.reports[i]
            label = f"{series.key} {key}"
            entries.append(_Entry(label, report, series.uncertainties[i], bool(series.table["outlier"].iloc[i]),
                                  str(series.table["error"].iloc[i]), key))
    for report in reports:
        entries.append(_Entry(_label(report), report, _spread(report)))
    for ranking, spectrum in rankings:
        best = _ranked_report(ranking, spectrum)
        if best is not None:
            entries.append(_Entry(_label(best), best, _spread(best)))
    for source, message in failures:
        entries.append(_Entry(source, None, error=message))
    if title is None:
        title = f"kelvra series: {series.circuit}" if series is not None else "kelvra fitting report"
    notes = []
    if area is not None:
        notes.append(f"Parameters normalised to an electrode area of {area:g} cm\u00b2.")
    notes.append("Rows of untrusted fits are shaded; click a column heading to sort.")
    body.append(f"<p class='note'>{_escape(' '.join(notes))}</p>")
    body.append("<h2>Summary</h2>")
    body.append(_summary(entries, _names(entries), area, series is not None,
                         series.key if series is not None else "spectrum"))
    if series is not None:
        body.append(_series_section(series, area))
    if rankings:
        body.append(_rankings_section(rankings))
    body.append("<h2>Spectra</h2>")
    for position, entry in enumerate(entries):
        body.append(_spectrum_section(position, entry, area, figures is None or position < figures))
    return _page(title, body)


def _series_section(series: Any, area: Optional[float]) -> str:
    from .plot import drt_map

    parts = ["<h2>Trajectories</h2>", figure_png(series.plot(fig=_new_figure((10.0, 2.6 * _rows(series))),
                                                             area=area))]
    counts = series.table[["trusted", "outlier", "jump"]].sum()
    parts.append(f"<p class='note'>{len(series)} spectra, {int(counts['trusted'])} trusted, "
                 f"{int(counts['outlier'])} outliers, {int(counts['jump'])} jumps; bands are the "
                 f"{series.level:.0%} intervals.</p>")
    try:
        figure = _new_figure((10.0, 4.5))
        drt_map(series, ax=figure.add_subplot())
        parts += ["<h2>Distribution of relaxation times</h2>", figure_png(figure)]
    except ImportError:
        pass
    return "".join(parts)


def _rows(series: Any) -> int:
    return max(1, -(-len(series.names) // 2))


def _ranked_report(ranking: Any, spectrum: Any) -> Any:
    """The best model's fit of a ranking as a report (None when none ran)."""
    from .io import as_spectrum
    from .series import _report_from_result

    best = ranking.best
    if best.error or best.fitted is None:
        return None
    measured = as_spectrum(spectrum)
    frequencies, impedances = measured.frequencies, measured.impedances
    # The ranking keeps the fitted circuit and figures, not the FitResult.
    result = SimpleNamespace(circuit=best.fitted, params=best.params, stderr=best.stderr,
                             chi_square=best.chi_square, success=best.success, iterations=0, impedance_evals=0)
    return _report_from_result(result, frequencies, impedances, {}, ranking.source, ranking.sweep)


def _rankings_section(rankings: Sequence[Any]) -> str:
    parts = ["<h2>Rankings</h2>"]
    for ranking, _ in rankings:
        label = f"{os.path.basename(getattr(ranking, 'source', '') or 'spectrum')} (sweep {getattr(ranking, 'sweep', 0)})"
        parts.append(f"<h3>{_escape(label)}</h3>")
        parts.append(f"<pre>{_escape(ranking.text())}</pre>")
    return "".join(parts)


def write_report(path: Any, reports: Sequence[Any] = (), *, series: Any = None, rankings: Sequence[Any] = (),
                 area: Optional[float] = None, title: Optional[str] = None, figures: Optional[int] = None,
                 failures: Sequence[Tuple[str, str]] = ()) -> str:
    """Write a self-contained HTML report and return its path.

    Parameters
    ----------
    path : str or os.PathLike
        The HTML file to write.
    reports : sequence of FitReport
        Fits of single spectra.
    series : SeriesResult, optional
        A fitted series: its spectra, trajectories and outliers.
    rankings : sequence of (Ranking, spectrum)
        Rankings of models with the spectrum each ranked (a
        ``kelvra.io.Spectrum`` or a (frequencies, impedances) pair); each
        adds its table and its best model's fit.
    area : float, optional
        Electrode area in cm²: parameters are shown per area (Ω·cm², F/cm²).
    title : str, optional
        The page's title.
    figures : int, optional
        Draw the fit figure of only the first `figures` spectra (each takes
        a fraction of a second); None draws all.
    failures : sequence of (source, message)
        Inputs that could not be read or fitted, listed with their reason.

    Returns
    -------
    str
        `path`.

    Raises
    ------
    OSError
        When the file cannot be written.
    """
    document = render(reports, series=series, rankings=rankings, area=area, title=title, figures=figures,
                      failures=failures)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(document)
    return os.fspath(path)
