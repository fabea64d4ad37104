"""A private MariaDB server for the tests and the demo.

Its own data directory under a temporary folder, its own socket, a free port
on 127.0.0.1, run as the current user; nothing of the machine's own server
or configuration is used. `PrivateMariaDB` starts, stops, kills and restarts
it; `admin()` gives a root connection over the socket for setting up accounts
and tables. Run as a script it starts a server, prints its port and waits.
"""
from __future__ import annotations

import ctypes
import functools
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pymysql


def _find(*names):
    for name in names:
        for folder in ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"):
            path = os.path.join(folder, name)
            if os.access(path, os.X_OK):
                return path
        found = shutil.which(name)
        if found:
            return found
    raise FileNotFoundError(f"none of {names} found; run scripts/setup.sh --with-db")


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with(parent):
    """In the forked child before exec: the server gets SIGKILL when the
    process that started it dies, however it dies, so that no server
    outlives a killed or crashed test run."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # the parent died before the line above
        os._exit(1)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrivateMariaDB:
    def __init__(self, base=None, tls=False):
        self.base = base or tempfile.mkdtemp(prefix="orveksdk-mariadb-")
        # With tls, the server offers TLS with a self-signed certificate
        # (`certificate`), which clients that prefer TLS then use.
        self.tls = tls
        self.certificate = os.path.join(self.base, "server-cert.pem")
        self.key = os.path.join(self.base, "server-key.pem")
        self.datadir = os.path.join(self.base, "data")
        self.socket = os.path.join(self.base, "mysqld.sock")
        self.pidfile = os.path.join(self.base, "mysqld.pid")
        self.errlog = os.path.join(self.base, "error.log")
        self.host = "127.0.0.1"
        self.port = free_port()
        self.process = None
        self._user = ["--user=root"] if os.geteuid() == 0 else []

    # -- lifecycle ---------------------------------------------------------

    def install(self):
        if os.path.isdir(os.path.join(self.datadir, "mysql")):
            return
        cmd = [_find("mariadb-install-db", "mysql_install_db"), "--no-defaults",
               f"--datadir={self.datadir}", "--auth-root-authentication-method=normal",
               "--skip-test-db", "--skip-name-resolve", *self._user]
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
        if proc.returncode != 0:
            raise RuntimeError(f"mariadb-install-db failed:\n{proc.stdout}\n{proc.stderr}")

    def start(self, timeout=60):
        self.install()
        cmd = [_find("mariadbd", "mysqld"), "--no-defaults", f"--datadir={self.datadir}",
               f"--socket={self.socket}", f"--port={self.port}", f"--bind-address={self.host}",
               f"--pid-file={self.pidfile}", f"--log-error={self.errlog}", "--skip-name-resolve",
               "--skip-log-bin", "--innodb-buffer-pool-size=32M", "--innodb-log-file-size=16M",
               "--max-connections=200", "--max-allowed-packet=64M", *self._user, *self._tls_options()]
        self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True,
                                        preexec_fn=functools.partial(_die_with, os.getpid()))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"mariadbd exited with {self.process.returncode}:\n{self.log()}")
            try:
                self.admin().close()
                return self
            except pymysql.err.OperationalError:
                time.sleep(0.1)
        self.kill()
        raise RuntimeError(f"mariadbd did not come up within {timeout} s:\n{self.log()}")

    def _tls_options(self):
        if not self.tls:
            return []
        if not os.path.exists(self.certificate):
            proc = subprocess.run(
                [_find("openssl"), "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                 "-subj", "/CN=127.0.0.1", "-keyout", self.key, "-out", self.certificate],
                capture_output=True, text=True, timeout=120)
            if proc.returncode != 0:
                raise RuntimeError(f"openssl could not make a certificate:\n{proc.stderr}")
        return [f"--ssl-cert={self.certificate}", f"--ssl-key={self.key}"]

    def stop(self, timeout=60):
        """A clean shutdown (SIGTERM), waited for."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def kill(self):
        """The server dies at once (SIGKILL), as on a crash."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process = None

    def restart(self):
        self.stop()
        return self.start()

    @property
    def running(self):
        return self.process is not None and self.process.poll() is None

    def cleanup(self):
        try:
            self.kill()
        finally:
            shutil.rmtree(self.base, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()

    # -- access --------------------------------------------------------------

    def admin(self, database=None):
        return pymysql.connect(unix_socket=self.socket, user="root", database=database,
                               autocommit=True, charset="utf8mb4", connect_timeout=5,
                               max_allowed_packet=64 * 1024 * 1024)

    def execute(self, *statements, database=None):
        conn = self.admin(database)
        try:
            with conn.cursor() as cur:
                for statement in statements:
                    if isinstance(statement, tuple):
                        cur.execute(*statement)
                    else:
                        cur.execute(statement)
        finally:
            conn.close()

    def log(self):
        try:
            with open(self.errlog, encoding="utf-8", errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""


if __name__ == "__main__":
    with PrivateMariaDB() as server:
        print(f"MariaDB on {server.host}:{server.port}, socket {server.socket}", flush=True)
        try:
            signal.pause()
        except KeyboardInterrupt:
            pass
