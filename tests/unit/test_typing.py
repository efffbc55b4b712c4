"""Help and types: every method of the module's types carries a docstring and a text
signature; the stub agrees with the module (mypy's stubtest) and a user script that
uses ztcondb passes `mypy --strict`."""
import os
import subprocess
import sys
import textwrap

import pytest

import _pyztdb

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(_pyztdb.__file__)

METHODS = sorted(
    [("module", name, getattr(_pyztdb, name)) for name in ("_connect", "version")]
    + [(owner.__name__, name, getattr(owner, name)) for owner in (_pyztdb.connection, _pyztdb.cursor)
       for name, value in vars(owner).items()
       if callable(value) and not name.startswith("__") or name in ("__enter__", "__exit__")],
    key=lambda t: t[:2])


@pytest.mark.parametrize("owner, name, method", METHODS, ids=[m[0] + "." + m[1] for m in METHODS])
def test_every_method_has_a_docstring_and_a_signature(owner, name, method):
    assert method.__doc__ and len(method.__doc__.strip()) > 10
    assert method.__text_signature__, "%s.%s has no text signature" % (owner, name)
    assert method.__text_signature__.startswith("(")


def _mypy_available():
    # Checked with the path the tests give mypy: an interpreter that borrows Debian's
    # packages for pytest alone (CPython 3.9) has no mypy of its own.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, REPO]))
    return subprocess.run([sys.executable, "-c", "import mypy.stubtest"], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


# Under the sanitizers mypy would run with them preloaded (slow, and its own leaks
# counted): the plain run checks the same stub.
needs_mypy = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or not _mypy_available(),
    reason="mypy is not installed (Debian: python3-mypy), or the sanitizers are preloaded")

USER_SCRIPT = textwrap.dedent('''
    import io
    from typing import List, Optional, Tuple, Any
    import ztcondb

    def main() -> None:
        conn = ztcondb.connect(host="db", port=5432, database="app", user="me")
        conn.autocommit = False
        with conn.cursor() as cur:
            cur.execute("select ?", (1,))
            row: Optional[Tuple[Any, ...]] = cur.fetchone()
            rows: List[Tuple[Any, ...]] = cur.fetchmany(10) + cur.fetchall()
            cur.executemany("insert into t values (?)", ((i,) for i in range(3)))
            count: int = cur.rowcount
            cur.copy_expert("copy t to stdout", io.StringIO())
            print(row, rows, count, cur.description, conn.closed)
        named = conn.cursor(name="c", withhold=True)
        named.itersize = 100
        for r in named:
            print(r)
        try:
            conn.commit()
        except ztcondb.DatabaseError as exc:
            print(exc)
        conn.close()
''')


@needs_mypy
def test_stub_agrees_with_the_module_and_a_user_script_passes_strict(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, REPO]),
               MYPY_CACHE_DIR=str(tmp_path / "cache"))
    # The stub against the extension and the package's inline types against the package
    # (type-only imports are kept private, so stubtest does not look for them at run time).
    stubtest = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ztcondb", "_pyztdb"],
                              cwd=REPO, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True)
    assert stubtest.returncode == 0, stubtest.stdout[-3000:]
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT)
    strict = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(script)],
                            cwd=REPO, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True)
    assert strict.returncode == 0, strict.stdout[-3000:]
