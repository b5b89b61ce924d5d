"""The Dask path of batch fitting: spectra and circuits sent to a cluster as plain data.

A Dask worker receives circuit strings (with their values where chosen) and
spectra as arrays, fits them with the batch layer's row functions, and sends
back only what the result table reads.
"""
from collections.abc import Mapping

import numpy as np

import kelvra
from kelvra._chunked import chunk_rows
from kelvra._threads import progress_bar, require
from kelvra.batch import key_values, result_table, row_maker, spectrum_jobs

# Spectra per Dask task: large enough that scheduling (about a millisecond a
# task) is small beside the fits, small enough to balance the workers.
DASK_CHUNK = 256


def plain_circuit(circuit):
    """A circuit as plain data for another process: its text, and its values
    when they were chosen (so that the fit there guesses its start exactly
    when it would here)."""
    if isinstance(circuit, str):
        return circuit
    return (circuit.text, circuit.param_values() if circuit.explicit_values else None)


def circuit_from_plain(plain):
    if isinstance(plain, str):
        return plain
    text, values = plain
    return kelvra.Circuit(text) if values is None else kelvra.Circuit(text).with_values(values)


def plain_spectrum(item):
    """A spectrum pair as arrays where it is one; anything else as it is, to
    fail in its own row on the worker."""
    try:
        first, second = item
    except (TypeError, ValueError):
        return item
    if isinstance(first, Mapping):
        return (first, second)
    try:
        return (np.asarray(first, dtype=float), np.asarray(second, dtype=complex))
    except (TypeError, ValueError):
        return item


def plain_rows(rows):
    """Rows with the FitResult reduced to what the table reads, for the trip back."""
    return [(None if result is None else (result.params, result.stderr, result.chi_square, result.success,
                                           result.iterations, result.impedance_evals), seconds, error)
            for result, seconds, error in rows]


def fit_plain_chunk(circuits, data, fit_arguments, warm_start):
    """Runs on a Dask worker: fits a chunk of spectra given as plain data,
    in the compiled batch on the task's own thread unless it is a
    warm-started chain."""
    circuits = [circuit_from_plain(c) for c in circuits]
    if warm_start:
        fit = row_maker(circuits, data, fit_arguments, warm_start)
        return plain_rows([fit(i) for i in range(len(data))])
    return chunk_rows(circuits, data, fit_arguments)


def run_on_dask(client, circuits, data, fit_arguments, warm_start, progress):
    plain = {}
    # One plain copy per distinct circuit object: the same circuit repeated
    # over the whole batch is described once.
    circuits = [plain.setdefault(id(c), plain_circuit(c)) for c in circuits]
    data = [plain_spectrum(item) for item in data]
    size = len(data) if warm_start else DASK_CHUNK
    starts = range(0, len(data), size)
    futures = [client.submit(fit_plain_chunk, circuits[s:s + size], data[s:s + size], fit_arguments, warm_start,
                             pure=False) for s in starts]
    chunks = gather_chunks(client, futures, len(data), progress)
    return [row for chunk in chunks for row in chunk]


def gather_chunks(client, futures, total, progress):
    """The results of `futures`, one list per chunk, in submission order; the
    bar counts items as chunks finish, and an interrupted wait cancels what
    is still queued on the cluster."""
    distributed = require("distributed")
    bar = progress_bar(progress, total)
    try:
        for future in distributed.as_completed(futures):
            if bar is not None:
                bar.update(len(future.result()))
        return client.gather(futures)
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        if bar is not None:
            bar.close()


def fit_partition(partition, circuit, key, fit_arguments):
    keys, data = spectrum_jobs(partition, key)
    one = circuit_from_plain(circuit)
    rows = chunk_rows([one] * len(data), data, fit_arguments)
    return result_table(key, np.asarray(keys, dtype=key_values(partition, key).dtype), [one] * len(keys), rows)
