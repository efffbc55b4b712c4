"""The package's build backend (PEP 517 and PEP 660): builds the extension `_pyztdb` and
our `libzotusql` with CMake for the interpreter that runs it, and packs them with the
`ztcondb` package into a wheel; packs the source tree into an sdist that builds the same
wheel; and makes editable installs. It needs nothing but the standard library and CMake,
so `pip install --no-build-isolation .` works on interpreters without setuptools or wheel.

The extension is the top-level module `_pyztdb`; the library goes inside the package
(`ztcondb/libzotusql.so.2`), where the module's RUNPATH ($ORIGIN/ztcondb) finds it. CMake
builds in a temporary folder, so nothing is written into the source tree (a read-only
checkout installs).
"""
import base64
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAME = "ztcondb"


def _project_version():
    """[project]'s version in pyproject.toml, where it is written once (CMake reads the
    same line for the module's version()). A line match: no TOML parser on 3.9."""
    text = (ROOT / "pyproject.toml").read_text()
    found = re.search(r'^version *= *"([^"]+)"', text, re.M)
    if not found:
        raise RuntimeError("pyproject.toml has no version line")
    return found.group(1)


VERSION = _project_version()
SUMMARY = "A DB-API 2.0 database driver: the _pyztdb extension over libzotusql"
LICENSE = "MIT"
AUTHOR = "The ztcondb developers"
AUTHOR_EMAIL = "dev@ztcondb.local"
# The same as [project.urls] in pyproject.toml (a test holds them together).
URLS = [
    ("Homepage", "https://ztcondb.example.org/"),
    ("Documentation", "https://ztcondb.example.org/docs/usage.html"),
    ("Changelog", "https://ztcondb.example.org/changelog.html"),
    ("Source", "https://ztcondb.example.org/source/ztcondb.git"),
]
CLASSIFIERS = [
    "License :: OSI Approved :: MIT License",
    "Programming Language :: Python :: 3",
    "Programming Language :: C++",
    "Operating System :: POSIX :: Linux",
    "Topic :: Database",
]
# Where the library goes in an editable install (the package itself stays in the tree).
EDITABLE_LIBS = "ztcondb.libs"


def _tag():
    impl = "cp%d%d" % sys.version_info[:2]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return impl, impl, platform


def _build_native(build, rpath):
    """Runs CMake in the folder `build`; returns the paths of the module and of the
    library. `rpath` is the module's whole RUNPATH (no build folder is added)."""
    subprocess.check_call([
        "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DZT_BUILD_TESTS=OFF", "-DZT_PYTHONS=%s" % sys.executable,
        "-DZT_MODULE_RPATH=%s" % rpath,
    ], stdout=sys.stderr)
    subprocess.check_call(["cmake", "--build", str(build), "-j2", "--target", "pyztdb_1",
                           "zotusql"], stdout=sys.stderr)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return Path(build) / "python" / ("_pyztdb" + suffix), Path(build) / "lib" / LIBRARY


# The library under the name the module records (its soname).
LIBRARY = "libzotusql.so.2"
# The module's stub, installed as a stub-only package (PEP 561) where type checkers look.
STUB = "_pyztdb-stubs/__init__.pyi"
# The SQLAlchemy dialect, found by create_engine("postgresql+ztcondb://...").
ENTRY_POINTS = ("[sqlalchemy.dialects]\n"
                "postgresql.ztcondb = ztcondb.dialect:ZtcondbDialect\n")


def _metadata():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    lines = ["Metadata-Version: 2.1", "Name: " + NAME, "Version: " + VERSION,
             "Summary: " + SUMMARY, "Author: " + AUTHOR,
             "Author-email: %s <%s>" % (AUTHOR, AUTHOR_EMAIL), "License: " + LICENSE]
    lines += ["Project-URL: %s, %s" % url for url in URLS]
    lines += ["Classifier: " + c for c in CLASSIFIERS]
    lines += ["Requires-Python: >=3.9", "Description-Content-Type: text/markdown",
              "License-File: LICENSE"]
    return "\n".join(lines) + "\n\n" + readme


def _wheel_file():
    return ("Wheel-Version: 1.0\nGenerator: ztcondb_build\nRoot-Is-Purelib: false\n"
            "Tag: %s-%s-%s\n" % _tag())


def _dist_info():
    return "%s-%s.dist-info" % (NAME, VERSION)


def _package_files():
    """(path inside the wheel, bytes) of the Python package and the module's stub."""
    files = [(STUB, (ROOT / "_pyztdb.pyi").read_bytes())]
    package = ROOT / "ztcondb"
    for path in sorted(package.rglob("*")):
        if path.suffix in (".py", ".pyi", ".typed") and "__pycache__" not in path.parts:
            files.append(("ztcondb/" + path.relative_to(package).as_posix(), path.read_bytes()))
    return files


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def _write_wheel(wheel_directory, files):
    """Adds the dist-info files (metadata, licence, RECORD) and writes the wheel."""
    dist_info = _dist_info()
    files = files + [(dist_info + "/METADATA", _metadata().encode("utf-8")),
                     (dist_info + "/WHEEL", _wheel_file().encode("ascii")),
                     (dist_info + "/top_level.txt", b"_pyztdb\nztcondb\n"),
                     (dist_info + "/entry_points.txt", ENTRY_POINTS.encode("utf-8")),
                     (dist_info + "/LICENSE", (ROOT / "LICENSE").read_bytes())]
    record = [_record_line(p, d) for p, d in files] + [dist_info + "/RECORD,,"]
    files.append((dist_info + "/RECORD", ("\n".join(record) + "\n").encode("utf-8")))

    name = "%s-%s-%s-%s-%s.whl" % ((NAME, VERSION) + _tag())
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files:
            info = zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if path.endswith((".so", LIBRARY)) else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory(prefix="ztcondb-build-") as build:
        module, library = _build_native(build, "$ORIGIN/ztcondb")
        files = [(module.name, module.read_bytes()),
                 ("ztcondb/" + LIBRARY, library.read_bytes())]
        return _write_wheel(wheel_directory, files + _package_files())


# An editable install imports the package `ztcondb` from the source tree; the compiled
# module and the library are installed as files (rebuild with a new `pip install -e`).
_EDITABLE_FINDER = '''\
"""Imports the package ztcondb from its source tree (an editable install)."""
import importlib.machinery
import sys

SOURCE_ROOT = %r


class SourceTreeFinder:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != "ztcondb":
            return None
        return importlib.machinery.PathFinder.find_spec(name, [SOURCE_ROOT])


if not any(isinstance(f, type) and f.__name__ == "SourceTreeFinder" for f in sys.meta_path):
    sys.meta_path.append(SourceTreeFinder)
'''


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory(prefix="ztcondb-build-") as build:
        module, library = _build_native(build, "$ORIGIN/" + EDITABLE_LIBS)
        files = [(module.name, module.read_bytes()),
                 (EDITABLE_LIBS + "/" + LIBRARY, library.read_bytes()),
                 (STUB, (ROOT / "_pyztdb.pyi").read_bytes()),
                 ("_ztcondb_editable.py", (_EDITABLE_FINDER % str(ROOT)).encode("utf-8")),
                 ("__editable__.ztcondb.pth", b"import _ztcondb_editable\n")]
        return _write_wheel(wheel_directory, files)


def _is_packed(relative):
    """Whether a path of the source tree belongs in the sdist: not build output, caches
    or hidden files."""
    parts = Path(relative).parts
    top = parts[0]
    if top.startswith((".", "build", "dist")) or top.endswith(".egg-info"):
        return False
    return "__pycache__" not in parts and not relative.endswith(".pyc")


def _source_files():
    """The source tree's files (relative paths): git's list in a checkout (tracked and
    new files, not ignored ones), otherwise every file."""
    names = None
    if (ROOT / ".git").exists():
        try:
            out = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", "--cached",
                                  "--others", "--exclude-standard"], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, check=True).stdout
            names = [n for n in out.decode("utf-8").split("\0") if n]
        except (OSError, subprocess.CalledProcessError):
            names = None
    if names is None:
        names = [str(p.relative_to(ROOT)) for p in ROOT.rglob("*")]
    return sorted(n for n in set(names) if _is_packed(n) and (ROOT / n).is_file())


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    name = base + ".tar.gz"
    pkg_info = _metadata().encode("utf-8")
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz",
                      format=tarfile.PAX_FORMAT) as sdist:
        for relative in _source_files():
            path = ROOT / relative
            info = tarfile.TarInfo("%s/%s" % (base, relative))
            info.size = path.stat().st_size
            info.mtime = int(path.stat().st_mtime)
            info.mode = 0o755 if os.access(str(path), os.X_OK) else 0o644
            with open(str(path), "rb") as f:
                sdist.addfile(info, f)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(pkg_info)
        info.mode = 0o644
        sdist.addfile(info, io.BytesIO(pkg_info))
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = Path(metadata_directory) / _dist_info()
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (dist_info / "WHEEL").write_text(_wheel_file(), encoding="ascii")
    (dist_info / "LICENSE").write_bytes((ROOT / "LICENSE").read_bytes())
    (dist_info / "entry_points.txt").write_text(ENTRY_POINTS, encoding="utf-8")
    return dist_info.name


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel
