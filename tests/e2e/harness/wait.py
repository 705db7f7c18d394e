"""Bounded polling: wait for a condition, never for a fixed time."""

import time

POLL_INTERVAL = 0.05


class WaitTimeout(AssertionError):
    """A condition did not hold within its bound; fails the test that waited."""


def wait_for(probe, timeout, what):
    """Calls probe until it returns a true value and returns that value.

    Raises WaitTimeout naming `what` when `timeout` seconds pass first.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise WaitTimeout(f"gave up after {timeout} s waiting for {what}")
        time.sleep(POLL_INTERVAL)
