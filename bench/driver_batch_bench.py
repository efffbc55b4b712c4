#!/usr/bin/env python3
"""executebatch of 100,000 rows x 4 columns (bigint, double precision, text, timestamp)
beside a plain libpq text COPY of the same rows and, when installed, the batch methods
of psycopg2 and asyncpg, all on the same UNLOGGED table.

    python3 bench/driver_batch_bench.py [--runs N]

Server: the ZT_TEST_* variables when set (scripts/with-pg-server, scripts/run-bench),
otherwise a throwaway one from scripts/pg-test-server, stopped at the end. The driver is
imported from $ZT_BUILD_DIR/python (default <repo>/build/python). The peers' workloads
and the C libpq program come from $PEERS_BENCH_DIR (default: shared/bench beside the
repository): the
same rows, the same table, each run in a fresh process, input built before the timer.

Targets: at least 3x faster than asyncpg's executemany; within 1.5x of the libpq COPY.
"""
import argparse
import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")
PEERS = os.environ.get("PEERS_BENCH_DIR") or next(
    (d for d in (os.path.join(os.path.dirname(REPO), "shared", "bench"), "/work/shared/bench")
     if os.path.isdir(d)), "/work/shared/bench")
PEER_PYTHON = "/usr/bin/python3"

TABLE = "bench_ins"
TABLE_SQL = ("DROP TABLE IF EXISTS bench_ins",
             "CREATE UNLOGGED TABLE bench_ins (id bigint, f double precision, t text, ts timestamp)")
ROWS = 100_000
SERVER_VARS = ("ZT_TEST_HOST", "ZT_TEST_PORT", "ZT_TEST_USER", "ZT_TEST_DB")

# (label, how to run it); the driver runs this script itself with --driver-worker.
JOBS = [
    ("ztcondb executebatch", ("driver",)),
    ("C libpq COPY text", ("libpq", "insert-copy-text")),
    ("C libpq COPY binary", ("libpq", "insert-copy-binary")),
    ("psycopg2 execute_values (page 1000)", ("peer", "psycopg2", "execute_values")),
    ("psycopg2 copy_expert (text)", ("peer", "psycopg2", "copy")),
    ("asyncpg executemany", ("peer", "asyncpg", "executemany")),
    ("asyncpg copy_records_to_table", ("peer", "asyncpg", "copy")),
]


def make_columns(n=ROWS):
    """The peers' rows (i, i / 7, text-%015d, 2024-01-01 + i s + i us), as columns."""
    base = datetime.datetime(2024, 1, 1)
    return [
        list(range(n)),
        [i / 7 for i in range(n)],
        ["text-%015d" % i for i in range(n)],
        [base + datetime.timedelta(seconds=i, microseconds=i) for i in range(n)],
    ]


def driver_connect(server):
    sys.path.insert(0, os.path.join(BUILD, "python"))
    import _pyztdb

    return _pyztdb._connect(int(server["ZT_TEST_PORT"]), server["ZT_TEST_HOST"],
                            server["ZT_TEST_DB"], server["ZT_TEST_USER"], "", "UTF8", "0")


def driver_worker(server):
    """One timed executebatch in this process; prints seconds and the row count."""
    conn = driver_connect(server)
    cur = conn.cursor()
    cur.execute("TRUNCATE " + TABLE)
    columns = make_columns()
    sql = "INSERT INTO %s VALUES (?, ?, ?, ?)" % TABLE
    start = time.perf_counter()
    cur.executebatch(sql, columns)
    seconds = time.perf_counter() - start
    cur.execute("SELECT count(*) FROM " + TABLE)
    count = cur.fetchone()[0]
    if count != ROWS:
        sys.exit("inserted %d rows, expected %d" % (count, ROWS))
    conn.close()
    print(json.dumps({"seconds": seconds, "count": count}))


def start_server():
    out = subprocess.run([os.path.join(REPO, "scripts", "pg-test-server"), "start"],
                         check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    found = dict(re.findall(r"^export (ZT_TEST_\w+)=['\"]?(.*?)['\"]?$", out, re.M))
    return found


def build_floor():
    source = os.path.join(PEERS, "libpq_floor.c")
    if not os.path.exists(source):
        return None
    binary = os.path.join(tempfile.gettempdir(), "ztcondb-batch-bench", "libpq_floor")
    os.makedirs(os.path.dirname(binary), exist_ok=True)
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        include = subprocess.run(["pg_config", "--includedir"], stdout=subprocess.PIPE,
                                 universal_newlines=True, check=True).stdout.strip()
        cc = shutil.which("gcc") or shutil.which("cc")
        subprocess.run([cc, "-O2", "-o", binary, source, "-I" + include, "-lpq"], check=True)
    return binary


def peer_available(peer):
    code = "import %s" % peer
    return subprocess.run([PEER_PYTHON, "-c", code], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def run_job(how, server, dsn, floor):
    if how[0] == "driver":
        cmd = [sys.executable, os.path.abspath(__file__), "--driver-worker"]
    elif how[0] == "libpq":
        cmd = [floor, dsn, how[1]]
    else:
        cmd = [PEER_PYTHON, os.path.join(PEERS, "workers.py"), how[1], how[2], dsn]
    env = dict(os.environ, **server)
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd[:4]), proc.stderr.strip()))
    return json.loads(proc.stdout.strip().splitlines()[-1])["seconds"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--driver-worker", action="store_true")
    args = parser.parse_args()
    if args.driver_worker:
        driver_worker({v: os.environ[v] for v in SERVER_VARS})
        return

    started = None
    if all(os.environ.get(v) for v in SERVER_VARS):
        server = {v: os.environ[v] for v in SERVER_VARS}
    else:
        started = start_server()
        server = {v: started[v] for v in SERVER_VARS}
    try:
        dsn = "host=%s port=%s user=%s dbname=%s" % (
            server["ZT_TEST_HOST"], server["ZT_TEST_PORT"], server["ZT_TEST_USER"],
            server["ZT_TEST_DB"])
        conn = driver_connect(server)
        cur = conn.cursor()
        for statement in TABLE_SQL:
            cur.execute(statement)
        conn.close()

        floor = build_floor()
        jobs = []
        for label, how in JOBS:
            if how[0] == "libpq" and not floor:
                continue
            if how[0] == "peer" and not (os.path.exists(os.path.join(PEERS, "workers.py"))
                                         and peer_available(how[1])):
                continue
            jobs.append((label, how))

        times = {label: [] for label, _ in jobs}
        for _ in range(args.runs):           # interleaved, so drift hits every job alike
            for label, how in jobs:
                times[label].append(run_job(how, server, dsn, floor))
        report(jobs, times, args.runs)
    finally:
        if started:
            subprocess.run([os.path.join(REPO, "scripts", "pg-test-server"), "stop",
                            started["ZT_TEST_PGDIR"]], check=False)


def report(jobs, times, runs):
    medians = {label: statistics.median(t) for label, t in times.items()}
    ours = medians["ztcondb executebatch"]
    print("insert %d rows x 4 columns (bigint, float8, text, timestamp), UNLOGGED table; "
          "medians of %d run(s)" % (ROWS, runs))
    print("%-38s%10s%14s%16s" % ("workload", "median s", "rows/s", "vs executebatch"))
    for label, _ in jobs:
        m = medians[label]
        print("%-38s%10.3f%14s%15.2fx" % (label, m, "{:,.0f}".format(ROWS / m), m / ours))
    apg = medians.get("asyncpg executemany")
    copy = medians.get("C libpq COPY text")
    if apg:
        print("executebatch vs asyncpg executemany: %.2fx faster (target >= 3x)" % (apg / ours))
    if copy:
        print("executebatch vs libpq COPY text: %.2fx its time (target <= 1.5x)" % (ours / copy))


if __name__ == "__main__":
    main()
