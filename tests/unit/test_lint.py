"""The lint step of make test: pyflakes over the Python code (a `# noqa` comment on the
reported line silences it, as with flake8) and `mypy --strict` over the ztcondb package.
Skipped where the interpreter has no pyflakes or mypy (Debian: python3-pyflakes,
python3-mypy), and under the sanitizers, where the plain run checks the same code."""
import os
import subprocess
import sys

import pytest

from test_typing import needs_mypy

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")
LINTED = ["ztcondb", "tests", "bench", "tools", "examples"]

try:
    from pyflakes import api as flakes_api
except ImportError:
    flakes_api = None

needs_pyflakes = pytest.mark.skipif(
    flakes_api is None or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="pyflakes is not installed (Debian: python3-pyflakes), or the sanitizers are preloaded")


class _Collected:
    """A pyflakes reporter that keeps the messages; syntax errors count as findings."""

    def __init__(self):
        self.found = []

    def flake(self, message):
        self.found.append(message)

    def syntaxError(self, filename, msg, lineno, offset, text):
        self.found.append("%s:%s: %s" % (filename, lineno, msg))

    def unexpectedError(self, filename, msg):
        self.found.append("%s: %s" % (filename, msg))


def _silenced(message):
    """True for a message whose line carries `# noqa`."""
    if isinstance(message, str):
        return False
    with open(message.filename, encoding="utf-8") as f:
        lines = f.read().splitlines()
    line = lines[message.lineno - 1] if 0 < message.lineno <= len(lines) else ""
    return "# noqa" in line


def pyflakes_findings(paths):
    collected = _Collected()
    flakes_api.checkRecursive(paths, collected)
    return [str(m) for m in collected.found if not _silenced(m)]


@needs_pyflakes
@pytest.mark.parametrize("folder", LINTED)
def test_pyflakes_finds_nothing(folder):
    assert pyflakes_findings([os.path.join(REPO, folder)]) == []


# What the lint must report, and what `# noqa` must let through.
FLAKES_CASES = [
    ("import os\n", ["imported but unused"]),
    ("import os  # noqa: F401\n", []),
    ("def f():\n    return undefined_name\n", ["undefined name"]),
    ("def f(a):\n    b = a\n    return a\n", ["assigned to but never used"]),
    ("import os\nprint(os.sep)\n", []),
    ("def f(:\n", ["f.py:1:"]),
]


@needs_pyflakes
@pytest.mark.parametrize("source, expected", FLAKES_CASES)
def test_pyflakes_reports_and_noqa_silences(tmp_path, source, expected):
    path = tmp_path / "f.py"
    path.write_text(source)
    found = pyflakes_findings([str(tmp_path)])
    assert len(found) == len(expected), found
    for text, want in zip(found, expected):
        assert want in text


@needs_mypy
def test_the_package_passes_mypy_strict():
    # The cache lives in the build folder: later runs check only what changed.
    env = dict(os.environ, MYPY_CACHE_DIR=os.path.join(BUILD, "mypy-cache"))
    env.pop("PYTHONPATH", None)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-p", "ztcondb"],
                         cwd=REPO, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True)
    assert run.returncode == 0, run.stdout[-3000:]
