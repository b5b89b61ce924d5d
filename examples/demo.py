"""Fit an equivalent circuit to a measured lithium-ion cell spectrum."""

from pathlib import Path

import numpy as np

import kelvra
from kelvra import Parallel, Series

HERE = Path(__file__).resolve().parent
CIRCUIT = "L0-R0-(R1,CPE1)-(R2-W2,CPE2)"
# Rough values read off the Nyquist plot: they seed the fit.
START = [1e-7, 0.015, 0.005, 1.0, 0.8, 0.01, 0.02, 10.0, 0.8]


def main():
    data = np.loadtxt(HERE / "li_ion_cell.csv", delimiter=",")
    freq, z = data[:, 0], data[:, 1] + 1j * data[:, 2]

    by_string = kelvra.Circuit("R0-(R1,C1)")
    by_objects = Series([kelvra.R(0.015), Parallel([kelvra.R(0.01), kelvra.C(1.0)])])
    print(by_string)
    print(by_objects)
    print("impedance of", repr(by_objects).splitlines()[0], "at 1 mHz, 1 Hz, 1 kHz:")
    print(by_objects.impedance([1e-3, 1.0, 1e3]))
    print()

    start = kelvra.Circuit(CIRCUIT).with_values(START)
    result = start.fit(freq, z)
    print(f"fit of {CIRCUIT} to {len(freq)} points "
          f"({freq.min():g} Hz to {freq.max():g} Hz):")
    print(result)
    print()
    circuit = result.circuit
    names, units = circuit.param_names(), circuit.param_units()
    errors = result.stderr or {}
    width = max(map(len, names))
    print(f"  {'parameter':<{width}}  {'value':>12}  {'std. error':>10}  unit")
    for name, unit in zip(names, units):
        err = errors.get(name, float("nan"))
        print(f"  {name:<{width}}  {result.params[name]:12.5g}  {err:10.2g}  {unit}")
    print(f"chi-square: {result.chi_square:.4g} over {2 * len(freq)} weighted residuals")


if __name__ == "__main__":
    main()
