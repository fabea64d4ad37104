"""Reproductions of interpreter crashes found by hostile callers. Each runs in
a fresh interpreter: a death by signal fails the test, and the output shows
what plain Python code would have done instead (an exception, or a result)."""
import signal

import pytest

import orveksdk.trend_kit

# The registry module the frame shares its types through (its name carries
# the layout of the shared objects).
REGISTRY = type(orveksdk.trend_kit.conv_date).__module__


def run_clean(python, code, timeout=120):
    """Runs `code`; fails on a death by signal or a non-zero exit; returns
    the lines it printed."""
    proc = python(code, check=False, timeout=timeout)
    if proc.returncode < 0:
        pytest.fail(f"killed by {signal.Signals(-proc.returncode).name}:\n{proc.stderr[-3000:]}")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.splitlines()


# A LangChain whose tool metaclass keeps the class namespace and then fails,
# so that the functions made before the failure outlive the failed import.
FAILING_BASE_TOOL = """
    import sys, types, asyncio
    import langchain.tools as real_tools
    kept = []

    class Refusing(type):
        def __new__(mcls, name, bases, ns, **kw):
            kept.append(dict(ns))
            raise RuntimeError("metaclass refused " + name)

    fake = types.ModuleType("langchain.tools")
    fake.BaseTool = type.__new__(Refusing, "BaseTool", (), {})
    sys.modules["langchain.tools"] = fake
    try:
        import orveksdk.trend_kit
    except RuntimeError as e:
        print("import failed:", e)
    sys.modules["langchain.tools"] = real_tools
    assert "orveksdk.trend_kit" not in sys.modules
    [ns] = kept
"""


def test_functions_that_outlive_a_failed_import_use_their_own_globals(python):
    out = run_clean(python, FAILING_BASE_TOOL + """
    run, arun = ns["_run"], ns["_arun"]
    old_globals = run.__globals__
    print("json bound:", "json" in old_globals)
    print(run(None, '{"period": 1}'))
    try:
        arun(None, "x").send(None)
    except NotImplementedError as e:
        print("arun:", e)

    import orveksdk.trend_kit as tk
    print("new dict:", tk.__dict__ is not old_globals)
    tk.json = None          # the new module's name; the leftover keeps its own
    print(run(None, '{"period": 1}'))
    print(tk.TrendKit()._run('{"period": 1}'))
    """)
    assert out == [
        "import failed: metaclass refused TrendKit",
        "json bound: True",
        "{'error': \"'data_input'\"}",
        "arun: TrendKit does not support async",
        "new dict: True",
        "{'error': \"'data_input'\"}",
        "{'error': \"'NoneType' object has no attribute 'loads'\"}",
    ]


def test_recursion_through_c_only_raises_recursion_error(python):
    out = run_clean(python, """
    import sys, types
    import orveksdk.trend_kit as tk
    tk.parser = types.SimpleNamespace(parse=tk.conv_date)
    try:
        tk.conv_date("2024-01-01")
    except RecursionError as e:
        print("RecursionError")
    tk.ts_forecast = lambda df, p: tk.TrendKit()._run(
        '{"data_input": {"date": [], "values": []}, "period": 1}')
    sys.setrecursionlimit(200)
    print(tk.TrendKit()._run('{"data_input": {"date": [], "values": []}, "period": 1}'))
    """)
    assert out[0] == "RecursionError"
    assert out[1].startswith("{'error': ")


# Recursions that pass only through C: each level is a call of the frame's
# function type from a body, through a module name rebound to a function of
# the modules. The interpreter's recursion limit counts calls (3.13 admits
# 10,000 nested C calls), so the frame bounds them by the thread's stack.
C_ONLY_RECURSIONS = """
    import logging, os, sys, threading, types
    import orveksdk.trend_kit as tk, orveksdk.tablescope as ts
    logging.disable(logging.CRITICAL)

    def conv_date():
        tk.parser = types.SimpleNamespace(parse=tk.conv_date)
        tk.conv_date("March 5, 2024")

    def print_table_schemas():
        # inspect(self.engine) is the method itself, and the engine the scope:
        # every level passes through a try/except that logs and re-raises.
        scope = ts.MySQLDatabaseTableScope("u", "p", "h", "d")
        scope.engine = scope
        ts.inspect = ts.MySQLDatabaseTableScope.print_table_schemas
        scope.print_table_schemas()

    def levels(exc):
        n, tb = 0, exc.__traceback__
        while tb is not None:
            n, tb = n + 1, tb.tb_next
        return n

    def attempt(case):
        try:
            case()
        except RecursionError as e:
            print(case.__name__, "RecursionError", levels(e))
        except BaseException as e:
            print(case.__name__, type(e).__name__, e)

    size = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    for case in (conv_date, print_table_schemas):
        if size:
            threading.stack_size(size * 1024)
            t = threading.Thread(target=attempt, args=(case,))
            t.start()
            t.join()
        else:
            attempt(case)
"""


@pytest.mark.parametrize("stack_kib", [0, 1024, 256], ids=["main thread", "1 MiB", "256 KiB"])
def test_recursion_through_c_only_ends_in_recursion_error_on_any_stack(stack_kib, tmp_path):
    import os
    import subprocess
    import sys
    import textwrap
    script = tmp_path / "recurse.py"
    script.write_text(textwrap.dedent(C_ONLY_RECURSIONS))
    args = [sys.executable, str(script)] + ([str(stack_kib)] if stack_kib else [])
    proc = subprocess.run(args, capture_output=True, text=True, timeout=300, cwd="/")
    if proc.returncode < 0:
        pytest.fail(f"killed by {signal.Signals(-proc.returncode).name}:\n{proc.stderr[-3000:]}")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert [line.split()[:2] for line in out] == [
        ["conv_date", "RecursionError"], ["print_table_schemas", "RecursionError"]], out
    if stack_kib == 1024 and os.environ.get("ORVEKSDK_SANITIZED") != "1":
        # A level of the recursion costs at most 1 KiB of stack: 768 KiB are
        # the thread's to use before the frame refuses (a quarter is kept).
        assert int(out[0].split()[2]) >= 768, out


@pytest.mark.parametrize("function", ["conv_date", "ts_forecast", "TrendKit._run", "TrendKit._arun"])
def test_code_objects_copied_into_python_functions_raise(python, function):
    out = run_clean(python, f"""
    import asyncio, types
    import orveksdk.trend_kit as tk
    from operator import attrgetter
    code = attrgetter("{function}")(tk).__code__
    copy = types.FunctionType(code, {{"__builtins__": __builtins__}})
    args = [None] * code.co_argcount
    try:
        result = copy(*args)
        if asyncio.iscoroutine(result):
            result.send(None)
    except AssertionError:
        print("AssertionError")
    """)
    assert out == ["AssertionError"]


def test_a_cleared_function_stays_readable(python):
    # The collector's clear slot, called directly: readers and calls that
    # run afterwards (from a finaliser, say) find every field set.
    out = run_clean(python, """
    import ctypes
    import orveksdk.trend_kit as tk
    f = tk.conv_date
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    Py_tp_clear = 51
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(f), Py_tp_clear))
    print(clear(f))
    print(repr(f.__qualname__), f.__module__, f.__globals__ is vars(tk), f.__code__.co_name)
    print(repr(f).startswith("<compiled function  at "), f.__reduce__())
    print(f("2024-03-05"))
    """)
    assert out == ["0", "'' None True conv_date", "True ", "2024-03-05"]


@pytest.mark.parametrize("planted", [
    # a class of the function type's size: 15 slots
    "type('function', (), {'__slots__': tuple('s%d' % i for i in range(15))})",
    # the other frame's real type, but under a registry without its description
    None,
])
def test_a_planted_registry_type_is_refused(python, planted):
    plant = (f"registry.function = {planted}" if planted else
             "import orveksdk.tablescope; registry.function = "
             f"sys.modules['{REGISTRY}'].function; del sys.modules['orveksdk.tablescope']")
    out = run_clean(python, f"""
    import sys, types
    registry = types.ModuleType("{REGISTRY}")
    {plant}
    sys.modules["{REGISTRY}"] = registry
    try:
        import orveksdk.trend_kit as tk
    except TypeError as e:
        print(e)
    """)
    if planted:
        assert out == [f"shared frame type 'function' in {REGISTRY} was not made by a frame"]
    else:
        # tablescope's type put into a new registry without the capsule
        # that lists it: refused all the same.
        assert out == [f"shared frame type 'function' in {REGISTRY} was not made by a frame"]


def test_a_failed_import_in_a_subinterpreter_binds_no_interpreter(python):
    out = run_clean(python, """
    # A legacy subinterpreter, which may load single-phase and
    # process-wide extension modules: the private module is _interpreters
    # on 3.13 (where run_string answers a failure instead of raising it)
    # and _xxsubinterpreters on 3.12.
    try:
        import _interpreters as interpreters
        create = lambda: interpreters.create("legacy")
    except ImportError:
        import _xxsubinterpreters as interpreters
        create = lambda: interpreters.create(isolated=False)
    def run_string(sub, code):
        failure = interpreters.run_string(sub, code)
        assert failure is None, failure
    sub = create()
    run_string(sub, '''if True:
        import sys
        sys.modules["pandas"] = None
        try:
            import orveksdk.trend_kit
        except ImportError as e:
            print("sub:", e)
    ''')
    interpreters.destroy(sub)
    import orveksdk.trend_kit as tk
    print(tk.conv_date("March 5, 2024"))
    sub = create()
    run_string(sub, '''if True:
        try:
            import orveksdk.trend_kit
        except ImportError as e:
            print("second:", e)
    ''')
    """)
    assert out == ["sub: import of pandas halted; None in sys.modules", "2024-03-05",
                   "second: Interpreter change detected - this module can only be loaded "
                   "into one interpreter per process."]


def native_arun(self, data):
    async def _arun(self, data):
        raise NotImplementedError("TrendKit does not support async")
    return _arun(self, data)


def outcome(call):
    try:
        return ("returned", call())
    except BaseException as e:  # noqa: BLE001 - compared as a value
        return (type(e).__name__, str(e))


BAD_THROWS = [(42,), (None,), (ValueError("a"), 1), (ValueError, None, 5), (ValueError, "v", "tb")]


@pytest.mark.parametrize("args", BAD_THROWS, ids=repr)
def test_throw_refuses_what_cannot_be_raised_and_leaves_the_coroutine(args):
    import warnings

    import orveksdk.trend_kit as tk
    results = []
    for make in (tk.TrendKit()._arun, lambda d: native_arun(None, d)):
        coro = make("x")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            thrown = outcome(lambda: coro.throw(*args))
        # the coroutine is untouched: its body still runs
        results.append((thrown, [str(w.message) for w in caught], outcome(lambda: coro.send(None))))
    assert results[0] == results[1]
    assert results[0][0][0] == "TypeError"
    assert results[0][2] == ("NotImplementedError", "TrendKit does not support async")


@pytest.mark.parametrize("args", [(ValueError("late"),), (42,), (GeneratorExit,), (StopIteration,)],
                         ids=repr)
@pytest.mark.parametrize("finish", ["awaited", "closed"])
def test_throw_into_a_finished_coroutine_as_a_native_one(args, finish):
    import orveksdk.trend_kit as tk
    results = []
    for make in (tk.TrendKit()._arun, lambda d: native_arun(None, d)):
        coro = make("x")
        if finish == "awaited":
            outcome(lambda: coro.send(None))
        else:
            coro.close()
        results.append(outcome(lambda: coro.throw(*args)))
    assert results[0] == results[1]


def test_tasks_wrapping_arun_can_be_introspected(python):
    out = run_clean(python, """
    import asyncio, inspect, io
    import orveksdk.trend_kit as tk
    coro = tk.TrendKit()._arun("x")
    print(type(coro.cr_frame.f_lineno).__name__, inspect.getframeinfo(coro.cr_frame).function)

    async def main():
        task = asyncio.ensure_future(tk.TrendKit()._arun("x"))
        stack = task.get_stack()
        text = io.StringIO()
        task.print_stack(file=text)
        print(len(stack), "_arun" in text.getvalue())
        try:
            await task
        except NotImplementedError as e:
            print(e)
    asyncio.run(main())
    coro.close()
    """)
    assert out == ["int _arun", "1 True", "TrendKit does not support async"]


def test_rebound_re_results_are_handled_as_any_object(python):
    # float(match.group()[9:-2]), as the Python statement reads any object
    out = run_clean(python, """
    import json, sys, types
    import orveksdk.trend_kit as tk
    tk.ts_forecast = lambda df, period: types.SimpleNamespace(empty=False, values=list(df["values"]))
    payload = json.dumps({"data_input": {"date": ["2024-01-01", "2024-01-02"],
                                         "values": ["Decimal", 2]}, "period": 1})
    for group in (b"Decimal('1.5')", bytearray(b"Decimal('2.5')"), "Decimal('3.5')", 42,
                  b"D", ["D", "e", "c", "i", "m", "a", "l", "(", "'", "7", "'", ")"]):
        match = types.SimpleNamespace(group=lambda group=group: group)
        tk.re = types.SimpleNamespace(match=lambda pattern, text, match=match: match)
        out = tk.TrendKit()._run(payload)
        print(out if isinstance(out, dict) else out.values)
    """)
    assert out == ["[1.5, 2.0]", "[2.5, 2.0]", "[3.5, 2.0]",
                   "{'error': \"'int' object is not subscriptable\"}",
                   "{'error': \"could not convert string to float: b''\"}",
                   "{'error': \"float() argument must be a string or a real number, not 'list'\"}"]


def test_a_rebound_quote_is_formatted_as_an_f_string_field(python):
    out = run_clean(python, """
    import urllib.parse
    from unittest import mock
    import orveksdk.tablescope as ts

    class Odd:
        def __format__(self, spec):
            return 42
    for result in (42, b"raw", Odd()):
        with mock.patch.object(urllib.parse, "quote", lambda text, safe, result=result: result):
            try:
                print(ts.MySQLDatabaseTableScope("u", "p", "h", "d").connection_string)
            except TypeError as e:
                print("TypeError:", e)
    """)
    assert out == ["mysql+pymysql://42:42@h/d", "mysql+pymysql://b'raw':b'raw'@h/d",
                   "TypeError: __format__ must return a str, not int"]


def test_run_refuses_an_unbounded_period_quickly(capsys):
    import json
    import time

    import orveksdk.trend_kit as tk
    same_day = {"date": ["2024-01-01", "2024-01-01"], "values": [1, 2]}
    for period in (100_001, 10**8, 10**40):
        start = time.monotonic()
        out = tk.TrendKit()._run(json.dumps({"data_input": same_day, "period": period}))
        assert time.monotonic() - start < 1
        assert out == {"error": f"period must be at most 100000, got {period}"}
        assert "ValueError: period must be at most 100000" in capsys.readouterr().err
    # the bound itself is allowed, and ts_forecast called directly keeps no bound
    out = tk.TrendKit()._run(json.dumps({"data_input": same_day, "period": 100_000}))
    assert len(out) == 100_000 and set(out["dates"]) == {"2024-01-01"}
    import pandas as pd
    frame = pd.DataFrame({"timestamp": same_day["date"], "values": same_day["values"]})
    assert len(tk.ts_forecast(frame, 100_001)) == 100_001
