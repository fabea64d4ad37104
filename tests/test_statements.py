"""The statement forms bodies are written with, against the Python they
stand for: orveksdk._frame_testing's bodies (tests/native/frame_testing.cpp)
run beside the same functions written in Python here."""
import gc
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import orveksdk._frame_testing as ft
import orveksdk.trend_kit as tk

ROOT = pathlib.Path(__file__).resolve().parent.parent


# The Python each body is written from (see its comment in frame_testing.cpp).

def try_forms(action, first, second):
    log = []
    try:
        log.append("try")
        action()
        log.append("after action")
    except first as e:
        log.append(("first", type(e)))
    except second as e:
        log.append(("second", type(e)))
    else:
        log.append("else")
    finally:
        log.append("finally")
    return log


def tuple_clause(action):
    try:
        action()
    except (KeyError, ValueError) as e:
        return type(e)
    return None


def loop_controls(items):
    log = []
    for x in items:
        if x in ("skip",):
            continue
        if x in ("stop",):
            break
        log.append(x)
    return log


def suppressed(manager):
    with manager:
        raise ValueError
    return "after with"


def outcome(call):
    try:
        return ("returned", call())
    except BaseException as e:  # noqa: BLE001 - compared as a value
        return ("raised", type(e), str(e), type(e.__context__))


def raising(exc):
    def action():
        if exc is not None:
            raise exc
    return action


class Logged:
    """A context manager that records how it was left."""

    def __init__(self, suppress=False):
        self.suppress, self.exits = suppress, []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.exits.append(exc[0])
        return self.suppress


@pytest.mark.parametrize("exc", [None, KeyError("k"), ValueError("v"), TypeError("t"),
                                 KeyboardInterrupt()])
@pytest.mark.parametrize("first,second", [(KeyError, ValueError), ((KeyError, ValueError), OSError),
                                          (Exception, KeyError), (1, ValueError),
                                          (KeyError, "not a class")])
def test_try_with_several_excepts_else_and_finally(exc, first, second):
    assert outcome(lambda: ft.try_forms(raising(exc), first, second)) == \
        outcome(lambda: try_forms(raising(exc), first, second))


@pytest.mark.parametrize("exc", [None, KeyError(), ValueError(), IndexError(), LookupError()])
def test_an_except_clause_of_a_tuple(exc):
    assert outcome(lambda: ft.tuple_clause(raising(exc))) == outcome(lambda: tuple_clause(raising(exc)))


@pytest.mark.parametrize("kind,expected", [
    ("try", "from try"), ("except", "from except"), ("with", "from with"), ("for", ("from for", 1)),
    ("else", "from else"), ("finally", "from finally"), ("none of them", "fell through")])
def test_return_leaves_the_function_from_any_block(kind, expected):
    manager = Logged()
    assert ft.returns_from(kind, manager) == expected
    assert manager.exits == ([None] if kind == "with" else [])


def test_break_and_continue_in_a_for_loop():
    items = ["a", "skip", "b", "stop", "c"]
    assert ft.loop_controls(items) == loop_controls(items) == ["a", "b"]
    assert ft.loop_controls(iter(["x"])) == ["x"]
    assert outcome(lambda: ft.loop_controls(3)) == outcome(lambda: loop_controls(3))


@pytest.mark.parametrize("suppress", [True, False, 1, ""])
def test_a_with_block_whose_exit_suppresses(suppress):
    mine, theirs = Logged(suppress), Logged(suppress)
    assert outcome(lambda: ft.suppressed(mine)) == outcome(lambda: suppressed(theirs))
    assert mine.exits == theirs.exits == [ValueError]


def test_failures_carry_the_entries_of_their_statements(tb_names):
    with pytest.raises(ValueError) as info:
        ft.suppressed(Logged(False))
    # the with-statement's entry, then (innermost) the raise inside its block
    assert tb_names(info.value)[-2:] == ["orveksdk._frame_testing.suppressed"] * 2
    with_line, raise_line = [tb.tb_lineno for tb in _entries(info.value.__traceback__)][-2:]
    assert raise_line == with_line + 1


def _entries(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def test_a_statement_that_starts_with_an_exception_pending_stops_the_process(python):
    proc = python("""
        import orveksdk._frame_testing as ft
        ft.unseen_failure(object())
        print("went on")
    """, check=False)
    assert proc.returncode != 0 and "went on" not in proc.stdout
    assert "frame_testing.cpp" in proc.stderr and "started with an exception pending" in proc.stderr


# ---------------------------------------------------------------------------
# What must not compile

def compiles(body):
    """Whether a body file with `body` in it compiles against the frame."""
    source = f"""
        #include "frame/body.hpp"
        namespace probe {{
        frame::Name a{{"a"}}, b{{"b"}}, c{{"c"}}, d{{"d"}}, e{{"e"}};
        {body}
        }}
    """
    proc = subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-fno-exceptions",
         f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}", "-x", "c++", "-"],
        input=source, capture_output=True, text=True, timeout=120)
    return proc.returncode == 0, proc.stderr


@pytest.mark.normal_build
@pytest.mark.parametrize("body,ok", [
    ("frame::Keywords four{a, b, c, d};", True),
    ("frame::Keywords five{a, b, c, d, e};", False),
    ("DEF(f, {.qualname = \"f\", .argcount = 0}) { TRY { RETURN_NONE; } "
     "EXCEPT (x, frame::None) { RETURN_NONE; } END_TRY; RETURN_NONE; }", True),
    # a plain return inside a block, or at the end of a body
    ("DEF(f, {.qualname = \"f\", .argcount = 0}) { TRY { return; } "
     "EXCEPT (x, frame::None) { RETURN_NONE; } END_TRY; RETURN_NONE; }", False),
    ("DEF(f, {.qualname = \"f\", .argcount = 0}) { WITH (x, frame::None) { return; } END_WITH; "
     "RETURN_NONE; }", False),
    ("DEF(f, {.qualname = \"f\", .argcount = 0}) { return; }", False),
])
def test_what_the_statement_forms_refuse_to_compile(body, ok):
    compiled, errors = compiles(body)
    assert compiled == ok, errors


# ---------------------------------------------------------------------------
# The function type, subclassed

def test_a_subclass_of_the_function_type_holds_its_class_once():
    Function = type(tk.conv_date)

    class Sub(Function):
        pass

    gc.collect()
    before = sys.getrefcount(Sub)
    for _ in range(200):
        f = ft.function_of_type(Sub)
        assert type(f) is Sub and f(41) == 41 and f.__name__ == "identity"
        f.__dict__["self"] = f  # a cycle through the function, for the collector
        del f
    gc.collect()
    assert sys.getrefcount(Sub) == before
    # Through the collector's traversal: the instance reaches its class once.
    f = ft.function_of_type(Sub)
    assert gc.get_referents(f).count(Sub) == 1
    with pytest.raises(TypeError, match="not a subtype"):
        ft.function_of_type(int)
    if os.environ.get("ORVEKSDK_SANITIZED") != "1":
        del f
