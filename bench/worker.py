#!/usr/bin/env python3
"""Runs one job of one workload in this fresh process, so its memory peak is its own and
only its driver is imported, and prints its figures as one JSON line:

    worker.py WORKLOAD LABEL SIZE     (the server in ZT_TEST_*)
    worker.py --versions              the peers' versions, as JSON
"""
import asyncio
import inspect
import json
import sys

import harness


def versions():
    found = {"python": sys.version.split()[0]}
    for driver, module in harness.DRIVERS.items():
        if driver == "ztcondb":
            continue
        try:
            found[driver] = __import__(module).__version__.split()[0]
        except ImportError:
            pass
    return found


def run_job(workload, label, size):
    module = harness.load_workload(workload)
    job = next((j for j in module.JOBS if j.label == label), None)
    if job is None:
        sys.exit("%s has no job %r" % (workload, label))
    ctx = harness.Context(size, {v: harness.os.environ[v] for v in harness.SERVER_VARS})
    count = job.run(ctx)
    if inspect.iscoroutine(count):
        count = asyncio.run(count)
    if ctx.seconds is None:
        sys.exit("%s / %s timed nothing (no `with ctx.timed()`)" % (workload, label))
    return {"seconds": ctx.seconds, "cpu_seconds": ctx.cpu_seconds,
            "count": count,
            "maxrss_kb": harness.peak_rss_kb(), "base_rss_kb": ctx.base_rss_kb}


def main(argv):
    if argv[1:] == ["--versions"]:
        print(json.dumps(versions()))
        return
    workload, label, size = argv[1:4]
    print(json.dumps(run_job(workload, label, int(size))))


if __name__ == "__main__":
    main(sys.argv)
