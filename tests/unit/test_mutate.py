"""The planted-fault runner (tools/mutate.py) on a tiny scratch target: a caught mutant
counts as killed, a marked equivalent one survives uncounted, a broken build and a hang
are told apart, the kill rate and --fail-under follow, the tree itself is never
changed, and a mutant that cannot apply is refused by name. Last, every mutant kept in
the repository still applies to the code as it is."""
import os
import re
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNNER = os.path.join(REPO, "tools", "mutate.py")
# The runner reads TOML with the system interpreter's tomllib, whatever runs the tests.
SYSTEM_PYTHON = "/usr/bin/python3"

CALC = '''\
def clamp(x, lo, hi):
    if x < lo:
        return lo
    if x > hi:
        return hi
    return x


def spin():
    return 1
'''

TEST_CALC = '''\
import pytest
import calc


@pytest.mark.parametrize("x, want", [(-5, 0), (0, 0), (3, 3), (10, 10), (11, 10)])
def test_clamp(x, want):
    assert calc.clamp(x, 0, 10) == want


def test_spin():
    assert calc.spin() == 1
'''

MUTANTS = '''\
[[mutant]]
name = "upper-returns-lower"
file = "calc.py"
from = "return hi"
to = "return lo"
tests = ["test_calc.py"]

[[mutant]]
name = "lower-bound-inclusive"
file = "calc.py"
from = "x < lo"
to = "x <= lo"
tests = ["test_calc.py::test_clamp"]
equivalent = "at x == lo both branches return the same value"

[[mutant]]
name = "upper-bound-inclusive"
file = "calc.py"
from = "x > hi"
to = "x >= hi"
tests = ["test_calc.py::test_clamp"]

[[mutant]]
name = "syntax-broken"
file = "calc.py"
from = "    return x\\n"
to = "    return x +\\n"
tests = ["test_calc.py"]

[[mutant]]
name = "spin-forever"
file = "calc.py"
from = "return 1"
to = "while True: pass"
tests = ["test_calc.py::test_spin"]
'''


def _env():
    env = dict(os.environ)
    # The sanitized run preloads its runtime into the interpreter under test only.
    for name in ("LD_PRELOAD", "PYTHONMALLOC"):
        env.pop(name, None)
    return env


def _target(tmp_path, mutants=MUTANTS):
    tree = tmp_path / "tree"
    (tree / "mutants").mkdir(parents=True)
    (tree / "calc.py").write_text(CALC)
    (tree / "test_calc.py").write_text(TEST_CALC)
    (tree / "mutants" / "self.toml").write_text(mutants)
    return tree


def _run(tree, tmp_path, *args):
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        pytest.skip("no %s" % SYSTEM_PYTHON)
    cmd = [SYSTEM_PYTHON, RUNNER, "--root", str(tree), "--mutants", str(tree / "mutants"),
           "--scratch", str(tmp_path / "scratch"), "--python", SYSTEM_PYTHON,
           "--build-cmd", "%s -m py_compile calc.py" % SYSTEM_PYTHON] + list(args)
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=_env(), timeout=120)


def test_run_tells_each_outcome_apart(tmp_path):
    tree = _target(tmp_path)
    done = _run(tree, tmp_path, "--timeout", "6", "--fail-under", "70")
    assert done.returncode == 0, done.stdout + done.stderr
    table = dict(re.findall(r"^(\S+)\s+(\S+(?: \(equivalent\))?)\s+[\d.]+$", done.stdout, re.M))
    assert table == {
        "upper-returns-lower": "killed",
        "lower-bound-inclusive": "survived (equivalent)",
        "upper-bound-inclusive": "survived",
        "syntax-broken": "build-failed",
        "spin-forever": "timeout",
    }, done.stdout
    assert "kill rate: 75.0% (3 of 4 non-equivalent mutants)" in done.stdout
    # The tree itself never changes; the scratch copy is back to the original.
    assert (tree / "calc.py").read_text() == CALC
    assert (tmp_path / "scratch" / "calc.py").read_text() == CALC


@pytest.mark.parametrize("selector, fail_under, code, names", [
    (["--only", "upper-returns-lower"], "100", 0, {"upper-returns-lower"}),
    (["upper-bound-inclusive"], "100", 1, {"upper-bound-inclusive"}),
    (["--file", "self"], None, None, None),
])
def test_selection_and_fail_under(tmp_path, selector, fail_under, code, names):
    tree = _target(tmp_path)
    if names is None:       # an area selects all its mutants: listed, not run
        done = _run(tree, tmp_path, "--list", *selector)
        assert done.returncode == 0
        assert len(done.stdout.strip().splitlines()) == 5
        return
    done = _run(tree, tmp_path, "--no-baseline", "--fail-under", fail_under, *selector)
    assert done.returncode == code, done.stdout + done.stderr
    ran = set(re.findall(r"^(\S+)\s+(?:killed|survived)\s+[\d.]+$", done.stdout, re.M))
    assert ran == names


def test_each_test_folder_runs_in_its_own_pytest(tmp_path):
    # Regression (the unit and the integration tests of one mutant ran in one pytest,
    # which imported one folder's module for both and failed the baseline).
    tree = _target(tmp_path, _one(tests='["a/test_a.py", "b/test_b.py"]'))
    for side in ("a", "b"):
        (tree / side / "lib").mkdir(parents=True)
        (tree / side / "lib" / "side.py").write_text("NAME = %r\n" % side)
        (tree / side / "conftest.py").write_text(
            "import os, sys\nsys.path.insert(0, os.path.join(os.path.dirname(__file__), 'lib'))\n")
        (tree / side / ("test_%s.py" % side)).write_text(
            "import calc, side\n\ndef test_side():\n    assert side.NAME == %r\n"
            "    assert calc.clamp(11, 0, 10) == 10\n" % side)
    done = _run(tree, tmp_path, "--timeout", "20")
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(r"^m\s+killed", done.stdout, re.M), done.stdout


def _one(name="m", file="calc.py", old="return hi", new="return lo", tests='["test_calc.py"]', extra=""):
    return ('[[mutant]]\nname = "%s"\nfile = "%s"\nfrom = "%s"\nto = "%s"\ntests = %s\n%s'
            % (name, file, old, new, tests, extra))


@pytest.mark.parametrize("mutants, message", [
    (_one(old="return"), "mutant m: its from text occurs 4 times in calc.py"),
    (_one(old="return nothing"), "mutant m: its from text occurs 0 times"),
    (_one(new="return hi"), "mutant m: from and to are the same text"),
    (_one(file="nowhere.py"), "mutant m: no file nowhere.py"),
    (_one(tests='["test_gone.py::test_x"]'), "mutant m: no test file test_gone.py"),
    (_one(tests="[]"), "mutant m: tests must be a non-empty list"),
    (_one(tests='["gtest:prog"]'), "is not gtest:PROGRAM:FILTER"),
    (_one(extra='expected = "x"\n'), "mutant m: missing [], unknown ['expected']"),
    (_one(name="Bad Name"), "the name must be lower-case kebab"),
    (_one() + _one(old="x > hi", new="x >= hi"), "mutant m: the name is taken already"),
    (_one().replace("tests", "test"), "mutant m: missing ['tests']"),
    ("[[mutant]\n", "not valid TOML"),
])
def test_malformed_mutant_is_refused_by_name(tmp_path, mutants, message):
    tree = _target(tmp_path, mutants)
    done = _run(tree, tmp_path, "--check")
    assert done.returncode == 2
    assert message in done.stderr
    assert not (tmp_path / "scratch").exists()


def test_unknown_selector_is_refused(tmp_path):
    done = _run(_target(tmp_path), tmp_path, "--check", "no-such-mutant")
    assert done.returncode == 2
    assert "no mutant or area is called 'no-such-mutant'" in done.stderr


def test_repository_mutants_apply():
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        pytest.skip("no %s" % SYSTEM_PYTHON)
    done = subprocess.run([SYSTEM_PYTHON, RUNNER, "--check"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, env=_env(), timeout=60)
    assert done.returncode == 0, done.stderr


def test_a_second_run_on_the_same_copy_is_refused(tmp_path):
    import fcntl

    tree = _target(tmp_path)
    first = _run(tree, tmp_path, "--only", "upper-returns-lower", "--no-baseline")
    assert first.returncode == 0, first.stderr
    with open(tmp_path / "scratch" / ".mutate.lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        second = _run(tree, tmp_path, "--only", "upper-returns-lower")
    assert second.returncode == 2
    assert "another run uses" in second.stderr
