"""``kelvra drt FILE...``: the DRT of every spectrum of the files.

Prints one line per spectrum (its verdict, R_inf, L, the polarisation
resistance and lambda) and one per peak. ``--out RESULTS.json`` writes, per
spectrum, gamma(tau), the peaks and the scalars; ``--out RESULTS.csv``
writes gamma(tau) of every spectrum as long rows to RESULTS.csv and the
peaks to RESULTS_peaks.csv beside it. ``--plot DIR`` saves the data, the
model's Nyquist curve, gamma(tau) and the residuals of each spectrum as a
PNG in DIR.
"""
from __future__ import annotations

import argparse
import csv
import json
import os
from typing import Any, Dict, List, Tuple

from . import _command_checks as checks


def add_arguments(parser: argparse.ArgumentParser, formats: List[str], results_path: Any) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="measured spectra in any format kelvra.io reads, or directories of them")
    parser.add_argument("--method", choices=("gcv", "mgcv", "re-im"), default="gcv",
                        help="how lambda is chosen (default gcv)")
    parser.add_argument("--lambda", dest="lambda_", type=checks.positive, metavar="LAMBDA",
                        help="use this lambda instead of choosing one")
    parser.add_argument("--penalty", choices=("first", "second", "value"), default="first",
                        help="what the regularisation squares: a derivative of gamma or gamma (default first)")
    parser.add_argument("--signed", action="store_true", help="allow negative gamma (inductive loops)")
    parser.add_argument("--format", choices=formats, help="the files' format instead of detecting it")
    parser.add_argument("--out", type=results_path, metavar="RESULTS",
                        help="write gamma(tau) and the peaks of every spectrum to RESULTS (.csv or .json)")
    parser.add_argument("--plot", metavar="DIR", help="save a figure of each spectrum's DRT in DIR")


def options(args: argparse.Namespace) -> Dict[str, Any]:
    chosen: Dict[str, Any] = {"method": args.method, "penalty": args.penalty, "nonnegative": not args.signed}
    if args.lambda_ is not None:
        chosen["lambda_"] = args.lambda_
    return chosen


def describe(name: str, result: Any) -> str:
    lines = [f"{name}: {result.verdict}; R_inf {result.r_inf:.6g} ohm, L {result.inductance:.4g} H, "
             f"R_pol {result.polarization_resistance:.6g} ohm, lambda {result.lambda_:.3g}"]
    for peak in result.peaks:
        lines.append(f"  peak at tau {peak.tau:.4g} s ({peak.frequency:.4g} Hz): R {peak.resistance:.6g} ohm, "
                     f"width {peak.width:.3g} decades")
    return "\n".join(lines)


def _record(spectrum: Any, result: Any) -> Dict[str, Any]:
    return {"file": spectrum.path, "sweep": spectrum.metadata.get("sweep"), "verdict": result.verdict,
            "trustworthy": result.trustworthy, "r_inf": result.r_inf, "inductance": result.inductance,
            "polarization_resistance": result.polarization_resistance, "lambda": result.lambda_,
            "chi_square": result.chi_square, "tau": [float(t) for t in result.tau],
            "gamma": [float(g) for g in result.gamma],
            "peaks": [{"tau": p.tau, "resistance": p.resistance, "width": p.width, "height": p.height}
                      for p in result.peaks]}


def write_results(done: List[Tuple[Any, Any]], path: str) -> None:
    """JSON: one object per spectrum. CSV: gamma rows in PATH, peak rows in
    PATH's stem + "_peaks.csv"."""
    if path.lower().endswith(".json"):
        with open(path, "w", encoding="utf-8") as out:
            json.dump([_record(s, r) for s, r in done], out, indent=1)
        return
    stem, suffix = os.path.splitext(path)
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["file", "sweep", "tau / s", "gamma / ohm"])
        for spectrum, result in done:
            for tau, gamma in zip(result.tau, result.gamma):
                writer.writerow([spectrum.path, spectrum.metadata.get("sweep"), repr(float(tau)), repr(float(gamma))])
    with open(f"{stem}_peaks{suffix}", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["file", "sweep", "peak", "tau / s", "resistance / ohm", "width / decades", "r_inf / ohm",
                         "inductance / H", "polarization_resistance / ohm", "lambda", "trustworthy"])
        for spectrum, result in done:
            for i, peak in enumerate(result.peaks, start=1):
                writer.writerow([spectrum.path, spectrum.metadata.get("sweep"), i, repr(peak.tau),
                                 repr(peak.resistance), repr(peak.width), repr(result.r_inf),
                                 repr(result.inductance), repr(result.polarization_resistance),
                                 repr(result.lambda_), result.trustworthy])


def save_figure(result: Any, path: str) -> None:
    from matplotlib.figure import Figure

    from kelvra.plot import plot_drt

    plot_drt(result, fig=Figure(figsize=(11, 8), layout="constrained")).savefig(path, dpi=100)


def figure_name(spectrum: Any, taken: set) -> str:
    stem = os.path.splitext(os.path.basename(spectrum.path))[0] + f"_sweep{spectrum.metadata.get('sweep', 0)}_drt"
    name, repeat = stem, 1
    while name in taken:
        repeat += 1
        name = f"{stem}_{repeat}"
    taken.add(name)
    return name + ".png"


def run(args: argparse.Namespace, spectra: List[Any], report_error: Any) -> bool:
    """Takes the DRT of every spectrum (the figure directory, when asked
    for, already exists); returns whether one failed."""
    from kelvra.drt import drt_many

    failed = False
    done: List[Tuple[Any, Any]] = []
    taken: set = set()
    for spectrum, result in zip(spectra, drt_many(spectra, **options(args))):
        name = f"{spectrum.path} (sweep {spectrum.metadata.get('sweep')})"
        if isinstance(result, ValueError):
            report_error(f"{name}: {result}")
            failed = True
            continue
        print(describe(name, result))
        done.append((spectrum, result))
        if args.plot is not None:
            save_figure(result, os.path.join(args.plot, figure_name(spectrum, taken)))
    if args.out is not None:
        try:
            write_results(done, args.out)
        except OSError as error:
            report_error(f"cannot write {args.out!r}: {error.strerror or error}")
            failed = True
    return failed
