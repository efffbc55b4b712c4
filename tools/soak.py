"""Long-running soak of the driver against the server in ZT_TEST_* (make soak).

Runs CYCLES mixed cycles on one connection (execute and fetch, a failing statement, a
batch, a procedure with outputs, a RefCursor read, column metadata, in turn), then
CONNECTS connect/close cycles, printing the process's resident memory, its open
descriptors and the server's backends every REPORT cycles. At the end it prints the
growth of resident memory in bytes per cycle, fitted by least squares over the samples
after the warm-up: a leak of even one small object per cycle shows as tens of bytes.

    python3 tools/soak.py [--cycles N] [--connects N] [--report N]
"""
import argparse
import datetime
import decimal
import gc
import os
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")
sys.path.insert(0, os.path.join(BUILD, "python"))
sys.path.insert(0, REPO)

import _pyztdb  # noqa: E402

OUT = 2
SAMPLE_EVERY = 1000


def server():
    return dict(port=int(os.environ["ZT_TEST_PORT"]), host=os.environ["ZT_TEST_HOST"],
                database=os.environ["ZT_TEST_DB"], user=os.environ["ZT_TEST_USER"])


def connect():
    s = server()
    return _pyztdb._connect(s["port"], s["host"], s["database"], s["user"], "", "UTF8", "0")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def backends(watch):
    """Client backends of the test database, the watching session's own excluded."""
    c = watch.cursor()
    c.execute("select count(*) from pg_stat_activity where backend_type = 'client backend' "
              "and datname = current_database() and pid <> pg_backend_pid()")
    n = c.fetchone()[0]
    c.close()
    return n


def prepare(cur):
    cur.execute("drop table if exists soak_rows")
    cur.execute("create table soak_rows (id integer, name text, price numeric(10, 2), "
                "at timestamp, blob bytea)")
    cur.execute("create or replace procedure soak_proc(in a integer, out b integer, "
                "inout c varchar) language plpgsql as $$ begin b := a * 2; c := c || '!'; "
                "end $$")
    cur.execute("create or replace procedure soak_rows_of(in n integer, out c refcursor) "
                "language plpgsql as $$ begin open c for select g, 'row ' || g "
                "from generate_series(1, n) g; end $$")


def step_query(cur, i):
    cur.execute("select ?::integer, ?::text, ?::numeric, ?::timestamp, ?::bytea",
                (i, "text %d" % i, decimal.Decimal("12.34"),
                 datetime.datetime(2024, 1, 5, 7, 8, 9), b"\x00\x01" * 8))
    assert cur.fetchall()[0][0] == i


def step_failure(cur, i):
    try:
        cur.execute("select 1 / (? - ?)", (i, i))
    except _pyztdb.OperationalError:
        return
    raise AssertionError("division by zero did not fail")


def step_batch(cur, i):
    if i % 50 == 0:
        cur.execute("truncate soak_rows")
    cur.executebatch("insert into soak_rows values (?, ?, ?, ?, ?)",
                     [[i, i + 1, i + 2], ["a", "b\tc", "d"],
                      [decimal.Decimal("1.5")] * 3, [datetime.datetime(2024, 1, 5)] * 3,
                      [b"x", b"y", b"z"]])


def step_procedure(cur, i):
    cur.setinputtype([5, 5, 2])
    out = cur.callproc("soak_proc", [i, 0, "v"], [1, OUT, 3])
    assert out[1] == 2 * i, out


def step_refcursor(cur, i):
    cur.setinputtype([5, 58])
    cur.callproc("soak_rows_of", [5, ""], [1, OUT])
    assert len(cur.fetchall()) == 5


def step_metadata(cur, i):
    cur.execute("select id, name as label, price from soak_rows limit 1")
    cur.description
    cur.getResultcolname(2)
    cur.getResultcolseq("label")
    cur.getResultcolsize(3)
    cur.getResultcolscale(3)
    cur.fetchall()


STEPS = [step_query, step_failure, step_batch, step_procedure, step_refcursor, step_metadata]


def slope(samples, warmup):
    """Least-squares growth in bytes per cycle over the samples after `warmup` cycles."""
    pts = [(n, r) for n, r in samples if n >= warmup]
    if len(pts) < 2:
        return float("nan")
    mx = sum(n for n, _ in pts) / len(pts)
    my = sum(r for _, r in pts) / len(pts)
    den = sum((n - mx) ** 2 for n, _ in pts)
    return sum((n - mx) * (r - my) for n, r in pts) / den


def report(label, n, watch):
    print("%-8s %7d cycles  rss %7.1f MiB  fds %3d  backends %d" %
          (label, n, rss_bytes() / 2 ** 20, open_fds(), backends(watch)), flush=True)


def soak_mixed(cycles, every, watch):
    conn = connect()
    cur = conn.cursor()
    prepare(cur)
    samples = []
    for i in range(1, cycles + 1):
        # Each cycle also drops and remakes its cursor now and then.
        STEPS[i % len(STEPS)](cur, i)
        if i % 100 == 0:
            cur.close()
            cur = conn.cursor()
        if i % SAMPLE_EVERY == 0:
            gc.collect()
            samples.append((i, rss_bytes()))
        if i % every == 0:
            report("mixed", i, watch)
    cur.execute("drop table soak_rows")
    conn.close()
    return samples


def soak_connect(cycles, every, watch):
    samples = []
    step = max(1, min(SAMPLE_EVERY, cycles // 20))
    for i in range(1, cycles + 1):
        conn = connect()
        c = conn.cursor()
        c.execute("select 1")
        c.fetchall()
        conn.close()
        if i % step == 0:
            gc.collect()
            samples.append((i, rss_bytes()))
        if i % every == 0 or i == cycles:
            report("connect", i, watch)
    return samples


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cycles", type=int, default=100000)
    ap.add_argument("--connects", type=int, default=2000)
    ap.add_argument("--report", type=int, default=10000)
    args = ap.parse_args()
    watch = connect()
    started = time.monotonic()
    report("start", 0, watch)
    mixed = soak_mixed(args.cycles, args.report, watch)
    fds_after_mixed = open_fds()
    conns = soak_connect(args.connects, min(args.report, args.connects), watch)
    elapsed = time.monotonic() - started
    # A fifth of the run warms up the allocator, the statement cache and the server.
    mixed_slope = slope(mixed, args.cycles // 5)
    connect_slope = slope(conns, args.connects // 5)
    left = backends(watch)
    watch.close()
    print("slope: mixed %.3f bytes/cycle, connect/close %.1f bytes/cycle; "
          "backends left %d; %.0f s" % (mixed_slope, connect_slope, left, elapsed))
    ok = mixed_slope <= 1.0 and left == 0 and open_fds() <= fds_after_mixed
    if not ok:
        print("soak: FAILED (target: at most 1 byte/cycle after warm-up, no backend or "
              "descriptor left)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
