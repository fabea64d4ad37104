"""The frame's function objects: attributes, binding, calls, pickling."""
import asyncio
import ctypes
import gc
import inspect
import pickle
import types
import warnings
import weakref

import pandas as pd
import pytest
from sample_frames import frame_df

import orveksdk.trend_kit as tk


@pytest.fixture
def tool():
    return tk.TrendKit()



FUNCTIONS = {
    "conv_date": tk.conv_date,
    "ts_forecast": tk.ts_forecast,
    "_run": tk.TrendKit.__dict__["_run"],
    "_arun": tk.TrendKit.__dict__["_arun"],
}


@pytest.mark.parametrize("name,qualname,doc", [
    ("conv_date", "conv_date", None),
    ("ts_forecast", "ts_forecast", tk.ts_forecast.__doc__),
    ("_run", "TrendKit._run", "Time series forecasting."),
    ("_arun", "TrendKit._arun", None),
])
def test_identity_attributes(name, qualname, doc):
    f = FUNCTIONS[name]
    assert f.__name__ == f.func_name == name
    assert f.__qualname__ == qualname
    assert f.__module__ == "orveksdk.trend_kit"
    assert f.__globals__ is f.func_globals is vars(tk)
    assert f.__closure__ is None and f.func_closure is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__doc__ == f.func_doc == doc
    assert f.__code__ is f.func_code
    assert f.__dict__ == {} and f.func_dict is f.__dict__
    assert repr(f).startswith(f"<compiled function {qualname} at 0x")
    assert hex(id(f))[2:] in repr(f)


def test_ts_forecast_docstring_is_exact():
    assert tk.ts_forecast.__doc__ == (
        "\n    Perform time series forecasting on a DataFrame with two columns (date and values).\n\n"
        "    Args:\n        df (pd.DataFrame): The DataFrame containing time series data with two columns.\n"
        "        period (int): The number of periods into the future to forecast.\n\n"
        "    Returns:\n        pd.DataFrame: A DataFrame with date and forecasted values.\n\n"
        "    Example Usage:\n    df = pd.read_csv('sales_data.csv')  # Load your data\n"
        "    forecasted_data = ts_forecast(df, 30)\n    ")


def interpreter_empty_code():
    new_empty = ctypes.pythonapi.PyCode_NewEmpty
    new_empty.restype = ctypes.py_object
    new_empty.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    return new_empty(b"file", b"name", 1)


@pytest.mark.parametrize("name,argcount,varnames,flags", [
    ("_run", 2, ("self", "input", "traceback", "data", "dates", "sequence", "seq", "val", "df",
                 "period", "result", "e", "d"), 3),
    ("_arun", 2, ("self", "data"), 131),
    ("conv_date", 1, ("dt", "parsed_date", "standardized_date"), 3),
    ("ts_forecast", 2, ("df", "period", "dates", "values", "x", "model", "date_intervals",
                        "average_interval", "last_date", "forecast_dates", "forecast_x", "forecast",
                        "future_dates", "forecast_df", "date", "x", "i", "i", "date", "x", "date"), 3),
])
def test_code_objects(name, argcount, varnames, flags):
    code = FUNCTIONS[name].__code__
    assert isinstance(code, types.CodeType)
    assert code.co_name == code.co_qualname == name
    assert code.co_argcount == argcount
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags == flags
    # No bytecode of its own: the body of the interpreter's empty code
    # objects, which raises AssertionError if anything runs it.
    assert code.co_code == interpreter_empty_code().co_code
    assert code.co_consts == () and code.co_names == ()
    assert code.co_freevars == () and code.co_cellvars == ()


def test_annotations_are_texts():
    assert tk.TrendKit._run.__annotations__ == {"input": "str", "return": "Dict"}
    assert tk.TrendKit._arun.__annotations__ == {"data": "str", "return": "str"}
    assert tk.ts_forecast.__annotations__ == {
        "df": "pd.DataFrame", "period": "int", "return": "pd.DataFrame"}
    assert tk.conv_date.__annotations__ == {}


def test_signatures():
    sig = inspect.signature(tk.TrendKit._run)
    assert list(sig.parameters) == ["self", "input"]
    assert sig.parameters["input"].annotation == "str"
    assert sig.return_annotation == "Dict"
    sig = inspect.signature(tk.ts_forecast)
    assert str(sig) == "(df: 'pd.DataFrame', period: 'int') -> 'pd.DataFrame'"
    assert str(inspect.signature(tk.conv_date)) == "(dt)"
    assert str(inspect.signature(tk.TrendKit()._run)) == "(input: 'str') -> 'Dict'"


def test_coroutine_function_markers():
    arun = tk.TrendKit._arun
    assert inspect.iscoroutinefunction(arun)
    assert asyncio.iscoroutinefunction(arun)
    assert arun._is_coroutine is asyncio.coroutines._is_coroutine
    assert arun._is_coroutine is arun._is_coroutine
    for f in (tk.TrendKit._run, tk.conv_date, tk.ts_forecast):
        assert f._is_coroutine is False
        assert not inspect.iscoroutinefunction(f) and not asyncio.iscoroutinefunction(f)


# --- writes -----------------------------------------------------------------

@pytest.mark.parametrize("attr,value,message", [
    ("__name__", 3, "__name__ must be set to a string object"),
    ("func_name", None, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (1,), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_refused_writes(attr, value, message):
    f = tk.conv_date
    before = getattr(f, attr)
    with pytest.raises(TypeError) as info:
        setattr(f, attr, value)
    assert str(info.value) == message
    assert getattr(f, attr) == before


@pytest.mark.parametrize("attr,message", [
    ("__name__", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
    ("__dict__", "function's dictionary may not be deleted"),
])
def test_refused_deletes(attr, message):
    with pytest.raises(TypeError) as info:
        delattr(tk.conv_date, attr)
    assert str(info.value) == message


@pytest.mark.parametrize("attr", ["__globals__", "__closure__", "__code__", "_is_coroutine",
                                  "func_globals", "func_code"])
def test_read_only_attributes(attr):
    with pytest.raises(AttributeError):
        setattr(tk.conv_date, attr, None)


@pytest.fixture
def conv_date():
    f = tk.conv_date
    saved = {a: getattr(f, a) for a in ("__name__", "__qualname__", "__doc__", "__module__",
                                        "__annotations__")}
    saved_dict = dict(f.__dict__)
    yield f
    for a, v in saved.items():
        setattr(f, a, v)
    f.__dict__ = saved_dict


def test_accepted_writes(conv_date):
    f = conv_date
    f.__name__ = "renamed"
    f.__qualname__ = "Some.renamed"
    assert (f.__name__, f.__qualname__) == ("renamed", "Some.renamed")
    assert repr(f).startswith("<compiled function Some.renamed at")
    f.__doc__ = 42
    assert f.__doc__ == 42
    del f.__doc__
    assert f.__doc__ is None
    f.__module__ = ["anything"]
    assert f.__module__ == ["anything"]
    f.marker = 1
    assert f.__dict__ == {"marker": 1}
    f.__dict__ = {"other": 2}
    assert f.other == 2 and not hasattr(f, "marker")
    original = f.__annotations__
    f.__annotations__ = None
    fresh = f.__annotations__
    assert fresh == {} and fresh is not original and f.__annotations__ is fresh
    f.__annotations__ = {"dt": "str"}
    assert f.__annotations__ == {"dt": "str"}
    # the binding messages keep the definition's name
    with pytest.raises(TypeError, match=r"^conv_date\(\) takes exactly 1 positional argument"):
        f()


def test_defaults_writes_warn_and_do_not_change_calls():
    f = tk.ts_forecast
    try:
        with pytest.warns(RuntimeWarning, match="__defaults__"):
            f.__defaults__ = (1,)
        assert f.__defaults__ == (1,)
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
            f(frame_df())
        with pytest.warns(RuntimeWarning, match="__kwdefaults__"):
            f.__kwdefaults__ = {"period": 1}
        assert f.__kwdefaults__ == {"period": 1}
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            with pytest.raises(RuntimeWarning):
                f.__defaults__ = (2,)
        assert f.__defaults__ == (1,)  # a write refused by the filter is not stored
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__defaults__ = None
            f.__kwdefaults__ = None
    assert f.__defaults__ is None and f.__kwdefaults__ is None


# --- methods, pickling, weak references, GC -----------------------------------

def test_method_binding(tool):
    run = tk.TrendKit.__dict__["_run"]
    assert tk.TrendKit._run is run
    bound = tool._run
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is run and bound.__self__ is tool
    assert run.__get__(None, tk.TrendKit) is run


@pytest.mark.parametrize("f", [tk.ts_forecast, tk.conv_date, tk.TrendKit._run, tk.TrendKit._arun],
                         ids=lambda f: f.__qualname__)
def test_pickle_round_trips_to_the_same_object(f):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert f.__reduce__() == f.__qualname__


def test_weak_references_and_cycles_are_collected():
    f = tk.conv_date
    ref = weakref.ref(f)
    assert ref() is f
    # A function can't be created from Python, so build a cycle through a
    # function's dictionary on a throwaway holder and check the function stays sound.
    holder = types.SimpleNamespace()
    f.__dict__["cycle"] = holder
    holder.f = f
    del holder
    gc.collect()
    assert f.cycle.f is f
    del f.__dict__["cycle"]
    gc.collect()
    assert ref() is tk.conv_date


def test_type_cannot_be_instantiated_but_can_be_subclassed():
    ftype = type(tk.conv_date)
    with pytest.raises(TypeError):
        ftype()

    class Sub(ftype):
        pass
    assert issubclass(Sub, ftype)


# --- argument binding -------------------------------------------------------

DF = frame_df()


@pytest.mark.parametrize("call,message", [
    (lambda t: tk.conv_date(), "conv_date() takes exactly 1 positional argument (0 given)"),
    (lambda t: tk.conv_date("a", "b"), "conv_date() takes exactly 1 positional argument (2 given)"),
    (lambda t: tk.ts_forecast(DF), "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (lambda t: tk.ts_forecast(period=1), "ts_forecast() takes exactly 2 positional arguments (0 given)"),
    (lambda t: tk.ts_forecast(DF, df=DF),
     "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (lambda t: tk.ts_forecast(DF, 1, period=1),
     "ts_forecast() got multiple values for keyword argument 'period'"),
    (lambda t: tk.ts_forecast(DF, 1, 2, period=1),
     "ts_forecast() takes exactly 2 positional arguments (3 given)"),
    (lambda t: t._run("a", "b"), "_run() takes exactly 2 positional arguments (3 given)"),
    (lambda t: t._run(), "_run() takes exactly 2 positional arguments (1 given)"),
    (lambda t: t._run("a", input="b"), "_run() got multiple values for keyword argument 'input'"),
    (lambda t: t._run("a", extra=1), "_run() got an unexpected keyword argument 'extra'"),
    (lambda t: t._run(extra=1, input="a"), "_run() got an unexpected keyword argument 'extra'"),
    (lambda t: t._run(extra=1), "_run() takes exactly 2 positional arguments (1 given)"),
    (lambda t: tk.TrendKit._run(input="a"), "_run() takes exactly 2 positional arguments (0 given)"),
    (lambda t: tk.conv_date(dt="2024-01-01", **{"dt2": 1}),
     "conv_date() got an unexpected keyword argument 'dt2'"),
])
def test_binding_messages(tool, tb_names, call, message):
    with pytest.raises(TypeError) as info:
        call(tool)
    assert str(info.value) == message
    # a binding failure carries the function's traceback entry
    assert tb_names(info.value)[-1].startswith("orveksdk.trend_kit.")


def test_keyword_binding_matches_equal_texts():
    key = "".join(["d", "t"])  # equal to, but not the interned parameter name
    assert tk.conv_date(**{key: "2024-03-05"}) == "2024-03-05"
    assert tk.conv_date(dt="2024-03-05") == "2024-03-05"
    out = tk.ts_forecast(period=1, df=frame_df())
    assert list(out["dates"]) == ["2024-01-03"]


def test_non_text_keyword_names_through_the_c_call_protocol(vectorcall):
    with pytest.raises(TypeError) as info:
        vectorcall(tk.conv_date, ["2024-01-01", 1], (5,))
    assert str(info.value) == "conv_date() keywords must be strings"
    assert vectorcall(tk.conv_date, ["2024-03-05"], ("dt",)) == "2024-03-05"


def test_keywords_through_functools_partial():
    import functools
    p = functools.partial(tk.conv_date, dt="2024-03-05")
    assert p() == "2024-03-05"
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'dt'"):
        p("2024-01-01")


@pytest.mark.parametrize("call,message", [
    (lambda t: tk.ts_forecast(DF, 3.0),
     "Argument 'period' has incorrect type (expected int, got float)"),
    (lambda t: tk.ts_forecast(DF, True),
     "Argument 'period' has incorrect type (expected int, got bool)"),
    (lambda t: tk.ts_forecast(df=DF, period=None),
     "Argument 'period' has incorrect type (expected int, got NoneType)"),
    (lambda t: t._run(b"{}"), "Argument 'input' has incorrect type (expected str, got bytes)"),
    (lambda t: t._run({"data_input": {}}),
     "Argument 'input' has incorrect type (expected str, got dict)"),
    (lambda t: t._arun(None), "Argument 'data' has incorrect type (expected str, got NoneType)"),
])
def test_exact_type_refusals_add_no_traceback_entry(tool, tb_names, call, message):
    with pytest.raises(TypeError) as info:
        call(tool)
    assert str(info.value) == message
    assert not any(n.startswith("orveksdk.") for n in tb_names(info.value))


def test_exact_type_refuses_subclasses(tool):
    class MyInt(int):
        pass

    class MyStr(str):
        pass
    with pytest.raises(TypeError, match=r"expected int, got MyInt"):
        tk.ts_forecast(DF, MyInt(3))
    with pytest.raises(TypeError, match=r"expected str, got MyStr"):
        tool._run(MyStr("{}"))


def test_binding_and_refusal_paths_do_not_leak(tool, leaks):
    df = frame_df()
    leaks.check(tk.ts_forecast, df, 1.0, expect=TypeError)
    leaks.check(tk.ts_forecast, df=df, period=1.0, expect=TypeError)
    leaks.check(tk.ts_forecast, df, expect=TypeError)
    leaks.check(tool._run, "x", extra=1, expect=TypeError)
    leaks.check(tool._run, "x", input="y", expect=TypeError)
    leaks.check(tk.conv_date, expect=TypeError)
    leaks.check(getattr, tk.ts_forecast, "__annotations__")
