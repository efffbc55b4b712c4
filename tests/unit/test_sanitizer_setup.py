"""The sanitized test run reports a leak of one object's reference in the driver.

The sanitized build has a hidden `_pyztdb._leak_probe(obj)` that takes a reference and
never gives it back. A child interpreter with the same environment as this test (the
preloaded sanitizer runtime, Python's allocator switched to malloc, the leak options of
scripts/run-asan-tests) must exit with a leak report naming the object's size when it
calls the probe, and cleanly when it does not: no suppression may hide the interpreter's
allocations, and the interpreter itself must leave nothing behind.
"""
import os
import subprocess
import sys

import pytest

import _pyztdb

LEAKED_BYTES = 40000

CHILD = """
import _pyztdb
value = bytes({size})
if {leak}:
    _pyztdb._leak_probe(value)
del value
"""


@pytest.mark.skipif(not hasattr(_pyztdb, "_leak_probe"),
                    reason="only the sanitized build has the leak probe")
@pytest.mark.parametrize("leak", [False, True], ids=["clean", "planted"])
def test_one_leaked_reference_is_reported(leak):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", CHILD.format(size=LEAKED_BYTES, leak=leak)],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    reported = "LeakSanitizer: detected memory leaks" in proc.stdout
    assert reported == leak, proc.stdout[-3000:]
    assert (proc.returncode != 0) == leak, proc.stdout[-3000:]
    if leak:
        # The bytes object: its payload and header in one allocation.
        assert "Direct leak of %d byte(s) in 1 object(s)" % (LEAKED_BYTES + 33) in proc.stdout
