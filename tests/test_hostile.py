"""The frame under hostile callers: odd mappings and call protocols, attribute
writes of every kind, coroutines driven from several threads, collection of
half-used objects, and a low recursion limit."""
import asyncio
import collections
import collections.abc
import functools
import gc
import inspect
import json
import pickle
import sys
import threading
import time
import types
import warnings
import weakref

import pandas as pd
import pytest
from sample_frames import frame_df

import orveksdk._frame_testing as ft
import orveksdk.tablescope as ts
import orveksdk.trend_kit as tk

C = ts.MySQLDatabaseTableScope


def message_of(statement):
    """The text of the exception the interpreter raises for `statement`."""
    try:
        statement()
    except Exception as e:  # noqa: BLE001 - the interpreter's own answer
        return str(e)
    raise AssertionError("the statement did not raise")
PAYLOAD = json.dumps({"data_input": {"date": ["2024-01-01", "2024-01-02", "2024-01-03"],
                                     "values": [1, 2, 3]}, "period": 2})



# ---------------------------------------------------------------------------
# Keyword arguments from odd mappings and call protocols

class SlowPathDict(dict):
    """A dict subclass whose own iteration, keys and items the interpreter
    must use when it unpacks ** (it overrides __iter__)."""

    def __init__(self, visible, hidden):
        super().__init__(hidden)
        self.visible = visible

    def __iter__(self):
        return iter(self.visible)

    def keys(self):
        return list(self.visible)

    def __getitem__(self, key):
        return self.visible[key]


class Raising(collections.abc.Mapping):
    def __init__(self, fail_in):
        self.fail_in = fail_in

    def keys(self):
        if self.fail_in == "keys":
            raise LookupError("keys failed")
        return ["dt"]

    def __getitem__(self, key):
        raise LookupError("getitem failed")

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return 1


@pytest.mark.parametrize("call,outcome", [
    # the mapping's own keys and values are what the call receives
    (lambda: tk.conv_date(**SlowPathDict({"dt": "2024-03-05"}, {"other": 1})), "2024-03-05"),
    (lambda: tk.conv_date(**SlowPathDict({"dt": "x", "zz": 1}, {})),
     (TypeError, "conv_date() got an unexpected keyword argument 'zz'")),
    (lambda: tk.conv_date(**SlowPathDict({1: 2}, {})), (TypeError, "keywords must be strings")),
    (lambda: C.connect(**{"self": None, "z": 1}),
     (TypeError, "connect() got an unexpected keyword argument 'z'")),
    (lambda: tk.conv_date(**Raising("keys")), (LookupError, "keys failed")),
    (lambda: tk.conv_date(**Raising("getitem")), (LookupError, "getitem failed")),
    (lambda: tk.conv_date("2024-01-01", **{f"k{i}": i for i in range(100)}),
     (TypeError, "conv_date() got an unexpected keyword argument 'k0'")),
    (lambda: tk.ts_forecast(frame_df(), **{f"k{i}": i for i in range(70)}, period=1),
     (TypeError, "ts_forecast() got an unexpected keyword argument 'k0'")),
    # keyword names the message must carry whole: non-ASCII, a NUL, very long
    (lambda: tk.conv_date("x", **{"é": 1}),
     (TypeError, "conv_date() got an unexpected keyword argument 'é'")),
    (lambda: tk.conv_date("x", **{"a\x00b": 1}),
     (TypeError, "conv_date() got an unexpected keyword argument 'a\x00b'")),
    (lambda: tk.conv_date("x", **{"k" * 1000: 1}),
     (TypeError, "conv_date() got an unexpected keyword argument '" + "k" * 1000 + "'")),
    # nested partials merge their keywords as Python does; a later one wins
    (lambda: functools.partial(functools.partial(tk.conv_date, dt="2024-01-01"),
                               dt="2024-02-02")(), "2024-02-02"),
    (lambda: functools.partial(tk.TrendKit._run, tk.TrendKit())(input="x"),
     {"error": "Expecting value: line 1 column 1 (char 0)"}),
    (lambda: functools.partial(C.__init__, types.SimpleNamespace())(
        "u", "p", "h", "d", cache_file=1, cache_path=2), None),
    # the interpreter's own text (3.13 adds "and no __dict__ ...")
    (lambda: C.__init__(object(), "u", "p", "h", "d"),
     (AttributeError, message_of(lambda: setattr(object(), "connection_string", "x")))),
    (lambda: functools.partial(C, "u", "p", "h")(database="d", host="h"),
     (TypeError, "__init__() got multiple values for keyword argument 'host'")),
])
def test_keywords_from_odd_mappings_and_partials(call, outcome, capsys):
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0]) as info:
            call()
        assert str(info.value) == outcome[1]
    else:
        assert call() == outcome


def test_call_protocols_agree(vectorcall):
    # tp_call (with a tuple and a dict), vectorcall and method calls through
    # the interpreter's method object reach the same binding.
    obj = C("u", "p", "h", "d")
    calls = [
        lambda f, *a, **k: f(*a, **k),
        lambda f, *a, **k: vectorcall(f, list(a) + list(k.values()), tuple(k)),
        lambda f, *a, **k: type(f).__call__(f, *a, **k),
    ]
    for call in calls:
        assert call(tk.conv_date, dt="March 5, 2024") == "2024-03-05"
        with pytest.raises(TypeError, match=r"^conv_date\(\) takes exactly 1 positional"):
            call(tk.conv_date)
        call(C.__init__, obj, "u2", "p", "h", database="d2")
        assert obj.connection_string == "mysql+pymysql://u2:p@h/d2"
    assert obj.connect.__func__ is C.connect
    with pytest.raises(TypeError, match=r"^connect\(\) takes exactly 1 positional argument \(2 given\)$"):
        obj.connect(1)


# ---------------------------------------------------------------------------
# Attribute writes of every kind

class Text(str):
    pass


def coroutine():
    return tk.TrendKit()._arun("x")


def finished_coroutine():
    coro = coroutine()
    coro.close()
    return coro


# (attribute, value, error or None, what a read gives afterwards)
FUNCTION_WRITES = [
    ("__name__", Text("renamed"), None, "renamed"),
    ("__name__", 3, TypeError, None),
    ("__qualname__", Text("Q.renamed"), None, "Q.renamed"),
    ("__qualname__", None, TypeError, None),
    ("__doc__", object(), None, "same"),
    ("__doc__", None, None, None),
    ("__module__", object(), None, "same"),
    ("__dict__", {"k": object()}, None, "same"),
    ("__dict__", [], TypeError, None),
    ("__annotations__", {1: object()}, None, "same"),
    ("__annotations__", (), TypeError, None),
    ("__defaults__", (object(),), None, "same"),
    ("__defaults__", [1], TypeError, None),
    ("__kwdefaults__", {"x": object()}, None, "same"),
    ("__kwdefaults__", (), TypeError, None),
    ("__globals__", {}, AttributeError, None),
    ("__code__", None, AttributeError, None),
    ("__closure__", (), AttributeError, None),
    ("_is_coroutine", True, AttributeError, None),
    ("__class__", object, TypeError, None),
    ("an_attribute", object(), None, "same"),
]

COROUTINE_WRITES = [
    ("__name__", Text("c"), None, "c"),
    ("__name__", b"c", TypeError, None),
    ("__qualname__", Text("C.c"), None, "C.c"),
    ("__qualname__", 1, TypeError, None),
    ("__module__", object(), None, "same"),
    ("cr_await", None, AttributeError, None),
    ("cr_frame", None, AttributeError, None),
    ("cr_running", True, AttributeError, None),
    ("cr_code", None, AttributeError, None),
    ("an_attribute", 1, AttributeError, None),
]


def write_and_check(obj, attr, value, error, expected):
    before = sys.getrefcount(value)
    if error:
        with pytest.raises(error):
            setattr(obj, attr, value)
        assert sys.getrefcount(value) == before
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # __defaults__ writes warn
        setattr(obj, attr, value)
    got = getattr(obj, attr)
    assert got is value if expected == "same" else got == expected


@pytest.mark.parametrize("func", [tk.conv_date, tk.TrendKit._run, C.connect, ft.relay],
                         ids=["conv_date", "_run", "connect", "relay"])
@pytest.mark.parametrize("attr,value,error,expected", FUNCTION_WRITES,
                         ids=[f"{w[0]}-{type(w[1]).__name__}" for w in FUNCTION_WRITES])
def test_function_attribute_writes(func, attr, value, error, expected):
    before = sys.getrefcount(value)
    saved = {a: getattr(func, a) for a in ("__name__", "__qualname__", "__doc__", "__module__",
                                            "__dict__", "__defaults__", "__kwdefaults__")}
    annotations = func.__annotations__
    try:
        write_and_check(func, attr, value, error, expected)
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            for a, v in saved.items():
                setattr(func, a, v)
        func.__annotations__ = annotations
        func.__dict__.pop("an_attribute", None)
    # what was written is released again once replaced
    assert sys.getrefcount(value) == before
    assert func.__name__ == saved["__name__"] and func.__qualname__ == saved["__qualname__"]
    assert pickle.loads(pickle.dumps(func)) is func


def test_functions_still_work_after_their_attributes_were_rewritten():
    f = tk.conv_date
    saved = f.__name__, f.__qualname__, f.__doc__, f.__module__
    try:
        f.__name__, f.__qualname__, f.__doc__ = Text("x"), Text("y"), 42
        with pytest.raises(TypeError, match=r"^conv_date\(\) takes exactly"):
            f()  # messages use the definition's name, not the attribute
        assert f("2024-01-02") == "2024-01-02"
        assert "y" in repr(f)
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = saved


@pytest.mark.parametrize("make", [coroutine, finished_coroutine], ids=["new", "finished"])
@pytest.mark.parametrize("attr,value,error,expected", COROUTINE_WRITES,
                         ids=[f"{w[0]}-{type(w[1]).__name__}" for w in COROUTINE_WRITES])
def test_coroutine_attribute_writes(make, attr, value, error, expected):
    coro = make()
    before = sys.getrefcount(value)
    write_and_check(coro, attr, value, error, expected)
    coro.close()
    del coro
    gc.collect()
    assert sys.getrefcount(value) == before


def test_deleting_coroutine_names():
    coro = coroutine()
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        del coro.__name__
    with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
        del coro.__qualname__
    del coro.__module__
    assert coro.__module__ is None
    coro.close()


# ---------------------------------------------------------------------------
# One coroutine, many threads

class SlowSteps:
    """Awaited object whose steps release the interpreter lock."""

    def __init__(self, n):
        self.n = n

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        time.sleep(0.0005)
        if self.n == 0:
            raise StopIteration("fin")
        self.n -= 1
        return self.n

    def send(self, value):
        return self.__next__()

    def throw(self, *args):
        time.sleep(0.0005)
        raise args[-1] if len(args) > 1 else args[0]


@pytest.mark.parametrize("method", ["send", "throw", "close"])
def test_one_coroutine_driven_from_eight_threads(method):
    steps = 200
    coro = ft.relay(SlowSteps(steps), catch=KeyError)
    outcomes = []
    lock = threading.Lock()
    start = threading.Barrier(8)

    def drive(index):
        start.wait()
        for attempt in range(100_000):
            try:
                if index == 0 and attempt == 20 and method == "throw":
                    r = ("yield", coro.throw(ValueError("t")))
                elif index == 0 and attempt == 20 and method == "close":
                    r = ("closed", coro.close())
                else:
                    r = ("yield", coro.send(None))
            except StopIteration as exc:
                r = ("stop", exc.value)
            except ValueError as exc:
                r = ("value-error", str(exc))
            except RuntimeError as exc:
                r = ("runtime-error", str(exc))
            with lock:
                outcomes.append(r)
            if r[0] in ("stop", "closed") or r in (
                    ("runtime-error", "cannot reuse already awaited coroutine"),
                    ("value-error", "t")):
                return

    threads = [threading.Thread(target=drive, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    kinds = collections.Counter(kind for kind, _ in outcomes)
    assert kinds["stop"] <= 1
    assert set(kinds) <= {"yield", "stop", "value-error", "runtime-error", "closed"}
    errors = {text for kind, text in outcomes if kind in ("value-error", "runtime-error")}
    assert errors <= {"coroutine already executing", "cannot reuse already awaited coroutine", "t"}
    yielded = [v for kind, v in outcomes if kind == "yield"]
    assert len(yielded) == len(set(yielded))  # no step was handed out twice
    # the threads did meet inside the coroutine
    assert ("value-error", "coroutine already executing") in outcomes
    if method == "send":
        assert kinds["yield"] == steps and kinds["stop"] == 1
        assert ("stop", ("done", "fin")) in outcomes
    assert coro.cr_running is False and coro.cr_await is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


# ---------------------------------------------------------------------------
# Collection of half-used coroutines and of cycles through functions

def test_half_used_coroutines_in_cycles_are_collected():
    class Holder:
        pass

    refs, warned = [], []
    for state in ("new", "suspended", "after-throw", "finished", "closed", "arun-new"):
        holder = Holder()
        if state == "arun-new":
            coro = tk.TrendKit._arun(holder, "data")  # self is the holder: a cycle
        else:
            awaited = SlowSteps(3)
            awaited.owner = holder  # the awaited object leads back to the coroutine
            coro = ft.relay(awaited, catch=KeyError)
            if state != "new":
                coro.send(None)
            if state == "after-throw":
                with pytest.raises(ValueError):
                    coro.throw(ValueError)
            elif state == "finished":
                while True:
                    try:
                        coro.send(None)
                    except StopIteration:
                        break
            elif state == "closed":
                coro.close()
        holder.coro = coro
        holder.self = holder
        refs.append((state, weakref.ref(holder), weakref.ref(coro)))
        del holder, coro
        awaited = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gc.collect()
    warned = sorted(str(w.message) for w in caught)
    assert warned == ["coroutine 'TrendKit._arun' was never awaited",
                      "coroutine 'relay' was never awaited"]
    assert [(s, h(), c()) for s, h, c in refs] == [(s, None, None) for s, _, _ in refs]


def test_cycles_through_function_dictionaries():
    class Node:
        pass

    for func in (tk.conv_date, C.prepare_data, ft.relay):
        node = Node()
        node.func = func
        node.dict = func.__dict__
        func.__dict__["node"] = node
        ref = weakref.ref(node)
        del node
        gc.collect()
        # still reachable through the living function: kept, and intact
        assert ref() is not None and ref().func is func and ref().dict is func.__dict__
        del func.__dict__["node"]
        gc.collect()
        assert ref() is None
        # a dictionary in a cycle is released once the function lets it go
        replaced = {"node": Node()}
        replaced["self"] = replaced
        ref = weakref.ref(replaced["node"])
        func.__dict__ = replaced
        del replaced
        gc.collect()
        assert ref() is not None
        func.__dict__ = {}
        gc.collect()
        assert ref() is None


def test_coroutine_frames_and_locals_survive_collection():
    coro = ft.relay(SlowSteps(2))
    coro.send(None)
    frame = coro.cr_frame
    gc.collect()
    assert coro.cr_frame is frame and frame.f_code is coro.cr_code
    coro.close()
    assert coro.cr_frame is None and coro.cr_await is None


# ---------------------------------------------------------------------------
# A low recursion limit

def run_rows(tool):
    out = tool._run(PAYLOAD)
    return out if isinstance(out, dict) else len(out)


def entry_points(tmp_path):
    cache = tmp_path / "db_cache.pkl"
    cache.write_bytes(pickle.dumps([pd.DataFrame({"a": [1]})]))
    hit = C("u", "p", "h", "d", str(tmp_path))
    miss = C("u", "p", "h", "d", str(tmp_path / "missing"))
    tool = tk.TrendKit()

    def drive(coro):
        try:
            coro.send(None)
        finally:
            coro.close()

    return {
        "conv_date": (lambda: tk.conv_date("March 5, 2024"), "2024-03-05"),
        "ts_forecast": (lambda: len(tk.ts_forecast(frame_df(), 2)), 2),
        "_run": (lambda: run_rows(tool), 2),
        "_arun": (lambda: drive(tool._arun("x")), NotImplementedError),
        "__init__": (lambda: C("u", "p", "h", "d").connection_string, "mysql+pymysql://u:p@h/d"),
        # a cache read that runs into the limit is logged and passed over
        "prepare_data hit": (lambda: len(hit.prepare_data()), 1, ConnectionError),
        "prepare_data miss": (miss.prepare_data, ConnectionError),
        "print_table_schemas": (miss.print_table_schemas, ConnectionError),
        "binding failure": (lambda: tk.conv_date(), TypeError),
    }


def test_low_recursion_limits(tmp_path, capsys):
    calls = entry_points(tmp_path)
    depth = len(inspect.stack(0))
    old = sys.getrecursionlimit()
    seen = collections.defaultdict(set)
    try:
        for extra in range(1, 150, 4):
            for name, (call, expected, *also) in calls.items():
                sys.setrecursionlimit(depth + extra)
                try:
                    out = call()
                except RecursionError:
                    out = RecursionError
                except Exception as exc:  # noqa: BLE001 - compared below
                    out = type(exc)
                finally:
                    sys.setrecursionlimit(old)
                if isinstance(out, dict):  # _run turns it into its error entry
                    assert "recursion" in out["error"], out
                    out = RecursionError
                assert out in (expected, RecursionError, *also), (name, extra, out)
                seen[name].add(out == expected)
    finally:
        sys.setrecursionlimit(old)
    # every entry point got past the limit; those that call Python code
    # also ran into it
    assert all(True in v for v in seen.values()), seen
    shallow = ("print_table_schemas", "binding failure")
    assert all(False in v for k, v in seen.items() if k not in shallow), seen
    for name, (call, expected, *_) in calls.items():
        if isinstance(expected, type):
            with pytest.raises(expected):
                call()
        else:
            assert call() == expected


def test_asyncio_still_works_after_hostile_use():
    with pytest.raises(NotImplementedError, match="TrendKit does not support async"):
        asyncio.run(tk.TrendKit()._arun("x"))
