"""The compiled path of batch fitting: spectra taken from any iterable in
chunks, each chunk fitted by the core in one call.

The core fits a whole chunk with the interpreter lock released once and
hands its rows back as arrays, so Python touches each chunk rather than each
fit. Only as many chunks as are being fitted or written sit in memory, which
lets `fit_many` stream a million spectra from a generator to a CSV file.
"""
from __future__ import annotations

import itertools
import queue
import sys
import threading
from collections.abc import Mapping

import numpy as np

import kelvra
from kelvra import _core
from kelvra._threads import POLL_INTERVAL_S
from kelvra.io import as_spectrum

# Spectra per compiled call: enough that a call's fixed cost (converting the
# arguments, building the chunk's table) is small beside its fits, few
# enough that a chunk's rows take little memory and Ctrl-C, which the core
# notices between evaluations, drops at most a few seconds of work.
CHUNK = 4096
# Written chunks the fitting may run ahead of the file by: memory stays
# bounded, and fitting and writing overlap.
WRITE_AHEAD = 2
SCALARS = ("chi_square", "success", "iterations", "impedance_evals", "time", "error")


def iter_jobs(spectra, key):
    """(key, fit input) for each spectrum of `spectra`, lazily where it is lazy.

    A fit input is the pair of `Circuit.fit`'s first two arguments, not
    unpacked here, so that an item that is no pair fails in its own row. A
    Dask dataframe is read one partition at a time; every spectrum's rows must
    lie in one partition.
    """
    if hasattr(spectra, "npartitions") and hasattr(spectra, "partitions"):
        if key is None:
            raise ValueError("a dataframe of many spectra needs key=, the column that tells them apart")
        for i in range(spectra.npartitions):
            yield from _frame_jobs(spectra.partitions[i].compute(), key)
        return
    if hasattr(spectra, "groupby") and hasattr(spectra, "columns"):
        if key is None:
            raise ValueError("a dataframe of many spectra needs key=, the column that tells them apart")
        yield from _frame_jobs(spectra, key)
        return
    if key is not None:
        raise ValueError("key= names the column of a dataframe of many spectra")
    if isinstance(spectra, Mapping):
        yield from spectra.items()
    elif isinstance(spectra, tuple) and len(spectra) == 2 and np.ndim(spectra[1]) == 2:
        frequencies = spectra[0]
        yield from ((i, (frequencies, row)) for i, row in enumerate(np.asarray(spectra[1])))
    else:
        yield from enumerate(spectra)


def _frame_jobs(frame, key):
    from kelvra.batch import key_values

    # By the values rather than the label: a frame indexed by its key (often
    # the case for a Dask dataframe's partitions) may also hold it as a
    # column, and pandas calls that label ambiguous.
    groups = frame.groupby(key_values(frame, key).to_numpy(), sort=False, dropna=False)
    for k, group in groups:
        yield k, ({name: group[name].to_numpy() for name in group.columns if name != key}, None)


def chunks(iterable, size=None):
    """Lists of up to `size` (default CHUNK) consecutive items."""
    size = CHUNK if size is None else size
    iterator = iter(iterable)
    while True:
        chunk = list(itertools.islice(iterator, size))
        if not chunk:
            return
        yield chunk


def _error_text(error):
    return f"{type(error).__name__}: {error}"


def _clean_block(items):
    """The chunk as two 2-D arrays when every item is a pair of equally long
    sequences of numbers with only points `as_spectrum` takes unchanged
    (positive, finite frequencies; finite, nonzero impedances), else None.

    Such a chunk skips the per-spectrum coercion: it would change nothing.
    """
    try:
        if not all(type(item) in (tuple, list) and len(item) == 2 for item in items):
            return None
        frequencies = np.array([item[0] for item in items], dtype=np.float64)
        impedances = np.array([item[1] for item in items], dtype=np.complex128)
    except (TypeError, ValueError):
        return None
    if frequencies.ndim != 2 or impedances.shape != frequencies.shape or frequencies.shape[1] == 0:
        return None
    with np.errstate(invalid="ignore"):
        clean = (np.isfinite(frequencies).all() and (frequencies > 0.0).all() and np.isfinite(impedances).all()
                 and (impedances != 0).all())
    return (frequencies, impedances) if clean else None


class ChunkPlan:
    """A chunk read for the core: each row's error so far, and one compiled
    call per circuit, as (circuit, row indices, frequencies, impedances)."""

    def __init__(self, count):
        self.count = count
        self.errors = [""] * count
        self.calls = []


def plan_chunk(circuits, items):
    """The `ChunkPlan` of a chunk: everything but the fits.

    Each row is what the batch's one-fit-at-a-time path gives the same
    spectrum: a circuit string is read first, then the item unpacked as a
    pair and coerced by `as_spectrum`, and a failure of any of these is the
    row's error.
    """
    plan = ChunkPlan(len(items))
    # Circuit strings are read once per chunk; the same object serves its spectra as one group.
    parsed = {}
    groups = {}  # id(circuit) -> (circuit, [row indices])
    for i, circuit in enumerate(circuits):
        if isinstance(circuit, str):
            if circuit not in parsed:
                try:
                    parsed[circuit] = kelvra.Circuit(circuit)
                except Exception as error:  # a bad circuit string fails in its rows
                    parsed[circuit] = error
            circuit = parsed[circuit]
            if isinstance(circuit, Exception):
                plan.errors[i] = _error_text(circuit)
                continue
        groups.setdefault(id(circuit), (circuit, []))[1].append(i)

    block = _clean_block(items)
    for circuit, rows in groups.values():
        if block is not None:
            frequencies, impedances = (block[0], block[1]) if len(rows) == plan.count else \
                (block[0][rows], block[1][rows])
        else:
            frequencies, impedances, kept = [], [], []
            for i in rows:
                try:
                    first, second = items[i]
                    spectrum = as_spectrum(first, second)
                except Exception as error:  # as the one-fit path: the row says why
                    plan.errors[i] = _error_text(error)
                    continue
                frequencies.append(spectrum.frequencies)
                impedances.append(spectrum.impedances)
                kept.append(i)
            rows = kept
        plan.calls.append((circuit, rows, frequencies, impedances))
    return plan


def fit_plan(plan, fit_arguments, workers):
    """The core's rows for each call of `plan`: the only part of a chunk
    that fits, and the only one that leaves the interpreter lock free."""
    return [_core._fit_batch(circuit, frequencies, impedances, workers, fit_arguments)
            for circuit, _, frequencies, impedances in plan.calls]


def chunk_columns(plan, fitted):
    """The rows of a fitted chunk: ({name: parameter column}, {name:
    standard error column}, {scalar column name: column})."""
    count = plan.count
    errors = list(plan.errors)
    chi_square = np.full(count, np.nan)
    success = np.zeros(count, dtype=bool)
    iterations = np.zeros(count, dtype=np.int64)
    evals = np.zeros(count, dtype=np.int64)
    seconds = np.zeros(count)
    params, stderr = {}, {}
    for (circuit, rows, _, _), rows_fitted in zip(plan.calls, fitted):
        index = np.asarray(rows, dtype=np.intp)
        for j, name in enumerate(circuit.param_names()):
            params.setdefault(name, np.full(count, np.nan))[index] = rows_fitted["params"][:, j]
            stderr.setdefault(name, np.full(count, np.nan))[index] = rows_fitted["stderr"][:, j]
        chi_square[index] = rows_fitted["chi_square"]
        success[index] = rows_fitted["success"]
        iterations[index] = rows_fitted["iterations"]
        evals[index] = rows_fitted["impedance_evals"]
        seconds[index] = rows_fitted["time"]
        for i, error in zip(rows, rows_fitted["error"]):
            errors[i] = error
    scalars = dict(zip(SCALARS, (chi_square, success, iterations, evals, seconds, np.array(errors, dtype=object))))
    return params, stderr, scalars


def fit_chunk(circuits, items, fit_arguments, workers):
    """The rows of one chunk (`chunk_columns`), fitted on `workers` threads."""
    plan = plan_chunk(circuits, items)
    return chunk_columns(plan, fit_plan(plan, fit_arguments, workers))


class ChunkJob:
    """One chunk handed to `ChunkFits`: its rows once `wait` returns."""

    def __init__(self, plan, after):
        self.plan = plan
        self.after = after  # the job submitted before this one, until it is done
        self.done = threading.Event()
        self.fitted = None
        self.error = None

    def wait(self):
        """The chunk's rows (`chunk_columns`), or its exception raised here."""
        # Waited on in slices: Ctrl-C reaches a thread blocked without a
        # timeout only once the wait ends.
        while not self.done.wait(POLL_INTERVAL_S):
            pass
        if self.error is not None:
            raise self.error
        return chunk_columns(self.plan, self.fitted)


class ChunkFits:
    """Fits chunks in the order they are handed over, each on a thread of its
    own that starts on its chunk once the one before is done.

    That thread only runs the chunk's compiled fits; reading the chunk
    (`plan_chunk`) and its rows (`chunk_columns`) is left to the calling
    thread, which does it while the fits of another chunk run, so the cores
    do not wait on Python between chunks. A thread ends with its chunk, so
    nothing outlives a batch that is abandoned. The fits run inside a stop
    flag that `close` sets, which ends those in flight within milliseconds,
    as Ctrl-C does on the main thread.
    """

    def __init__(self, fit_arguments, workers):
        self._fit_arguments = fit_arguments
        self._workers = workers
        self._stop = _core.StopFlag()
        self._last = None

    def submit(self, circuits, items):
        job = ChunkJob(plan_chunk(circuits, items), self._last)
        self._last = job
        threading.Thread(target=self._fit, args=(job,), name="kelvra-chunk-fits").start()
        return job

    def close(self):
        """Stops the chunks in flight and waits until their threads are done."""
        self._stop.set()
        if self._last is not None:
            # Each job waits for the one before it, so the last is done last.
            self._last.done.wait()

    def _fit(self, job):
        try:
            # One chunk at a time has the cores: its loops use the workers.
            if job.after is not None:
                job.after.done.wait()
                job.after = None
            if self._stop.is_set():
                raise KeyboardInterrupt
            with self._stop:
                job.fitted = fit_plan(job.plan, self._fit_arguments, self._workers)
        except BaseException as error:  # handed to the thread that waits for the rows
            job.error = error
        finally:
            job.done.set()


def chunk_rows(circuits, items, fit_arguments):
    """The rows of `fit_chunk` on the calling thread alone, in the plain
    per-row form of the one-fit-at-a-time path (what a Dask task sends
    back): (None or (params, stderr, chi_square, success, iterations,
    impedance_evals), seconds, error)."""
    params, stderr, scalars = fit_chunk(circuits, items, fit_arguments, 1)
    names_of = {}
    rows = []
    for i, error in enumerate(scalars["error"]):
        seconds = float(scalars["time"][i])
        if error:
            rows.append((None, seconds, error))
            continue
        circuit = circuits[i]
        if id(circuit) not in names_of:
            names_of[id(circuit)] = (kelvra.Circuit(circuit) if isinstance(circuit, str) else circuit).param_names()
        names = names_of[id(circuit)]
        errors = {name: float(stderr[name][i]) for name in names}
        rows.append(((({name: float(params[name][i]) for name in names}),
                      None if all(np.isnan(v) for v in errors.values()) else errors,
                      float(scalars["chi_square"][i]), bool(scalars["success"][i]), int(scalars["iterations"][i]),
                      int(scalars["impedance_evals"][i])), seconds, ""))
    return rows


class CsvWriter:
    """Writes tables to a CSV file on a thread of its own, in the order given.

    The file gets its header from the first table and every later table must
    have the same columns. Only this thread writes, so Ctrl-C, which Python
    delivers to the main thread, can never cut a row in half; `close` waits
    for the tables handed over so far.
    """

    def __init__(self, path):
        self.path = path
        self.rows = 0
        self._columns = None
        self._file = open(path, "w", newline="", encoding="utf-8")
        self._queue = queue.Queue(maxsize=WRITE_AHEAD)
        self._failure = None
        self._thread = threading.Thread(target=self._run, name="kelvra-csv-writer")
        self._thread.start()

    def put(self, table):
        if self._failure is not None:
            raise self._failure
        columns = list(table.columns)
        if self._columns is None:
            self._columns = columns
        elif columns != self._columns:
            # A column that appears only later would be cut off or shift the
            # others; refuse rather than write a file that reads wrongly.
            raise ValueError(f"rows with columns {columns} cannot follow rows with columns {self._columns}")
        self._queue.put(table)

    def close(self):
        self._queue.put(None)
        self._thread.join()
        self._file.close()
        if self._failure is not None:
            raise self._failure

    def _run(self):
        header = True
        while True:
            table = self._queue.get()
            if table is None:
                return
            if self._failure is not None:
                continue
            try:
                table.to_csv(self._file, header=header, index=False)
                self._file.flush()
            except Exception as error:  # reported to the fitting thread at its next hand-over
                self._failure = error
                continue
            header = False
            self.rows += len(table)


def stopped_message(writer, total):
    of = "" if total is None else f" of {total}"
    return (f"kelvra: stopped after {writer.rows}{of} spectra; every row in {writer.path} is complete, "
            f"and the next spectrum to fit is number {writer.rows} (counting from 0)")


def report_stop(writer, total):
    print(stopped_message(writer, total), file=sys.stderr)
