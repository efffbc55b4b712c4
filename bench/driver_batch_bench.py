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
import statistics
import sys
import time

from benchcommon import (bench_server, build_floor, driver_connect, job_command,
                         peer_available, run_measurement, server_from_env)

TABLE = "bench_ins"
TABLE_SQL = ("DROP TABLE IF EXISTS bench_ins",
             "CREATE UNLOGGED TABLE bench_ins (id bigint, f double precision, t text, ts timestamp)")
ROWS = 100_000

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--driver-worker", action="store_true")
    args = parser.parse_args()
    if args.driver_worker:
        driver_worker(server_from_env())
        return

    with bench_server() as (server, dsn):
        conn = driver_connect(server)
        cur = conn.cursor()
        for statement in TABLE_SQL:
            cur.execute(statement)
        conn.close()

        floor = build_floor("ztcondb-batch-bench")
        jobs = [(label, how) for label, how in JOBS
                if not (how[0] == "libpq" and not floor)
                and not (how[0] == "peer" and not peer_available(how[1]))]

        times = {label: [] for label, _ in jobs}
        for _ in range(args.runs):           # interleaved, so drift hits every job alike
            for label, how in jobs:
                cmd = job_command(how, __file__, dsn, floor)
                times[label].append(run_measurement(cmd, server)["seconds"])
        report(jobs, times, args.runs)


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
