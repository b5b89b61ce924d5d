"""Failure paths at the Python boundary: errors that must propagate as they
are, loosely typed inputs, interrupted work and a fork of a running module."""
import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

from kelvra import Circuit

CIRCUIT = Circuit("R0-(R1,C1)")
FREQUENCIES = np.logspace(-1, 5, 40)
IMPEDANCES = CIRCUIT.with_values([10.0, 100.0, 1e-5]).impedance(FREQUENCIES)


class Raises:
    """Raises `error` from every conversion hook the module may call."""

    def __init__(self, error):
        self.error = error

    def _raise(self, *args):
        raise self.error

    __float__ = __index__ = __complex__ = __getitem__ = __len__ = __iter__ = _raise


# Errors that say nothing about the kind of input: they must reach the caller
# unchanged wherever the module tries one reading of an input after another.
PROPAGATED = [KeyboardInterrupt, SystemExit, MemoryError]


@pytest.mark.parametrize("error", PROPAGATED)
@pytest.mark.parametrize("call", [
    pytest.param(lambda bad: CIRCUIT.impedance([1.0, bad]), id="impedance item"),
    pytest.param(lambda bad: CIRCUIT.impedance(bad), id="impedance frame lookup"),
    pytest.param(lambda bad: CIRCUIT.fit(bad), id="fit frame lookup"),
    pytest.param(lambda bad: CIRCUIT.fit([1.0, 2.0], [1 + 1j, bad]), id="fit impedance item"),
    pytest.param(lambda bad: CIRCUIT.residuals([1, 1, 1], pd.DataFrame({"frequency_hertz": [1.0, bad]})),
                 id="dataframe column"),
])
def test_errors_that_are_not_about_the_input_propagate(call, error):
    with pytest.raises(error):
        call(Raises(error()))


@pytest.mark.parametrize("call, exception, message", [
    (lambda: Circuit("R0-\ud800"), ValueError, ""),
    (lambda: CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method="nelder\udc80mead"), ValueError, "unknown"),
    (lambda: CIRCUIT.residuals([1, 1, 1], [1.0], [1 + 1j], weight="unit\ud800"), ValueError, "weight scheme"),
    (lambda: CIRCUIT.impedance(FREQUENCIES.astype(complex)), TypeError, "complex"),
    (lambda: CIRCUIT.fit(FREQUENCIES + 1j, IMPEDANCES), TypeError, "complex"),
    (lambda: CIRCUIT.fit(FREQUENCIES.astype(np.complex64), IMPEDANCES), TypeError, "complex"),
    (lambda: CIRCUIT.with_values([1.0, 2.0, np.complex128(3.0)]), TypeError, "complex"),
    (lambda: CIRCUIT.fit(b"\x01\x02", [1j, 2j]), TypeError, "binary data"),
    (lambda: CIRCUIT.fit(bytearray(b"\x01\x02"), [1j, 2j]), TypeError, "binary data"),
    (lambda: CIRCUIT.fit(memoryview(np.ones(2)), [1j, 2j]), TypeError, "binary data"),
    (lambda: CIRCUIT.impedance(b"\x01\x02"), TypeError, "binary data"),
    (lambda: CIRCUIT.fit(FREQUENCIES, np.where(np.arange(40) == 7, np.nan, IMPEDANCES), method="nelder_mead"),
     ValueError, "NaN or infinite value (point 7)"),
])
def test_loose_inputs_meet_the_errors_of_their_neighbours(call, exception, message):
    with pytest.raises(exception, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()


@pytest.mark.parametrize("argument, limit", [
    ("generations", 10_000_000), ("nelder_mead_iterations", 20_000_000), ("de_evaluations", 200_000_000),
    ("sa_iterations", 50_000_000), ("basin_hopping_hops", 200_000),
])
def test_counts_beyond_any_real_use_are_refused(argument, limit):
    method = {"generations": "particle_swarm", "nelder_mead_iterations": "nelder_mead",
              "de_evaluations": "differential_evolution", "sa_iterations": "simulated_annealing",
              "basin_hopping_hops": "basin_hopping"}[argument]
    with pytest.raises(ValueError, match=f"{argument} must be at most {limit}"):
        CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method=method, **{argument: limit + 1})


# A sweep that takes seconds: many arcs over many frequencies, built before
# any signal is sent so that the signal can only land in the evaluation.
LONG_SWEEP = (Circuit("-".join(f"(R{i},C{i})" for i in range(60))), np.logspace(0, 6, 2 * 10**6))


def sigint():
    os.kill(os.getpid(), signal.SIGINT)


# Each would run for minutes; a SIGINT 0.2 s in must stop it within a second.
@pytest.mark.parametrize("call", [
    pytest.param(lambda: CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method="particle_swarm",
                                     generations=10_000_000, seed=1), id="particle_swarm"),
    pytest.param(lambda: CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method="simulated_annealing",
                                     sa_iterations=50_000_000, seed=1), id="simulated_annealing"),
    pytest.param(lambda: CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method="differential_evolution",
                                     de_evaluations=200_000_000), id="differential_evolution"),
    pytest.param(lambda: CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method="basin_hopping",
                                     basin_hopping_hops=200_000, seed=1), id="basin_hopping"),
    pytest.param(lambda: LONG_SWEEP[0].impedance(LONG_SWEEP[1]), id="impedance sweep"),
])
def test_a_signal_stops_long_work_within_a_second(call, ctrl_c):
    with pytest.raises(KeyboardInterrupt), ctrl_c(0.2, send=sigint) as signals:
        call()
    assert time.monotonic() - signals.sent[0] < 1.0
    # Nothing was left behind: the same work runs to a correct end afterwards.
    result = CIRCUIT.fit(FREQUENCIES, IMPEDANCES)
    assert result.params["R1.r"] == pytest.approx(100.0, rel=1e-6)


def test_a_signal_handler_that_raises_its_own_error_stops_the_fit():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        with pytest.raises(Stop):
            CIRCUIT.fit(FREQUENCIES, IMPEDANCES, method="particle_swarm", generations=10_000_000, seed=1)
    finally:
        signal.signal(signal.SIGUSR1, previous)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_fork_after_the_pool_started_leaves_a_working_module():
    CIRCUIT.jacobian([10.0, 100.0, 1e-5], FREQUENCIES, IMPEDANCES)  # starts the worker pool
    busy = threading.Thread(target=lambda: [CIRCUIT.impedance(np.logspace(0, 6, 10**5)) for _ in range(20)])
    busy.start()  # the parent's pool is in use while it forks
    pid = os.fork()
    if pid == 0:
        try:
            fit = CIRCUIT.fit(FREQUENCIES, IMPEDANCES)
            sweep = CIRCUIT.impedance(np.logspace(0, 6, 10**5))
            ok = abs(fit.params["R1.r"] - 100.0) < 1e-4 and np.isfinite(sweep).all()
            os._exit(0 if ok else 1)
        finally:
            os._exit(2)
    busy.join()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
