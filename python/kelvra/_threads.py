"""The one thread fan-out of the user layer: `map_in_threads`.

Batch fits, rankings, Kramers-Kronig tests and the command line all run
their independent tasks through it. The compiled fit releases the
interpreter lock for its numerical work, so plain threads run as many fits
at once as there are cores.
"""
from __future__ import annotations

import itertools
import os
import sys
import threading
from typing import Any, Callable, List, Optional

from . import _core

# A progress bar appears only on batches still running after this long.
PROGRESS_DELAY_S = 1.0
# How often the waiting thread updates the bar and notices Ctrl-C.
POLL_INTERVAL_S = 0.1


def usable_cores() -> int:
    """The CPUs this process may run on (its affinity mask where the OS has one)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def positive_count(workers: Any) -> int:
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    return workers


def thread_count(workers: Optional[int]) -> int:
    """`workers` checked, or every usable core when it is None."""
    return usable_cores() if workers is None else positive_count(workers)


def map_in_threads(task: Callable[[int], Any], count: int, threads: int, progress: Optional[bool] = None) -> List[Any]:
    """[task(0), ..., task(count - 1)], computed on `threads` threads.

    Each thread claims the next index when it is done with one, and the
    results keep index order. The calling thread only waits and updates the
    progress bar, so Ctrl-C reaches it within a poll: it then sets the
    batch's stop flag, which the native work of every thread polls as the
    main thread polls for signals, so the fits in flight stop within
    milliseconds, and the interrupt propagates with no partial result. An
    exception from `task` stops the batch the same way and is raised here;
    tasks that can fail should return their failure instead.

    `progress` True shows a tqdm bar, False never does; None shows one when
    tqdm is installed, stderr is a terminal and the work takes longer than a
    second. A bar that is shown ends at `count` when every task is done.
    """
    results: List[Any] = [None] * count
    threads = max(1, min(threads, count))
    # Claiming is one call into a C iterator, atomic under the interpreter lock.
    claim = itertools.count()
    # Shared with the native work of every thread (see `_core.StopFlag`).
    stop = _core.StopFlag()
    lock = threading.Lock()
    finished = threading.Event()
    running = [threads]
    # Tasks done by each thread, written only by that thread.
    done = [0] * threads
    fatal: List[BaseException] = []

    def work(t: int) -> None:
        try:
            with stop:
                for i in claim:
                    if i >= count or stop.is_set():
                        return
                    results[i] = task(i)
                    done[t] += 1
        except BaseException as error:  # stops every thread and reaches the caller
            # A thread stopped by the flag raises KeyboardInterrupt; the error
            # that set the flag came first and is the one reported.
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
    bar = progress_bar(progress, count)
    try:
        for thread in pool:
            thread.start()
        while not finished.wait(POLL_INTERVAL_S):
            advance(bar, sum(done))
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
            # The last tasks may finish between two polls: the bar shows them.
            advance(bar, sum(done))
            bar.close()
    if fatal:
        raise fatal[0]
    return results


def progress_bar(progress: Optional[bool], total: int) -> Any:
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
    tqdm = require("tqdm").tqdm
    return tqdm(total=total, unit="fit")


def advance(bar: Any, done: int) -> None:
    if bar is not None and done > bar.n:
        bar.update(done - bar.n)


def require(package: str) -> Any:
    """Imports an optional package, or raises an ImportError naming it."""
    try:
        return __import__(package)
    except ImportError as error:
        raise ImportError(f"this needs the optional package {package!r}; install it (Debian: "
                          f"python3-{package})") from error
