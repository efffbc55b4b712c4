#!/usr/bin/env python3
"""Fetching and round trips: the driver beside psycopg2, asyncpg (when installed) and a
plain C program over libpq, on the same server and the same data.

    python3 bench/driver_fetch_bench.py [--runs N]

Workloads:
  fetch      SELECT all 1,000,000 rows of bench_fetch (bigint, float8, text, timestamp,
             numeric(12,2), date) and fetchall them; every value becomes a Python object.
             Reported with the peak RSS (ru_maxrss) of the process that ran it.
  roundtrip  20,000 calls of execute("select ?::int", (i,)) + fetchone(), after 100
             untimed calls (warm statement caches on every side).

Server: the ZT_TEST_* variables when set (scripts/with-pg-server, scripts/run-bench),
otherwise a throwaway one from scripts/pg-test-server, stopped at the end. The driver is
imported from $ZT_BUILD_DIR/python (default <repo>/build/python). The peers' workloads,
the table's definition and the C libpq program come from $PEERS_BENCH_DIR (default:
shared/bench beside the repository). bench_fetch is created once and reused while it
holds its 1,000,000 rows. Each run of each job is a fresh process that times itself;
runs are interleaved and the tables show medians.
"""
import argparse
import json
import os
import resource
import runpy
import statistics
import sys
import time

from benchcommon import (PEERS, bench_server, build_floor, driver_connect, job_command,
                         peer_available, run_measurement, server_from_env)

FETCH_ROWS = 1_000_000
FETCH_SQL = "SELECT id, f, t, ts, n, d FROM bench_fetch"
ROUNDTRIPS = 20_000
WARMUP_CALLS = 100

# The peers' table, used only when their peers.py is not there to read it from: the
# same rows for every driver is what makes the figures comparable.
FALLBACK_SETUP_SQL = """
DROP TABLE IF EXISTS bench_fetch;
CREATE TABLE bench_fetch AS
SELECT g::bigint                                           AS id,
       g / 7.0::double precision                           AS f,
       left(md5(g::text), 20)                              AS t,
       timestamp '2020-01-01' + g * interval '37.123457 s' AS ts,
       ((g::bigint * 7919 % 1000000000) / 100.0)::numeric(12,2) AS n,
       date '2000-01-01' + g % 10000                       AS d
FROM generate_series(1, 1000000) AS g;
"""

OURS = {"fetch": "ztcondb fetchall", "roundtrip": "ztcondb execute+fetchone"}
REF = {"fetch": "psycopg2 fetchall", "roundtrip": "psycopg2 execute+fetchone"}

# (workload, label, how to run it); the driver runs this script itself with --driver-worker.
JOBS = [
    ("fetch", OURS["fetch"], ("driver", "fetch")),
    ("fetch", REF["fetch"], ("peer", "psycopg2", "fetch")),
    ("fetch", "asyncpg fetch (binary)", ("peer", "asyncpg", "fetch")),
    ("fetch", "C libpq PQexec text + parse", ("libpq", "fetch-text")),
    ("fetch", "C libpq binary + decode", ("libpq", "fetch-binary")),
    ("roundtrip", OURS["roundtrip"], ("driver", "roundtrip")),
    ("roundtrip", REF["roundtrip"], ("peer", "psycopg2", "roundtrip")),
    ("roundtrip", "asyncpg fetchval (asyncio)", ("peer", "asyncpg", "roundtrip")),
    ("roundtrip", "C libpq PQexecPrepared", ("libpq", "roundtrip")),
]

TITLES = {
    "fetch": "fetch %s rows x 6 columns (bigint, float8, text, timestamp, numeric(12,2), date)"
             % "{:,}".format(FETCH_ROWS),
    "roundtrip": "%s round trips of select ?::int, after %d untimed calls"
                 % ("{:,}".format(ROUNDTRIPS), WARMUP_CALLS),
}
UNITS = {"fetch": "rows/s", "roundtrip": "calls/s"}


def maxrss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


# ------------------------------------------------------------------ the driver's side

def driver_fetch(cur):
    """All rows of bench_fetch in one fetchall; returns (seconds, base RSS, row count)."""
    base = maxrss_kb()
    start = time.perf_counter()
    cur.execute(FETCH_SQL)
    rows = cur.fetchall()
    seconds = time.perf_counter() - start
    if len(rows) != FETCH_ROWS or len(rows[0]) != 6:
        sys.exit("fetched %d rows of %d columns, expected %d rows of 6"
                 % (len(rows), len(rows[0]) if rows else 0, FETCH_ROWS))
    return seconds, base, len(rows)


def driver_roundtrip(cur):
    """Parameterised one-value queries, each read back; returns (seconds, base RSS, calls)."""
    for i in range(-WARMUP_CALLS, 0):
        cur.execute("select ?::int", (i,))
        cur.fetchone()
    total = 0
    base = maxrss_kb()
    start = time.perf_counter()
    for i in range(ROUNDTRIPS):
        cur.execute("select ?::int", (i,))
        total += cur.fetchone()[0]
    seconds = time.perf_counter() - start
    # The sum proves every call returned its own parameter, not a stale row.
    if total != sum(range(ROUNDTRIPS)):
        sys.exit("round trips returned a sum of %d, expected %d"
                 % (total, sum(range(ROUNDTRIPS))))
    return seconds, base, ROUNDTRIPS


def driver_worker(workload, server):
    """One timed workload in this process; prints the JSON line the peers' workers print."""
    conn = driver_connect(server)
    cur = conn.cursor()
    run = driver_fetch if workload == "fetch" else driver_roundtrip
    seconds, base, count = run(cur)
    conn.close()
    print(json.dumps({"seconds": seconds, "count": count,
                      "maxrss_kb": maxrss_kb(), "base_rss_kb": base}))


# ------------------------------------------------------------------ setup

def setup_sql():
    """The peers' own definition of bench_fetch, so every driver reads the same rows."""
    peers_py = os.path.join(PEERS, "peers.py")
    if os.path.exists(peers_py):
        found = runpy.run_path(peers_py)
        if found.get("FETCH_ROWS") == FETCH_ROWS and "SETUP_SQL" in found:
            return found["SETUP_SQL"]
    return FALLBACK_SETUP_SQL


def first_value(cur, sql):
    cur.execute(sql)
    return cur.fetchone()[0]


def prepare_data(server):
    """Creates bench_fetch unless it already holds its rows, then warms the server's cache."""
    conn = driver_connect(server)
    cur = conn.cursor()
    exists = first_value(cur, "SELECT (to_regclass('bench_fetch') IS NOT NULL)::int")
    if exists and first_value(cur, "SELECT count(*) FROM bench_fetch") == FETCH_ROWS:
        print("bench_fetch: reusing existing table", file=sys.stderr)
    else:
        print("bench_fetch: creating %s rows ..." % "{:,}".format(FETCH_ROWS), file=sys.stderr)
        # One statement per execution: parameterless texts are sent whole, but each
        # statement's own failure is then reported on its own.
        for statement in setup_sql().split(";"):
            if statement.strip():
                cur.execute(statement)
        cur.execute("VACUUM ANALYZE bench_fetch")    # hint bits set now, not by the first reader
    first_value(cur, "SELECT count(*) FROM bench_fetch")
    conn.close()


def available_jobs(floor):
    peers = {}
    jobs = []
    for workload, label, how in JOBS:
        if how[0] == "libpq" and not floor:
            continue
        if how[0] == "peer":
            if how[1] not in peers:
                peers[how[1]] = peer_available(how[1])
            if not peers[how[1]]:
                continue
        jobs.append((workload, label, how))
    return jobs


# ------------------------------------------------------------------ running

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--driver-worker", choices=("fetch", "roundtrip"))
    args = parser.parse_args()
    if args.driver_worker:
        driver_worker(args.driver_worker, server_from_env())
        return
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    with bench_server() as (server, dsn):
        prepare_data(server)
        floor = build_floor("ztcondb-fetch-bench")
        jobs = available_jobs(floor)
        results = {label: [] for _, label, _ in jobs}
        for run in range(1, args.runs + 1):     # interleaved, so drift hits every job alike
            for _, label, how in jobs:
                print("run %d/%d  %-36s" % (run, args.runs, label), end="", file=sys.stderr,
                      flush=True)
                cmd = job_command(how, __file__, dsn, floor)
                results[label].append(run_measurement(cmd, server))
                print("%8.3f s" % results[label][-1]["seconds"], file=sys.stderr)
        report(jobs, results, args.runs)


# ------------------------------------------------------------------ report

def summarize(runs):
    seconds = [r["seconds"] for r in runs]
    median = statistics.median(seconds)
    return {"seconds": median,
            "rate": runs[0]["count"] / median,
            "spread": (max(seconds) - min(seconds)) / median if median else 0.0,
            "peak_mib": statistics.median(r["maxrss_kb"] for r in runs) / 1024}


def report(jobs, results, runs):
    summary = {label: summarize(r) for label, r in results.items()}
    print("\nmedians of %d run(s); 'vs psycopg2' = psycopg2 time / this time (higher is "
          "faster); +- = (max-min)/median of the runs" % runs)
    for workload in ("fetch", "roundtrip"):
        labels = [label for w, label, _ in jobs if w == workload]
        ref = summary.get(REF[workload])
        print("\n" + TITLES[workload])
        header = "%-32s%10s%14s%6s%13s" % ("workload", "median s", UNITS[workload], "+-",
                                           "vs psycopg2")
        if workload == "fetch":
            header += "%10s%12s" % ("peak MiB", "mem vs pg2")
        print(header)
        print("-" * len(header))
        for label in labels:
            s = summary[label]
            line = "%-32s%10.3f%14s%5.0f%%%13s" % (
                label, s["seconds"], "{:,.0f}".format(s["rate"]), s["spread"] * 100,
                "%.2fx" % (ref["seconds"] / s["seconds"]) if ref else "-")
            if workload == "fetch":
                line += "%10.0f%12s" % (s["peak_mib"],
                                        "%.2fx" % (s["peak_mib"] / ref["peak_mib"]) if ref
                                        else "-")
            print(line)
        ours = summary[OURS[workload]]
        others = [(label, how) for w, label, how in jobs
                  if w == workload and label != OURS[workload]]
        if others:
            print("%s speed vs %s" % (OURS[workload], ", ".join(
                "%s %.2fx" % (short_name(how), summary[label]["seconds"] / ours["seconds"])
                for label, how in others)))


def short_name(how):
    return "C libpq " + how[1] if how[0] == "libpq" else how[1]


if __name__ == "__main__":
    main()
