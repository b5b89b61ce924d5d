"""Writes the fuzz targets' seed corpora into a directory: the circuit
strings the tests use and spectra built from them over a real and some
synthetic frequency sweeps. (The weight-file seeds are small networks written by
fuzz/weight_file_seeds.)"""
import math
import pathlib
import re
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# A real measurement shipped with the examples: frequency, Re Z, Im Z per row.
REAL_SPECTRUM = ROOT / "examples" / "li_ion_cell.csv"
# A quoted string that could be meant as a circuit: short, no spaces inside
# the letters, starting with an element code, a group or an operator.
CIRCUIT_LIKE = re.compile(r'"((?:[A-Za-z(p-][^"\\\s]{0,60})?)"')
SPECTRUM_CIRCUITS = ["R0-(R1,C1)", "R0-(R1,CPE1)-Wo1", "L0-R0-p(R1,C1)-p(R2,CPE2)", "R0-(R1,Zarc1)-K2", "C0"]


def circuit_strings():
    found = set()
    for path in [*ROOT.glob("src/circuit/*_test.cpp"), *ROOT.glob("tests/python/test_*.py")]:
        found.update(CIRCUIT_LIKE.findall(path.read_text(errors="replace")))
    return sorted(found)


def real_sweeps():
    rows = [line.split(",") for line in REAL_SPECTRUM.read_text().splitlines() if line.strip()]
    return [[(float(f), float(re_), float(im)) for f, re_, im in rows]]


def synthetic_sweeps():
    decades = [10 ** (k / 4) for k in range(-8, 25)]
    rc = [(f, 10 + 100 / (1 + (2 * math.pi * f * 1e-4) ** 2),
           -100 * 2 * math.pi * f * 1e-4 / (1 + (2 * math.pi * f * 1e-4) ** 2)) for f in decades]
    hostile = [(0.0, 1.0, 0.0), (-1.0, 1.0, 1.0), (math.nan, 1.0, 1.0), (1.0, math.inf, 0.0), (1e300, 0.0, 0.0)]
    return [rc, hostile]


def spectrum_seed(circuit, points, weighting):
    numbers = [weighting] + [x for point in points for x in point]
    return circuit.encode() + b"\0" + struct.pack(f"<{len(numbers)}d", *numbers)


def main(out):
    out = pathlib.Path(out)
    parser = out / "circuit_parser"
    parser.mkdir(parents=True, exist_ok=True)
    for i, text in enumerate(circuit_strings()):
        (parser / f"test-{i:03d}").write_bytes(text.encode())
    spectrum = out / "spectrum"
    spectrum.mkdir(parents=True, exist_ok=True)
    for i, circuit in enumerate(SPECTRUM_CIRCUITS):
        for j, points in enumerate(real_sweeps() + synthetic_sweeps()):
            for weighting in (1.0, -1.0):
                name = f"{i}-{j}-{'unit' if weighting < 0 else 'modulus'}"
                (spectrum / name).write_bytes(spectrum_seed(circuit, points, weighting))


if __name__ == "__main__":
    main(sys.argv[1])
