"""Fitting circuits to many spectra: a thread pool over the compiled fit on
this machine, or a Dask cluster when one machine is not enough.

The compiled fit releases the interpreter lock for its numerical work, so
plain threads run as many fits at once as there are cores. Every spectrum
gives one row of the result table, in input order; a spectrum that cannot be
fitted records its error in its row instead of stopping the batch.
"""

import itertools
import os
import sys
import threading
import time
from collections.abc import Mapping

import numpy as np

import kelvra
from kelvra.fitting import circuit_text

# A progress bar appears only on batches still running after this long.
PROGRESS_DELAY_S = 1.0
# How often the waiting thread updates the bar and notices Ctrl-C.
POLL_INTERVAL_S = 0.1
# Spectra per Dask task: large enough that scheduling (about a millisecond a
# task) is small beside the fits, small enough to balance the workers.
DASK_CHUNK = 256

KEY_COLUMN = "key"
SCALAR_COLUMNS = ("chi_square", "success", "iterations", "impedance_evals", "time", "error")
# The spectrum comes from the batch, never from the caller's fit arguments.
SPECTRUM_ARGUMENTS = ("frequencies", "impedances")


def fit_many(circuit, spectra, *, workers=None, progress=None, warm_start=False, key=None, client=None,
             **fit_arguments):
    """Fit `circuit` to every spectrum of `spectra` and return one row per spectrum.

    `spectra` is a list of (frequencies, impedances) pairs, a dict of such
    pairs (its keys become the rows' keys), a pair (frequencies, 2-D array)
    whose rows are spectra over the shared frequencies, or a long-format
    battery data format dataframe holding many spectra told apart by the
    column `key`. `circuit` is one circuit (a `Circuit` or a circuit string)
    for all spectra, or a sequence of them with one per spectrum. Every other
    keyword argument is passed to `Circuit.fit`.

    `workers` caps the fitting threads (default: the cores this process may
    use). `progress` True shows a tqdm bar, False never does; None shows one
    when tqdm is installed, stderr is a terminal and the batch takes longer
    than a second. `warm_start` starts each fit from the previous spectrum's
    fitted values (for series that change slowly); such a chain runs in one
    thread. With a `dask.distributed` Client as `client`, the fits run on its
    workers instead, in chunks of spectra sent as plain arrays and circuit
    strings; each worker fits as many chunks at once as it has threads.

    Returns a pandas DataFrame when pandas is installed, otherwise a dict of
    NumPy arrays, with the columns: the key, every parameter, every
    parameter's standard error under its name followed by "_stderr",
    "chi_square", "success", "iterations", "impedance_evals", "time" (seconds
    spent on the spectrum) and "error" (empty when the fit ran, otherwise the
    exception's type and message). Ctrl-C stops the batch and returns nothing.
    """
    for name in SPECTRUM_ARGUMENTS:
        if name in fit_arguments:
            raise TypeError(f"fit_many() takes the spectra from `spectra`, not from {name!r}")
    keys, data = spectrum_jobs(spectra, key)
    circuits = circuits_for(circuit, len(data))
    if client is not None:
        if workers is not None:
            raise ValueError("workers= applies to local threads; a Dask worker runs as many fits as it has threads")
        rows = _run_on_dask(client, circuits, data, fit_arguments, warm_start, progress)
    else:
        threads = usable_cores() if workers is None else positive_count(workers)
        # A warm-started series is one chain of fits, so it runs on one thread.
        rows = map_in_threads(row_maker(circuits, data, fit_arguments, warm_start), len(data),
                              1 if warm_start else threads, progress)
    return result_table(KEY_COLUMN if key is None else key, keys, circuits, rows)


def fit_partitions(circuit, frame, key, **fit_arguments):
    """Map a Dask dataframe of many spectra to a Dask dataframe of fit rows.

    Each partition of `frame` is a long-format battery data format dataframe
    whose spectra are told apart by the column `key`; every spectrum's rows
    must lie in one partition (for example a partition per file, or a frame
    indexed by `key`). `circuit` is one circuit for all spectra. The rows are
    those of `fit_many`, with a partition's spectra fitted one after another
    on the Dask worker thread that holds it.
    """
    _require("pandas")
    one = circuits_for(circuit, 1)[0]
    names = one.param_names()
    meta = result_table(key, np.empty(0, dtype=key_values(frame, key).dtype), [], [], names=names)
    return frame.map_partitions(_fit_partition, plain_circuit(one), key, fit_arguments, meta=meta)


# --- inputs -----------------------------------------------------------------

def usable_cores():
    """The CPUs this process may run on (its affinity mask where the OS has one)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def positive_count(workers):
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    return workers


def spectrum_jobs(spectra, key):
    """The spectra as parallel lists of keys and fit inputs.

    A fit input is the pair of `Circuit.fit`'s first two arguments. Pairs are
    not unpacked here, so an item that is no pair fails in its own row.
    """
    if hasattr(spectra, "groupby") and hasattr(spectra, "columns"):
        if key is None:
            raise ValueError("a dataframe of many spectra needs key=, the column that tells them apart")
        # By the values rather than the label: a frame indexed by its key
        # (often the case for a Dask dataframe's partitions) may also hold it
        # as a column, and pandas calls that label ambiguous.
        groups = spectra.groupby(key_values(spectra, key).to_numpy(), sort=False, dropna=False)
        return [k for k, _ in groups], [(_plain_frame(group, key), None) for _, group in groups]
    if key is not None:
        raise ValueError("key= names the column of a dataframe of many spectra")
    if isinstance(spectra, Mapping):
        return list(spectra.keys()), list(spectra.values())
    if isinstance(spectra, tuple) and len(spectra) == 2 and np.ndim(spectra[1]) == 2:
        frequencies, rows = spectra[0], np.asarray(spectra[1])
        return list(range(len(rows))), [(frequencies, row) for row in rows]
    items = list(spectra)
    return list(range(len(items))), items


def key_values(frame, key):
    """The column `key` of a (pandas or Dask) dataframe, or its index level of that name."""
    if key in frame.columns:
        return frame[key]
    if key in (frame.index.names if hasattr(frame.index, "names") else [frame.index.name]):
        return frame.index.get_level_values(key) if hasattr(frame.index, "get_level_values") else frame.index
    raise KeyError(f"no column or index level {key!r} in the dataframe")


def _plain_frame(group, key):
    """A spectrum's rows as a dict of arrays: the fit reads it as a dataframe,
    by position, whatever the index of the rows was in the whole frame."""
    return {name: group[name].to_numpy() for name in group.columns if name != key}


def circuits_for(circuit, count):
    """One circuit (`Circuit` or string) for each of `count` spectra."""
    if isinstance(circuit, (str, kelvra.Circuit)):
        one = kelvra.Circuit(circuit) if isinstance(circuit, str) else circuit
        return [one] * count
    circuits = list(circuit)
    if len(circuits) != count:
        raise ValueError(f"got {len(circuits)} circuits for {count} spectra")
    return circuits


# --- fitting ----------------------------------------------------------------

def fit_row(circuit, data, fit_arguments):
    """Fits one spectrum: (FitResult or None, seconds, error text)."""
    start = time.perf_counter()
    try:
        if isinstance(circuit, str):
            circuit = kelvra.Circuit(circuit)
        frequencies, impedances = data
        result = circuit.fit(frequencies, impedances, **fit_arguments)
    except Exception as error:  # a failed spectrum is a row, not the end of the batch
        return None, time.perf_counter() - start, f"{type(error).__name__}: {error}"
    return result, time.perf_counter() - start, ""


def warm_circuit(circuit, previous):
    """The circuit to fit next in a warm-started chain: the previous fitted
    circuit when it has the same parameters, else the spectrum's own."""
    if previous is None or isinstance(circuit, str):
        return circuit
    fitted = previous.circuit
    return fitted if fitted.param_names() == circuit.param_names() else circuit


def row_maker(circuits, data, fit_arguments, warm_start):
    """The function that fits spectrum i into its row.

    With `warm_start` it must be called for i = 0, 1, 2, ... in turn, from
    one thread: each fit starts from the last successful one before it.
    """
    if not warm_start:
        return lambda i: fit_row(circuits[i], data[i], fit_arguments)
    last_success = None

    def warm_row(i):
        nonlocal last_success
        row = fit_row(warm_circuit(circuits[i], last_success), data[i], fit_arguments)
        if row[0] is not None and row[0].success:
            last_success = row[0]
        return row

    return warm_row


def map_in_threads(task, count, threads, progress=None):
    """[task(0), ..., task(count - 1)], computed on `threads` threads.

    Each thread claims the next index when it is done with one, and the
    results keep index order. The calling thread only waits and updates the
    progress bar, so Ctrl-C reaches it within a poll: the threads then finish
    the task in hand and stop, and the interrupt propagates with no partial
    result. An exception from `task` stops the batch the same way and is
    raised here; tasks that can fail should return their failure instead.
    """
    results = [None] * count
    threads = max(1, min(threads, count))
    # Claiming is one call into a C iterator, atomic under the interpreter lock.
    claim = itertools.count()
    stop = threading.Event()
    lock = threading.Lock()
    finished = threading.Event()
    running = [threads]
    # Tasks done by each thread, written only by that thread.
    done = [0] * threads
    fatal = []

    def work(t):
        try:
            for i in claim:
                if i >= count or stop.is_set():
                    return
                results[i] = task(i)
                done[t] += 1
        except BaseException as error:  # stops every thread and reaches the caller
            fatal.append(error)
            stop.set()
        finally:
            with lock:
                running[0] -= 1
                if running[0] <= 0:
                    finished.set()

    # Not daemons: were the interpreter to exit while one is inside a fit, it
    # would end that thread in the middle of native code. The waiting below
    # uses an event rather than Thread.join, which Ctrl-C can leave believing
    # a running thread has stopped.
    pool = [threading.Thread(target=work, args=(t,), name=f"kelvra-batch-{t}") for t in range(threads)]
    bar = _progress_bar(progress, count)
    try:
        for thread in pool:
            thread.start()
        while not finished.wait(POLL_INTERVAL_S):
            _advance(bar, sum(done))
    finally:
        stop.set()
        with lock:
            # A thread that Ctrl-C kept from starting will not count itself
            # out; one that starts after all finds `stop` set and runs nothing.
            running[0] -= sum(thread.ident is None for thread in pool)
            if running[0] <= 0:
                finished.set()
        finished.wait()
        for thread in pool:
            if thread.ident is not None:
                thread.join()
        if bar is not None:
            bar.close()
    if fatal:
        raise fatal[0]
    return results


# --- progress ---------------------------------------------------------------

def _progress_bar(progress, total):
    if progress is False or total == 0:
        return None
    if progress is None:
        if not sys.stderr.isatty():
            return None
        try:
            from tqdm import tqdm
        except ImportError:
            return None
        return tqdm(total=total, unit="fit", delay=PROGRESS_DELAY_S)
    tqdm = _require("tqdm").tqdm
    return tqdm(total=total, unit="fit")


def _advance(bar, done):
    if bar is not None and done > bar.n:
        bar.update(done - bar.n)


def _require(package):
    try:
        return __import__(package)
    except ImportError as error:
        raise ImportError(f"this needs the optional package {package!r}; install it (Debian: "
                          f"python3-{package})") from error


# --- Dask -------------------------------------------------------------------

def plain_circuit(circuit):
    """A circuit as plain data for another process: its text and values.

    Values that differ from a fresh circuit's defaults are sent as chosen
    values; otherwise the circuit goes as fresh, so the fit there guesses its
    start as it would here. (Python cannot see whether values equal to the
    defaults were chosen; such a circuit is guessed for on the workers.)
    """
    if isinstance(circuit, str):
        return circuit
    text = circuit_text(circuit)
    values = circuit.param_values()
    fresh = kelvra.Circuit(text)
    if fresh.param_names() != circuit.param_names():
        raise ValueError(f"circuit {text!r} does not read back as the same circuit")
    return (text, None if values == fresh.param_values() else values)


def circuit_from_plain(plain):
    if isinstance(plain, str):
        return plain
    text, values = plain
    return kelvra.Circuit(text) if values is None else kelvra.Circuit(text).with_values(values)


def _plain_spectrum(item):
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
    """Runs on a Dask worker: fits a chunk of spectra given as plain data."""
    fit = row_maker([circuit_from_plain(c) for c in circuits], data, fit_arguments, warm_start)
    return plain_rows([fit(i) for i in range(len(data))])


def _run_on_dask(client, circuits, data, fit_arguments, warm_start, progress):
    distributed = _require("distributed")
    plain = {}
    # One plain copy per distinct circuit object: the same circuit repeated
    # over the whole batch is described once.
    circuits = [plain.setdefault(id(c), plain_circuit(c)) for c in circuits]
    data = [_plain_spectrum(item) for item in data]
    size = len(data) if warm_start else DASK_CHUNK
    starts = range(0, len(data), size)
    futures = [client.submit(fit_plain_chunk, circuits[s:s + size], data[s:s + size], fit_arguments, warm_start,
                             pure=False) for s in starts]
    bar = _progress_bar(progress, len(data))
    try:
        for future in distributed.as_completed(futures):
            if bar is not None:
                bar.update(len(future.result()))
        chunks = client.gather(futures)
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        if bar is not None:
            bar.close()
    return [row for chunk in chunks for row in chunk]


def _fit_partition(partition, circuit, key, fit_arguments):
    keys, data = spectrum_jobs(partition, key)
    one = circuit_from_plain(circuit)
    fit = row_maker([one] * len(data), data, fit_arguments, False)
    rows = plain_rows([fit(i) for i in range(len(data))])
    return result_table(key, np.asarray(keys, dtype=key_values(partition, key).dtype), [one] * len(keys), rows)


# --- the result table -------------------------------------------------------

def _row_fields(row):
    """(params, stderr, chi_square, success, iterations, impedance_evals) of a
    row, from a FitResult or its plain form."""
    result = row[0]
    if result is None or isinstance(result, tuple):
        return result
    return (result.params, result.stderr, result.chi_square, result.success, result.iterations,
            result.impedance_evals)


def parameter_names(circuits):
    """Every parameter name of the batch, in order of first appearance."""
    names = {}
    seen = set()
    for circuit in circuits:
        if id(circuit) in seen:
            continue
        seen.add(id(circuit))
        try:
            circuit_names = kelvra.Circuit(circuit).param_names() if isinstance(circuit, str) \
                else circuit.param_names()
        except Exception:  # a bad circuit string has no parameters; its rows say why
            continue
        names.update(dict.fromkeys(circuit_names))
    return list(names)


def key_column(keys):
    """The keys as a 1-D array: typed when they are plain scalars, objects
    otherwise (tuples would become a 2-D array)."""
    if isinstance(keys, np.ndarray):
        return keys
    column = np.asarray(keys) if len(keys) else np.empty(0, dtype=object)
    if column.ndim != 1:
        column = np.empty(len(keys), dtype=object)
        for i, key in enumerate(keys):
            column[i] = key
    return column


def result_table(key_name, keys, circuits, rows, names=None):
    """The rows as columns: a pandas DataFrame when pandas is installed,
    otherwise a dict of NumPy arrays."""
    names = parameter_names(circuits) if names is None else names
    count = len(rows)
    columns = {key_name: key_column(keys)}
    params = {name: np.full(count, np.nan) for name in names}
    stderr = {name: np.full(count, np.nan) for name in names}
    chi_square = np.full(count, np.nan)
    success = np.zeros(count, dtype=bool)
    iterations = np.zeros(count, dtype=np.int64)
    evals = np.zeros(count, dtype=np.int64)
    for i, row in enumerate(rows):
        fields = _row_fields(row)
        if fields is None:
            continue
        fitted, errors, chi_square[i], success[i], iterations[i], evals[i] = fields
        for name, value in fitted.items():
            params[name][i] = value
        # A fit without degrees of freedom, or with a singular Jacobian, has no standard errors.
        for name, value in (errors or {}).items():
            stderr[name][i] = value
    columns.update(params)
    columns.update({f"{name}_stderr": values for name, values in stderr.items()})
    columns.update(zip(SCALAR_COLUMNS, (chi_square, success, iterations, evals,
                                        np.array([row[1] for row in rows], dtype=float),
                                        np.array([row[2] for row in rows], dtype=object))))
    try:
        import pandas
    except ImportError:
        return columns
    return pandas.DataFrame(columns)
