"""tablescope against a failing server and a damaged or contended cache file.
Each case ends in a logged record, a raised exception or the right list,
never in a crash or a wrong list."""
import gc
import logging
import os
import pickle
import shutil
import signal
import subprocess
import sys
import threading
import time
import types

import pandas as pd
import pytest
import sqlalchemy

import orveksdk.tablescope as ts
from log_records import Records

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

C = ts.MySQLDatabaseTableScope


def tables_of(db, database=None):
    engine = sqlalchemy.create_engine(
        f"mysql+pymysql://{db.user}:{db.password}@{db.host}/{database or db.name}")
    try:
        with engine.connect() as conn:
            names = sqlalchemy.inspect(engine).get_table_names()
            return [pd.read_sql_table(n, conn) for n in names], names
    finally:
        engine.dispose()


def assert_tables(frames, expected):
    want, names = expected
    assert [f.attrs["name"] for f in frames] == names
    for got, frame in zip(frames, want):
        pd.testing.assert_frame_equal(got, frame)


# ---------------------------------------------------------------------------
# The server

def test_server_stopped_before_connect(db, tmp_path):
    obj = db.scope(ts, tmp_path, database=db.small_name)
    db.server.stop()
    with Records() as log, pytest.raises(sqlalchemy.exc.OperationalError) as info:
        obj.connect()
    assert log.records == [("ERROR", f"Error connecting to the database: {info.value}")]
    assert obj.engine is not None  # the engine is made; the test connection failed
    with pytest.raises(sqlalchemy.exc.OperationalError):
        obj.prepare_data()  # no cache yet: the read fails the same way
    assert not (tmp_path / "db_cache.pkl").exists()
    db.server.start()
    obj.connect()
    assert_tables(obj.prepare_data(), tables_of(db, db.small_name))


def test_server_killed_during_prepare_data(db, tmp_path, monkeypatch, tb_names):
    obj = db.scope(ts, tmp_path)
    obj.connect()
    read = []

    def read_sql_table(table_name, connection):
        if read:
            db.server.kill()  # a crash, between two tables
        read.append(table_name)
        return pd.read_sql_table(table_name, connection)
    monkeypatch.setitem(vars(ts), "pd", types.SimpleNamespace(read_sql_table=read_sql_table))
    with Records() as log, pytest.raises(sqlalchemy.exc.SQLAlchemyError) as info:
        obj.prepare_data()
    assert read == ["customers", "empty_things"]
    assert log.records == [("ERROR", f"Error fetching tables: {info.value}")]
    assert tb_names(info.value).count(
        "orveksdk.tablescope.MySQLDatabaseTableScope.prepare_data") == 3
    assert not (tmp_path / "db_cache.pkl").exists()
    monkeypatch.undo()
    # with the server back, the same object reads everything
    db.server.start()
    assert_tables(outcome_after_restart(obj), tables_of(db))


def outcome_after_restart(obj):
    """prepare_data after the server came back. The engine's pooled
    connections died with the old server: each use of one fails (pandas then
    meets SQLAlchemy's PendingRollbackError), is logged and raised, and the
    pool drops it; within a few calls the object reads again."""
    for _ in range(3):
        with Records() as log:
            try:
                return obj.prepare_data()
            except sqlalchemy.exc.SQLAlchemyError as exc:
                assert log.records == [("ERROR", f"Error fetching tables: {exc}")]
    return obj.prepare_data()


def test_server_restarted_between_calls(db, tmp_path):
    obj = db.scope(ts, tmp_path, database=db.small_name)
    obj.connect()
    expected = tables_of(db, db.small_name)
    assert_tables(obj.prepare_data(), expected)
    db.server.restart()
    assert_tables(obj.prepare_data(), expected)  # a cache hit: the server is not asked
    (tmp_path / "db_cache.pkl").unlink()
    assert_tables(outcome_after_restart(obj), expected)
    assert_tables(pickle.loads((tmp_path / "db_cache.pkl").read_bytes()), expected)


# ---------------------------------------------------------------------------
# A damaged cache file

@pytest.fixture(scope="module")
def good_cache(mariadb_server, tmp_path_factory):
    """The pickle of the test database as the package writes it."""
    mariadb_server.ensure_running()
    where = tmp_path_factory.mktemp("good")
    obj = mariadb_server.scope(ts, where)
    obj.connect()
    obj.prepare_data()
    return (where / "db_cache.pkl").read_bytes(), tables_of(mariadb_server)


def test_cache_truncated_at_every_tenth_byte(good_cache, tmp_path):
    data, _ = good_cache
    path = tmp_path / "db_cache.pkl"
    obj = C("u", "p", "h", "d", str(tmp_path))  # never connected
    offsets = range(0, len(data), 10)
    assert len(offsets) > 1000
    with Records() as log:
        for offset in offsets:
            path.write_bytes(data[:offset])
            with pytest.raises(ConnectionError, match=r"^Database connection not established\.$"):
                obj.prepare_data()
    assert len(log.records) == len(offsets)
    assert all(level == "ERROR" and text.startswith("Error loading cache: ")
               for level, text in log.records)


@pytest.mark.parametrize("offset", [0, 1, 57, -1])
def test_truncated_cache_is_read_again_and_rewritten(db, good_cache, tmp_path, offset):
    data, expected = good_cache
    path = tmp_path / "db_cache.pkl"
    path.write_bytes(data[:offset])
    obj = db.scope(ts, tmp_path)
    obj.connect()
    with Records() as log:
        assert_tables(obj.prepare_data(), expected)
    assert [r[1].split(":")[0] for r in log.records] == ["Error loading cache"]
    assert_tables(pickle.loads(path.read_bytes()), expected)


def test_directory_in_place_of_the_cache(db, tmp_path):
    path = tmp_path / "db_cache.pkl"
    path.mkdir()
    with Records() as log, pytest.raises(ConnectionError):
        C("u", "p", "h", "d", str(tmp_path)).prepare_data()
    assert log.records == [("ERROR", f"Error loading cache: [Errno 21] Is a directory: '{path}'")]
    obj = db.scope(ts, tmp_path, database=db.small_name)
    obj.connect()
    with Records() as log, pytest.raises(IsADirectoryError):
        obj.prepare_data()
    assert log.records == [("ERROR", f"Error loading cache: [Errno 21] Is a directory: '{path}'"),
                           ("ERROR", f"Error fetching tables: [Errno 21] Is a directory: '{path}'")]
    assert path.is_dir()


UNPRIVILEGED = """
import logging, os, pickle, sys
import orveksdk.tablescope as ts
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record.getMessage())
logging.getLogger().addHandler(Keep())
path = os.path.join(sys.argv[1], "db_cache.pkl")
try:
    open(path, "rb")
except PermissionError:
    pass
else:
    sys.exit("the file can be read: the case cannot be tried")
obj = ts.MySQLDatabaseTableScope("u", "p", "h", "d", sys.argv[1])
try:
    obj.prepare_data()
except ConnectionError as exc:
    print("ConnectionError", exc)
obj = ts.MySQLDatabaseTableScope(*sys.argv[2:6], sys.argv[1])
obj.connect()
try:
    print("tables", [f.name for f in obj.prepare_data()])
except PermissionError as exc:
    print("PermissionError", exc)
for r in records:
    print("record", r)
"""


def unprivileged_command():
    """Runs Python without the power to read what its user may not read: as
    root, without the capabilities that override file permissions."""
    if os.geteuid() != 0:
        return [sys.executable]
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("setpriv (util-linux) is needed to drop root's file capabilities")
    return [setpriv, "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search",
            "--", sys.executable]


def test_cache_file_without_read_permission(db, tmp_path):
    path = tmp_path / "db_cache.pkl"
    path.write_bytes(pickle.dumps([pd.DataFrame({"a": [1]})]))
    path.chmod(0)
    proc = subprocess.run(
        [*unprivileged_command(), "-c", UNPRIVILEGED, str(tmp_path),
         db.user, db.password, db.host, db.small_name],
        capture_output=True, text=True, timeout=120, cwd="/")
    assert proc.returncode == 0, proc.stderr
    denied = f"[Errno 13] Permission denied: '{path}'"
    # The unreadable file cannot be loaded; the tables read from the
    # database then replace it whole (the folder is writable), as any cache
    # file is replaced.
    assert proc.stdout.splitlines() == [
        "ConnectionError Database connection not established.",
        "tables ['t']",
        f"record Error loading cache: {denied}",
        "record Successfully connected to the database.",
        f"record Error loading cache: {denied}",
    ]
    assert [f.attrs["name"] for f in pickle.loads(path.read_bytes())] == ["t"]


# ---------------------------------------------------------------------------
# Contended cache files

CONTEND = """
import logging, os, pickle, sys, time
import pandas as pd
import orveksdk.tablescope as ts
logging.getLogger().handlers[:] = [logging.NullHandler()]
role, where, user, password, host, database, seconds = sys.argv[1:]
path = os.path.join(where, "db_cache.pkl")
expected = pickle.load(open(os.path.join(where, "expected.pkl"), "rb"))
obj = ts.MySQLDatabaseTableScope(user, password, host, database, where)
if role == "writer":
    obj.connect()
counts = {}
# At least `seconds` of contention, and on until this process has seen a
# whole list at least once: on a loaded machine the others may start late.
start = time.monotonic()
while (time.monotonic() < start + float(seconds) or not counts.get("list")) \
        and time.monotonic() < start + 120:
    if role == "writer":
        try:
            os.remove(path)
        except FileNotFoundError:
            pass
    try:
        got = obj.prepare_data()
    except ConnectionError:
        kind = "no cache"
    else:
        assert len(got) == len(expected), "wrong list"
        for a, b in zip(got, expected):
            assert a.equals(b) and a.name == b.attrs["name"], "wrong frame"
        kind = "list"
    counts[kind] = counts.get(kind, 0) + 1
print(counts)
"""


def test_two_processes_reading_and_writing_the_cache(db, tmp_path):
    expected, _ = tables_of(db)
    loader = db.scope(ts, tmp_path / "first")
    loader.connect()
    (tmp_path / "first").mkdir()
    frames = loader.prepare_data()
    (tmp_path / "expected.pkl").write_bytes(pickle.dumps(frames))
    args = [str(tmp_path), db.user, db.password, db.host, db.name, "6"]
    procs = [subprocess.Popen([sys.executable, "-c", CONTEND, role, *args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")
             for role in ("writer", "reader", "writer", "reader")]
    outputs = [p.communicate(timeout=300) for p in procs]
    for proc, (out, err) in zip(procs, outputs):
        assert proc.returncode == 0, err
    counts = [eval(out) for out, _ in outputs]  # noqa: S307 - our own dict literal
    assert all(c.get("list", 0) > 0 for c in counts), counts


@pytest.fixture
def twin_databases(db):
    """Two databases whose single tables have the same shape and different
    values, so that their pickles have the same length."""
    names = ("twin_a", "twin_b")
    for i, name in enumerate(names):
        db.server.execute(f"DROP DATABASE IF EXISTS {name}", f"CREATE DATABASE {name}",
                          f"GRANT ALL ON {name}.* TO '{db.user}'@'%'")
        db.server.execute("CREATE TABLE t (id INT PRIMARY KEY, v DOUBLE NOT NULL)", database=name)
        conn = db.server.admin(name)
        with conn.cursor() as cur:
            cur.executemany("INSERT INTO t VALUES (%s, %s)",
                            [(k + i * 100_000, k * (i + 1.0) + 0.25) for k in range(4000)])
        conn.close()
    yield names
    db.server.execute(*(f"DROP DATABASE {name}" for name in names))


def test_two_writers_never_leave_a_mixture(db, twin_databases, tmp_path, monkeypatch):
    """Writer A is slow and pauses half-way through its file; B comes to the
    same file meanwhile. What B returns and what the file holds afterwards
    is one of the two databases, whole, never A's head with B's tail."""
    a_half_written = threading.Event()
    real = pickle

    def dump(obj, file):
        data = real.dumps(obj)
        if threading.current_thread().name == "A":
            file.write(data[:len(data) // 2])
            file.flush()
            a_half_written.set()
            time.sleep(1.0)
            file.write(data[len(data) // 2:])
        else:
            file.write(data)
    monkeypatch.setitem(vars(ts), "pickle", types.SimpleNamespace(dump=dump, load=real.load))
    twins = [tables_of(db, name)[0][0] for name in twin_databases]
    assert not twins[0].equals(twins[1])
    writers = {name: db.scope(ts, tmp_path, database=database)
               for name, database in zip("AB", twin_databases)}
    for obj in writers.values():
        obj.connect()
    results = {}

    def write(name):
        results[name] = writers[name].prepare_data()
    a = threading.Thread(target=write, args=("A",), name="A")
    a.start()
    assert a_half_written.wait(60)
    b = threading.Thread(target=write, args=("B",), name="B")
    b.start()
    a.join()
    b.join()

    def which(frames):
        assert len(frames) == 1
        found = [i for i, twin in enumerate(twins) if frames[0].equals(twin)]
        assert len(found) == 1, "a mixture of two databases"
        return found[0]
    assert which(results["A"]) == 0
    which(results["B"])
    which(real.loads((tmp_path / "db_cache.pkl").read_bytes()))


# ---------------------------------------------------------------------------
# Repeated connect()

def server_connections(db):
    conn = db.server.admin()
    try:
        with conn.cursor() as cur:
            cur.execute("SELECT COUNT(*) FROM information_schema.processlist WHERE user = %s",
                        (db.user,))
            return cur.fetchone()[0]
    finally:
        conn.close()


def test_repeated_connect_does_not_exhaust_the_server(db, tmp_path):
    obj = db.scope(ts, tmp_path, database=db.small_name)
    obj.connect()
    kept = obj.engine  # somebody else still uses the first engine
    gc.collect()
    before = server_connections(db)
    gc.disable()  # the replaced engines' connections must close without it
    try:
        for _ in range(300):  # more than the server's connection limit
            obj.connect()
        assert server_connections(db) <= before + 1
    finally:
        gc.enable()
    with kept.connect() as conn:  # a replaced engine still works
        assert conn.exec_driver_sql("SELECT 1").scalar() == 1
    assert obj.engine is not kept
    assert len(obj.prepare_data()) == 1


def test_connect_replacing_a_stand_in_engine(db, tmp_path):
    obj = db.scope(ts, tmp_path, database=db.small_name)
    obj.engine = "not an engine"  # nothing to dispose of
    obj.connect()

    class Failing:
        def dispose(self):
            raise sqlalchemy.exc.InvalidRequestError("dispose failed")
    obj.engine = Failing()
    with Records() as log, pytest.raises(sqlalchemy.exc.InvalidRequestError):
        obj.connect()
    assert log.records == [("ERROR", "Error connecting to the database: dispose failed")]
    assert not isinstance(obj.engine, Failing)  # the new engine stays, as after any failure


def test_a_killed_starter_takes_its_server_with_it(tmp_path):
    script = f"""
import importlib.util, os, sys, time
spec = importlib.util.spec_from_file_location("pm", {os.path.join(ROOT, "scripts", "private_mariadb.py")!r})
pm = importlib.util.module_from_spec(spec); spec.loader.exec_module(pm)
server = pm.PrivateMariaDB(base={str(tmp_path)!r}).start()
print(server.process.pid, flush=True)
time.sleep(600)
"""
    starter = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                               text=True, cwd="/")
    server_pid = None
    try:
        server_pid = int(starter.stdout.readline())
        assert os.path.exists(f"/proc/{server_pid}")
        starter.send_signal(signal.SIGKILL)
        starter.wait(timeout=30)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and server_alive(server_pid):
            time.sleep(0.1)
        assert not server_alive(server_pid), "the server outlived the process that started it"
    finally:
        starter.kill()
        starter.wait()
        if server_pid and server_alive(server_pid):  # never leave it behind
            os.kill(server_pid, signal.SIGKILL)


def server_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ", 1)[1][0] != "Z"
    except FileNotFoundError:
        return False
