"""The fast paths against the plain statements (bench/baseline.py).

Each fast path must give exactly what the general statements give: the same
frame, the same warnings, the same error. Generated inputs cover what
engages a fast path and what must fall back to the general statements;
rebinding a name the statements use must reach the body as before.
"""
import datetime as dt
import sys
import time
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orveksdk.tablescope as ts
import orveksdk.trend_kit as tk

differential = settings(max_examples=150, derandomize=True, database=None, deadline=None,
                        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def outcome(call):
    """What a call gives: ("ok", value) or ("raised", type, text), with the
    warnings it gave (category and text)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("ok", call())
        except Exception as e:  # noqa: BLE001 - any failure is compared
            result = ("raised", type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(compiled, plain):
    (got, got_warnings), (want, want_warnings) = compiled, plain
    assert got[0] == want[0], (got, want)
    if got[0] == "ok" and isinstance(want[1], pd.DataFrame):
        pd.testing.assert_frame_equal(got[1], want[1], check_exact=True)
    else:
        assert got == want
    assert got_warnings == want_warnings


# ---------------------------------------------------------------------------
# ts_forecast

DAY_NS = 86_400 * 10**9
NS_LIMIT = 2**63 - 1


def index_for(kind, n):
    return {
        "default": None,
        "reversed": pd.RangeIndex(n - 1, -1, -1),
        "from one": pd.RangeIndex(1, n + 1),
        "step two": pd.RangeIndex(0, 2 * n, 2),
        "int labels": pd.Index(list(range(n)), dtype="int64"),
        "text labels": pd.Index([f"r{i}" for i in range(n)]),
    }[kind]


@st.composite
def forecast_inputs(draw):
    n = draw(st.integers(0, 30))
    unit = draw(st.sampled_from(["ns", "us", "ms", "s"]))
    # Counts of the unit since the epoch: near the epoch, around dates
    # before 1970, and near the ends of the datetime64[ns] range.
    scale = {"ns": 1, "us": 10**3, "ms": 10**6, "s": 10**9}[unit]
    span = draw(st.sampled_from(["days", "years", "ends"]))
    if span == "ends":
        limit = NS_LIMIT // scale
        counts = st.integers(-limit, limit)
    else:
        width = (400 if span == "days" else 150 * 366) * DAY_NS // scale
        counts = st.integers(-width, width)
    values = draw(st.lists(counts, min_size=n, max_size=n))
    order = draw(st.sampled_from(["as drawn", "sorted", "repeated"]))
    if order == "sorted":
        values.sort()
    elif order == "repeated" and values:
        values = [values[0]] * n
    stamps = pd.Series(np.array(values, dtype="int64").view(f"M8[{unit}]"))
    zone = draw(st.sampled_from([None, None, None, "UTC", "Europe/Paris"]))
    if zone:
        try:
            stamps = stamps.dt.tz_localize(zone)
        except Exception:  # noqa: BLE001 - out of range for the zone: naive then
            pass
    if n and draw(st.booleans()) and draw(st.booleans()):
        stamps = stamps.copy()
        stamps.iloc[draw(st.integers(0, n - 1))] = pd.NaT
    df = pd.DataFrame({"timestamp": stamps, "values": [float(i % 7) for i in range(n)]})
    index = index_for(draw(st.sampled_from(
        ["default", "default", "default", "reversed", "from one", "step two", "int labels",
         "text labels"])), n)
    if index is not None:
        df.index = index
    as_text = draw(st.booleans()) and zone is None and unit == "ns" and span != "ends"
    if as_text:
        df["timestamp"] = df["timestamp"].astype(str)
    return df, draw(st.integers(1, 5))


@differential
@given(forecast_inputs())
def test_ts_forecast_matches_the_statements(baseline, case):
    df, period = case
    mine, theirs = df.copy(), df.copy()
    compiled = outcome(lambda: tk.ts_forecast(mine, period))
    plain = outcome(lambda: baseline.ts_forecast(theirs, period))
    assert_same(compiled, plain)
    # The frame it was given is changed the same way (timestamp converted, indexed).
    pd.testing.assert_frame_equal(mine, theirs, check_exact=True)


@pytest.mark.parametrize("dates", [
    pd.date_range("1677-09-22", periods=3, freq="D"),          # from the lower end
    pd.date_range("2262-04-09", periods=2, freq="D"),          # to the upper end
    pd.to_datetime(["1677-09-22", "2262-04-10"]),              # a difference past int64
    pd.to_datetime(["1969-12-31 23:59:59.999999999", "1970-01-01 00:00:00.000000000",
                    "1969-12-31 00:00:00.000000001"]),
    pd.to_datetime(["2024-03-01 12:00", "2024-01-01 00:00", "2024-03-01 11:00"]),
])
def test_ts_forecast_at_the_edges(baseline, dates):
    df = pd.DataFrame({"timestamp": dates, "values": [1.0, 2.0, 4.0][:len(dates)]})
    assert_same(outcome(lambda: tk.ts_forecast(df.copy(), 3)),
                outcome(lambda: baseline.ts_forecast(df.copy(), 3)))


def large_frame(n):
    return pd.DataFrame({"timestamp": pd.date_range("1800-01-01", periods=n, freq="D").astype(str),
                         "values": [i * 0.5 + (i % 7) for i in range(n)]})


def best_of(call, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def test_ts_forecast_fast_path_is_taken_on_a_large_frame(baseline):
    df = large_frame(50_000)
    pd.testing.assert_frame_equal(tk.ts_forecast(df.copy(), 30), baseline.ts_forecast(df.copy(), 30),
                                  check_exact=True)
    # The general statements box a Timestamp and look a label up per row;
    # the fast path reads the values once. Far apart, whatever the load.
    compiled = best_of(lambda: tk.ts_forecast(df.copy(), 30))
    plain = best_of(lambda: baseline.ts_forecast(df.copy(), 30))
    assert compiled < plain / 4, (compiled, plain)


class Counting:
    """A stand-in that counts calls of the callable it wraps."""

    def __init__(self, wrapped):
        self.wrapped, self.calls = wrapped, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.wrapped(*args, **kwargs)


def test_rebinding_pd_reaches_the_statements(monkeypatch):
    timestamp = Counting(pd.Timestamp)
    proxy = types.SimpleNamespace(**{name: getattr(pd, name) for name in ("to_datetime", "DataFrame")},
                                  Timestamp=timestamp)
    monkeypatch.setattr(tk, "pd", proxy)
    df = large_frame(20)
    tk.ts_forecast(df, 2)
    assert timestamp.calls == 20  # one epoch per row, as the statement says


@pytest.mark.parametrize("method", ["__iter__", "__getitem__"])
def test_patched_series_methods_reach_the_statements(monkeypatch, method):
    counting = Counting(getattr(pd.Series, method))
    monkeypatch.setattr(pd.Series, method, lambda self, *a: counting(self, *a))
    tk.ts_forecast(large_frame(10), 2)
    assert counting.calls > 0


# ---------------------------------------------------------------------------
# conv_date

iso_like = st.one_of(
    st.dates().map(dt.date.isoformat),                                     # years 1 to 9999
    st.from_regex(r"\A[0-9]{4}-[0-9]{2}-[0-9]{2}\Z"),                     # any digits, some invalid
    st.dates().map(lambda d: f" {d.isoformat()}"),
    st.dates().map(lambda d: f"{d.isoformat()}\n"),
    st.dates().map(lambda d: d.isoformat().replace("-", "/")),
    st.dates().map(lambda d: d.isoformat().translate(str.maketrans("0123456789", "٠١٢٣٤٥٦٧٨٩"))),
    st.dates().map(lambda d: d.isoformat().translate(str.maketrans("0123456789", "０１２３４５６７８９"))),
    st.sampled_from(["2024-02-29", "2023-02-29", "1900-02-29", "2000-02-29", "1000-01-01",
                     "0999-12-31", "0000-01-01", "2024-00-10", "2024-13-01", "2024-04-31",
                     "2024-1-05", "+2024-01-05", "March 5, 2024 14:30"]),
)


@differential
@given(iso_like)
def test_conv_date_matches_the_statements(baseline, text):
    assert_same(outcome(lambda: tk.conv_date(text)), outcome(lambda: baseline.conv_date(text)))


def test_conv_date_returns_a_new_text():
    text = "".join(["2024-", "01-05"])
    assert tk.conv_date(text) == text and tk.conv_date(text) is not text


def test_rebinding_parser_reaches_the_statements(monkeypatch):
    from dateutil import parser
    parse = Counting(parser.parse)
    monkeypatch.setattr(tk, "parser", types.SimpleNamespace(parse=parse))
    assert tk.conv_date("2024-01-05") == "2024-01-05"
    assert parse.calls == 1
    monkeypatch.setattr(tk, "parser", parser)
    monkeypatch.setattr(parser, "parse", parse)
    assert tk.conv_date("2024-01-06") == "2024-01-06"
    assert parse.calls == 2


def test_conv_date_fast_path_is_taken(baseline):
    texts = ["2024-01-05"] * 2000
    compiled = best_of(lambda: [tk.conv_date(t) for t in texts])
    plain = best_of(lambda: [baseline.conv_date(t) for t in texts])
    assert compiled < plain / 4, (compiled, plain)


# ---------------------------------------------------------------------------
# Construction

credentials = st.text(st.characters(exclude_categories=()), max_size=20)


@differential
@given(credentials, credentials)
def test_connection_string_matches_quote(baseline, username, password):
    def build(cls):
        return cls(username, password, "db.example:3306", "sales").connection_string
    assert_same(outcome(lambda: build(ts.MySQLDatabaseTableScope)),
                outcome(lambda: build(baseline.MySQLDatabaseTableScope)))


def test_rebinding_quote_reaches_construction(monkeypatch):
    import urllib.parse
    quote = Counting(lambda text, safe="/": f"<{text}|{safe}>")
    monkeypatch.setattr(urllib.parse, "quote", quote)
    scope = ts.MySQLDatabaseTableScope("user", "pass", "h", "d")
    assert scope.connection_string == "mysql+pymysql://<user|>:<pass|>@h/d"
    assert quote.calls == 2


def test_a_fresh_urllib_parse_reaches_construction(monkeypatch):
    fresh = types.ModuleType("urllib.parse")
    fresh.quote = lambda text, safe="/": text.upper()
    monkeypatch.setitem(sys.modules, "urllib.parse", fresh)
    assert ts.MySQLDatabaseTableScope("user", "p", "h", "d").connection_string == \
        "mysql+pymysql://USER:P@h/d"
