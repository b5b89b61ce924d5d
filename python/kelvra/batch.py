"""Fitting circuits to many spectra: a thread pool over the compiled fit on
this machine, or a Dask cluster when one machine is not enough.

The compiled fit releases the interpreter lock for its numerical work, so
plain threads run as many fits at once as there are cores. Every spectrum
gives one row of the result table, in input order; a spectrum that cannot be
fitted records its error in its row instead of stopping the batch.
"""

import itertools
import time

import numpy as np

import kelvra
from kelvra import _core
from kelvra._chunked import SCALARS, ChunkFits, CsvWriter, chunks, iter_jobs, report_stop
from kelvra._threads import (map_in_threads, positive_count, progress_bar, require,  # noqa: F401
                             require as _require, thread_count, usable_cores)
from kelvra.io import as_spectrum
from kelvra.tables import MANY_FITS_EARLY_STOP, MANY_FITS_JACOBIAN, MANY_FITS_OPTIONS

# Whether fit_many fits its chunks in the compiled batch; the
# one-fit-at-a-time path gives the same rows, and is what a Dask cluster and
# a warm-started chain run.
COMPILED_BATCH = True

KEY_COLUMN = "key"
SCALAR_COLUMNS = SCALARS
# The spectrum comes from the batch, never from the caller's fit arguments.
SPECTRUM_ARGUMENTS = ("frequencies", "impedances")


def fit_many(circuit, spectra, *, workers=None, progress=None, warm_start=False, key=None, client=None, out=None,
             early_stop=MANY_FITS_EARLY_STOP, jacobian=MANY_FITS_JACOBIAN, robust=False, **fit_arguments):
    """Fit `circuit` to every spectrum of `spectra`, one row per spectrum.

    Parameters
    ----------
    circuit : Circuit, str, or a sequence of them
        One circuit for all spectra, or one per spectrum.
    spectra : iterable
        A list of (frequencies, impedances) pairs; a dict of such pairs (its
        keys become the rows' keys); a pair (frequencies, 2-D array) whose
        rows are spectra over the shared frequencies; a long-format battery
        data format dataframe holding many spectra told apart by the column
        `key` (pandas, or Dask, read a partition at a time); or any iterable
        of pairs, such as a generator reading them from files.
    workers : int, optional
        Caps the fitting threads (default: the cores this process may use).
    progress : bool, optional
        True shows a tqdm bar, False never does; None shows one when tqdm is
        installed, stderr is a terminal and the batch takes longer than a
        second.
    warm_start : bool
        Start each fit from the previous spectrum's fitted values (for series
        that change slowly); such a chain runs in one thread.
    key : str, optional
        The column that tells a dataframe's spectra apart.
    client : distributed.Client, optional
        Run the fits on its workers instead, in chunks of spectra sent as
        plain arrays and circuit strings; each worker fits as many chunks at
        once as it has threads.
    out : str or path-like, optional
        Write the rows to this CSV file as their chunks finish, in input
        order, and return the number of rows written instead of a table;
        only the chunks in flight are held in memory. Ctrl-C stops such a
        run after its last complete chunk: the file then holds complete rows
        only, and a message on stderr says how many.
    robust : bool
        Fit each spectrum with `kelvra.robust.robust_fit`, one spectrum at a
        time, which searches for a better minimum at several times the cost
        of a fit (not with `out`).
    early_stop : str
        That of ``Circuit.fit``, but "lagging" by default here
        (`kelvra.tables.MANY_FITS_EARLY_STOP`): each run of a fit also ends
        once its chi-square has settled, instead of crawling on through its
        whole budget where the data no longer decide a parameter, and a
        starting point's run ends once it reaches the path of an earlier
        start's run, which it would follow to the same end, or once it lags
        so far behind the earlier starts' best result that at its pace it
        could not catch up. Pass "plausible" (or None) for the full rule of
        a single fit.
    jacobian : str
        That of ``Circuit.fit``, but "analytic" by default here
        (`kelvra.tables.MANY_FITS_JACOBIAN`): derivatives by the chain rule
        through the circuit, several times faster than the central
        differences of a single fit, which "central" (or None) asks for.
    **fit_arguments
        Passed to ``Circuit.fit``.

    Returns
    -------
    pandas.DataFrame or int
        The columns: the key, every parameter, every parameter's standard
        error under its name followed by "_stderr", "chi_square", "success",
        "iterations", "impedance_evals", "time" (seconds spent on the
        spectrum) and "error" (empty when the fit ran, otherwise the
        exception's type and message: a spectrum that cannot be fitted,
        `kelvra.io.PointError` included, records its error in its row). With
        `out`, the number of rows written.

    Raises
    ------
    ImportError
        pandas (or tqdm for ``progress=True``) is not installed.
    KeyboardInterrupt
        Ctrl-C stops an in-memory batch and returns nothing.

    `robust` True fits each spectrum with `kelvra.robust.robust_fit`, one
    spectrum at a time, which searches for a better minimum at several times
    the cost of a fit (not with `out=`).

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
    exception's type and message). Ctrl-C stops an in-memory batch and
    returns nothing.
    """
    for name in SPECTRUM_ARGUMENTS:
        if name in fit_arguments:
            raise TypeError(f"fit_many() takes the spectra from `spectra`, not from {name!r}")
    fit_arguments["early_stop"] = early_stop
    fit_arguments["jacobian"] = jacobian
    if robust:
        if client is not None:
            raise ValueError("robust=True fits on local threads; it does not apply with client=")
        fit_arguments["robust"] = True
    key_name = KEY_COLUMN if key is None else key
    if robust or client is not None or warm_start or not COMPILED_BATCH:
        if out is not None:
            raise ValueError("out= streams the compiled batch; it does not apply with client=, warm_start=True "
                             "or robust=True")
        return _fit_one_by_one(circuit, spectra, key, key_name, workers, progress, warm_start, client,
                               fit_arguments)
    threads = thread_count(workers)
    # A check of every argument before the first chunk: a bad one fails the
    # call, not a chunk's worth of rows.
    _core._fit_batch(kelvra.Circuit("R0").with_values([1.0]), [], [], threads, fit_arguments)
    total = _known_count(spectra)
    if isinstance(circuit, (str, kelvra.Circuit)):
        one = kelvra.Circuit(circuit) if isinstance(circuit, str) else circuit
        names = one.param_names()
        circuit_stream = itertools.repeat(one)
    else:
        circuit = list(circuit)
        if total is not None and len(circuit) != total:
            raise ValueError(f"got {len(circuit)} circuits for {total} spectra")
        names = parameter_names(circuit)
        circuit_stream = iter(circuit)
    tables = _chunk_tables(iter_jobs(spectra, key), circuit_stream, key_name, names, threads, fit_arguments,
                           progress, total)
    if out is None:
        import pandas

        parts = list(tables)
        return pandas.concat(parts, ignore_index=True) if parts else columns_table(key_name, [], names, {}, {}, {})
    writer = CsvWriter(out)
    try:
        for table in tables:
            writer.put(table)
    except KeyboardInterrupt:
        writer.close()
        report_stop(writer, total)
        raise
    except BaseException:
        writer.close()
        raise
    writer.close()
    return writer.rows


def _known_count(spectra):
    """How many spectra `spectra` holds, where that is known without reading them."""
    if hasattr(spectra, "columns"):  # a dataframe: its rows are points, not spectra
        return None
    if isinstance(spectra, tuple) and len(spectra) == 2 and np.ndim(spectra[1]) == 2:
        return len(spectra[1])
    return len(spectra) if hasattr(spectra, "__len__") else None


def _chunk_tables(jobs, circuit_stream, key_name, names, threads, fit_arguments, progress, total):
    """The result table of each chunk of `jobs`, in order.

    Each chunk is fitted on a thread of its own (`ChunkFits`) while this one
    reads the next chunk and then builds the table of the one before.
    """
    bar = progress_bar(progress, total) if total is None or total > 0 else None
    if bar is None and progress is True:
        bar = require("tqdm").tqdm(unit="fit")
    fits = ChunkFits(fit_arguments, threads)
    pending = None  # (keys, job) of the chunk being fitted

    def finished(keys, job):
        """The table of the chunk `job` fits, then the bar moved past it."""
        params, stderr, scalars = job.wait()
        yield columns_table(key_name, keys, names, params, stderr, scalars)
        if bar is not None:
            bar.update(len(keys))

    try:
        for chunk in _read_chunks(jobs, circuit_stream):
            if isinstance(chunk, Exception):
                # The chunks before the one that could not be read still get their rows.
                if pending is not None:
                    yield from finished(*pending)
                raise chunk
            circuits, items, keys = chunk
            job = fits.submit(circuits, items)
            if pending is not None:
                yield from finished(*pending)
            pending = (keys, job)
        if pending is not None:
            yield from finished(*pending)
    finally:
        fits.close()
        if bar is not None:
            bar.close()


def _read_chunks(jobs, circuit_stream):
    """(circuits, fit inputs, keys) of each chunk of `jobs`; where reading
    one fails, its exception instead, and nothing after it."""
    chunk_iterator = chunks(jobs)
    while True:
        try:
            chunk = next(chunk_iterator, None)
            if chunk is None:
                return
            circuits = list(itertools.islice(circuit_stream, len(chunk)))
            if len(circuits) != len(chunk):
                raise ValueError("got fewer circuits than spectra")
        except Exception as error:  # raised by the caller once the chunks before it are out
            yield error
            return
        yield circuits, [item for _, item in chunk], [k for k, _ in chunk]


def _fit_one_by_one(circuit, spectra, key, key_name, workers, progress, warm_start, client, fit_arguments):
    """The rows fitted one `Circuit.fit` at a time: on a Dask cluster, in a
    warm-started chain, or where the compiled batch is switched off."""
    keys, data = spectrum_jobs(spectra, key)
    circuits = circuits_for(circuit, len(data))
    if client is not None:
        if workers is not None:
            raise ValueError("workers= applies to local threads; a Dask worker runs as many fits as it has threads")
        from kelvra._dask import run_on_dask

        rows = run_on_dask(client, circuits, data, fit_arguments, warm_start, progress)
    else:
        threads = thread_count(workers)
        # A warm-started series is one chain of fits, so it runs on one thread.
        rows = map_in_threads(row_maker(circuits, data, fit_arguments, warm_start), len(data),
                              1 if warm_start else threads, progress)
    return result_table(key_name, keys, circuits, rows)


def fit_partitions(circuit, frame, key, **fit_arguments):
    """Map a Dask dataframe of many spectra to a Dask dataframe of fit rows.

    Each partition of `frame` is a long-format battery data format dataframe
    whose spectra are told apart by the column `key`; every spectrum's rows
    must lie in one partition (for example a partition per file, or a frame
    indexed by `key`). `circuit` is one circuit for all spectra. The rows are
    those of `fit_many` (early_stop="lagging" and jacobian="analytic" unless
    given), with a
    partition's spectra fitted one after another on the Dask worker thread
    that holds it.
    """
    from kelvra._dask import fit_partition, plain_circuit

    _require("pandas")
    fit_arguments = {**MANY_FITS_OPTIONS, **fit_arguments}
    one = circuits_for(circuit, 1)[0]
    names = one.param_names()
    meta = result_table(key, np.empty(0, dtype=key_values(frame, key).dtype), [], [], names=names)
    return frame.map_partitions(fit_partition, plain_circuit(one), key, fit_arguments, meta=meta)


# --- inputs -----------------------------------------------------------------

def spectrum_jobs(spectra, key):
    """The spectra as parallel lists of keys and fit inputs (see `iter_jobs`)."""
    jobs = list(iter_jobs(spectra, key))
    return [k for k, _ in jobs], [item for _, item in jobs]


def key_values(frame, key):
    """The column `key` of a (pandas or Dask) dataframe, or its index level of that name."""
    if key in frame.columns:
        return frame[key]
    if key in (frame.index.names if hasattr(frame.index, "names") else [frame.index.name]):
        return frame.index.get_level_values(key) if hasattr(frame.index, "get_level_values") else frame.index
    raise KeyError(f"no column or index level {key!r} in the dataframe")


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
        spectrum = as_spectrum(frequencies, impedances)
        options = dict(fit_arguments)
        if options.pop("robust", False):
            from .robust import robust_fit

            result = robust_fit(circuit, spectrum.frequencies, spectrum.impedances, **options).result
        else:
            result = circuit.fit(spectrum.frequencies, spectrum.impedances, **options)
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
    """The rows of the one-fit-at-a-time path as a table (see `columns_table`)."""
    names = parameter_names(circuits) if names is None else names
    count = len(rows)
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
    scalars = dict(zip(SCALAR_COLUMNS, (chi_square, success, iterations, evals,
                                        np.array([row[1] for row in rows], dtype=float),
                                        np.array([row[2] for row in rows], dtype=object))))
    return columns_table(key_name, keys, names, params, stderr, scalars)


def columns_table(key_name, keys, names, params, stderr, scalars):
    """The one table of batch rows, a pandas DataFrame: the key, every
    parameter of `names`, their standard errors under the name followed by
    "_stderr", then the scalar columns. A parameter a row's circuit lacks,
    and every column of an empty table, is NaN or empty."""
    import pandas

    count = len(keys)
    columns = {key_name: key_column(keys)}
    columns.update({name: params.get(name, np.full(count, np.nan)) for name in names})
    columns.update({f"{name}_stderr": stderr.get(name, np.full(count, np.nan)) for name in names})
    empty = dict(zip(SCALAR_COLUMNS, (np.full(count, np.nan), np.zeros(count, dtype=bool),
                                      np.zeros(count, dtype=np.int64), np.zeros(count, dtype=np.int64),
                                      np.zeros(count), np.full(count, "", dtype=object))))
    columns.update({name: scalars.get(name, empty[name]) for name in SCALAR_COLUMNS})
    from .verdict import trusted_column

    # The verdict a table can give without the spectra: convergence and the
    # parameter flags (kelvra.verdict.trusted_column).
    columns["trusted"] = trusted_column(names, {name: columns[name] for name in names},
                                        {name: columns[f"{name}_stderr"] for name in names}, columns["success"],
                                        columns["chi_square"])
    return pandas.DataFrame(columns)
