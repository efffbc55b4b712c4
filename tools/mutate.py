#!/usr/bin/python3
"""Planted faults: applies each mutant of tests/mutants/*.toml to a scratch copy of the
tree, rebuilds it incrementally, runs the tests the mutant names and reports whether
they caught it.

    tools/mutate.py [SELECTOR...] [--only NAME] [--file AREA] [--timeout S]
                    [--check] [--list] [--fail-under PCT]

A SELECTOR is an area (the stem of a tests/mutants file, e.g. core-library), a path to
such a file, or a mutant's name; with none, every mutant runs. Each mutant is

    [[mutant]]
    name = "short-kebab-name"
    file = "zotusql/src/execute.cpp"        # from the root of the tree
    from = '''text that occurs exactly once in the file'''
    to = '''its replacement'''
    tests = ["tests/unit/test_x.py::test_y", "gtest:zotusql_it_tests:Suite.*"]
    equivalent = "why no test can catch it"  # only for a known equivalent mutant

The scratch copy lives in /tmp (one per tree, kept between runs so that the next
run's build is incremental) and has its own build folder. The named tests run first on
the unchanged copy (a test that fails there would count every mutant as caught); then
per mutant: apply, build, run the tests with pytest -x under a time limit, revert.
Integration tests (tests/integration, gtest:zotusql_it_tests) run against one
throwaway server the run starts and stops, each mutant in a fresh database.

A mutant is killed when a test fails, timeout when the tests ran out of time (caught:
the fault hangs), build-failed when the copy does not build (caught by the compiler,
counted apart), survived otherwise. The kill rate counts every caught mutant over the
mutants not marked equivalent. Exits 2 on a malformed mutant (named in the message),
1 when the rate is below --fail-under, 0 otherwise.
"""
import argparse
import fcntl
import hashlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

try:
    import tomllib
except ImportError:  # the runner needs Python 3.11; say so instead of a traceback
    sys.exit("tools/mutate.py needs Python 3.11 or later (tomllib)")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEYS_REQUIRED = ("name", "file", "from", "to", "tests")
KEYS_OPTIONAL = ("equivalent",)
NAME_FORM = re.compile(r"^[a-z0-9]+(?:-[a-z0-9]+)*$")
GTEST_FORM = re.compile(r"^gtest:([\w.-]+):(\S+)$")
# Folders never copied into the scratch tree: builds, caches, version control.
SKIP_DIRS = {".git", "__pycache__", ".pytest_cache", ".hypothesis"}
SKIP_PREFIXES = ("build",)
# Held by a run in the scratch folder, so that two runs never share one copy.
LOCK_NAME = ".mutate.lock"


class MutantError(Exception):
    """A mutant that cannot be applied as written; the message names it."""


class Mutant:
    def __init__(self, area, entry):
        self.area = area
        self.name = entry["name"]
        self.file = entry["file"]
        self.old = entry["from"]
        self.new = entry["to"]
        self.tests = list(entry["tests"])
        self.equivalent = entry.get("equivalent")


def load_mutants(folder, paths=None):
    """Every mutant of the .toml files in `folder` (or of `paths`), in file order.
    Raises MutantError for an unknown or missing key, a bad name or a repeated one."""
    if paths is None:
        paths = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".toml"))
    mutants, seen = [], {}
    for path in paths:
        area = os.path.splitext(os.path.basename(path))[0]
        with open(path, "rb") as f:
            try:
                data = tomllib.load(f)
            except tomllib.TOMLDecodeError as e:
                raise MutantError("%s: not valid TOML: %s" % (path, e))
        for i, entry in enumerate(data.get("mutant", [])):
            label = "%s: mutant %s" % (area, entry.get("name", "#%d" % (i + 1)))
            missing = [k for k in KEYS_REQUIRED if k not in entry]
            unknown = [k for k in entry if k not in KEYS_REQUIRED + KEYS_OPTIONAL]
            if missing or unknown:
                raise MutantError("%s: missing %s, unknown %s" % (label, missing, unknown))
            if not all(isinstance(entry[k], str) for k in ("name", "file", "from", "to")):
                raise MutantError("%s: name, file, from and to must be strings" % label)
            if not NAME_FORM.match(entry["name"]):
                raise MutantError("%s: the name must be lower-case kebab" % label)
            if entry["name"] in seen:
                raise MutantError("%s: the name is taken already (in %s)" % (label, seen[entry["name"]]))
            tests = entry["tests"]
            if not isinstance(tests, list) or not tests or not all(isinstance(t, str) and t for t in tests):
                raise MutantError("%s: tests must be a non-empty list of test names" % label)
            seen[entry["name"]] = area
            mutants.append(Mutant(area, entry))
    return mutants


def check_mutant(m, root):
    """Raises MutantError unless `m` applies to the tree at `root`: its file exists, its
    `from` occurs exactly once and differs from `to`, and its test files exist."""
    label = "%s: mutant %s" % (m.area, m.name)
    path = os.path.join(root, m.file)
    if not os.path.isfile(path):
        raise MutantError("%s: no file %s" % (label, m.file))
    if m.old == m.new:
        raise MutantError("%s: from and to are the same text" % label)
    with open(path, encoding="utf-8") as f:
        count = f.read().count(m.old)
    if count != 1:
        raise MutantError("%s: its from text occurs %d times in %s (must be once)" % (label, count, m.file))
    for test in m.tests:
        if test.startswith("gtest:"):
            if not GTEST_FORM.match(test):
                raise MutantError("%s: %r is not gtest:PROGRAM:FILTER" % (label, test))
        elif not os.path.exists(os.path.join(root, test.split("::")[0])):
            raise MutantError("%s: no test file %s" % (label, test.split("::")[0]))


def select(mutants, selectors):
    """The mutants an area, a .toml path or a name in `selectors` picks (all when none);
    a selector that picks nothing is an error."""
    if not selectors:
        return mutants
    chosen = set()
    for s in selectors:
        area = os.path.splitext(os.path.basename(s))[0] if s.endswith(".toml") else s
        hits = [m.name for m in mutants if m.area == area or m.name == s]
        if not hits:
            raise MutantError("no mutant or area is called %r" % s)
        chosen.update(hits)
    return [m for m in mutants if m.name in chosen]


def tree_files(root):
    """The tree's files relative to `root`: what git tracks or would track (changes not
    committed included), or every file outside the skipped folders in a plain folder."""
    if os.path.isdir(os.path.join(root, ".git")) or os.path.isfile(os.path.join(root, ".git")):
        out = subprocess.run(["git", "-C", root, "ls-files", "-z", "-co", "--exclude-standard"],
                             check=True, stdout=subprocess.PIPE).stdout
        return [f for f in out.decode().split("\0") if f and os.path.isfile(os.path.join(root, f))]
    found = []
    for top, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS and not (top == root and d.startswith(SKIP_PREFIXES))]
        found.extend(os.path.relpath(os.path.join(top, f), root) for f in files)
    return found


def sync_tree(root, scratch):
    """Makes `scratch` hold the tree's files: a file is written only when its content
    differs (so an unchanged file keeps its time and the build stays incremental, and
    a mutant left by an interrupted run is undone); files gone from the tree go."""
    wanted = set(tree_files(root))
    for rel in wanted:
        src, dst = os.path.join(root, rel), os.path.join(scratch, rel)
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)
    for top, dirs, files in os.walk(scratch):
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS and not (top == scratch and (d.startswith(SKIP_PREFIXES) or d == "mutant-logs"))]
        for f in files:
            rel = os.path.relpath(os.path.join(top, f), scratch)
            if rel not in wanted and not rel.endswith(".pyc") and rel != LOCK_NAME:
                os.remove(os.path.join(top, f))


def run_bounded(cmd, cwd, env, log, deadline):
    """Runs `cmd` in a process group of its own, its output appended to `log`; kills the
    group at `deadline` (time.monotonic()). Returns the exit status, or None on timeout."""
    with open(log, "ab") as out:
        out.write(("$ %s\n" % " ".join(shlex.quote(c) for c in cmd)).encode())
        out.flush()
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            return proc.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return None


def _unit_first(item):
    """Sort key of (folder, tests): integration tests last (they are the slow ones)."""
    return ("integration" in item[0], item[0])


def needs_server(tests):
    return any(t.startswith("tests/integration") or t.startswith("gtest:zotusql_it_tests") for t in tests)


class Server:
    """One throwaway PostgreSQL (scripts/pg-test-server) for the whole run; each run of
    tests gets a fresh database on it."""

    def __init__(self, scratch):
        self.script = os.path.join(scratch, "scripts", "pg-test-server")
        out = subprocess.run([self.script, "start"], check=True, stdout=subprocess.PIPE,
                             env=dict(os.environ, ZT_SERVER_QUIET="1"), universal_newlines=True).stdout
        self.vars = dict(re.findall(r"^export (ZT_TEST_\w+)=['\"]?(.*?)['\"]?$", out, re.M))
        self.count = 0

    def fresh_database(self):
        self.count += 1
        db = "zt_mutant_%d" % self.count
        v = self.vars
        psql = ["psql", "-q", "-h", v["ZT_TEST_HOST"], "-p", v["ZT_TEST_PORT"], "-U", v["ZT_TEST_USER"],
                "-d", v.get("ZT_TEST_DB", "postgres")]
        env = dict(os.environ, PGOPTIONS="-c client_min_messages=warning")
        subprocess.run(psql + ["-c", "drop database if exists %s" % db, "-c", "create database %s" % db],
                       check=True, env=env, stdout=subprocess.DEVNULL)
        return dict(v, ZT_TEST_DB=db)

    def stop(self):
        subprocess.run([self.script, "stop", self.vars["ZT_TEST_PGDIR"]], check=False)


class Runner:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.build_dir = os.path.join(scratch, "build")
        self.logs = os.path.join(scratch, "mutant-logs")
        os.makedirs(self.logs, exist_ok=True)
        self.server = None
        self.env = dict(os.environ, ZT_BUILD_DIR=self.build_dir, PYTHONDONTWRITEBYTECODE="1")
        for name in ("ZT_TEST_HOST", "ZT_TEST_PORT", "ZT_TEST_USER", "ZT_TEST_DB", "ZT_TEST_PGDIR"):
            self.env.pop(name, None)   # never a server that happens to run

    def build_commands(self):
        if self.args.build_cmd is not None:
            return [["sh", "-c", self.args.build_cmd]] if self.args.build_cmd else []
        configure = ["cmake", "-S", self.scratch, "-B", self.build_dir, "-DZT_PYTHONS=%s" % self.args.python]
        build = ["cmake", "--build", self.build_dir, "-j%d" % self.args.jobs]
        return [build] if os.path.isfile(os.path.join(self.build_dir, "CMakeCache.txt")) else [configure, build]

    def build(self, log, deadline):
        """True when the scratch tree builds; False on a failure or a timeout."""
        env = dict(self.env, CMAKE_CXX_COMPILER_LAUNCHER=os.environ.get("CMAKE_CXX_COMPILER_LAUNCHER", "ccache"),
                   CCACHE_BASEDIR=self.scratch, CCACHE_NOHASHDIR="1")
        if not shutil.which("ccache"):
            env.pop("CMAKE_CXX_COMPILER_LAUNCHER")
        for cmd in self.build_commands():
            if run_bounded(cmd, self.scratch, env, log, deadline) != 0:
                return False
        return True

    def run_tests(self, tests, log, deadline, stop_first=True):
        """'pass', 'fail' or 'timeout' for `tests` on the scratch tree as it is now."""
        env = dict(self.env)
        if needs_server(tests):
            if self.server is None:
                self.server = Server(self.scratch)
            env.update(self.server.fresh_database())
        # One pytest per folder: the unit and the integration tests each have a conftest
        # and a _pyztdb of their own (linked with the double, or with the library), which
        # cannot share one interpreter.
        by_folder = {}
        for t in tests:
            if not t.startswith("gtest:"):
                by_folder.setdefault(os.path.dirname(t.split("::")[0]), []).append(t)
        commands = [[self.args.python, "-m", "pytest", "-q", "-p", "no:cacheprovider"] +
                    (["-x"] if stop_first else []) + ids for _, ids in sorted(by_folder.items(), key=_unit_first)]
        for t in tests:
            m = GTEST_FORM.match(t)
            if m:
                commands.append([os.path.join(self.build_dir, "tests", m.group(1)), "--gtest_brief=1",
                                 "--gtest_filter=" + m.group(2)])
        for cmd in commands:
            rc = run_bounded(cmd, self.scratch, env, log, deadline)
            if rc is None:
                return "timeout"
            if rc != 0:
                return "fail"
        return "pass"

    def mutant(self, m):
        """Applies `m`, builds, runs its tests, reverts. Returns (status, seconds)."""
        start = time.monotonic()
        deadline = start + self.args.timeout
        log = os.path.join(self.logs, m.name + ".log")
        open(log, "w").close()
        path = os.path.join(self.scratch, m.file)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m.old, m.new, 1))
            if not self.build(log, deadline):
                status = "timeout" if time.monotonic() >= deadline else "build-failed"
            else:
                status = {"pass": "survived", "fail": "killed", "timeout": "timeout"}[
                    self.run_tests(m.tests, log, deadline)]
        finally:
            # Written anew (a fresh time), so the next build compiles the original again.
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        return status, time.monotonic() - start

    def close(self):
        if self.server is not None:
            self.server.stop()
            self.server = None


def scratch_folder(root, given):
    if given:
        return given
    key = hashlib.sha1(os.path.realpath(root).encode()).hexdigest()[:10]
    return os.path.join("/tmp", "ztmutate-%d-%s" % (os.getuid(), key))


def report(results):
    """Prints the table and the summary; returns the kill rate in percent (None when no
    mutant counts)."""
    width = max([len(m.name) for m, _, _ in results] + [6])
    print("%-*s  %-22s %8s" % (width, "mutant", "result", "seconds"))
    for m, status, secs in results:
        shown = status + (" (equivalent)" if m.equivalent else "")
        print("%-*s  %-22s %8.1f" % (width, m.name, shown, secs))
    counted = [(m, s) for m, s, _ in results if not m.equivalent]
    tally = {k: sum(1 for _, s in counted if s == k) for k in ("killed", "timeout", "build-failed", "survived")}
    caught = tally["killed"] + tally["timeout"] + tally["build-failed"]
    rate = 100.0 * caught / len(counted) if counted else None
    print("killed %d, timeout %d, build-failed %d, survived %d; equivalent %d (not counted)"
          % (tally["killed"], tally["timeout"], tally["build-failed"], tally["survived"],
             len(results) - len(counted)))
    for m, s, _ in results:
        if m.equivalent and s != "survived":
            print("NOTE: %s is marked equivalent but was caught (%s)" % (m.name, s))
    if rate is None:
        print("kill rate: no mutant counts")
    else:
        print("kill rate: %.1f%% (%d of %d non-equivalent mutants)" % (rate, caught, len(counted)))
    return rate


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("selectors", nargs="*", help="areas, .toml files or mutant names")
    p.add_argument("--only", action="append", default=[], help="a mutant's name (repeatable, or a,b)")
    p.add_argument("--file", action="append", default=[], help="an area or a .toml file (repeatable)")
    p.add_argument("--root", default=ROOT, help="the tree to mutate (default: this repository)")
    p.add_argument("--mutants", help="the folder of .toml files (default: ROOT/tests/mutants)")
    p.add_argument("--scratch", help="the scratch copy's folder (default: one per tree under /tmp)")
    p.add_argument("--build-cmd", help="a shell command that builds the scratch copy "
                   "(default: CMake in its build folder; empty: no build)")
    p.add_argument("--python", default="/usr/bin/python3", help="the interpreter that runs pytest")
    p.add_argument("--timeout", type=float, default=180.0, help="seconds per mutant, build included")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--check", action="store_true", help="only check that every mutant applies")
    p.add_argument("--list", action="store_true", help="only list the mutants selected")
    p.add_argument("--no-baseline", action="store_true", help="skip the run on the unchanged copy")
    p.add_argument("--fail-under", type=float, default=0.0, help="exit 1 below this kill rate (percent)")
    args = p.parse_args(argv)
    root = os.path.abspath(args.root)
    folder = args.mutants or os.path.join(root, "tests", "mutants")
    selectors = args.selectors + [n for o in args.only for n in o.split(",") if n] + args.file
    try:
        files = [s for s in args.file if s.endswith(".toml") and os.path.isfile(s)]
        mutants = load_mutants(folder, None)
        for s in files:   # a file outside the folder may be named too
            if os.path.dirname(os.path.abspath(s)) != os.path.abspath(folder):
                mutants += load_mutants(folder, [s])
        chosen = select(mutants, selectors)
        for m in chosen:
            check_mutant(m, root)
    except MutantError as e:
        print("mutate: %s" % e, file=sys.stderr)
        return 2
    if args.list or args.check:
        for m in chosen:
            print("%-16s %-40s %s" % (m.area, m.name, m.file))
        if args.check:
            print("%d mutants apply" % len(chosen))
        return 0

    scratch = scratch_folder(root, args.scratch)
    os.makedirs(scratch, exist_ok=True)
    lock = open(os.path.join(scratch, LOCK_NAME), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print("mutate: another run uses %s" % scratch, file=sys.stderr)
        return 2
    print("mutate: %d mutants, scratch copy %s" % (len(chosen), scratch), flush=True)
    sync_tree(root, scratch)
    runner = Runner(args, scratch)
    results = []
    try:
        log = os.path.join(runner.logs, "baseline.log")
        open(log, "w").close()
        if not runner.build(log, time.monotonic() + max(args.timeout, 1800)):
            print("mutate: the unchanged copy does not build (%s)" % log, file=sys.stderr)
            return 2
        if not args.no_baseline:
            tests = list(dict.fromkeys(t for m in chosen for t in m.tests))
            outcome = runner.run_tests(tests, log, time.monotonic() + max(args.timeout, 600), stop_first=False)
            if outcome != "pass":
                print("mutate: the named tests %s on the unchanged copy (%s)" %
                      ("fail" if outcome == "fail" else "time out", log), file=sys.stderr)
                return 2
        for m in chosen:
            status, secs = runner.mutant(m)
            results.append((m, status, secs))
            print("  %-40s %-13s %6.1fs" % (m.name, status, secs), flush=True)
        # Leaves the copy built as the tree is, for the next run.
        runner.build(os.path.join(runner.logs, "final-build.log"), time.monotonic() + 1800)
    finally:
        runner.close()
    print("logs: %s" % runner.logs)
    rate = report(results)
    return 1 if rate is not None and rate < args.fail_under else 0


if __name__ == "__main__":
    sys.exit(main())
