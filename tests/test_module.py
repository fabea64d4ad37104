"""Creating and executing the extension modules."""
import ctypes
import os
import importlib
import pathlib
import subprocess
import sys
import sysconfig
import textwrap
import types

import pytest

import orveksdk.trend_kit as tk

import orveksdk

SITE = pathlib.Path(orveksdk.__file__).parent
REGISTRY = type(tk.conv_date).__module__
SOURCE = pathlib.Path(__file__).resolve().parent.parent / "orveksdk"


def test_imports_the_installed_shared_library():
    # The running interpreter's own suffix: ".cpython-313-x86_64-linux-gnu.so".
    assert tk.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    assert pathlib.Path(tk.__file__).parent == SITE != SOURCE
    assert pathlib.Path(tk.__file__).is_file()
    if os.environ.get("ORVEKSDK_SANITIZED"):
        assert "/.asan/site/" in tk.__file__
    assert tk.__spec__.origin == tk.__file__
    assert not hasattr(tk, "__path__")
    assert tk.__builtins__ is __import__("builtins")
    assert tk.__doc__ is None
    assert tk.__package__ == "orveksdk"
    assert tk.__loader__ is tk.__spec__.loader


@pytest.mark.parametrize("library", sorted(SITE.glob("*.so")), ids=lambda p: p.name)
def test_each_library_exports_only_its_init_function(library):
    out = subprocess.run(["nm", "-D", "--defined-only", str(library)],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + library.name.split(".")[0]]


def test_reimport_and_reload_give_the_same_module_without_running_the_body():
    sentinel = object()
    saved = tk.pd
    tk.pd = sentinel
    try:
        del sys.modules["orveksdk.trend_kit"]
        again = importlib.import_module("orveksdk.trend_kit")
        assert again is tk
        assert sys.modules["orveksdk.trend_kit"] is tk
        assert importlib.reload(tk) is tk
        assert tk.pd is sentinel  # the body did not rebind it
    finally:
        tk.pd = saved


def test_executing_another_module_object_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    other = types.ModuleType("orveksdk.trend_kit")
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(other, api.PyModule_GetDef(tk))
    assert str(info.value) == ("Module 'trend_kit' has already been imported. "
                               "Re-initialisation is not supported.")


def test_subinterpreter_is_refused(python, tmp_path):
    out = tmp_path / "out.txt"
    code = "\n".join([
        "try:",
        "    import orveksdk.trend_kit",
        "except ImportError as e:",
        f"    open({str(out)!r}, 'w').write('ImportError: ' + str(e))",
        "else:",
        f"    open({str(out)!r}, 'w').write('imported')",
    ])
    python(f"""
        import _testcapi
        import orveksdk.trend_kit
        assert _testcapi.run_in_subinterp({code!r}) == 0
    """)
    assert out.read_text() == (
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.")


HIDE = """
import sys, importlib.abc
class Hide(importlib.abc.MetaPathFinder):
    def __init__(self, *names): self.names = names
    def find_spec(self, name, path, target=None):
        if name.split(".")[0] in self.names:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None
"""


def test_failed_body_leaves_nothing_behind_and_a_later_import_starts_afresh(python):
    python(HIDE + textwrap.dedent("""
        import traceback
        for name in [m for m in sys.modules if m.startswith("langchain")]:
            del sys.modules[name]
        hider = Hide("langchain")
        sys.meta_path.insert(0, hider)
        try:
            import orveksdk.trend_kit
        except ModuleNotFoundError as e:
            assert e.name == "langchain", e.name
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            assert names[-2:] == ["init orveksdk.trend_kit", "_find_and_load"] or \\
                "init orveksdk.trend_kit" in names, names
        else:
            raise AssertionError("import succeeded")
        assert "orveksdk.trend_kit" not in sys.modules
        # names bound before the failing statement went with the failed module
        assert "pandas" in sys.modules
        sys.meta_path.remove(hider)
        import orveksdk.trend_kit as tk
        assert tk.BaseTool.__module__.startswith("langchain")
        assert tk.pd is sys.modules["pandas"]
    """))


def test_missing_cached_builtin_fails_before_any_import(python):
    proc = python("""
        import builtins, sys, traceback
        saved = builtins.eval
        del builtins.eval
        try:
            import orveksdk.trend_kit
        except NameError as e:
            builtins.eval = saved
            print(str(e))
            print([f.name for f in traceback.extract_tb(e.__traceback__)])
        print("pandas" in sys.modules, "orveksdk.trend_kit" in sys.modules)
    """)
    lines = proc.stdout.splitlines()
    assert lines[0] == "name 'eval' is not defined"
    assert "init orveksdk.trend_kit" in lines[1]
    assert lines[2] == "False False"


@pytest.mark.parametrize("stored", ["42", "int"])
def test_registry_object_that_does_not_fit_is_refused(python, stored):
    proc = python(f"""
        import sys, types
        registry = types.ModuleType("{REGISTRY}")
        registry.function = {stored}
        sys.modules["{REGISTRY}"] = registry
        try:
            import orveksdk.trend_kit
        except TypeError as e:
            print(e)
    """)
    assert "function" in proc.stdout and "not a type of the expected size" in proc.stdout


def test_registry_holds_the_shared_function_type():
    registry = sys.modules[REGISTRY]
    assert registry.function is type(tk.conv_date) is type(tk.TrendKit._run)
    coroutine = tk.TrendKit()._arun("x")
    wrapper = coroutine.__await__()
    assert registry.coroutine is type(coroutine) and registry.coroutine_wrapper is type(wrapper)
    coroutine.close()
    # The name carries the layouts it shares (the last number is the
    # record of the shared types), so a frame whose objects are laid out
    # otherwise never takes these types.
    sizes = [t.__basicsize__ for t in (registry.function, registry.coroutine,
                                       registry.coroutine_wrapper)]
    assert REGISTRY.startswith("_orveksdk_frame_v" + "_".join(map(str, sizes)) + "_")
    assert type(tk.conv_date).__qualname__ == "function"


def test_import_from_missing_name_reports_cannot_import(python):
    proc = python("""
        import pydantic
        lazy = pydantic.__getattr__
        def without_field(name):
            if name == "Field":
                raise AttributeError(name)
            return lazy(name)
        pydantic.__dict__.pop("Field", None)
        pydantic.__getattr__ = without_field
        try:
            import orveksdk.trend_kit
        except ImportError as e:
            print(repr(str(e)))
    """)
    assert proc.stdout.strip() == "'cannot import name Field'"


# ---------------------------------------------------------------------------
# Traceback entries: each a frame of its own, as far as anyone can tell

def entry_frames(exc, name):
    frames, tb = [], exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name == name:
            frames.append(tb.tb_frame)
        tb = tb.tb_next
    return frames


def failure(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the exception is what is looked at
        return e
    raise AssertionError("did not fail")


BINDING = (lambda: tk.conv_date("x", extra=1), "orveksdk.trend_kit.conv_date")
BODY = (lambda: tk.ts_forecast(None, 1), "orveksdk.trend_kit.ts_forecast")


@pytest.mark.parametrize("call,name", [BINDING, BODY], ids=["binding", "body"])
def test_entries_alive_together_have_frames_of_their_own(call, name):
    first, second = failure(call), failure(call)
    [a], [b] = entry_frames(first, name), entry_frames(second, name)
    assert a is not b
    for frame in (a, b):
        assert frame.f_globals is vars(tk) and frame.f_trace is None and frame.f_back is None
        assert dict(frame.f_locals) == {}
    assert a.f_lineno == b.f_lineno and a.f_code is b.f_code


@pytest.mark.parametrize("call,name", [BINDING, BODY], ids=["binding", "body"])
@pytest.mark.parametrize("leave", ["trace", "local", "trace lines"])
def test_what_a_reader_leaves_in_an_entry_is_not_seen_by_later_ones(call, name, leave):
    for _ in range(3):
        [frame] = entry_frames(failure(call), name)
        assert frame.f_trace is None and dict(frame.f_locals) == {}
        assert frame.f_trace_lines is True and frame.f_trace_opcodes is False
        if leave == "trace":
            frame.f_trace = lambda *a: None
        elif leave == "local":
            frame.f_locals["left"] = object()
        else:
            frame.f_trace_lines = False
        del frame


def test_a_recursion_gives_each_level_its_own_entry():
    old = tk.parser
    tk.parser = types.SimpleNamespace(parse=tk.conv_date)
    try:
        exc = failure(lambda: tk.conv_date("x"))
    finally:
        tk.parser = old
    frames = entry_frames(exc, "orveksdk.trend_kit.conv_date")
    assert len(frames) > 100
    assert len({id(f) for f in frames}) == len(frames)
