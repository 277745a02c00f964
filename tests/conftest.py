import gc
import os
import sys

import pytest

# The kit's test module is built beside the C++ tests, never installed.
_TEST_MODULES = os.environ.get("KORVALINTH_TEST_MODULES")
if _TEST_MODULES:
    sys.path.insert(0, os.path.abspath(_TEST_MODULES))


@pytest.fixture
def kit_probe():
    if not _TEST_MODULES:
        pytest.skip("KORVALINTH_TEST_MODULES is not set (the kit test module is only built in a developer build)")
    import _kit_probe

    return _kit_probe


def run_in_thread(fn):
    """Runs fn on a new thread; returns what it returned or raised."""
    import threading

    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as e:  # PanicException is a BaseException
            outcome["raised"] = e

    # This thread's cyclic garbage is collected here: a collection started on
    # the new thread would find this thread's objects and refuse to drop them.
    gc.collect()
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


@pytest.fixture
def unraisable():
    """Collects what sys.unraisablehook receives during the test."""
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = previous
