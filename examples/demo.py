"""Fit an equivalent circuit to a measured lithium-ion cell spectrum."""

import time
from pathlib import Path

import numpy as np

import kelvra
from kelvra import Parallel, Series

HERE = Path(__file__).resolve().parent
# A lead inductance, the electrolyte resistance and two depressed arcs: the
# built-in model "two_rq_l", so the fit needs no starting values.
MODEL = "two_rq_l"


def timed_fit(circuit, freq, z, **arguments):
    t0 = time.perf_counter()
    result = circuit.fit(freq, z, **arguments)
    return result, (time.perf_counter() - t0) * 1e3


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

    circuit = kelvra.Circuit(MODEL)
    topology = kelvra.Circuit.ml_circuits()[MODEL]
    print(f"model {MODEL!r} ({topology}), {len(freq)} points from {freq.min():g} Hz to {freq.max():g} Hz")
    print("learned first guess:", [float(f"{v:.3g}") for v in circuit.guess(freq, z)])
    result, guessed_ms = timed_fit(circuit, freq, z)
    placeholders, placeholder_ms = timed_fit(circuit, freq, z, guess_init=False)
    for label, fit, ms in (("bare fit, from the learned guess", result, guessed_ms),
                           ("from placeholders (guess_init=False)", placeholders, placeholder_ms)):
        print(f"{label:<38} chi-square {fit.chi_square:.4g}, {fit.impedance_evals} evaluations, {ms:.2f} ms")
    print()
    print(result)
    print()
    fitted = result.circuit
    names, units = fitted.param_names(), fitted.param_units()
    errors = result.stderr or {}
    width = max(map(len, names))
    print(f"  {'parameter':<{width}}  {'value':>12}  {'std. error':>10}  unit")
    for name, unit in zip(names, units):
        err = errors.get(name, float("nan"))
        print(f"  {name:<{width}}  {result.params[name]:12.5g}  {err:10.2g}  {unit}")
    print(f"chi-square: {result.chi_square:.4g} over {2 * len(freq)} weighted residuals")


if __name__ == "__main__":
    main()
