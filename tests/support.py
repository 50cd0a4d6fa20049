"""Small helpers shared by the tests."""
from __future__ import annotations

import threading
import time


def wait_until(predicate, timeout: float = 5.0, interval: float = 0.01) -> bool:
    """Polls `predicate` until it is true or `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


class Recorder:
    """A handler that records its calls, thread-safely."""

    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()
        self.threads = set()

    def __call__(self, *args):
        with self.lock:
            self.calls.append(args)
            self.threads.add(threading.get_ident())

    def snapshot(self):
        with self.lock:
            return list(self.calls)

    def wait_for(self, count: int, timeout: float = 5.0) -> bool:
        return wait_until(lambda: len(self.snapshot()) >= count, timeout)
