"""Checks the command line makes before any work: its numbers, as argparse
types, and the paths it will write.

A command that finds out only after fitting every file that it cannot write
its results has wasted the run; one that writes its table over a measured
file has destroyed data. Both are usage errors (exit status 2), found here
before the first file is read.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, Iterable, List, Optional, Sequence, Tuple

# Seeds are 64-bit unsigned integers in the core; counts of iterations 32-bit.
MAX_SEED = 2**64 - 1
MAX_COUNT = 2**32 - 1

# The argparse attributes that name a file a command writes, with the option
# that sets it, and the one that names a directory of figures.
OUTPUT_FILES = (("out", "--out"), ("report", "--report"))
FIGURE_DIRECTORY = ("plot", "--plot")


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, found {text!r}") from None


def seed(text: str) -> int:
    """A seed of the random starts: 0 to 2**64 - 1."""
    value = _integer(text)
    if not 0 <= value <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"expected a seed from 0 to 2**64 - 1, found {text}")
    return value


def count(text: str) -> int:
    """A positive count (iterations, threads, refits) that the core can hold."""
    value = _integer(text)
    if not 1 <= value <= MAX_COUNT:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to {MAX_COUNT}, found {text}")
    return value


def _real(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, found {text!r}") from None


def positive(text: str) -> float:
    """A positive finite number (a frequency, a lambda)."""
    value = _real(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive finite number, found {text}")
    return value


def unit_fraction(text: str) -> float:
    """A number in (0, 1] (the KK cut-off on mu)."""
    value = _real(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number in (0, 1], found {text}")
    return value


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _writable_file_problem(path: str) -> Optional[str]:
    """Why `path` cannot be written as a file, or None. Nothing is created."""
    if os.path.isdir(path):
        return "is a directory"
    if os.path.exists(path):
        return None if os.access(path, os.W_OK) else "cannot be written: permission denied"
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        return f"cannot be written: no directory {parent!r}"
    if not os.access(parent, os.W_OK | os.X_OK):
        return f"cannot be written: permission denied in {parent!r}"
    return None


def _directory_problem(path: str) -> Optional[str]:
    """Why figures cannot go into the directory `path` (made later if need
    be), or None."""
    if os.path.exists(path):
        if not os.path.isdir(path):
            return "exists and is not a directory"
        return None if os.access(path, os.W_OK | os.X_OK) else "cannot be written: permission denied"
    # The nearest existing ancestor is where the directories will be made.
    ancestor = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(ancestor):
        ancestor = os.path.dirname(ancestor)
    if not os.path.isdir(ancestor):
        return f"cannot be made: {ancestor!r} is not a directory"
    if not os.access(ancestor, os.W_OK | os.X_OK):
        return f"cannot be made: permission denied in {ancestor!r}"
    return None


def _inputs(args: argparse.Namespace) -> List[str]:
    named = [*(getattr(args, "files", None) or []), *(getattr(args, "inputs", None) or [])]
    single = [getattr(args, name) for name in ("file", "source") if getattr(args, name, None) is not None]
    return [os.fsdecode(path) for path in [*named, *single]]


def output_problems(args: argparse.Namespace) -> List[str]:
    """What is wrong with the paths `args` will write: each a full sentence
    for stderr. Empty when all can be written."""
    problems: List[str] = []
    inputs = _inputs(args)
    for attribute, option in OUTPUT_FILES:
        path = getattr(args, attribute, None)
        if path is None:
            continue
        if any(_same_file(path, given) for given in inputs):
            problems.append(f"{option} {path!r} is one of the input files; writing it would overwrite the data")
            continue
        problem = _writable_file_problem(path)
        if problem is not None:
            problems.append(f"{option} {path!r} {problem}")
    directory = getattr(args, FIGURE_DIRECTORY[0], None)
    if directory is not None:
        problem = _directory_problem(directory)
        if problem is not None:
            problems.append(f"{FIGURE_DIRECTORY[1]} {directory!r} {problem}")
    return problems


def own_outputs(args: argparse.Namespace) -> List[Tuple[str, str]]:
    """(path, option) of every file this command writes."""
    return [(getattr(args, attribute), option) for attribute, option in OUTPUT_FILES
            if getattr(args, attribute, None) is not None]


# How every results table the commands write begins (fit, kk, rank, drt).
RESULTS_HEADER = b"file,sweep,"


def _results_table(path: str) -> bool:
    if not path.casefold().endswith(".csv"):
        return False
    try:
        with open(path, "rb") as handle:
            return handle.read(len(RESULTS_HEADER)) == RESULTS_HEADER
    except OSError:
        return False


def without_own_outputs(files: Sequence[Any], outputs: Sequence[Tuple[str, str]],
                        expand: Any) -> Tuple[List[str], List[str]]:
    """The input files, directories expanded by `expand`, less the files
    this command writes and the results tables an earlier run left in an
    input directory, with a note for each one left out. A file named on its
    own is always read."""
    kept: List[str] = []
    notes: List[str] = []
    named = {os.fsdecode(path) for path in files}
    for path in expand(files):
        written = next((option for out, option in outputs if _same_file(path, out)), None)
        if written is not None:
            notes.append(f"skipping {path!r}: this command writes it ({written})")
        elif path not in named and _results_table(path):
            notes.append(f"skipping {path!r}: a results table of kelvra, not a measured spectrum")
        else:
            kept.append(path)
    return kept, notes


def warn_unseeded(args: argparse.Namespace, unseeded: Iterable[str]) -> None:
    """Says that --seed does nothing for a method that is never seeded."""
    method = getattr(args, "method", None)
    if getattr(args, "seed", None) is not None and method in set(unseeded):
        print(f"kelvra: warning: {method} is not seeded: --seed does not make its fits repeatable",
              file=sys.stderr)
