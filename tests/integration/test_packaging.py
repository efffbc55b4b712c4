"""Packaging as a user meets it: `python -m build` (an sdist, then the wheel built from
it) installed into a clean virtual environment, `pip install .` from a checkout that it
leaves untouched, and `pip install -e .` importing the package from the source tree.
Each install runs a query from outside the tree. Every native build takes a while, so
the tests share builds where they can."""
import os
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Written once, in pyproject.toml.
VERSION = re.search(r'^version *= *"([^"]+)"',
                    open(os.path.join(REPO, "pyproject.toml")).read(), re.M).group(1)

pytestmark = pytest.mark.skipif(os.environ.get("ZT_SKIP_PACKAGING") == "1",
                                reason="packaging tests switched off")

QUERY = textwrap.dedent("""
    import sys, ztcondb, _pyztdb
    print(ztcondb.__file__)
    print(_pyztdb.__file__)
    conn = ztcondb.connect(host=sys.argv[1], port=int(sys.argv[2]),
                           database=sys.argv[3], user=sys.argv[4])
    cur = conn.cursor()
    cur.execute("select ? + 1, ?", (41, "ok"))
    print(cur.fetchone())
    conn.close()
""")


def _env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


def _run(cmd, **kw):
    proc = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, env=_env(), **kw)
    assert proc.returncode == 0, "%s failed:\n%s" % (" ".join(map(str, cmd)), proc.stdout[-4000:])
    return proc.stdout


def _venv(path, system_site=True):
    """A virtual environment; one that sees the interpreter's own packages borrows its
    pip (`python -m pip` installs into the environment) instead of installing a copy."""
    _run([sys.executable, "-m", "venv"]
         + (["--system-site-packages", "--without-pip"] if system_site else []) + [path])
    return os.path.join(str(path), "bin", "python")


def _query(python, pg, cwd):
    """(ztcondb's file, _pyztdb's file, the row) as the installed package sees them."""
    out = _run([python, "-c", QUERY, pg["host"], pg["port"], pg["db"], pg["user"]],
               cwd=str(cwd)).splitlines()
    assert out[-1] == "(42, 'ok')", out
    return out[-3], out[-2]


def _runpath(module):
    out = _run(["readelf", "-d", module])
    found = re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*)\]", out)
    return found


def _copy_tree(dest):
    """The checkout without build output, caches or git's folder (as a fresh clone)."""
    def ignore(folder, names):
        top = os.path.abspath(folder) == REPO
        return [n for n in names if n in ("__pycache__", ".pytest_cache")
                or (top and (n.startswith((".", "build", "dist"))))]
    shutil.copytree(REPO, str(dest), ignore=ignore)
    return dest


def _snapshot(tree):
    return sorted((os.path.relpath(os.path.join(d, f), str(tree)),
                   os.path.getmtime(os.path.join(d, f)))
                  for d, _, files in os.walk(str(tree)) for f in files)


def _has_build():
    # Asked from / so that a folder named build in the working directory does not answer.
    return subprocess.run([sys.executable, "-c", "import build.__main__"], env=_env(), cwd="/",
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """(sdist, wheel) from `python -m build` on a copy of the tree: the wheel is built
    from the unpacked sdist, so it proves the sdist is complete."""
    if not _has_build():
        pytest.skip("%s has no `build` module (Debian: apt-get install python3-build)"
                    % sys.executable)
    base = tmp_path_factory.mktemp("build")
    tree = _copy_tree(base / "src")
    _run([sys.executable, "-m", "build", "--no-isolation", "--outdir", base / "dist", tree],
         cwd=str(base))
    dist = sorted(os.listdir(str(base / "dist")))
    assert len(dist) == 2, dist
    return [str(base / "dist" / name) for name in dist]


def test_sdist_carries_the_sources_and_no_build_output(built):
    sdist = built[1] if built[1].endswith(".tar.gz") else built[0]
    top = "ztcondb-%s/" % VERSION
    names = [n[len(top):] for n in tarfile.open(sdist).getnames()]
    for needed in ("PKG-INFO", "LICENSE", "CHANGELOG.md", "pyproject.toml", "CMakeLists.txt",
                   "tools/ztcondb_build.py", "zotusql/CMakeLists.txt", "ztcondb/__init__.py",
                   "include/ZTCsql.h", "_pyztdb.pyi"):
        assert needed in names, needed
    assert not [n for n in names if n.startswith(("build", ".git/")) or "__pycache__" in n]


def test_wheel_carries_licence_metadata_library_and_package(built):
    wheel = zipfile.ZipFile(next(p for p in built if p.endswith(".whl")))
    names = wheel.namelist()
    info = "ztcondb-%s.dist-info/" % VERSION
    for needed in ("ztcondb/libzotusql.so.2", "ztcondb/__init__.py", "ztcondb/py.typed",
                   "_pyztdb-stubs/__init__.pyi", info + "LICENSE", info + "METADATA",
                   info + "RECORD", info + "entry_points.txt"):
        assert needed in names, needed
    assert any(n.startswith("_pyztdb.") and n.endswith(".so") for n in names)
    assert wheel.read(info + "LICENSE") == open(os.path.join(REPO, "LICENSE"), "rb").read()
    metadata = wheel.read(info + "METADATA").decode()
    assert "License: MIT" in metadata and "Author-email: " in metadata
    assert "Classifier: License :: OSI Approved :: MIT License" in metadata
    try:
        import tomllib
    except ImportError:
        return
    with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    assert "Version: %s\n" % project["version"] in metadata
    for label, url in project["urls"].items():
        assert "Project-URL: %s, %s\n" % (label, url) in metadata


def test_wheel_installs_into_a_clean_venv(built, tmp_path, pg):
    python = _venv(tmp_path / "venv", system_site=False)
    _run([python, "-m", "pip", "install", "--no-index", "-q",
          next(p for p in built if p.endswith(".whl"))])
    package, module = _query(python, pg, tmp_path)
    assert "site-packages" in package and "site-packages" in module
    assert _runpath(module) == ["$ORIGIN/ztcondb"]


TYPED_SCRIPT = textwrap.dedent("""
    from typing import Any, Optional, Tuple
    import ztcondb
    conn = ztcondb.connect(host="db", port=5432, database="app", user="me")
    conn.autocommit = True
    cur = conn.cursor()
    cur.executemany("insert into t values (?)", [(1,), (2,)])
    row: Optional[Tuple[Any, ...]] = cur.fetchone()
    named = conn.cursor(name="c", withhold=True)
    named.itersize = 10
    count: int = named.rowcount
""")


def _check_types_and_entry_point(python, folder):
    """The installed package as type checkers and SQLAlchemy find it: mypy --strict on a
    user script, stubtest of the package and the module, the dialect by entry point."""
    has = _run([python, "-c", "import importlib.util as u; print(*(bool(u.find_spec(m)) "
                "for m in ('mypy', 'sqlalchemy')))"], cwd=str(folder)).split()
    if has[0] == "True":
        script = folder / "typed_user.py"
        script.write_text(TYPED_SCRIPT)
        _run([python, "-m", "mypy", "--strict", "--cache-dir", folder / "mypy-cache", script],
             cwd=str(folder))
        _run([python, "-m", "mypy.stubtest", "--mypy-config-file", "/dev/null",
              "ztcondb", "_pyztdb"], cwd=str(folder))
    if has[1] == "True":
        out = _run([python, "-c", "import sqlalchemy as sa; print(type(sa.create_engine("
                    "'postgresql+ztcondb://u@h/d').dialect).__name__)"], cwd=str(folder))
        assert out.strip().splitlines()[-1] == "ZtcondbDialect"


def test_pip_install_builds_outside_the_checkout(tmp_path, pg):
    tree = _copy_tree(tmp_path / "src")
    before = _snapshot(tree)
    python = _venv(tmp_path / "venv")
    _run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "-q", tree],
         cwd=str(tmp_path))
    assert _snapshot(tree) == before
    package, module = _query(python, pg, tmp_path)
    assert "site-packages" in package and "site-packages" in module
    assert _runpath(module) == ["$ORIGIN/ztcondb"]
    _check_types_and_entry_point(python, tmp_path)


@pytest.mark.skipif(not _has_build(), reason="one more native build: checked under the "
                    "interpreter that has Debian's build module")
def test_editable_install_imports_the_package_from_the_tree(tmp_path, pg):
    tree = _copy_tree(tmp_path / "src")
    python = _venv(tmp_path / "venv")
    _run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "-q", "-e",
          tree], cwd=str(tmp_path))
    package, module = _query(python, pg, tmp_path)
    assert package == str(tree / "ztcondb" / "__init__.py")
    assert "site-packages" in module and _runpath(module) == ["$ORIGIN/ztcondb.libs"]
    # An edit in the tree shows without installing again.
    (tree / "ztcondb" / "edited.py").write_text("MARK = 7\n")
    assert _run([python, "-c", "import ztcondb.edited; print(ztcondb.edited.MARK)"],
                cwd=str(tmp_path)).strip() == "7"
