"""Fitting circuits to many spectra: a thread pool over the compiled fit on
this machine, or a Dask cluster when one machine is not enough.

The compiled fit releases the interpreter lock for its numerical work, so
plain threads run as many fits at once as there are cores. Every spectrum
gives one row of the result table, in input order; a spectrum that cannot be
fitted records its error in its row instead of stopping the batch.
"""

import time
from collections.abc import Mapping

import numpy as np

import kelvra
from kelvra._threads import map_in_threads, positive_count, require as _require, thread_count, usable_cores  # noqa: F401
from kelvra.io import as_spectrum

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
        from kelvra._dask import run_on_dask

        rows = run_on_dask(client, circuits, data, fit_arguments, warm_start, progress)
    else:
        threads = thread_count(workers)
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
    from kelvra._dask import fit_partition, plain_circuit

    _require("pandas")
    one = circuits_for(circuit, 1)[0]
    names = one.param_names()
    meta = result_table(key, np.empty(0, dtype=key_values(frame, key).dtype), [], [], names=names)
    return frame.map_partitions(fit_partition, plain_circuit(one), key, fit_arguments, meta=meta)


# --- inputs -----------------------------------------------------------------

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
        spectrum = as_spectrum(frequencies, impedances)
        result = circuit.fit(spectrum.frequencies, spectrum.impedances, **fit_arguments)
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
    import pandas

    return pandas.DataFrame(columns)
