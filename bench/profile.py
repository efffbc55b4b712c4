#!/usr/bin/env python3
"""Counts the client's instructions of one bench job under callgrind, collecting only
inside the module's execute and fetch calls (imports and connecting left out), and
prints the functions that take the most, inclusive:

    python3 bench/profile.py [--rows N] [--job LABEL] [--top K] [WORKLOAD]

Defaults: the fetch workload's "ztcondb fetchall" at 50,000 rows. The server is the one
in ZT_TEST_* when set, otherwise a throwaway one. The profile stays in
<build>/bench/callgrind.<workload>.out for callgrind_annotate. Instruction counts hold
steady on a loaded machine where times do not; see "What bounds fetch" in README.md.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

import harness

# Collection runs only while one of these is on the stack: the module's calls that send
# a statement and that turn its rows into Python objects.
COLLECTED = ("pyzt_curs_execute(*", "pyzt_curs_fetchall(*", "pyzt_curs_fetchmany(*",
             "pyzt_curs_fetchone(*")
# The interpreter's and the C library's frames that merely lead to the collected calls.
CALLERS = re.compile(r"\?\?\?:0x|below main|libc-start|_PyEval_|Vectorcall|PyObject_Call|"
                     r"PyEval_EvalCode|Py_RunMain|Py_BytesMain|_PyRun_|zt_held<|method_vectorcall")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workload", nargs="?", default="fetch")
    parser.add_argument("--job", default="ztcondb fetchall")
    parser.add_argument("--rows", type=int, default=50_000)
    parser.add_argument("--top", type=int, default=40)
    return parser.parse_args()


def main():
    args = parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (scripts/install-deps installs it)")
    if args.rows <= 0:
        sys.exit("--rows must be positive")
    module = harness.load_workload(args.workload)
    if not any(j.label == args.job and j.driver == "ztcondb" for j in module.JOBS):
        sys.exit("%s has no ztcondb job %r" % (args.workload, args.job))
    out_dir = os.path.join(harness.BUILD, "bench")
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, "callgrind.%s.out" % args.workload)
    with harness.bench_server() as server:
        harness.psql(server, *[s.format(size=args.rows) for s in module.SETUP])
        cmd = ["valgrind", "--tool=callgrind", "--log-file=" + out + ".log",
               "--callgrind-out-file=" + out]
        cmd += ["--toggle-collect=" + f for f in COLLECTED]
        cmd += [harness.interpreter_for("ztcondb"), os.path.join(harness.BENCH, "worker.py"),
                args.workload, args.job, str(args.rows)]
        subprocess.run(cmd, check=True, env=harness.worker_env(server),
                       stdout=subprocess.DEVNULL)
    report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--auto=no", out], check=True,
                            stdout=subprocess.PIPE, universal_newlines=True).stdout
    lines = report.splitlines()
    total = next((l for l in lines if "PROGRAM TOTALS" in l), "")
    print("%s / %s, %s rows: %s" % (args.workload, args.job, "{:,}".format(args.rows),
                                    total.strip()))
    try:
        count = int(total.split()[0].replace(",", ""))
        print("%s instructions per row" % "{:,}".format(count // args.rows))
    except (IndexError, ValueError):
        pass
    start = next((i for i, l in enumerate(lines) if "file:function" in l), len(lines))
    shown = [l for l in lines[start + 2:] if l.strip() and not CALLERS.search(l)]
    for line in shown[:args.top]:
        print(line[:160])
    print("profile: %s" % out)


if __name__ == "__main__":
    main()
