"""Eight threads using both modules at once give what one thread gives."""
import contextlib
import io
import json
import threading

import pandas as pd

import orveksdk.tablescope as ts
import orveksdk.trend_kit as tk

THREADS = 8
ROUNDS = 15

PAYLOADS = [
    json.dumps({"data_input": {"date": [f"2024-01-{d:02d}" for d in range(1, 31)],
                               "values": [d * 1.5 for d in range(30)]}, "period": 7}),
    str({"data_input": {"date": ["2024-01-01", "January 3, 2024", "01/05/2024"],
                        "values": [10, 12, 14]}, "period": 3}),
    json.dumps({"data_input": {"date": ["2024-01-01"], "values": [1]}, "period": 2}),
    json.dumps({"data_input": {"date": ["2024-01-01", "2024-01-02"], "values": [1]}, "period": 2}),
    "not json",
]
DATES = ["2024-01-01", "March 5, 2024", "05/06/2024", "2024-02-29T12:00:00", "someday"]


def series(n):
    return pd.DataFrame({"timestamp": pd.date_range("2023-01-01", periods=n, freq="D").astype(str),
                         "values": [i % 17 * 0.5 + i for i in range(n)]})


def conv(text):
    try:
        return tk.conv_date(text)
    except Exception as exc:  # noqa: BLE001 - compared as text
        return (type(exc).__name__, str(exc))


def one_round(tool, scope):
    return {
        "run": [tool._run(p) for p in PAYLOADS],
        "forecast": [tk.ts_forecast(series(n), 5) for n in (3, 40)],
        "dates": [conv(d) for d in DATES],
        "tables": scope.prepare_data(),
    }


def same(a, b):
    if isinstance(a, pd.DataFrame):
        return isinstance(b, pd.DataFrame) and a.equals(b) and getattr(a, "name", None) == getattr(
            b, "name", None)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
    return a == b


def test_eight_threads_agree_with_one(db, tmp_path):
    loader = db.scope(ts, tmp_path)
    loader.connect()
    loader.prepare_data()  # writes the cache the threads then read
    scope = db.scope(ts, tmp_path)  # never connected: cache hits only
    tool = tk.TrendKit()
    with contextlib.redirect_stderr(io.StringIO()):
        expected = one_round(tool, scope)
        assert len(expected["tables"]) == 3 and isinstance(expected["run"][0], pd.DataFrame)
        results, failures = [], []
        start = threading.Barrier(THREADS)

        def work():
            start.wait()
            try:
                for _ in range(ROUNDS):
                    results.append(one_round(tool, scope))
            except BaseException as exc:  # noqa: BLE001 - reported below
                failures.append(exc)

        threads = [threading.Thread(target=work) for _ in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert failures == []
    assert len(results) == THREADS * ROUNDS
    for got in results:
        for key in expected:
            assert same(expected[key], got[key]), key
