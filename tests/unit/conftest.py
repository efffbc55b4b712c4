"""Unit tests run the driver against the scripted test double of libzotusql.

The module under test is the unit build (<build>/unit/python), linked with
<build>/double/libztdouble.so; the build directory is $ZT_BUILD_DIR or <repo>/build.
"""

import gc
import os
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")

for _path in (os.path.join(REPO, "tests", "double"), os.path.join(BUILD, "unit", "python")):
    if _path in sys.path:
        sys.path.remove(_path)
    sys.path.insert(0, _path)


def pytest_collection_finish(session):
    """Moves what exists once the tests are collected (pytest, the items, the imported
    modules) to the collector's permanent generation: the full collection each test
    starts with (zd) then walks only the objects the tests made, not the whole session."""
    gc.collect()
    gc.freeze()


def pytest_sessionfinish(session):
    # Handed back so that the interpreter frees them at exit like everything else (the
    # sanitized run reports whatever it does not free).
    gc.unfreeze()


@pytest.fixture
def zd():
    """The double's helper module, reset: nothing programmed, empty log."""
    import ztdouble

    # Objects left by an earlier test release their handles before the reset.
    gc.collect()
    ztdouble.reset()
    return ztdouble


@pytest.fixture
def conn(zd):
    """A connection opened through the double."""
    import _pyztdb

    return _pyztdb._connect(5432, "h", "d", "u", "p", "UTF8", "0")
