"""What every benchmark workload shares: the job and target records, the context a job
runs in (its server, its size, its timer, a connection of each driver), finding the
workloads, the peers and the C floor, and the throwaway server."""
import contextlib
import importlib
import os
import re
import resource
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(BENCH)
BUILD = os.path.abspath(os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build"))
SERVER_VARS = ("ZT_TEST_HOST", "ZT_TEST_PORT", "ZT_TEST_USER", "ZT_TEST_DB")

# The drivers a job can use, with the module that must import for it to run.
DRIVERS = {"ztcondb": "ztcondb", "psycopg2": "psycopg2", "psycopg3": "psycopg",
           "asyncpg": "asyncpg"}
# The peers are Debian's packages, which serve the system interpreter.
PEER_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


class Job:
    """One way of doing a workload. `driver` is a key of DRIVERS, or "libpq" for the
    C floor, whose mode `run` then names. Otherwise `run(ctx)` does the work inside
    `with ctx.timed():` and returns how many items (rows, calls) it handled; it may be
    a coroutine function. `ref` marks the job the ratio column divides by."""

    def __init__(self, label, driver, run, ref=False):
        self.label, self.driver, self.run, self.ref = label, driver, run, ref


class Target:
    """A goal of `job` against `versus`, checked in the report: `speed` = at least that
    many times faster, `time` = at most that multiple of its time, `memory` = a peak
    RSS of at most that multiple of its peak; `growth` = a peak RSS at most that many MiB
    above the RSS at the start of the timed block (`versus` is then None)."""

    def __init__(self, job, versus, speed=None, time=None, memory=None, growth=None):
        self.job, self.versus = job, versus
        self.speed, self.time, self.memory = speed, time, memory
        self.growth = growth


class Context:
    """What a job gets: the size to run at, the server, the timer and connections."""

    def __init__(self, size, server):
        self.size = size
        self.server = server
        self.seconds = None
        self.cpu_seconds = None
        self.base_rss_kb = None

    @property
    def dsn(self):
        s = self.server
        return "host=%s port=%s user=%s dbname=%s" % (
            s["ZT_TEST_HOST"], s["ZT_TEST_PORT"], s["ZT_TEST_USER"], s["ZT_TEST_DB"])

    @contextlib.contextmanager
    def timed(self):
        """Times the block; only its work counts. Once per job."""
        self.base_rss_kb = peak_rss_kb()
        cpu = cpu_seconds()
        start = time.perf_counter()
        yield
        self.seconds = time.perf_counter() - start
        self.cpu_seconds = cpu_seconds() - cpu

    def ztcondb(self):
        import ztcondb
        s = self.server
        return ztcondb.connect(host=s["ZT_TEST_HOST"], port=int(s["ZT_TEST_PORT"]),
                               database=s["ZT_TEST_DB"], user=s["ZT_TEST_USER"])

    def psycopg2(self):
        import psycopg2
        return psycopg2.connect(self.dsn)

    def psycopg3(self, **options):
        import psycopg
        return psycopg.connect(self.dsn, **options)

    async def asyncpg(self):
        import asyncpg
        s = self.server
        return await asyncpg.connect(host=s["ZT_TEST_HOST"], port=int(s["ZT_TEST_PORT"]),
                                     user=s["ZT_TEST_USER"], database=s["ZT_TEST_DB"])


def cpu_seconds():
    """User plus system CPU time of this process so far: the client's own work, which
    the wall time mixes with the server's and the scheduler's."""
    use = resource.getrusage(resource.RUSAGE_SELF)
    return use.ru_utime + use.ru_stime


def peak_rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def load_workload(name):
    return importlib.import_module("workloads." + name)


def floor_path():
    """The C libpq floor built by CMake (make bench builds it), or None."""
    path = os.path.join(BUILD, "bench", "bench_floor")
    return path if os.access(path, os.X_OK) else None


def worker_env(server):
    """The environment of a job's process: the server, and our modules from the build."""
    env = dict(os.environ, **server)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.join(BUILD, "python"), REPO] +
        ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


def interpreter_for(driver):
    """Our driver runs under the interpreter it was built for; the peers under Debian's."""
    return sys.executable if driver == "ztcondb" else PEER_PYTHON


def missing_drivers(server):
    """{driver or "libpq": why it cannot run} for everything this machine lacks."""
    missing = {}
    for driver, module in DRIVERS.items():
        proc = subprocess.run([interpreter_for(driver), "-c", "import " + module],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              universal_newlines=True, env=worker_env(server))
        if proc.returncode != 0:
            hint = "make build" if driver == "ztcondb" else \
                "apt-get install python3-%s" % ("psycopg" if driver == "psycopg3" else driver)
            missing[driver] = "%s does not import %s (%s)" % (
                interpreter_for(driver), module, hint)
    if not floor_path():
        missing["libpq"] = "%s/bench/bench_floor is not built (make bench builds it)" % BUILD
    return missing


def psql(server, *statements):
    """Runs each statement on the server (one transaction each) with psql."""
    cmd = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", server["ZT_TEST_HOST"],
           "-p", server["ZT_TEST_PORT"], "-U", server["ZT_TEST_USER"], "-d", server["ZT_TEST_DB"]]
    for statement in statements:
        cmd += ["-c", statement]
    env = dict(os.environ, PGOPTIONS="-c client_min_messages=warning")
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, env=env)


def query_value(server, sql):
    cmd = ["psql", "-X", "-A", "-t", "-h", server["ZT_TEST_HOST"], "-p", server["ZT_TEST_PORT"],
           "-U", server["ZT_TEST_USER"], "-d", server["ZT_TEST_DB"], "-c", sql]
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout.strip()


@contextlib.contextmanager
def bench_server():
    """The server in ZT_TEST_* when set; otherwise a throwaway one that this run starts
    with scripts/pg-test-server and stops at the end, also on Ctrl-C."""
    if all(os.environ.get(v) for v in SERVER_VARS):
        yield {v: os.environ[v] for v in SERVER_VARS}
        return
    script = os.path.join(REPO, "scripts", "pg-test-server")
    out = subprocess.run([script, "start"], check=True, stdout=subprocess.PIPE,
                         universal_newlines=True).stdout
    found = dict(re.findall(r"^export (ZT_TEST_\w+)=['\"]?(.*?)['\"]?$", out, re.M))
    try:
        yield {v: found[v] for v in SERVER_VARS}
    finally:
        subprocess.run([script, "stop", found["ZT_TEST_PGDIR"]], check=False)
