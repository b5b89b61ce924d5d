"""Circuits at the size limits: every walk over them runs on worker threads
too, so depth must not exhaust a stack and width must not cost quadratic
time."""

import numpy as np

from kelvra import Circuit, Parallel

DEPTH = 1000


def deepest_string():
    return "(" * DEPTH + "R0" + ")" * DEPTH + "-C1"


def test_deepest_circuit_string_evaluates_fits_and_formats_on_the_pool():
    circuit = Circuit(deepest_string())
    assert repr(circuit).splitlines()[0] == f"Circuit {deepest_string()} (2 parameters)"
    frequencies = np.logspace(-2, 4, 2000)  # enough to use the worker pool
    z = circuit.impedance(frequencies)
    assert np.allclose(z, 1 + 1 / (2j * np.pi * frequencies * 1e-3), rtol=1e-12)
    few = frequencies[::100]
    fit = circuit.with_values([2.0, 1e-2]).fit(few, z[::100])
    assert np.isclose(fit.params["R0.r"], 1.0, rtol=1e-6)
    assert np.isclose(fit.params["C1.c"], 1e-3, rtol=1e-6)


def test_deepest_tree_from_parallel_calls_matches_the_string():
    circuit = Circuit("R0")
    for _ in range(DEPTH):
        circuit = Parallel([circuit])
    assert circuit.impedance([1.0]).tolist() == [1 + 0j]


def test_thousands_of_elements_in_series_and_in_parallel():
    width = 5000
    series = Circuit("-".join(f"R{i}" for i in range(width)))
    parallel = Circuit("(" + ",".join(f"R{i}" for i in range(width)) + ")")
    assert len(series.param_names()) == width
    assert series.impedance([1.0])[0] == width
    assert np.isclose(parallel.impedance([1.0])[0], 1 / width, rtol=1e-12)
