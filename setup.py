"""Builds the `ztcondb` package with its extension module `_pyztdb` and our
`libzotusql` through CMake, for the interpreter that runs it:

    python3 -m pip install --no-build-isolation .

The extension is installed as the top-level module `_pyztdb`; the library goes
inside the package (`ztcondb/libzotusql.so`), where the module's RPATH finds it, so a
wheel carries everything it needs.
"""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_temp = Path(self.build_temp).resolve() / "cmake"
        build_temp.mkdir(parents=True, exist_ok=True)
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_temp),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DZT_BUILD_TESTS=OFF",
            f"-DZT_PYTHONS={sys.executable}",
            "-DZT_MODULE_RPATH=$ORIGIN/ztcondb",
        ])
        subprocess.check_call(["cmake", "--build", str(build_temp), "-j2",
                               "--target", "pyztdb_1", "zotusql"])
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        module = build_temp / "python" / f"_pyztdb{suffix}"
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(module, target)
        # Editors and type checkers find the module's stub next to it.
        shutil.copy2(ROOT / "_pyztdb.pyi", target.parent / "_pyztdb.pyi")
        library_dir = target.parent / "ztcondb"
        library_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(build_temp / "lib" / "libzotusql.so", library_dir / "libzotusql.so")


setup(
    name="ztcondb",
    version="2.3.1",
    description="A DB-API 2.0 database driver: the _pyztdb extension over libzotusql",
    long_description=(ROOT / "README.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    python_requires=">=3.9",
    packages=["ztcondb"],
    package_data={"ztcondb": ["py.typed", "*.pyi"]},
    py_modules=[],
    data_files=[],
    ext_modules=[Extension("_pyztdb", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
