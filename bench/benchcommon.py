"""What the driver benchmarks share: where things are, the server, the C libpq floor
and the peers' workers, and running one measurement in a fresh process."""
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")
# The peers' workloads and the C floor: shared/bench beside the repository.
PEERS = os.environ.get("PEERS_BENCH_DIR") or next(
    (d for d in (os.path.join(os.path.dirname(REPO), "shared", "bench"), "/work/shared/bench")
     if os.path.isdir(d)), "/work/shared/bench")
PEER_PYTHON = "/usr/bin/python3"
SERVER_VARS = ("ZT_TEST_HOST", "ZT_TEST_PORT", "ZT_TEST_USER", "ZT_TEST_DB")


def server_from_env():
    return {v: os.environ[v] for v in SERVER_VARS}


def driver_connect(server):
    """A _pyztdb connection to the server, the module taken from the build."""
    sys.path.insert(0, os.path.join(BUILD, "python"))
    import _pyztdb

    return _pyztdb._connect(int(server["ZT_TEST_PORT"]), server["ZT_TEST_HOST"],
                            server["ZT_TEST_DB"], server["ZT_TEST_USER"], "", "UTF8", "0")


@contextlib.contextmanager
def bench_server():
    """(server variables, libpq dsn): the server in ZT_TEST_* when set, otherwise a
    throwaway one started here and stopped at the end."""
    script = os.path.join(REPO, "scripts", "pg-test-server")
    started = None
    if all(os.environ.get(v) for v in SERVER_VARS):
        server = server_from_env()
    else:
        out = subprocess.run([script, "start"], check=True, stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
        started = dict(re.findall(r"^export (ZT_TEST_\w+)=['\"]?(.*?)['\"]?$", out, re.M))
        server = {v: started[v] for v in SERVER_VARS}
    try:
        dsn = "host=%s port=%s user=%s dbname=%s" % (
            server["ZT_TEST_HOST"], server["ZT_TEST_PORT"], server["ZT_TEST_USER"],
            server["ZT_TEST_DB"])
        yield server, dsn
    finally:
        if started:
            subprocess.run([script, "stop", started["ZT_TEST_PGDIR"]], check=False)


def build_floor(name):
    """Compiles the C libpq floor (once) into a temporary folder; None without it."""
    source = os.path.join(PEERS, "libpq_floor.c")
    if not os.path.exists(source):
        return None
    binary = os.path.join(tempfile.gettempdir(), name, "libpq_floor")
    os.makedirs(os.path.dirname(binary), exist_ok=True)
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        include = subprocess.run(["pg_config", "--includedir"], stdout=subprocess.PIPE,
                                 universal_newlines=True, check=True).stdout.strip()
        cc = shutil.which("gcc") or shutil.which("cc")
        subprocess.run([cc, "-O2", "-o", binary, source, "-I" + include, "-lpq"], check=True)
    return binary


def peer_available(peer):
    """True when the peers' interpreter can import the peer driver and its workers exist."""
    if not os.path.exists(os.path.join(PEERS, "workers.py")):
        return False
    return subprocess.run([PEER_PYTHON, "-c", "import %s" % peer], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def job_command(how, worker_script, dsn, floor):
    """The command of one job: ("driver", args...) runs worker_script --driver-worker,
    ("libpq", workload) the C floor, ("peer", peer, workload) the peers' workers."""
    if how[0] == "driver":
        return [sys.executable, os.path.abspath(worker_script), "--driver-worker"] + list(how[1:])
    if how[0] == "libpq":
        return [floor, dsn, how[1]]
    return [PEER_PYTHON, os.path.join(PEERS, "workers.py"), how[1], how[2], dsn]


def run_measurement(cmd, server):
    """Runs one measurement in a fresh process; returns its last output line as JSON."""
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=dict(os.environ, **server))
    if proc.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd[:4]), proc.stderr.strip()))
    return json.loads(proc.stdout.strip().splitlines()[-1])
