"""Every public entry point, on its success and its failure paths, run
22,000 times under the leak helper (6,000 when it reaches the server or the
cache file): memory must not grow with the calls.

Marked `soak`: the sanitizer run leaves them out (they test growth, not
memory errors, and would take most of its time).
"""
import contextlib
import io
import json
import logging
import os

import pandas as pd
import pytest
import sqlalchemy

import orveksdk.tablescope as ts
import orveksdk.trend_kit as tk


pytestmark = pytest.mark.soak

CALLS = int(os.environ.get("ORVEKSDK_SOAK_CALLS", "20000"))
C = ts.MySQLDatabaseTableScope
GOOD = json.dumps({"data_input": {"date": ["2024-01-01", "2024-01-02", "2024-01-03"],
                                  "values": [1, 2, 3]}, "period": 2})


def frame(n=3):
    return pd.DataFrame({"timestamp": [f"2024-01-{d:02d}" for d in range(1, n + 1)],
                         "values": [float(d) for d in range(n)]})


def drive(coro):
    try:
        coro.send(None)
    finally:
        coro.close()


@pytest.fixture
def soak(leaks):
    # Half the calls measure against the other half, after a warm-up long
    # enough for the caches of pandas and the interpreter to settle.
    leaks.rounds, leaks.warmup = CALLS // 2, 2000
    return leaks


@pytest.fixture(autouse=True)
def quiet():
    # Error paths print tracebacks and write log records; 20,000 of each
    # would only fill the captured output.
    logging.disable(logging.CRITICAL)
    with contextlib.redirect_stderr(io.StringIO()):
        yield
    logging.disable(logging.NOTSET)


# (name, call, expected exception)
TREND_KIT = [
    ("conv_date", lambda: tk.conv_date("March 5, 2024"), None),
    ("conv_date unreadable", lambda: tk.conv_date("someday"), ValueError),
    ("ts_forecast", lambda: tk.ts_forecast(frame(), 2), None),
    ("ts_forecast one row", lambda: tk.ts_forecast(frame(1), 2), ZeroDivisionError),
    ("ts_forecast refused", lambda: tk.ts_forecast(frame(), 2.0), TypeError),
    ("ts_forecast binding", lambda: tk.ts_forecast(frame()), TypeError),
    ("_run", lambda: tk.TrendKit()._run(GOOD), None),
    ("_run error dictionary", lambda: tk.TrendKit()._run("{'data_input': 1}"), None),
    ("_run refused", lambda: tk.TrendKit()._run(b"x"), TypeError),
    ("_arun awaited", lambda: drive(tk.TrendKit()._arun("x")), NotImplementedError),
    ("_arun closed", lambda: tk.TrendKit()._arun("x").close(), None),
]


@pytest.mark.parametrize("name,call,expect", TREND_KIT, ids=[t[0] for t in TREND_KIT])
def test_trend_kit(soak, name, call, expect):
    soak.check(call, expect=expect, blocks=True, per_call_bytes=1)


@pytest.fixture
def uncached_engines(monkeypatch):
    # SQLAlchemy keeps each new statement in an engine's bounded compiled
    # cache; without it, what grows is the package's own.
    monkeypatch.setitem(vars(ts), "create_engine",
                        lambda url: sqlalchemy.create_engine(url, query_cache_size=0))


def test_tablescope(db, tmp_path, soak, uncached_engines):
    cached = db.scope(ts, tmp_path / "hit", database=db.small_name)
    cached.connect()
    (tmp_path / "hit").mkdir()
    cached.prepare_data()
    reader = db.scope(ts, tmp_path / "read", database=db.small_name)
    reader.connect()
    cache = tmp_path / "read" / "db_cache.pkl"
    (tmp_path / "read").mkdir()
    refused = db.scope(ts, tmp_path, user=db.refused_user, password=db.refused_password)
    unconnected = C("u", "p", "h", "d", str(tmp_path / "none"))

    def read():
        cache.unlink(missing_ok=True)
        return reader.prepare_data()

    # (name, call, expected exception, whether it reaches the server or the
    # cache file)
    cases = [
        ("construct", lambda: C("u", "p", "h", "d"), None, False),
        ("construct refused", lambda: C("u", "", "h", "d"), ValueError, False),
        ("construct binding", lambda: C("u", "p"), TypeError, False),
        ("prepare_data cache hit", cached.prepare_data, None, True),
        ("prepare_data no engine", unconnected.prepare_data, ConnectionError, False),
        ("print_table_schemas no engine", unconnected.print_table_schemas, ConnectionError, False),
        ("prepare_data database read", read, None, True),
        ("print_table_schemas", reader.print_table_schemas, None, True),
        ("connect", reader.connect, None, True),
        ("connect refused login", refused.connect, sqlalchemy.exc.OperationalError, True),
    ]
    with contextlib.redirect_stdout(io.StringIO()):
        for name, call, expect, slow in cases:
            # A call that reaches the server or the file takes milliseconds:
            # 6,000 calls (the warm-up, then 2,000 measured against 2,000)
            # still catch a block leaked every fifty calls.
            if slow:
                soak.check(call, expect=expect, blocks=True, per_call_bytes=2, rounds=CALLS // 10)
            else:
                soak.check(call, expect=expect, blocks=True, per_call_bytes=1)
