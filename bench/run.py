#!/usr/bin/env python3
"""The driver beside its peers (psycopg2, psycopg 3, asyncpg: Debian's packages, each
skipped with a note when it is not installed) and a C program over libpq (the floor no
Python driver can beat), on the same server and the same data.

    python3 bench/run.py [--quick] [--runs N] [--only NAMES] [--out DIR]

Every run of every job is a fresh process that times only its driver's work; the runs
are interleaved (run 1 of every job, then run 2, ...) so drift on the machine hits every
job alike, and the table shows medians. The figures also go to DIR/bench.json and, with
matplotlib, DIR/bench.png (default DIR: <build>/bench). The server is the one in
ZT_TEST_* when set, otherwise a throwaway one started and stopped here. Workloads live
in bench/workloads/ (see bench/README.md). --quick runs each job once at a small size.
"""
import argparse
import datetime
import json
import os
import signal
import subprocess
import sys

import harness
import report
from workloads import WORKLOADS


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="one run of each job at the workloads' small sizes")
    parser.add_argument("--runs", type=int, help="runs per job (default 3, --quick 1)")
    parser.add_argument("--only", help="comma-separated workloads or drivers to keep, "
                        "e.g. fetch,roundtrip or ztcondb,libpq")
    parser.add_argument("--out", default=os.path.join(harness.BUILD, "bench"),
                        help="folder for bench.json and bench.png (default %(default)s)")
    args = parser.parse_args()
    if args.runs is None:
        args.runs = 1 if args.quick else 3
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


def wanted(args, name, job):
    if not args.only:
        return True
    keep = set(args.only.split(","))
    return bool({name, job.driver} & keep)


def job_command(name, job, size, server):
    if job.driver == "libpq":
        s = server
        dsn = "host=%s port=%s user=%s dbname=%s" % (
            s["ZT_TEST_HOST"], s["ZT_TEST_PORT"], s["ZT_TEST_USER"], s["ZT_TEST_DB"])
        return [harness.floor_path(), dsn, job.run, str(size)]
    return [harness.interpreter_for(job.driver), os.path.join(harness.BENCH, "worker.py"),
            name, job.label, str(size)]


def measure(cmd, server):
    """One run in a fresh process: its JSON line, or {"error": ...}."""
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=harness.worker_env(server))
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip() or "exit %d" % proc.returncode).splitlines()[-1]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def versions(server, missing):
    found = {}
    try:
        found = json.loads(subprocess.run(
            [harness.PEER_PYTHON, os.path.join(harness.BENCH, "worker.py"), "--versions"],
            stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout)
    except (subprocess.CalledProcessError, ValueError):
        pass
    found["ztcondb python"] = sys.version.split()[0]
    found["server"] = harness.query_value(server, "show server_version")
    if "libpq" not in missing:
        found["libpq"] = subprocess.run([harness.floor_path(), "", "version", "0"],
                                        stdout=subprocess.PIPE,
                                        universal_newlines=True).stdout.strip()
    return found


def main():
    args = parse_args()
    # A stop from outside still runs the cleanup (the throwaway server goes).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    workloads = [(name, harness.load_workload(name)) for name in WORKLOADS]
    started = datetime.datetime.now(datetime.timezone.utc)
    with harness.bench_server() as server:
        missing = harness.missing_drivers(server)
        for driver, why in sorted(missing.items()):
            print("note: %s skipped: %s" % (driver, why), file=sys.stderr)
        plan = []
        for name, module in workloads:
            size = module.QUICK_SIZE if args.quick else module.SIZE
            jobs = [j for j in module.JOBS if j.driver not in missing and wanted(args, name, j)]
            if jobs:
                plan.append((name, module, size, jobs))
        for name, module, size, _ in plan:
            if module.SETUP:
                print("setting up %s (%s)" % (name, "{:,}".format(size)), file=sys.stderr)
                harness.psql(server, *[s.format(size=size) for s in module.SETUP])

        results = {}
        for run in range(1, args.runs + 1):
            for name, module, size, jobs in plan:
                for job in jobs:
                    print("run %d/%d  %-10s %-38s" % (run, args.runs, name, job.label),
                          end="", file=sys.stderr, flush=True)
                    figures = measure(job_command(name, job, size, server), server)
                    results.setdefault((name, job.label), []).append(figures)
                    print(figures.get("error") or "%8.3f s" % figures["seconds"],
                          file=sys.stderr)
        found = versions(server, missing)

    data = report.collect(plan, results, found, missing, args, started)
    report.print_table(data)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "bench.json"), "w") as out:
        json.dump(data, out, indent=1)
    chart = report.chart(data, os.path.join(args.out, "bench.png"))
    print("figures: %s%s" % (os.path.join(args.out, "bench.json"),
                             ", chart: " + chart if chart else ""))
    failed = [j for w in data["workloads"] for j in w["jobs"] if j.get("error")]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
