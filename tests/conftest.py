"""Shared fixtures: subprocess runner and the leak check."""
import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
import warnings

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _stack():
    """Which pinned stack this venv holds: "latest" (LangChain 1.x, pandas 3)
    or "pinned" (LangChain 0.2, pandas 2.2)."""
    from importlib.metadata import version
    return "latest" if int(version("langchain").split(".")[0]) >= 1 else "pinned"


STACK = _stack()
# The pins of this venv's stack on this interpreter (scripts/stack.sh).
CONSTRAINTS = os.path.join(ROOT, {
    ("pinned", (3, 12)): "constraints.txt",
    ("latest", (3, 12)): "constraints-latest.txt",
    ("latest", (3, 13)): "constraints-latest-py313.txt",
}[STACK, sys.version_info[:2]])


@pytest.fixture(scope="session")
def stack():
    return STACK


@pytest.fixture(scope="session")
def constraints():
    return CONSTRAINTS



def pytest_collection_modifyitems(config, items):
    # The sanitizer run adds nothing to checks that never load its build.
    if os.environ.get("ORVEKSDK_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="static or release-build check; run against the normal build")
    for item in items:
        if item.get_closest_marker("normal_build"):
            item.add_marker(skip)


class Leaks:
    """Runs a call many times; fails when Python-level memory or the
    reference counts of its arguments grow with the number of calls."""

    def __init__(self, rounds=2000, warmup=200):
        self.rounds = rounds
        self.warmup = warmup

    def check(self, fn, *args, expect=None, rounds=None, per_call_bytes=8, blocks=False,
              **kwargs):
        """Fails when memory grows with the calls. By default growth is
        traced memory (tracemalloc); with `blocks` it is the interpreter's
        count of allocated memory blocks, which costs nothing per call and
        so suits long runs: every object a call leaks is such a block.
        `per_call_bytes` then bounds blocks per hundred calls."""
        rounds = rounds or self.rounds

        def once():
            try:
                fn(*args, **kwargs)
            except BaseException as exc:  # noqa: BLE001 - compared below
                if expect is None or not isinstance(exc, expect):
                    raise
            else:
                if expect is not None:
                    raise AssertionError(f"{fn!r} did not raise {expect}")
            finally:
                log.clear()

        def measure():
            gc.collect()
            return sys.getallocatedblocks() if blocks else tracemalloc.get_traced_memory()[0]

        # Warnings a call gives (pandas 3 deprecates set_index's inplace)
        # still go through the whole warnings machinery, but into a log that
        # once() empties after each call: pytest's own record of them would
        # grow with the calls and pass for a leak of the body.
        with warnings.catch_warnings(record=True) as log:
            warnings.simplefilter("always")
            for _ in range(self.warmup):
                once()
            gc.collect()
            refcounts = [sys.getrefcount(a) for a in args]
            if not blocks:
                tracemalloc.start()
            try:
                def window():
                    """Growth over one round of calls."""
                    before = measure()
                    for _ in range(rounds):
                        once()
                    return measure() - before
                for _ in range(rounds):
                    once()
                growth = window()
                limit = rounds * per_call_bytes / 100 if blocks else rounds * per_call_bytes
                if growth >= limit:
                    # The interpreter's and the libraries' caches may still
                    # be filling after the warm-up (3.13's longer than
                    # 3.12's), growth that dies away; a leak grows as much
                    # again in the next round.
                    growth = min(growth, window())
            finally:
                if not blocks:
                    tracemalloc.stop()
        unit = "memory blocks" if blocks else "bytes"
        assert growth < limit, f"memory grew by {growth} {unit} over {rounds} calls of {fn!r}"
        after = [sys.getrefcount(a) for a in args]
        assert after == refcounts, f"argument reference counts changed: {refcounts} -> {after}"


@pytest.fixture
def leaks():
    return Leaks()


def run_python(code, *, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter of this venv, outside the source tree."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, cwd="/", env=full_env, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def python():
    return run_python


def frame_names(exc):
    """The names of the traceback entries of `exc`, innermost last."""
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


@pytest.fixture
def tb_names():
    return frame_names


def c_vectorcall(func, args, kwnames):
    """Calls `func` through PyObject_Vectorcall with any keyword-name tuple,
    which Python code cannot build (non-text or repeated names)."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                        ctypes.py_object]
    keep = [ctypes.py_object(a) for a in args]
    array = (ctypes.py_object * len(keep))(*keep)
    nargs = len(args) - len(kwnames)
    return api.PyObject_Vectorcall(func, ctypes.addressof(array), nargs, kwnames)


@pytest.fixture(scope="session")
def vectorcall():
    return c_vectorcall


# ---------------------------------------------------------------------------
# The private MariaDB server

def load_project_module(relative_path, name):
    """A module of the repository outside the package (scripts/, bench/)."""
    import importlib.util
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    spec = importlib.util.spec_from_file_location(name, os.path.join(root, relative_path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def project_module():
    return load_project_module


@pytest.fixture(scope="session")
def baseline():
    """The package's statements as plain Python (the benchmarks' baseline)."""
    return load_project_module(os.path.join("bench", "baseline.py"), "baseline")


class Database:
    """The test database on the private server and its accounts."""

    name = "scope_test"
    empty_name = "scope_empty"
    user, password = "scope", "scope-pass"
    special_user, special_password = "special", "p@ss/w:rd% x"
    refused_user, refused_password = "refused", "refused-pass"
    small_name = "scope_small"
    schema_name = "scope_schema"
    readings = 3000

    def __init__(self, server):
        self.server = server

    @property
    def host(self):
        return f"{self.server.host}:{self.server.port}"

    def scope(self, tablescope, cache_path, database=None, user=None, password=None, **kw):
        return tablescope.MySQLDatabaseTableScope(
            user or self.user, password or self.password, self.host, database or self.name,
            str(cache_path), **kw)

    def ensure_running(self):
        if not self.server.running:
            self.server.start()

    def setup(self):
        s = self.server
        s.execute(
            f"CREATE DATABASE {self.name} CHARACTER SET utf8mb4",
            f"CREATE DATABASE {self.empty_name}",
            f"CREATE USER '{self.user}'@'%' IDENTIFIED BY '{self.password}'",
            f"GRANT ALL ON {self.name}.* TO '{self.user}'@'%'",
            f"GRANT ALL ON {self.empty_name}.* TO '{self.user}'@'%'",
            f"CREATE DATABASE {self.small_name}",
            f"GRANT ALL ON {self.small_name}.* TO '{self.user}'@'%'",
            f"CREATE DATABASE {self.schema_name}",
            f"GRANT ALL ON {self.schema_name}.* TO '{self.user}'@'%'",
            ("CREATE USER %s@'%%' IDENTIFIED BY %s", (self.special_user, self.special_password)),
            f"GRANT SELECT ON {self.name}.* TO '{self.special_user}'@'%'",
            f"CREATE USER '{self.refused_user}'@'%' IDENTIFIED BY '{self.refused_password}' ACCOUNT LOCK",
            f"GRANT SELECT ON {self.name}.* TO '{self.refused_user}'@'%'",
        )
        s.execute(
            "CREATE TABLE customers (id INT PRIMARY KEY, name VARCHAR(64) NOT NULL,"
            " balance DECIMAL(10,2), joined DATE, note TEXT NULL)",
            "INSERT INTO customers VALUES"
            " (1, 'Zoë', 10.50, '2024-01-02', NULL),"
            " (2, '東京 Trading', -3.25, '2023-12-31', 'unicode ✓'),"
            " (3, 'O''Brien', NULL, NULL, '')",
            "CREATE TABLE empty_things (id INT, payload BLOB)",
            "CREATE TABLE readings (id INT AUTO_INCREMENT PRIMARY KEY, taken DATETIME NOT NULL,"
            " value DOUBLE, flag TINYINT(1) NOT NULL)",
            database=self.name)
        s.execute("CREATE TABLE t (id INT, name VARCHAR(8))",
                  "INSERT INTO t VALUES (1, 'one'), (2, 'two')", database=self.small_name)
        s.execute("CREATE TABLE alpha (x INT, y VARCHAR(10))",
                  "CREATE TABLE beta (p DATE, q DOUBLE)", database=self.schema_name)
        rows = [(f"2024-01-01 00:{i // 60 % 60:02d}:{i % 60:02d}", i * 0.5 if i % 7 else None, i % 2)
                for i in range(self.readings)]
        conn = s.admin(self.name)
        try:
            with conn.cursor() as cur:
                cur.executemany("INSERT INTO readings (taken, value, flag) VALUES (%s, %s, %s)", rows)
        finally:
            conn.close()


@pytest.fixture(scope="session")
def mariadb_server():
    server = load_project_module(os.path.join("scripts", "private_mariadb.py"),
                                 "private_mariadb").PrivateMariaDB()
    try:
        server.start()
        db = Database(server)
        db.setup()
        yield db
    finally:
        server.cleanup()


@pytest.fixture
def db(mariadb_server):
    """The test database, with the server running (a test may have stopped it)."""
    mariadb_server.ensure_running()
    yield mariadb_server
    mariadb_server.ensure_running()
