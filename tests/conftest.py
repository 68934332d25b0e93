import importlib
import logging
import pathlib
import threading

import pytest

DATA = pathlib.Path(__file__).parent / "data"
PACKAGE = "sorvel_layer._internal"


def load(name):
    return importlib.import_module(f"{PACKAGE}.{name}")


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def warnings_of():
    """Collects the records logged under the package's logger tree."""
    root = logging.getLogger(PACKAGE)
    handler = _Records()
    saved = (root.level, root.propagate)
    root.addHandler(handler)
    root.setLevel(1)
    root.propagate = False
    try:
        yield handler.records
    finally:
        root.removeHandler(handler)
        root.setLevel(saved[0])
        root.propagate = saved[1]


def run_together(threads):
    """Starts every thread, then waits for them all."""
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def run_in_threads(target, count):
    """Runs target() on `count` threads at once."""
    run_together([threading.Thread(target=target) for _ in range(count)])
