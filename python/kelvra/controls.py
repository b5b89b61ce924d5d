"""The fit controls of the command line: start values, fixed parameters,
bounds, a frequency window and dropping inductive points.

``--start R0.r=0.01,R1.r=0.02``, ``--fix CPE1.alpha=0.9`` (or a bare name,
held at its start value), ``--bounds CPE1.alpha=0.5:1`` (either side empty
for the physical bound); each option may be repeated. The values are checked
against the circuit by ``Circuit.fit``; this module reads the text and
checks the names, so that a typo stops the run before any file is read.
"""
from __future__ import annotations

import argparse
import difflib
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from . import _command_checks as checks

Bounds = Tuple[Optional[float], Optional[float]]


def _items(texts: Optional[Sequence[str]]) -> List[str]:
    return [item.strip() for text in texts or () for item in text.split(",") if item.strip()]


def _number(text: str, option: str, item: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{option} {item!r}: {text!r} is not a number") from None


def parse_values(texts: Optional[Sequence[str]], option: str = "--start") -> Dict[str, float]:
    """{name: value} from "NAME=VALUE" items."""
    values: Dict[str, float] = {}
    for item in _items(texts):
        name, equals, value = item.partition("=")
        if not equals or not name.strip():
            raise ValueError(f"{option} {item!r}: expected NAME=VALUE")
        values[name.strip()] = _number(value.strip(), option, item)
    return values


def parse_fixed(texts: Optional[Sequence[str]]) -> Union[Dict[str, float], List[str], None]:
    """{name: value} from "NAME=VALUE" items, or the names of bare "NAME"
    items (held at their start values); None without items."""
    items = _items(texts)
    if not items:
        return None
    valued = [item for item in items if "=" in item]
    if valued and len(valued) != len(items):
        raise ValueError("--fix takes either NAME=VALUE items or bare names, not both")
    if valued:
        return parse_values(items, "--fix")
    return items


def parse_bounds(texts: Optional[Sequence[str]]) -> Dict[str, Bounds]:
    """{name: (lower, upper)} from "NAME=LOWER:UPPER" items, an empty side None."""
    bounds: Dict[str, Bounds] = {}
    for item in _items(texts):
        name, equals, pair = item.partition("=")
        lower, colon, upper = pair.partition(":")
        if not equals or not colon or not name.strip():
            raise ValueError(f"--bounds {item!r}: expected NAME=LOWER:UPPER")
        bounds[name.strip()] = tuple(  # type: ignore[assignment]
            None if not side.strip() else _number(side.strip(), "--bounds", item) for side in (lower, upper))
    return bounds


def check_names(names: Sequence[str], given: Sequence[str], option: str) -> None:
    """ValueError naming the first of `given` that is not a parameter, with
    the closest parameter name."""
    for name in given:
        if name not in names:
            close = difflib.get_close_matches(name, names, n=1)
            hint = f", did you mean {close[0]!r}?" if close else f"; the parameters are {', '.join(names)}"
            raise ValueError(f"{option}: {name!r} is not a parameter of the circuit{hint}")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The control options of `kelvra fit`."""
    parser.add_argument("--no-robust", dest="robust", action="store_false",
                        help="only the ordinary fit, without the search for a better minimum (nested models, "
                             "relaxation-time peaks, a short global search)")
    parser.add_argument("--start", action="append", metavar="NAME=VALUE[,...]",
                        help="start values, such as R0.r=0.01,R1.r=0.02 (repeatable)")
    parser.add_argument("--fix", action="append", metavar="NAME[=VALUE][,...]",
                        help="hold parameters at these values, or bare names at their start values (repeatable)")
    parser.add_argument("--bounds", action="append", metavar="NAME=LOWER:UPPER[,...]",
                        help="bounds inside the physical ones, such as CPE1.alpha=0.5:1; an empty side keeps the "
                             "physical bound (repeatable)")
    parser.add_argument("--fmin", type=checks.positive, metavar="HZ", help="leave out the points below HZ")
    parser.add_argument("--fmax", type=checks.positive, metavar="HZ", help="leave out the points above HZ")
    parser.add_argument("--drop-inductive", action="store_true",
                        help="leave out the points with a positive imaginary part (a circuit without an inductor)")


def options(args: argparse.Namespace, names: Sequence[str]) -> Dict[str, Any]:
    """The `fit_spectrum` arguments the control options set, checked
    against the circuit's parameter names. ValueError for a bad item."""
    start = parse_values(args.start)
    fixed = parse_fixed(args.fix)
    bounds = parse_bounds(args.bounds)
    check_names(names, list(start), "--start")
    check_names(names, list(fixed or ()), "--fix")
    check_names(names, list(bounds), "--bounds")
    chosen: Dict[str, Any] = {"start": start or None, "fixed": fixed, "bounds": bounds or None, "fmin": args.fmin,
                              "fmax": args.fmax, "drop_inductive": args.drop_inductive or None}
    return {"robust": args.robust, **{key: value for key, value in chosen.items() if value is not None}}


def verdict_lines(report: Any) -> List[str]:
    """The lines `kelvra fit` prints under a fit's table: the verdict, each
    reason, and the start that won a robust fit."""
    verdict = report.verdict
    lines = ["  verdict: trusted" if verdict.trusted else "  verdict: NOT TRUSTED"]
    lines.extend(f"    - {reason}" for reason in verdict.reasons)
    won = report.settings.get("winning_start")
    if won:
        lines.append(f"  best start: {won}")
    return lines
