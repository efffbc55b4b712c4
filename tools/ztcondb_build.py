"""The package's build backend (PEP 517): builds the extension `_pyztdb` and our
`libzotusql` with CMake for the interpreter that runs it, and packs them with the
`ztcondb` package into a wheel. It needs nothing but the standard library and CMake,
so `pip install --no-build-isolation .` works on interpreters without setuptools or
wheel.

The extension is the top-level module `_pyztdb`; the library goes inside the package
(`ztcondb/libzotusql.so`), where the module's RPATH finds it.
"""
import base64
import hashlib
import os
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAME = "ztcondb"
VERSION = "2.3.1"
SUMMARY = "A DB-API 2.0 database driver: the _pyztdb extension over libzotusql"


def _tag():
    impl = "cp%d%d" % sys.version_info[:2]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return impl, impl, platform


def _build_native():
    """Runs CMake; returns the paths of the module and of the library."""
    impl, _, platform = _tag()
    build = ROOT / "build-pip" / ("%s-%s" % (impl, platform))
    subprocess.check_call([
        "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DZT_BUILD_TESTS=OFF", "-DZT_PYTHONS=%s" % sys.executable,
        "-DZT_MODULE_RPATH=$ORIGIN/ztcondb",
    ], stdout=sys.stderr)
    subprocess.check_call(["cmake", "--build", str(build), "-j2", "--target", "pyztdb_1",
                           "zotusql"], stdout=sys.stderr)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return build / "python" / ("_pyztdb" + suffix), build / "lib" / "libzotusql.so"


def _metadata():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\n"
            "Requires-Python: >=3.9\nDescription-Content-Type: text/markdown\n\n%s"
            % (NAME, VERSION, SUMMARY, readme))


def _wheel_file():
    return ("Wheel-Version: 1.0\nGenerator: ztcondb_build\nRoot-Is-Purelib: false\n"
            "Tag: %s-%s-%s\n" % _tag())


def _files():
    """(path inside the wheel, bytes) of everything the wheel carries."""
    module, library = _build_native()
    files = [(module.name, module.read_bytes()),
             ("_pyztdb.pyi", (ROOT / "_pyztdb.pyi").read_bytes()),
             ("ztcondb/libzotusql.so", library.read_bytes())]
    for path in sorted((ROOT / "ztcondb").iterdir()):
        if path.suffix in (".py", ".pyi", ".typed"):
            files.append(("ztcondb/" + path.name, path.read_bytes()))
    return files


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = "%s-%s.dist-info" % (NAME, VERSION)
    files = _files()
    files.append((dist_info + "/METADATA", _metadata().encode("utf-8")))
    files.append((dist_info + "/WHEEL", _wheel_file().encode("ascii")))
    files.append((dist_info + "/top_level.txt", b"_pyztdb\nztcondb\n"))
    record = [_record_line(p, d) for p, d in files] + [dist_info + "/RECORD,,"]
    files.append((dist_info + "/RECORD", ("\n".join(record) + "\n").encode("utf-8")))

    name = "%s-%s-%s-%s-%s.whl" % ((NAME, VERSION) + _tag())
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files:
            info = zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if path.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = Path(metadata_directory) / ("%s-%s.dist-info" % (NAME, VERSION))
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (dist_info / "WHEEL").write_text(_wheel_file(), encoding="ascii")
    return dist_info.name
