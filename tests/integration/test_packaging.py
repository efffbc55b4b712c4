"""`pip install .` into a fresh virtual environment builds and installs the extension,
our libzotusql and the package; `import ztcondb` then works from any folder."""
import os
import subprocess
import sys
import textwrap

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

QUERY = textwrap.dedent("""
    import os, sys, ztcondb, _pyztdb
    assert "site-packages" in ztcondb.__file__, ztcondb.__file__
    assert "site-packages" in _pyztdb.__file__, _pyztdb.__file__
    conn = ztcondb.connect(host=sys.argv[1], port=int(sys.argv[2]),
                           database=sys.argv[3], user=sys.argv[4])
    cur = conn.cursor()
    cur.execute("select ? + 1, ?", (41, "ok"))
    print(cur.fetchone())
    conn.close()
""")


def _run(cmd, **kw):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, **kw)
    assert proc.returncode == 0, "%s failed:\n%s" % (" ".join(cmd), proc.stdout[-4000:])
    return proc.stdout


@pytest.mark.skipif(os.environ.get("ZT_SKIP_PACKAGING") == "1",
                    reason="packaging test switched off")
def test_pip_install_into_fresh_venv(tmp_path, pg):
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)])
    python = str(venv / "bin" / "python")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    _run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "-q", REPO],
         env=env, cwd=str(tmp_path))
    out = _run([python, "-c", QUERY, pg["host"], str(pg["port"]), pg["db"], pg["user"]],
               env=env, cwd=str(tmp_path))
    assert "(42, 'ok')" in out


@pytest.mark.skipif(os.environ.get("ZT_SKIP_PACKAGING") == "1",
                    reason="packaging test switched off")
def test_wheel_carries_the_library(tmp_path):
    import zipfile
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    _run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-index",
          "--no-deps", "-q", "-w", str(tmp_path), REPO], env=env, cwd=str(tmp_path))
    wheels = list(tmp_path.glob("ztcondb-*.whl"))
    assert len(wheels) == 1
    names = zipfile.ZipFile(str(wheels[0])).namelist()
    assert "ztcondb/libzotusql.so" in names
    assert "ztcondb/__init__.py" in names and "ztcondb/py.typed" in names
    assert "_pyztdb.pyi" in names
    assert any(n.startswith("_pyztdb.") and n.endswith(".so") for n in names)
