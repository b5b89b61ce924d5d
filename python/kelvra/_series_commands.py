"""The command-line side of series and reports: ``kelvra series``,
``kelvra report``, and the ``--report``/``--area`` options that ``kelvra
fit`` and ``kelvra rank`` share. ``kelvra.__main__`` only registers them.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, List, Optional, Sequence, Tuple

from . import _command_checks as checks

EXIT_OK = 0
EXIT_INPUT_FAILED = 1
EXIT_USAGE = 2
HTML_SUFFIXES = (".html", ".htm")
TABLE_SUFFIXES = (".csv", ".json")


def _error(message: str) -> None:
    print(f"kelvra: {message}", file=sys.stderr)


def html_path(text: str) -> str:
    if not text.casefold().endswith(HTML_SUFFIXES):
        raise argparse.ArgumentTypeError(f"expected a file name ending in .html, found {text!r}")
    return text


def area(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive electrode area in cm^2, found {text!r}")
    return value


def add_report_arguments(parser: argparse.ArgumentParser) -> None:
    """--report FILE.html and --area CM2."""
    parser.add_argument("--report", type=html_path, metavar="FILE.html",
                        help="also write a self-contained HTML report of the fits")
    parser.add_argument("--area", type=area, metavar="CM2",
                        help="electrode area in cm^2: the report shows parameters per area (ohm*cm^2, F/cm^2)")


def write_report_of(args: argparse.Namespace, reports: Sequence[Any] = (), *, series: Any = None,
                    rankings: Sequence[Tuple[Any, Any]] = (), failures: Sequence[Tuple[str, str]] = ()) -> bool:
    """Writes the report `args` asks for (nothing when it asks for none);
    False when it could not be written, which has then been said."""
    if getattr(args, "report", None) is None:
        return True
    from .html_report import write_report

    try:
        write_report(args.report, reports, series=series, rankings=rankings, area=args.area, failures=failures)
    except (OSError, ImportError) as error:
        _error(f"cannot write the report {args.report}: {error}")
        return False
    return True


# ---- kelvra series

def add_series_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", metavar="FILE|DIR",
                        help="a file of several sweeps, or a directory of measured files, in any format kelvra.io "
                             "reads")
    parser.add_argument("--circuit", required=True, help='circuit string such as "R0-(R1,CPE1)", or a model name')
    parser.add_argument("--key", help='the column that names each spectrum: "Spectrum" (the default: its place in '
                                      'the series), "Cycle", "Sweep" or "File"')
    parser.add_argument("--order", choices=("time", "name"), default="time",
                        help="order of a directory's files: by the start time they record (default), or by name")
    parser.add_argument("--format", help="the files' format instead of detecting it")
    parser.add_argument("--seed", type=checks.seed, help="seed of the random starts, for repeatable fits")
    parser.add_argument("--bootstrap", type=checks.count, metavar="N",
                        help="intervals from N residual-bootstrap refits per spectrum instead of the linearised ones")
    parser.add_argument("--robust", action="store_true",
                        help="fit each spectrum's own start robustly (nested models, DRT peaks, a short global "
                             "search): slower, for spectra the plain fit may trap")
    parser.add_argument("--no-arc-order", action="store_true",
                        help="report interchangeable arcs as fitted, not ordered by time constant")
    parser.add_argument("--workers", type=checks.count, metavar="N", help="fit on N threads (default: every usable core)")
    parser.add_argument("--out", metavar="TRAJECTORIES",
                        help="write the trajectory table (.csv or .json, one row per spectrum)")
    parser.add_argument("--plot", metavar="DIR", help="write trajectories.png (and drt_map.png) into DIR")
    add_report_arguments(parser)


def _series_text(series: Any) -> str:
    """The trajectory table for a terminal: key, chi-square, verdict, and each parameter's value."""
    table = series.table
    columns = [*series.names, "chi_square", "trusted", "outlier"]
    return table[columns].to_string(float_format=lambda v: f"{v:.4g}")


def run_series(args: argparse.Namespace) -> int:
    import kelvra
    from kelvra import io
    from kelvra.series import fit_series

    try:
        circuit = kelvra.Circuit(args.circuit)
    except ValueError as error:
        _error(f"invalid circuit {args.circuit!r}:\n{error}")
        return EXIT_USAGE
    if args.out is not None and not args.out.casefold().endswith(TABLE_SUFFIXES):
        _error(f"expected a file name ending in .csv or .json for --out, found {args.out!r}")
        return EXIT_USAGE
    if args.bootstrap is not None and args.bootstrap < 2:
        _error("--bootstrap needs at least 2 refits")
        return EXIT_USAGE
    try:
        frame = io.read_series(args.source, args.format, order=args.order)
    except (OSError, ValueError) as error:
        _error(str(error))
        return EXIT_INPUT_FAILED
    key = args.key or "Spectrum"
    if key not in frame.columns:
        keys = [name for name in ("Spectrum", "File", "Sweep", "Cycle") if name in frame.columns]
        _error(f"no key column {key!r} in this series; it has {', '.join(keys)}")
        return EXIT_USAGE
    options = {} if args.seed is None else {"seed": args.seed}
    result = fit_series(circuit, frame, key=key, order_arcs=not args.no_arc_order, bootstrap=args.bootstrap,
                        robust=args.robust, workers=args.workers, **options)
    print(_series_text(result))
    print(f"{result.circuit}: {len(result)} spectra, {int(result.table['trusted'].sum())} trusted, "
          f"{int(result.table['outlier'].sum())} outliers, {int(result.table['jump'].sum())} jumps")
    failed = bool((result.table["error"] != "").any())
    for index, message in result.table["error"][result.table["error"] != ""].items():
        _error(f"{key} {index}: {message}")
    if args.out is not None:
        if args.out.casefold().endswith(".json"):
            result.table.reset_index().to_json(args.out, orient="records", indent=1)
        else:
            result.table.to_csv(args.out)
    if args.plot is not None and not _series_figures(result, args.plot, args.area):
        failed = True
    if not write_report_of(args, series=result):
        failed = True
    return EXIT_INPUT_FAILED if failed else EXIT_OK


def _series_figures(result: Any, directory: str, electrode_area: Optional[float]) -> bool:
    from matplotlib.figure import Figure

    try:
        os.makedirs(directory, exist_ok=True)
        result.plot(fig=Figure(figsize=(10, 2.6 * max(1, -(-len(result.names) // 2))), layout="constrained"),
                    area=electrode_area).savefig(os.path.join(directory, "trajectories.png"), dpi=100)
    except OSError as error:
        _error(f"cannot write figures into {directory}: {error}")
        return False
    try:
        figure = Figure(figsize=(9, 4.5), layout="constrained")
        result.drt_map(ax=figure.add_subplot())
        figure.savefig(os.path.join(directory, "drt_map.png"), dpi=100)
    except ImportError:
        pass  # no DRT in this installation
    return True


# ---- kelvra report

def add_report_command_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="saved fits (.json, as save_fit and kelvra fit --out write them), or measured spectra "
                             "to fit with --circuit")
    parser.add_argument("--circuit", help="circuit to fit to the measured spectra among the inputs")
    parser.add_argument("--seed", type=checks.seed, help="seed of the random starts, for repeatable fits")
    parser.add_argument("--out", type=html_path, required=True, metavar="FILE.html", help="the report to write")
    parser.add_argument("--area", type=area, metavar="CM2",
                        help="electrode area in cm^2: parameters per area (ohm*cm^2, F/cm^2)")
    parser.add_argument("--title", help="the report's title")


def _saved(path: str) -> List[Any]:
    from kelvra.saving import load_fit

    try:
        loaded = load_fit(path)
    except (OSError, ValueError):
        raise
    except Exception as error:  # a file that is JSON but no saved fit can fail in any of its fields
        raise ValueError(f"{path}: not a saved fit ({type(error).__name__}: {error})") from None
    return list(loaded) if isinstance(loaded, (list, tuple)) else [loaded]


def run_report(args: argparse.Namespace) -> int:
    import kelvra
    from kelvra.fitting import fit_file
    from kelvra.html_report import write_report

    circuit = None
    if args.circuit is not None:
        try:
            circuit = kelvra.Circuit(args.circuit)
        except ValueError as error:
            _error(f"invalid circuit {args.circuit!r}:\n{error}")
            return EXIT_USAGE
    reports: List[Any] = []
    failures: List[Tuple[str, str]] = []
    for path in args.inputs:
        try:
            if path.casefold().endswith(".json"):
                reports.extend(_saved(path))
            elif circuit is None:
                failures.append((path, "a measured spectrum needs --circuit to be fitted"))
            else:
                options = {} if args.seed is None else {"seed": args.seed}
                reports.extend(fit_file(path, circuit, **options))
        except (OSError, ValueError) as error:
            failures.append((path, str(error)))
    for path, message in failures:
        _error(f"{path}: {message}" if not message.startswith(path) else message)
    try:
        write_report(args.out, reports, area=args.area, title=args.title, failures=failures)
    except OSError as error:
        _error(f"cannot write the report {args.out}: {error}")
        return EXIT_INPUT_FAILED
    print(f"{args.out}: {len(reports)} fits, {len(failures)} failed inputs")
    return EXIT_INPUT_FAILED if failures else EXIT_OK
