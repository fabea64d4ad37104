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


# ---------------------------------------------------------------------------
# Where each fast path is taken, seen from the Python the statements call

def python_calls(call):
    """The qualified names of the Python functions `call` entered."""
    names = []

    def profile(frame, event, arg):
        if event == "call":
            names.append(frame.f_code.co_qualname)
    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return names


def test_each_fast_path_is_taken_where_it_may_be():
    df = large_frame(50)
    calls = python_calls(lambda: tk.ts_forecast(df, 3))
    # The statements iterate the Series and read it by label; the fast
    # paths read its values once.
    assert "IndexOpsMixin.__iter__" not in calls and "Series.__getitem__" not in calls, calls
    assert "parse" not in python_calls(lambda: tk.conv_date("2024-01-05"))
    assert "quote" not in python_calls(lambda: ts.MySQLDatabaseTableScope("u@", "p", "h", "d"))
    # ...and not where it may not.
    assert "parse" in python_calls(lambda: tk.conv_date("January 5, 2024"))


def test_fast_paths_stay_on_when_a_library_module_fills_its_own_globals():
    import warnings
    import urllib.parse
    import dateutil.parser._parser as parser_module
    # unquote builds a table in a global on first use; a warning shown from
    # a module's code leaves the warnings module's registry there. Neither
    # is anything the fast paths' statements read.
    assert urllib.parse.unquote("%41%42") == "AB"
    for module in (urllib.parse, parser_module):
        with warnings.catch_warnings():
            warnings.simplefilter("default")
            exec("import warnings; warnings.warn('recorded', UserWarning)", vars(module))
        assert "__warningregistry__" in vars(module)
    assert "quote" not in python_calls(lambda: ts.MySQLDatabaseTableScope("u@", "p", "h", "d"))
    assert "parse" not in python_calls(lambda: tk.conv_date("2024-01-05"))


# ---------------------------------------------------------------------------
# ts_forecast at the ends of int64, in every unit

INT64_MIN, INT64_MAX = -2**63, 2**63 - 1
UNITS = {"ns": 1, "us": 10**3, "ms": 10**6, "s": 10**9}


def extreme_series(unit):
    ns_edge = INT64_MAX // UNITS[unit]  # the last count whose nanoseconds fit int64
    return [
        [0, 86_400 * 10**9 // UNITS[unit], 3 * 86_400 * 10**9 // UNITS[unit]],
        [INT64_MAX - 2, INT64_MAX - 1, INT64_MAX],
        [INT64_MIN + 1, INT64_MIN + 2, INT64_MIN + 3],
        [1, INT64_MIN + 1],            # a difference of exactly int64's minimum: NaT's value
        [INT64_MIN + 1, INT64_MAX],    # a difference past int64
        [INT64_MIN + 1, 0, INT64_MAX],
        [-ns_edge, 0, ns_edge],
        [ns_edge - 1, ns_edge] if UNITS[unit] == 1 else [ns_edge, ns_edge + 1],  # the range's end
        [-ns_edge, -ns_edge + 1] if UNITS[unit] == 1 else [-ns_edge - 1, -ns_edge],
        [0, INT64_MIN],                # NaT
    ]


@pytest.mark.parametrize("unit", UNITS)
def test_ts_forecast_at_the_ends_of_int64(baseline, unit):
    for counts in extreme_series(unit):
        stamps = pd.Series(np.array(counts, dtype="int64").view(f"M8[{unit}]"))
        df = pd.DataFrame({"timestamp": stamps, "values": [float(i) for i in range(len(counts))]})
        mine, theirs = df.copy(), df.copy()
        compiled = outcome(lambda: tk.ts_forecast(mine, 2))
        plain = outcome(lambda: baseline.ts_forecast(theirs, 2))
        assert_same(compiled, plain)


@differential
@given(st.sampled_from(list(UNITS)), st.lists(st.integers(INT64_MIN, INT64_MAX), min_size=2,
                                               max_size=6))
def test_ts_forecast_on_any_int64_counts(baseline, unit, counts):
    stamps = pd.Series(np.array(counts, dtype="int64").view(f"M8[{unit}]"))
    df = pd.DataFrame({"timestamp": stamps, "values": [float(i) for i in range(len(counts))]})
    assert_same(outcome(lambda: tk.ts_forecast(df.copy(), 1)),
                outcome(lambda: baseline.ts_forecast(df.copy(), 1)))


# ---------------------------------------------------------------------------
# Library objects changed after import: the statements see the change, and
# so must the compiled functions.

def days_plus_one(monkeypatch):
    days = pd.Timedelta.days
    monkeypatch.setattr(pd.Timedelta, "days", property(lambda self: days.__get__(self) + 1))


def doubled_sub(monkeypatch):
    sub = pd.Timestamp.__sub__
    monkeypatch.setattr(pd.Timestamp, "__sub__", lambda self, other: sub(self, other) * 2)


def reversed_values(monkeypatch):
    values = pd.Series._values
    monkeypatch.setattr(pd.Series, "_values", property(lambda self: values.fget(self)[::-1]))


def shifted_array(monkeypatch):
    from pandas.core.arrays import DatetimeArray
    iterate = DatetimeArray.__iter__
    monkeypatch.setattr(DatetimeArray, "__iter__",
                        lambda self: (t + pd.Timedelta(days=1) for t in iterate(self)))


def shifted_getitem(monkeypatch):
    from pandas.core.arrays import DatetimeArray
    getitem = DatetimeArray.__getitem__
    monkeypatch.setattr(DatetimeArray, "__getitem__", lambda self, key: getitem(self, key) + pd.Timedelta(days=2))


def array_iter_code(monkeypatch):
    # A method changed in place: no attribute of any class set.
    from pandas.core.arrays import DatetimeArray
    iterate = DatetimeArray.__iter__
    saved = types.FunctionType(iterate.__code__, iterate.__globals__, "saved", iterate.__defaults__,
                               iterate.__closure__)
    monkeypatch.setitem(iterate.__globals__, "_orveksdk_saved", saved)

    def shifted(self):
        return iter([t + pd.Timedelta(days=3) for t in _orveksdk_saved(self)])  # noqa: F821
    monkeypatch.setattr(iterate, "__code__", shifted.__code__)


def other_values_and_dtype(monkeypatch):
    # What the fast path once read: a Series whose .values and .dtype lie.
    monkeypatch.setattr(pd.Series, "values", property(lambda self: np.zeros(len(self), "M8[ns]")))
    monkeypatch.setattr(pd.Series, "dtype", property(lambda self: np.dtype("M8[s]")))


def range_start_shifted(monkeypatch):
    monkeypatch.setattr(pd.RangeIndex, "start", property(lambda self: 1))


def raising_values(monkeypatch):
    # An interrupt inside a pandas property is not swallowed by a look.
    monkeypatch.setattr(pd.Series, "_values", property(lambda self: (_ for _ in ()).throw(KeyboardInterrupt)))


SERIES_CHANGES = [days_plus_one, doubled_sub, reversed_values, shifted_array, shifted_getitem,
                  array_iter_code, other_values_and_dtype, range_start_shifted]


@pytest.mark.parametrize("change", SERIES_CHANGES, ids=lambda f: f.__name__)
def test_ts_forecast_sees_what_the_statements_see(baseline, monkeypatch, change):
    dates = pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-04", "2024-01-08"])
    df = pd.DataFrame({"timestamp": dates, "values": [1.0, 2.0, 4.0, 8.0]})
    with monkeypatch.context() as patched:
        change(patched)
        compiled = outcome(lambda: tk.ts_forecast(df.copy(), 3))
        plain = outcome(lambda: baseline.ts_forecast(df.copy(), 3))
    assert_same(compiled, plain)
    # Put back, the fast path is taken again.
    assert_same(outcome(lambda: tk.ts_forecast(df.copy(), 3)),
                outcome(lambda: baseline.ts_forecast(df.copy(), 3)))


def test_an_interrupt_inside_a_pandas_property_propagates(monkeypatch):
    df = large_frame(5)
    df["timestamp"] = pd.to_datetime(df["timestamp"])
    with monkeypatch.context() as patched:
        raising_values(patched)
        with pytest.raises(KeyboardInterrupt):
            tk.ts_forecast(df, 2)


def day_first_default(monkeypatch):
    from dateutil.parser import _parser
    monkeypatch.setattr(_parser, "DEFAULTPARSER", _parser.parser(_parser.parserinfo(dayfirst=True)))


def day_first_package_attribute(monkeypatch):
    import dateutil.parser
    monkeypatch.setattr(dateutil.parser, "DEFAULTPARSER",
                        dateutil.parser.parser(dateutil.parser.parserinfo(dayfirst=True)))


def day_first_info(monkeypatch):
    from dateutil.parser import _parser
    monkeypatch.setattr(_parser.DEFAULTPARSER.info, "dayfirst", True)


def day_first_info_replaced(monkeypatch):
    from dateutil.parser import _parser
    monkeypatch.setattr(_parser.DEFAULTPARSER, "info", _parser.parserinfo(dayfirst=True))


def parse_method_replaced(monkeypatch):
    from dateutil.parser import _parser
    parse = _parser.parser.parse
    monkeypatch.setattr(_parser.parser, "parse",
                        lambda self, text, **kw: parse(self, text, **kw).replace(day=1))


def parse_defaults_changed(monkeypatch):
    from dateutil.parser import _parser
    monkeypatch.setattr(_parser.parse, "__defaults__", (_parser.parserinfo(dayfirst=True),))


def method_defaults_changed(monkeypatch):
    from dateutil.parser import _parser
    method = _parser.parser._parse
    monkeypatch.setattr(method, "__defaults__", (True, False, False, False))  # dayfirst=True


def convertyear_replaced(monkeypatch):
    from dateutil.parser import _parser
    monkeypatch.setattr(_parser.parserinfo, "convertyear", lambda self, year, *a: year - 1)


def timelex_split_replaced(monkeypatch):
    from dateutil.parser import _parser
    split = _parser._timelex.split.__func__
    monkeypatch.setattr(_parser._timelex, "split",
                        classmethod(lambda cls, s: split(cls, s.replace("-01-", "-02-"))))


PARSE_CHANGES = [day_first_default, day_first_package_attribute, day_first_info,
                 day_first_info_replaced, parse_method_replaced, parse_defaults_changed,
                 method_defaults_changed, convertyear_replaced, timelex_split_replaced]


@pytest.mark.parametrize("change", PARSE_CHANGES, ids=lambda f: f.__name__)
def test_conv_date_sees_what_the_statements_see(baseline, monkeypatch, change):
    texts = ["2024-03-05", "2024-01-12", "2023-12-31"]
    with monkeypatch.context() as patched:
        change(patched)
        for text in texts:
            assert_same(outcome(lambda: tk.conv_date(text)), outcome(lambda: baseline.conv_date(text)))
    assert "parse" not in python_calls(lambda: tk.conv_date(texts[0]))


def quote_from_bytes_replaced(monkeypatch):
    import urllib.parse
    monkeypatch.setattr(urllib.parse, "quote_from_bytes", lambda bs, safe="/": bs.decode().upper())


def always_safe_changed(monkeypatch):
    import urllib.parse
    monkeypatch.setattr(urllib.parse, "_ALWAYS_SAFE_BYTES", urllib.parse._ALWAYS_SAFE_BYTES + b"@")


def quote_defaults_changed(monkeypatch):
    import urllib.parse
    monkeypatch.setattr(urllib.parse.quote, "__defaults__", ("/", "latin-1", None))


def quoter_missing_replaced(monkeypatch):
    import urllib.parse
    urllib.parse._byte_quoter_factory.cache_clear()
    monkeypatch.setattr(urllib.parse._Quoter, "__missing__", lambda self, b: f"<{b}>")
    monkeypatch.setattr(urllib.parse._byte_quoter_factory, "__wrapped__", None, raising=False)


QUOTE_CHANGES = [quote_from_bytes_replaced, always_safe_changed, quote_defaults_changed,
                 quoter_missing_replaced]


@pytest.mark.parametrize("change", QUOTE_CHANGES, ids=lambda f: f.__name__)
def test_construction_sees_what_the_statements_see(baseline, monkeypatch, change):
    import urllib.parse
    credentials = [("user@x", "p:ss/é"), ("plain", "")]
    with monkeypatch.context() as patched:
        change(patched)
        for username, password in credentials:
            def build(cls):
                return cls(username, password, "h", "d").connection_string
            assert_same(outcome(lambda: build(ts.MySQLDatabaseTableScope)),
                        outcome(lambda: build(baseline.MySQLDatabaseTableScope)))
    urllib.parse._byte_quoter_factory.cache_clear()
    assert "quote" not in python_calls(lambda: ts.MySQLDatabaseTableScope("u@", "p", "h", "d"))


hosts = st.one_of(st.text(max_size=12), st.from_regex(r"\A\[?[0-9a-fA-F:.]{0,8}\]?(:[0-9]{0,6})?\Z"),
                  st.from_regex(r"\A[a-z0-9][a-z0-9._-]{0,8}(:[0-9]{1,6})?\Z"))


@differential
@given(hosts, st.text(max_size=8))
def test_host_and_database_checks_match_the_statements(baseline, host, database):
    def build(cls):
        return cls("user", "pass", host, database).connection_string
    assert_same(outcome(lambda: build(ts.MySQLDatabaseTableScope)),
                outcome(lambda: build(baseline.MySQLDatabaseTableScope)))
