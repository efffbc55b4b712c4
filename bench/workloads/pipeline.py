"""Pipelines: {size} small INSERT and UPDATE statements sent in a pipeline against
the same run one by one, on loopback and through a proxy that delays every chunk by
1 ms each way (a nearby server across a network)."""
import socket
import threading
import time
from collections import deque

from harness import Job, Target

TITLE = "{size:,} INSERT/UPDATE statements: pipeline vs one by one, loopback and +1 ms each way"
UNIT = "statements/s"
SIZE = 1_000
QUICK_SIZE = 200
SETUP = ["drop table if exists bench_pipe",
         "create table bench_pipe (id integer primary key, n integer)"]
DELAY = 0.001


class DelayProxy:
    """A loopback TCP proxy to the server that hands every chunk on DELAY seconds after
    it arrived, in each direction."""

    def __init__(self, host, port):
        self.target = (host, port)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(self.target)
            for a, b in ((client, server), (server, client)):
                a.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                queue = deque()
                ready = threading.Condition()
                threading.Thread(target=self.read, args=(a, queue, ready), daemon=True).start()
                threading.Thread(target=self.write, args=(b, queue, ready), daemon=True).start()

    @staticmethod
    def read(sock, queue, ready):
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                data = b""
            with ready:
                queue.append((time.monotonic() + DELAY, data))
                ready.notify()
            if not data:
                return

    @staticmethod
    def write(sock, queue, ready):
        while True:
            with ready:
                while not queue:
                    ready.wait()
                due, data = queue.popleft()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if not data:
                try:
                    sock.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            try:
                sock.sendall(data)
            except OSError:
                return


def connect(ctx, proxied):
    import ztcondb
    s = ctx.server
    port = int(s["ZT_TEST_PORT"])
    if proxied:
        port = DelayProxy(s["ZT_TEST_HOST"], port).port
    conn = ztcondb.connect(host="127.0.0.1", port=port, database=s["ZT_TEST_DB"],
                           user=s["ZT_TEST_USER"])
    return conn


def statements(cur, size):
    for i in range(size):
        if i % 2 == 0:
            cur.execute("insert into bench_pipe values (?, ?)", (i, i))
        else:
            cur.execute("update bench_pipe set n = n + ? where id = ?", (1, i - 1))


def run(ctx, proxied, pipelined):
    conn = connect(ctx, proxied)
    cur = conn.cursor()
    cur.execute("delete from bench_pipe")
    conn.commit()
    with ctx.timed():
        if pipelined:
            with conn.pipeline():
                statements(cur, ctx.size)
        else:
            statements(cur, ctx.size)
        conn.commit()
    cur.execute("select count(*), sum(n) from bench_pipe")
    count, total = cur.fetchone()
    half = (ctx.size + 1) // 2
    if count != half or total != sum(range(0, ctx.size, 2)) + ctx.size // 2:
        raise SystemExit("the statements left %r rows summing to %r" % (count, total))
    conn.close()
    return ctx.size


JOBS = [
    Job("ztcondb one by one", "ztcondb", lambda ctx: run(ctx, False, False), ref=True),
    Job("ztcondb pipeline", "ztcondb", lambda ctx: run(ctx, False, True)),
    Job("ztcondb one by one, +1 ms", "ztcondb", lambda ctx: run(ctx, True, False)),
    Job("ztcondb pipeline, +1 ms", "ztcondb", lambda ctx: run(ctx, True, True)),
]

TARGETS = [
    Target("ztcondb pipeline", "ztcondb one by one", speed=5),
    Target("ztcondb pipeline, +1 ms", "ztcondb one by one, +1 ms", speed=20),
]
