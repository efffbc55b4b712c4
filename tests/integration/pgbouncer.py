"""A real PgBouncer in front of the throwaway server, as its own process on a free
loopback port, with its own ini and userlist in a temporary folder; stopped by stop().

PgBouncer refuses to run as root: when the tests run as root it runs as the `postgres`
system user (who owns its folder). Its settings are the package's defaults except the
pool mode, the address and small pools; in particular `ignore_startup_parameters` is left
empty, so a client that sends `options` is refused as PgBouncer refuses it by default.
"""
import os
import shutil
import socket
import subprocess
import tempfile
import time

BINARY = "/usr/sbin/pgbouncer"
START_LIMIT_S = 10.0


def available():
    return os.path.exists(BINARY)


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class PgBouncer:
    """PgBouncer in `mode` ("transaction" or "session") before the server at
    pg_host:pg_port; every database name is passed through. `pool_size` server sessions
    per database and user at most."""

    def __init__(self, pg_host, pg_port, user, mode, pool_size=4):
        self.mode = mode
        self.user = user
        self.host = "127.0.0.1"
        self.dir = tempfile.mkdtemp(prefix="zt-pgbouncer-")
        self.port = None
        self.proc = None
        self._write_files(pg_host, pg_port, user, pool_size)

    def _write_files(self, pg_host, pg_port, user, pool_size):
        with open(os.path.join(self.dir, "userlist.txt"), "w") as f:
            f.write('"%s" ""\n' % user)
        self._ini = os.path.join(self.dir, "pgbouncer.ini")
        self._settings = (
            "[databases]\n"
            "* = host=%s port=%d\n"
            "[pgbouncer]\n"
            "listen_addr = 127.0.0.1\n"
            "listen_port = {port}\n"
            "unix_socket_dir =\n"
            "auth_type = trust\n"
            "auth_file = %s\n"
            "pool_mode = %s\n"
            "default_pool_size = %d\n"
            "max_client_conn = 200\n"
            "logfile = %s\n"
            "pidfile =\n"
            % (pg_host, pg_port, os.path.join(self.dir, "userlist.txt"), self.mode,
               pool_size, os.path.join(self.dir, "pgbouncer.log")))

    def start(self):
        as_root = os.geteuid() == 0
        if as_root:
            shutil.chown(self.dir, "postgres", "postgres")
        for _ in range(5):   # another process may take the port between probe and start
            self.port = _free_port()
            with open(self._ini, "w") as f:
                f.write(self._settings.replace("{port}", str(self.port)))
            if as_root:
                for name in os.listdir(self.dir):
                    shutil.chown(os.path.join(self.dir, name), "postgres", "postgres")
            cmd = [BINARY, self._ini]
            if as_root:
                cmd = ["runuser", "-u", "postgres", "--"] + cmd
            self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + START_LIMIT_S
            while time.monotonic() < deadline and self.proc.poll() is None:
                if _accepts(self.port):
                    return self
                time.sleep(0.05)
            self._end_process()
        raise RuntimeError("pgbouncer did not start:\n" + self.log())

    def log(self):
        try:
            with open(os.path.join(self.dir, "pgbouncer.log")) as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def _end_process(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        self.proc = None

    def stop(self):
        self._end_process()
        shutil.rmtree(self.dir, ignore_errors=True)
