"""Property-based runs of TrendKit._run and of argument binding.

The number of examples comes from ORVEKSDK_FUZZ_EXAMPLES (default 300 for
payloads); examples are derived from the test names, so every run of the
suite tries the same cases. `bash scripts/fuzz.sh` runs a longer search.
"""
import contextlib
import faulthandler
import functools
import io
import json
import os
import time

import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import orveksdk.tablescope as ts
import orveksdk.trend_kit as tk

EXAMPLES = int(os.environ.get("ORVEKSDK_FUZZ_EXAMPLES", "300"))
# A longer search may also ask for fresh random examples.
RANDOM = os.environ.get("ORVEKSDK_FUZZ_RANDOM") == "1"
CALL_SECONDS = 20.0  # generous: the sanitizer build is several times slower

fuzz = settings(max_examples=EXAMPLES, derandomize=not RANDOM, database=None, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])


@pytest.fixture(autouse=True)
def hang_guard():
    # A call that never returns fails the run with every thread's stack
    # instead of stalling it.
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------------------
# Payloads

# Every code point, lone surrogates included.
any_text = st.text(st.characters(exclude_categories=()), max_size=40)

json_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2**70, 2**70),
    st.floats(allow_nan=True, allow_infinity=True), any_text)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=5),
                            st.dictionaries(any_text, inner, max_size=5)),
    max_leaves=20)

date_texts = st.one_of(
    st.dates().map(str),
    st.datetimes().map(lambda d: d.strftime("%d/%m/%Y %H:%M")),
    st.dates().map(lambda d: d.strftime("%B %d, %Y")),
    st.sampled_from([
        "2024-02-30", "0001-01-01", "9999-12-31", "1677-09-21", "2262-04-12", "1970-01-01",
        "24:00", "tomorrow", "", " ", "2024-01-01T00:00:00+05:00", "2024-01-01Z", "1e400",
        "10000000000000000000000", "Decimal('1')", "\ud800", "\u0661\u0662/\u0663/2024",
        "２０２４-０１-０１", "2024-01-01\x00", "null"]),
    any_text)

value_items = st.one_of(
    st.integers(-10**6, 10**6), st.floats(allow_nan=True, allow_infinity=True),
    st.from_regex(r"Decimal\('[\d.]{1,12}'\)[^\n]{0,20}", fullmatch=True),
    st.sampled_from(["Decimal('1.5')", "Decimal('..')", "Decimal('1.2.3')", "Decimal('')",
                     "Decimal('1')+__import__('os').getpid()", "12", "x"]),
    json_values)

# Positive horizons are kept small enough for any series to finish quickly
# (a series whose dates coincide steps zero days); _run refuses a horizon
# above 100,000 steps, on pandas 3 too, where a daily series would otherwise
# build millions of dates before strftime stops at the year 9999.
periods = st.one_of(st.integers(-10**30, 3000), st.sampled_from([0, 1, 2, -1]),
                    st.floats(), st.booleans(), st.none(), any_text, json_values)
daily = [f"2024-01-{d:02d}" for d in range(1, 8)]


@st.composite
def payload_objects(draw):
    n = draw(st.integers(0, 12))
    dates = draw(st.lists(date_texts, min_size=n, max_size=n))
    values = draw(st.lists(value_items, min_size=n, max_size=n))
    if draw(st.booleans()):  # mismatched lengths now and then
        values = values[:draw(st.integers(0, n))]
    data = {"date": dates, "values": values}
    top = {"data_input": data, "period": draw(periods)}
    # wrong types (or absence) at every key
    for holder, key in ((top, "data_input"), (data, "date"), (data, "values"), (top, "period")):
        choice = draw(st.integers(0, 9))
        if choice == 0:
            holder.pop(key)
        elif choice == 1:
            holder[key] = draw(json_values)
    if draw(st.booleans()):
        top.update(draw(st.dictionaries(any_text, json_values, max_size=3)))
    return top


@st.composite
def near_json(draw):
    text = json.dumps(draw(payload_objects()), ensure_ascii=draw(st.booleans()))
    for _ in range(draw(st.integers(1, 3))):
        at = draw(st.integers(0, len(text)))
        how = draw(st.integers(0, 3))
        if how == 0:
            text = text[:at] + text[at + 1:]
        elif how == 1:
            text = text[:at] + draw(st.sampled_from(list("{}[]\",:'\\ 0e-"))) + text[at:]
        elif how == 2:
            text = text[:at]
        else:
            text = text[:at] + draw(any_text) + text[at:]
    return text


deep = st.integers(1, 200_000).flatmap(lambda depth: st.sampled_from([
    "[" * depth, "{\"a\":" * depth, "[" * depth + "]" * depth,
    json.dumps({"data_input": {"date": daily[:2], "values": [1, 2]}, "period": 2})
    .replace("[1, 2]", "[" + "[" * min(depth, 3000) + "1" + "]" * min(depth, 3000) + ", 2]"),
]))

payloads = st.one_of(
    payload_objects().map(json.dumps),
    payload_objects().map(lambda p: json.dumps(p, ensure_ascii=False)),
    payload_objects().map(str),  # Python literal notation
    near_json(),
    any_text,
    deep,
    st.integers(-10**40, 10**40).map(lambda p: json.dumps(
        {"data_input": {"date": daily, "values": list(range(7))}, "period": p})),
)


def check_result(out, text):
    if isinstance(out, dict):
        assert list(out) == ["error"] and type(out["error"]) is str, (text, out)
    else:
        assert type(out) is pd.DataFrame, (text, out)
        assert list(out.columns) == ["dates", "Forecasted_values"]
        assert len(out) > 0 and out.index.tolist() == list(range(len(out)))
        assert all(type(d) is str for d in out["dates"])


@fuzz
@given(text=payloads)
def test_run_returns_a_frame_or_one_error_entry(text):
    tool = tk.TrendKit()
    stderr = io.StringIO()
    start = time.monotonic()
    with contextlib.redirect_stderr(stderr):
        out = tool._run(text)
    assert time.monotonic() - start < CALL_SECONDS, text[:200]
    check_result(out, text[:200])
    event("frame" if isinstance(out, pd.DataFrame) else ascii(out["error"][:30]))
    if isinstance(out, dict) and out["error"] != "Forecasting produced an empty DataFrame.":
        # the printed traceback names the failing statement of _run
        assert "orveksdk.trend_kit.TrendKit._run" in stderr.getvalue()


@fuzz
@given(text=payloads)
def test_run_through_langchain(text):
    with contextlib.redirect_stderr(io.StringIO()):
        out = tk.TrendKit().invoke(text)
    check_result(out, text[:200])


# ---------------------------------------------------------------------------
# Argument binding against a model of the rules

class Other(str):
    """A text subclass: accepted as a keyword name, compared by value."""


def expected_binding(name, params, defaults, npos, kwnames, kwvalues, posvalues):
    """What binding gives: ("ok", values) or ("error", message)."""
    n, m = len(params), len(params) - len(defaults)

    def wrong_count(given):
        if m == n:
            how, number = "exactly", m
        elif given < m:
            how, number = "at least", m
        else:
            how, number = "at most", n
        s = "" if number == 1 else "s"
        return ("error", f"{name}() takes {how} {number} positional argument{s} ({given} given)")

    if not kwnames:
        if npos < m or npos > n:
            return wrong_count(npos)
        return ("ok", list(posvalues) + list(defaults[npos - m:]))
    if npos > n:
        return wrong_count(npos)
    values = list(posvalues)
    taken = set()
    for i in range(npos, n):
        param = params[i]
        found = next((k for k, key in enumerate(kwnames) if key is param), None)
        if found is None:
            found = next((k for k, key in enumerate(kwnames)
                          if isinstance(key, str) and key == param), None)
        if found is not None:
            taken.add(found)
            values.append(kwvalues[found])
        elif i < m:
            return wrong_count(i)
        else:
            values.append(defaults[i - m])
    for k, key in enumerate(kwnames):
        if k in taken:
            continue
        if not isinstance(key, str):
            return ("error", f"{name}() keywords must be strings")
        if key in params:
            return ("error", f"{name}() got multiple values for keyword argument '{key}'")
        return ("error", f"{name}() got an unexpected keyword argument '{key}'")
    return ("ok", values)


INIT_PARAMS = ("self", "username", "password", "host", "database", "cache_path", "cache_file")


def init_outcome(vectorcall, args, kwargs_items, via):
    """Calls MySQLDatabaseTableScope.__init__ and reads back what it bound."""
    init = ts.MySQLDatabaseTableScope.__init__
    try:
        if via == "python":
            init(*args, **dict(kwargs_items))
        elif via == "partial":
            half = len(args) // 2
            functools.partial(init, *args[:half])(*args[half:], **dict(kwargs_items))
        else:
            vectorcall(init, list(args) + [v for _, v in kwargs_items],
                       tuple(k for k, _ in kwargs_items))
    except TypeError as exc:
        return ("error", str(exc))
    target = next((v for v in args[:1]), None)
    if target is None:
        target = dict(kwargs_items).get("self")
    return ("ok", target)


def text_copy(s):
    return "".join(list(s))  # equal to the name, never the same object


def spelled(name):
    """The name itself, an equal copy, or an equal text subclass."""
    return st.sampled_from([name, text_copy(name), Other(name)])


@st.composite
def binding_calls(draw):
    """Positional count and keyword names near the valid calls: the
    parameters after the positional ones, some left out, some repeated,
    some unknown, in any order."""
    npos = draw(st.integers(0, 9))
    names = [draw(spelled(p)) for p in INIT_PARAMS[npos:] if draw(st.integers(0, 5))]
    extras = draw(st.lists(st.one_of(
        st.sampled_from(INIT_PARAMS).flatmap(spelled),
        st.sampled_from(["extra", "Self", ""]),
        st.sampled_from([5, None, b"host", 2.5])), max_size=2))
    for extra in extras:
        names.insert(draw(st.integers(0, len(names))), extra)
    return npos, draw(st.permutations(names))


class Blank:
    """A plain object the constructor can fill."""


@fuzz
@given(call=binding_calls(), via=st.sampled_from(["python", "partial", "vector"]))
def test_binding_follows_the_rules(vectorcall, call, via):
    npos, kwnames = call
    if via != "vector":
        # The interpreter itself merges ** into a dictionary: names are
        # unique texts.
        seen = {}
        for k in kwnames:
            if isinstance(k, str):
                seen.setdefault(str(k), k)
        kwnames = list(seen.values())
    target = Blank()
    posvalues = [target] + [f"p{i}" for i in range(1, npos)] if npos else []
    kwvalues = [target if k == "self" else f"k{i}" for i, k in enumerate(kwnames)]
    want = expected_binding("__init__", INIT_PARAMS, (".", "db_cache.pkl"), npos, kwnames,
                            kwvalues, posvalues)
    got = init_outcome(vectorcall, posvalues, list(zip(kwnames, kwvalues)), via)
    event(want[0] if want[0] == "ok" else want[1].split("(")[1][:30])
    if want[0] == "error":
        assert got == want
        return
    assert got[0] == "ok", (want, got)
    bound = dict(zip(INIT_PARAMS, want[1]))
    obj = bound["self"]
    assert obj is target
    assert obj.connection_string.startswith("mysql+pymysql://")
    assert obj.connection_string.endswith(f"@{bound['host']}/{bound['database']}")
    assert (obj.cache_path, obj.cache_file) == (bound["cache_path"], bound["cache_file"])


@fuzz
@given(npos=st.integers(0, 4), names=st.lists(
    st.one_of(st.sampled_from(["self", "input", "df", "period", "dt", "data", "x"]),
              st.sampled_from(["self", "input", "period"]).map(text_copy),
              st.sampled_from([1, None])), max_size=4))
def test_binding_messages_of_every_function(vectorcall, npos, names):
    tool = tk.TrendKit()
    cases = [
        (tk.conv_date, "conv_date", ("dt",), []),
        (tk.ts_forecast, "ts_forecast", ("df", "period"), []),
        (tk.TrendKit._run, "_run", ("self", "input"), []),
        (tk.TrendKit._arun, "_arun", ("self", "data"), []),
        (ts.MySQLDatabaseTableScope.connect, "connect", ("self",), []),
        (ts.MySQLDatabaseTableScope.prepare_data, "prepare_data", ("self",), []),
        (ts.MySQLDatabaseTableScope.print_table_schemas, "print_table_schemas", ("self",), []),
    ]
    for func, name, params, defaults in cases:
        posvalues = [tool] * npos
        kwvalues = [tool] * len(names)
        want = expected_binding(name, params, defaults, npos, names, kwvalues, posvalues)
        if want[0] != "error":
            continue  # the body runs; its outcome is tested elsewhere
        with pytest.raises(TypeError) as info:
            vectorcall(func, posvalues + kwvalues, tuple(names))
        assert str(info.value) == want[1]
