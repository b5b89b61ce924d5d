"""Mutation fuzzing of the user layer's loaders, bounded in time.

    python fuzz/python_fuzz.py TARGET SECONDS [--runs N] [--seed S] [--findings DIR]

TARGET is `readers` (every measured-spectrum reader behind `kelvra.io.read`,
then the spectrum rule of `kelvra.io.as_spectrum`) or `saved_fit` (the JSON
loader `kelvra.saving.load_fits`). Each execution takes a seed file, applies
one to four mutations (bytes flipped, inserted, deleted, duplicated or
spliced from another seed; tokens that broke loaders before: "inf", "nan", a
superscript digit, a NUL, huge or negative counts, byte-order marks; for
JSON also a random value of the parsed tree replaced or removed) and loads
the result from a file in memory-backed storage.

A loader may refuse an input only with its documented error (FormatError or
PointError for the readers, ValueError for saved fits); any other exception
is a finding: the input is written to DIR (default build-fuzz/findings) and
the run ends with status 1. Without a coverage-guided engine in the
distribution this is a plain mutation loop; it prints its execution count.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import pathlib
import random
import sys
import tempfile
import time
import traceback
import warnings
from typing import Any, Callable, List, Tuple

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Tokens that broke a loader before, or that sit on the edge of what one
# accepts: non-finite and overflowing numbers, a digit that is no number,
# NUL, line and field separators, byte-order marks.
TOKENS = [b"inf", b"-inf", b"nan", b"NaN", b"1e309", b"-1", b"0", b"-0", b"1.5", b"99999999999999999999",
          b"\xc2\xb2", b"\xb2", b"\x00", b"\r", b"\n", b"\r\r\n", b"\t", b",", b";", b'"', b"'", b" ",
          b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\xe9", b"\xff", b"End Comments", b"ZPLOT2 ASCII",
          b"EC-Lab ASCII FILE", b"Nb header lines : 3", b"<Segment1>", b"</Segment1>", b"ZCURVE", b"TABLE",
          b"cycle number", b"freq/Hz", b"Re(Z)/Ohm", b"-Im(Z)/Ohm", b"Freq(Hz)", b"{", b"}", b"[", b"]",
          b'"fits"', b'"version"', b"null", b"true", b"1e400", b"-1e400", b"18446744073709551616"]
# JSON values a saved-fit field may be replaced with.
JSON_VALUES: List[Any] = [None, True, False, 0, -1, 1, 2, 1.5, -0.0, 1e308, 2**64, -(2**63) - 1, "", "x",
                          "R0-(R1,C1)", "R0-X1", "nan", "inf", "\udce9", "\x00", [], {}, [1.0], [None],
                          {"a": 1}, [[1.0, 2.0]], "9" * 400]
# Largest input handed to a loader: mutations may duplicate, but not grow
# an input without end.
MAX_INPUT = 1 << 18
MAX_MUTATIONS = 4


def mutate_bytes(data: bytes, rng: random.Random, seeds: List[bytes]) -> bytes:
    out = bytearray(data)
    kind = rng.randrange(8)
    position = rng.randrange(len(out) + 1)
    if kind == 0 and out:  # flip one bit
        i = rng.randrange(len(out))
        out[i] ^= 1 << rng.randrange(8)
    elif kind == 1 and out:  # set one byte
        out[rng.randrange(len(out))] = rng.randrange(256)
    elif kind == 2:  # insert a token
        out[position:position] = rng.choice(TOKENS)
    elif kind == 3 and out:  # delete a range
        end = min(len(out), position + rng.randrange(1, 64))
        del out[position:end]
    elif kind == 4 and out:  # duplicate a range
        start = rng.randrange(len(out))
        piece = out[start:start + rng.randrange(1, 256)]
        out[position:position] = piece
    elif kind == 5:  # splice in part of another seed
        other = rng.choice(seeds)
        start = rng.randrange(len(other) + 1)
        out[position:position] = other[start:start + rng.randrange(1, 512)]
    elif kind == 6:  # truncate
        del out[position:]
    else:  # replace a token-sized run by a token
        end = min(len(out), position + rng.randrange(1, 16))
        out[position:end] = rng.choice(TOKENS)
    return bytes(out[:MAX_INPUT])


def _nodes(tree: Any, path: Tuple[Any, ...] = ()) -> List[Tuple[Any, ...]]:
    found = [path]
    if isinstance(tree, dict):
        for key, value in tree.items():
            found.extend(_nodes(value, path + (key,)))
    elif isinstance(tree, list):
        for index, value in enumerate(tree):
            found.extend(_nodes(value, path + (index,)))
    return found


def mutate_json(data: bytes, rng: random.Random) -> bytes:
    """A random value of the parsed tree replaced, removed or duplicated;
    the input unchanged when it is no longer JSON."""
    try:
        tree = json.loads(data)
    except (ValueError, RecursionError):
        return data
    paths = _nodes(tree)
    path = rng.choice(paths)
    if not path:
        tree = rng.choice(JSON_VALUES)
    else:
        parent = tree
        for step in path[:-1]:
            parent = parent[step]
        last = path[-1]
        choice = rng.randrange(3)
        if choice == 0:
            parent[last] = rng.choice(JSON_VALUES)
        elif choice == 1:
            del parent[last]
        elif isinstance(parent, list):
            parent.insert(last, parent[last])
        else:
            parent[str(last) + "_"] = parent[last]
    return json.dumps(tree, allow_nan=True).encode("utf-8", "surrogatepass")


def reader_seeds() -> List[bytes]:
    files = [*sorted((ROOT / "tests" / "data").iterdir()), *sorted((ROOT / "examples").glob("*.csv"))]
    return [path.read_bytes() for path in files if path.is_file() and path.suffix != ".md"]


def saved_fit_seeds() -> List[bytes]:
    from kelvra import io
    from kelvra.fitting import fit_spectrum
    from kelvra.saving import save_fit

    spectra = io.read(ROOT / "tests" / "data" / "exampleDataZPlot.z") + io.read(ROOT / "examples" / "li_ion_cell.csv")
    reports = [fit_spectrum("R0-(R1,CPE1)", spectrum) for spectrum in spectra]
    seeds = []
    with tempfile.TemporaryDirectory() as directory:
        target = os.path.join(directory, "fit.json")
        for fits, failures in [(reports[0], []), (reports, [{"file": "broken.csv", "sweep": 0, "error": "x"}])]:
            save_fit(fits, target, failures)
            seeds.append(pathlib.Path(target).read_bytes())
    return seeds


def load_readers(path: str) -> None:
    from kelvra import io

    for spectrum in io.read(path):
        io.as_spectrum(spectrum)


def load_saved_fit(path: str) -> None:
    from kelvra.saving import load_fits

    fits, _ = load_fits(path)
    for fit in fits:
        fit.text()


def targets() -> dict:
    from kelvra import io

    return {
        "readers": (reader_seeds, load_readers, (io.FormatError, io.PointError), False),
        "saved_fit": (saved_fit_seeds, load_saved_fit, (ValueError,), True),
    }


def run(target: str, seconds: float, runs: int, seed: int, findings: pathlib.Path) -> int:
    make_seeds, load, refusals, structured = targets()[target]
    seeds = make_seeds()
    rng = random.Random(seed)
    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
    handle, path = tempfile.mkstemp(prefix="kelvra-fuzz-", dir=scratch)
    os.close(handle)
    executions = refused = found = 0
    started = time.monotonic()
    warnings.simplefilter("ignore")
    try:
        while time.monotonic() - started < seconds and (runs <= 0 or executions < runs):
            data = rng.choice(seeds)
            for _ in range(rng.randrange(1, MAX_MUTATIONS + 1)):
                data = mutate_json(data, rng) if structured and rng.random() < 0.5 else mutate_bytes(data, rng, seeds)
            with open(path, "wb") as out:
                out.write(data)
            executions += 1
            try:
                load(path)
            except refusals:
                refused += 1
            except RecursionError:
                found += _keep(findings, target, data, traceback.format_exc())
            except Exception:  # anything but the documented refusal is a finding
                found += _keep(findings, target, data, traceback.format_exc())
    finally:
        os.unlink(path)
    elapsed = time.monotonic() - started
    print(f"{target}: {executions} executions in {elapsed:.1f} s ({executions / max(elapsed, 1e-9):.0f}/s), "
          f"{refused} refused as documented, {found} findings")
    return 1 if found else 0


def _keep(findings: pathlib.Path, target: str, data: bytes, trace: str) -> int:
    findings.mkdir(parents=True, exist_ok=True)
    name = findings / f"python-{target}-{hashlib.sha1(data).hexdigest()[:16]}"
    name.write_bytes(data)
    name.with_suffix(".txt").write_text(trace)
    print(f"finding: {name}\n{trace}", file=sys.stderr)
    return 1


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("target", choices=("readers", "saved_fit"))
    parser.add_argument("seconds", type=float)
    parser.add_argument("--runs", type=int, default=0, help="stop after this many executions (0: only the time)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the mutations")
    parser.add_argument("--findings", type=pathlib.Path, default=ROOT / "build-fuzz" / "findings")
    args = parser.parse_args(argv)
    return run(args.target, args.seconds, args.runs, args.seed, args.findings)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
