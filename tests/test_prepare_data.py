"""prepare_data (tables through the cache file) and print_table_schemas,
against the private MariaDB server."""
import logging
import os
import pickle

import pandas as pd
import pytest
import sqlalchemy

import orveksdk.tablescope as ts

C = ts.MySQLDatabaseTableScope
PREPARE = "orveksdk.tablescope.MySQLDatabaseTableScope.prepare_data"
SCHEMAS = "orveksdk.tablescope.MySQLDatabaseTableScope.print_table_schemas"


def root_records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "root"]


@pytest.fixture
def connected(db, tmp_path):
    def make(database=None, **kw):
        obj = db.scope(ts, tmp_path, database=database, **kw)
        obj.connect()
        return obj
    return make


def direct_tables(db, database=None):
    engine = sqlalchemy.create_engine(
        f"mysql+pymysql://{db.user}:{db.password}@{db.host}/{database or db.name}")
    try:
        names = sqlalchemy.inspect(engine).get_table_names()
        with engine.connect() as conn:
            return names, [pd.read_sql_table(n, conn) for n in names]
    finally:
        engine.dispose()


# ---------------------------------------------------------------------------
# Database read and cache hit

def test_database_read_then_cache_hit(db, connected, tmp_path, caplog):
    caplog.set_level(logging.INFO)
    obj = connected()
    caplog.clear()
    names, expected = direct_tables(db)
    assert names == ["customers", "empty_things", "readings"]

    frames = obj.prepare_data()
    assert isinstance(frames, list) and [f.name for f in frames] == names
    for frame, want in zip(frames, expected):
        pd.testing.assert_frame_equal(frame, want)
        assert frame.attrs == {"name": frame.name}
    customers, empty, readings = frames
    # the tag is no column: the table's own "name" column keeps its values
    assert list(customers["name"]) == ["Zoë", "東京 Trading", "O'Brien"]
    assert customers["note"].isna().tolist() == [True, False, False]
    assert len(empty) == 0 and list(empty.columns) == ["id", "payload"]
    assert len(readings) == db.readings
    assert root_records(caplog) == []

    cache = tmp_path / "db_cache.pkl"
    assert cache.exists()
    with open(cache, "rb") as f:
        stored = pickle.load(f)
    assert [f.attrs["name"] for f in stored] == names

    hit = obj.prepare_data()
    assert hit is not frames and [f.name for f in hit] == names
    for frame, want in zip(hit, expected):
        pd.testing.assert_frame_equal(frame, want)
    assert list(hit[0]["name"]) == ["Zoë", "東京 Trading", "O'Brien"]
    assert root_records(caplog) == []


def test_cache_hit_in_a_new_process_without_the_server(db, connected, tmp_path, python):
    connected().prepare_data()
    db.server.stop()
    proc = python(f"""
        import orveksdk.tablescope as ts
        obj = ts.MySQLDatabaseTableScope("u", "p", "127.0.0.1:1", "d", {str(tmp_path)!r})
        for df in obj.prepare_data():
            print(df.name, len(df), list(df.columns)[:2])
    """)
    assert proc.stdout.splitlines() == [
        "customers 3 ['id', 'name']", "empty_things 0 ['id', 'payload']",
        f"readings {db.readings} ['id', 'taken']"]
    assert proc.stderr == ""


def test_hit_returns_what_unpickling_gives_apart_from_the_tag(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    tagged = pd.DataFrame({"name": ["a", "b"]})
    tagged.attrs["name"] = "people"
    untagged = pd.DataFrame({"x": [1]})
    series = pd.Series([1, 2])
    series.attrs["name"] = "not a frame"
    stored = [tagged, untagged, "text", series]
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps(stored))
    obj = C("u", "p", "h", "d", str(tmp_path))
    loaded = obj.prepare_data()
    assert loaded[0].name == "people" and list(loaded[0]["name"]) == ["a", "b"]
    assert "name" not in vars(loaded[1])  # a frame without the tag loads as it is
    assert loaded[2] == "text"
    assert "name" not in vars(loaded[3]) and loaded[3].name is None  # only DataFrames are tagged
    assert root_records(caplog) == []


@pytest.mark.parametrize("content", [{"a": 1}, None, 42, ("t",)])
def test_any_pickled_object_is_returned_unchanged(tmp_path, content):
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps(content))
    assert C("u", "p", "h", "d", str(tmp_path)).prepare_data() == content


def test_broken_cache_file_is_logged_and_replaced(db, connected, tmp_path, caplog):
    caplog.set_level(logging.INFO)
    obj = connected(database=db.small_name)
    caplog.clear()
    cache = tmp_path / "db_cache.pkl"
    for broken in [b"", b"not a pickle", pickle.dumps([1, 2, 3])[:-3]]:
        cache.write_bytes(broken)
        frames = obj.prepare_data()
        assert [f.name for f in frames] == ["t"]
        [(level, message)] = root_records(caplog)
        assert level == "ERROR" and message.startswith("Error loading cache: ")
        caplog.clear()
        assert [f.attrs["name"] for f in pickle.loads(cache.read_bytes())] == ["t"]


def test_unreadable_cache_and_no_engine(tmp_path, caplog, tb_names):
    caplog.set_level(logging.INFO)
    (tmp_path / "db_cache.pkl").write_bytes(b"\x80\x05garbage")
    with pytest.raises(ConnectionError) as info:
        C("u", "p", "h", "d", str(tmp_path)).prepare_data()
    assert info.value.args == ("Database connection not established.",)
    [(level, message)] = root_records(caplog)
    assert level == "ERROR" and message.startswith("Error loading cache: ")
    assert tb_names(info.value).count(PREPARE) == 1


def test_cache_that_is_a_directory(db, connected, tmp_path, caplog):
    caplog.set_level(logging.INFO)
    obj = connected(database=db.small_name)
    caplog.clear()
    (tmp_path / "db_cache.pkl").mkdir()
    with pytest.raises(IsADirectoryError):
        obj.prepare_data()
    assert [m.split(":")[0] for _, m in root_records(caplog)] == [
        "Error loading cache", "Error fetching tables"]


def test_no_engine_and_no_cache(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    with pytest.raises(ConnectionError, match="^Database connection not established.$"):
        C("u", "p", "h", "d", str(tmp_path)).prepare_data()
    assert root_records(caplog) == []
    assert not (tmp_path / "db_cache.pkl").exists()


def test_database_without_tables(db, connected, tmp_path):
    obj = connected(database=db.empty_name)
    assert obj.prepare_data() == []
    assert pickle.loads((tmp_path / "db_cache.pkl").read_bytes()) == []
    db.server.execute("CREATE TABLE later (id INT)", database=db.empty_name)
    try:
        assert obj.prepare_data() == []  # the cache is never refreshed
    finally:
        db.server.execute("DROP TABLE later", database=db.empty_name)


def test_missing_cache_directory(db, tmp_path, caplog, tb_names):
    caplog.set_level(logging.INFO)
    obj = db.scope(ts, tmp_path / "missing", database=db.small_name)
    obj.connect()
    caplog.clear()
    with pytest.raises(FileNotFoundError) as info:
        obj.prepare_data()
    assert root_records(caplog) == [("ERROR", f"Error fetching tables: {info.value}")]
    assert "No such file or directory" in str(info.value)
    assert tb_names(info.value).count(PREPARE) == 2  # the open and the re-raise


def test_defaults_are_relative_to_the_current_directory(db, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    obj = C(db.user, db.password, db.host, db.small_name)
    obj.connect()
    obj.prepare_data()
    assert (tmp_path / "db_cache.pkl").is_file()
    other = tmp_path / "other"
    other.mkdir()
    monkeypatch.chdir(other)
    obj.engine = None
    with pytest.raises(ConnectionError):
        obj.prepare_data()  # no cache in the new current directory


def test_absolute_cache_file_replaces_the_path(db, connected, tmp_path):
    target = tmp_path / "elsewhere.pkl"
    obj = db.scope(ts, "/nonexistent", database=db.small_name, cache_file=str(target))
    obj.connect()
    obj.prepare_data()
    assert target.is_file()


def test_server_failing_between_table_reads(db, connected, tmp_path, caplog, monkeypatch, tb_names):
    caplog.set_level(logging.INFO)
    obj = connected()
    caplog.clear()
    reads = []

    class Pandas:
        def read_sql_table(self, table_name, connection):
            if reads:  # after the first table, the server drops the connection
                conn = db.server.admin()
                with conn.cursor() as cur:
                    cur.execute("SELECT id FROM information_schema.processlist WHERE user = %s",
                                (db.user,))
                    for (pid,) in cur.fetchall():
                        cur.execute(f"KILL {pid}")
                conn.close()
            reads.append(table_name)
            return pd.read_sql_table(table_name, connection)
    monkeypatch.setitem(vars(ts), "pd", Pandas())
    # what reaches the caller is what pandas raises over the lost connection
    with pytest.raises(sqlalchemy.exc.SQLAlchemyError) as info:
        obj.prepare_data()
    assert reads == ["customers", "empty_things"]
    assert root_records(caplog) == [("ERROR", f"Error fetching tables: {info.value}")]
    assert tb_names(info.value).count(PREPARE) == 3  # the read, the with-statement, the re-raise
    assert not (tmp_path / "db_cache.pkl").exists()


def test_base_exceptions_pass_and_the_connection_is_released(db, connected, tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.INFO)
    obj = connected(database=db.small_name)
    caplog.clear()

    class Pandas:
        def read_sql_table(self, table_name, connection):
            self.connection = connection
            raise KeyboardInterrupt
    fake = Pandas()
    monkeypatch.setitem(vars(ts), "pd", fake)
    with pytest.raises(KeyboardInterrupt):
        obj.prepare_data()
    assert fake.connection.closed
    assert root_records(caplog) == []


def test_suppressing_context_manager_continues_with_the_partial_list(tmp_path, monkeypatch):
    class Suppressing:
        def __enter__(self):
            return "connection"

        def __exit__(self, *exc):
            self.exc = exc
            return True
    manager = Suppressing()

    class Engine:
        def connect(self):
            return manager

    def inspect(engine):
        raise LookupError("no inspector")
    monkeypatch.setitem(vars(ts), "inspect", inspect)
    obj = C("u", "p", "h", "d", str(tmp_path))
    obj.engine = Engine()
    assert obj.prepare_data() == []
    assert manager.exc[0] is LookupError
    assert pickle.loads((tmp_path / "db_cache.pkl").read_bytes()) == []


def test_no_leaks(db, connected, tmp_path, leaks, monkeypatch):
    # SQLAlchemy keeps each new reflected statement in the engine's bounded
    # compiled cache; without that cache, growth is the package's own.
    monkeypatch.setitem(vars(ts), "create_engine",
                        lambda url: sqlalchemy.create_engine(url, query_cache_size=0))
    obj = connected(database=db.small_name)
    cache = tmp_path / "db_cache.pkl"

    def read():
        cache.unlink(missing_ok=True)
        obj.prepare_data()
    leaks.warmup = 5
    leaks.check(read, rounds=40, per_call_bytes=4096)
    leaks.warmup = 50
    leaks.check(obj.prepare_data, rounds=300, per_call_bytes=64)
    no_engine = C("u", "p", "h", "d", str(tmp_path / "none"))
    leaks.check(no_engine.prepare_data, expect=ConnectionError, rounds=500, per_call_bytes=64)
    leaks.check(obj.print_table_schemas, rounds=60, per_call_bytes=2048)


# ---------------------------------------------------------------------------
# print_table_schemas

def test_schema_report(db, connected, capsys, caplog):
    caplog.set_level(logging.INFO)
    obj = connected(database=db.schema_name)
    capsys.readouterr()
    caplog.clear()
    assert obj.print_table_schemas() is None
    assert capsys.readouterr().out.splitlines() == [
        "Table: alpha", "  x: INTEGER", "  y: VARCHAR(10)",
        "Table: beta", "  p: DATE", "  q: DOUBLE"]
    assert root_records(caplog) == []


def test_schema_report_of_a_database_without_tables(db, connected, capsys):
    obj = connected(database=db.empty_name)
    capsys.readouterr()
    obj.print_table_schemas()
    assert capsys.readouterr().out == ""


class Inspector:
    """Stands in for SQLAlchemy's inspector where MariaDB cannot produce
    the case (a table without columns, names that are not texts)."""

    def __init__(self, tables, fail_on=None):
        self.tables = tables
        self.fail_on = fail_on

    def get_table_names(self):
        return list(self.tables)

    def get_columns(self, table_name):
        if table_name == self.fail_on:
            raise sqlalchemy.exc.NoSuchTableError(table_name)
        return self.tables[table_name]


@pytest.fixture
def stand_in(monkeypatch):
    def install(inspector):
        monkeypatch.setitem(vars(ts), "inspect", lambda engine: inspector)
        obj = C("u", "p", "h", "d")
        obj.engine = "an engine"
        return obj
    return install


def test_schema_report_stand_in_cases(stand_in, capsys):
    obj = stand_in(Inspector({"bare": [], 5: [{"name": 7, "type": 2.5}], "t": [{"type": "X", "name": "n"}]}))
    obj.print_table_schemas()
    assert capsys.readouterr().out.splitlines() == [
        "Table: bare", "Table: 5", "  7: 2.5", "Table: t", "  n: X"]


def test_schema_report_failure_on_the_second_table(stand_in, capsys, caplog, tb_names):
    caplog.set_level(logging.INFO)
    obj = stand_in(Inspector({"one": [{"name": "a", "type": "INT"}], "two": []}, fail_on="two"))
    with pytest.raises(sqlalchemy.exc.NoSuchTableError) as info:
        obj.print_table_schemas()
    assert capsys.readouterr().out.splitlines() == ["Table: one", "  a: INT", "Table: two"]
    assert root_records(caplog) == [("ERROR", "Error fetching table schemas: two")]
    assert tb_names(info.value).count(SCHEMAS) == 2


def test_schema_report_missing_key(stand_in, capsys, caplog):
    caplog.set_level(logging.INFO)
    obj = stand_in(Inspector({"t": [{"type": "INT"}]}))
    with pytest.raises(KeyError):
        obj.print_table_schemas()
    assert capsys.readouterr().out.splitlines() == ["Table: t"]
    assert root_records(caplog) == [("ERROR", "Error fetching table schemas: 'name'")]


def test_schema_report_without_engine(tmp_path, capsys, caplog):
    caplog.set_level(logging.INFO)
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps([]))
    with pytest.raises(ConnectionError, match="^Database connection not established.$"):
        C("u", "p", "h", "d", str(tmp_path)).print_table_schemas()
    assert capsys.readouterr().out == "" and root_records(caplog) == []


# ---------------------------------------------------------------------------
# The cache file is replaced whole

def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name != "db_cache.pkl")


def test_a_failed_write_leaves_the_earlier_cache(db, connected, tmp_path, monkeypatch, caplog):
    obj = connected(database=db.small_name)
    cache = tmp_path / "db_cache.pkl"
    cache.write_bytes(b"an earlier cache that does not load")
    before = cache.read_bytes()

    class HalfWriting:
        load = staticmethod(pickle.load)

        @staticmethod
        def dump(obj, file):
            file.write(b"half a pickle")
            raise MemoryError("disk full")  # not an Exception: passes the handler
    monkeypatch.setattr(ts, "pickle", HalfWriting)
    with pytest.raises(MemoryError):
        obj.prepare_data()

    class Unpicklable(HalfWriting):
        @staticmethod
        def dump(obj, file):
            file.write(b"half a pickle")
            pickle.dump(unpicklable, file)
    # What pickle raises for a local function differs between interpreters
    # (PicklingError on 3.12, AttributeError on 3.13): whatever it is passes.
    unpicklable = lambda: None  # noqa: E731
    try:
        pickle.dumps(unpicklable)
    except Exception as e:  # noqa: BLE001 - the interpreter's own answer
        refusal = e
    monkeypatch.setattr(ts, "pickle", Unpicklable)
    with pytest.raises(type(refusal)) as info:
        obj.prepare_data()
    assert str(info.value) == str(refusal)
    assert cache.read_bytes() == before
    assert leftovers(tmp_path) == []


def test_a_symlink_at_the_cache_path_is_replaced_not_followed(db, connected, tmp_path):
    obj = connected(database=db.small_name)
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me")
    (tmp_path / "db_cache.pkl").symlink_to(tmp_path / "nowhere" / "x")  # dangling: no cache
    frames = obj.prepare_data()
    cache = tmp_path / "db_cache.pkl"
    assert not cache.is_symlink() and pickle.loads(cache.read_bytes())[0].equals(frames[0])
    cache.unlink()
    cache.symlink_to(victim)
    obj.prepare_data()  # the link loads as a cache that does not unpickle; the write replaces it
    assert victim.read_text() == "keep me"
    assert not cache.is_symlink() and leftovers(tmp_path) == ["victim.txt"]


def test_a_fifo_at_the_cache_path_does_not_block(db, connected, tmp_path, caplog, python):
    caplog.set_level(logging.INFO)
    obj = connected(database=db.small_name)
    fifo = tmp_path / "db_cache.pkl"
    os.mkfifo(fifo)
    caplog.clear()
    frames = obj.prepare_data()
    assert root_records(caplog) == [("ERROR", f"Error loading cache: not a regular file: '{fifo}'")]
    assert fifo.is_file() and len(pickle.loads(fifo.read_bytes())) == len(frames) == 1
    assert leftovers(tmp_path) == []
