"""Shared fixtures of the Python tests."""
import _thread
import signal
import threading
import time

import pytest


class CtrlC:
    """Ctrl-C for the main thread `seconds` after entering, then again every
    `again` seconds until the block is left.

    One interrupt is not enough for a test that must end: the interpreter
    runs a pending signal handler in whatever Python frame comes next, a
    finalizer's included, and drops the KeyboardInterrupt raised there (a
    Dask cluster collected late runs such finalizers), which would leave the
    fits of the test running. While the block is open the handler raises
    KeyboardInterrupt; once it is left, an interrupt still pending is
    ignored, so it cannot fall on the test's later lines. `again` leaves
    the work stopped by the first interrupt time to clean up.
    """

    def __init__(self, seconds, again=1.0, send=_thread.interrupt_main):
        self._seconds = seconds
        self._again = again
        self._send_one = send
        self.sent = []  # the times of the interrupts sent
        self._armed = False
        self._done = threading.Event()
        self._sender = threading.Thread(target=self._send, name="ctrl-c", daemon=True)
        self._previous = None

    def _handle(self, signum, frame):
        if self._armed:
            raise KeyboardInterrupt

    def _send(self):
        wait = self._seconds
        while not self._done.wait(wait):
            self.sent.append(time.monotonic())
            self._send_one()
            wait = self._again

    def __enter__(self):
        self._previous = signal.signal(signal.SIGINT, self._handle)
        self._armed = True
        self._sender.start()
        return self

    def __exit__(self, *exc_info):
        # A pending interrupt may fire on any line here while still armed:
        # the disarming is retried until it has happened.
        while True:
            try:
                self._armed = False
                break
            except KeyboardInterrupt:
                continue
        self._done.set()
        self._sender.join()
        # Runs any interrupt still pending, with the disarmed handler.
        signal.signal(signal.SIGINT, self._previous)
        return False


@pytest.fixture
def ctrl_c():
    """ctrl_c(seconds, again=1.0, send=_thread.interrupt_main): a context
    manager sending Ctrl-C to the main thread with `send` after `seconds`,
    then every `again` seconds until it is left; its `sent` lists when."""
    return CtrlC
