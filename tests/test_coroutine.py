"""Frame coroutines while suspended: delegation to the awaited object.

`_arun` never awaits, so these tests drive `relay` from the test build's
helper module, an asynchronous function of the frame that does:

    async def relay(first, second=None, catch=()):
        try:
            received = await first
        except catch as e:
            if second is None:
                return ("caught", e)
            received = await second
        return ("done", received)
"""
import asyncio
import gc
import sys
import threading
import types
import warnings

import pytest

import orveksdk._frame_testing as ft
import orveksdk.trend_kit as tk


class Steps:
    """An awaited object of our own: yields `n` values, then returns "fin".
    Records what is sent, thrown and closed."""

    def __init__(self, n, *, throw=True, close=True, fail_close=None):
        self.n = n
        self.log = []
        if not throw:
            self.throw = None
        self.fail_close = fail_close
        if not close:
            self.close = None

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        if self.n == 0:
            raise StopIteration("fin")
        self.n -= 1
        return f"y{self.n}"

    def send(self, value):
        self.log.append(("send", value))
        return self.__next__()

    def throw(self, *args):
        self.log.append(("throw", args))
        raise args[1] if len(args) > 1 and args[1] is not None else args[0]

    def close(self):
        self.log.append("close")
        if self.fail_close:
            raise self.fail_close


class NoThrow:
    """An iterator without throw() or close()."""

    def __init__(self):
        self.it = iter(["a", "b"])

    def __await__(self):
        return self

    def __next__(self):
        return next(self.it)

    def __iter__(self):
        return self


def finish(coro, value=None):
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value.value


def test_send_forwards_until_the_awaited_object_returns():
    awaited = Steps(2)
    coro = ft.relay(awaited)
    assert coro.send(None) == "y1"
    assert coro.cr_await is awaited and coro.cr_running is False
    assert coro.send(5) == "y0"  # a non-None value goes to send()
    assert awaited.log == [("send", 5)]
    assert finish(coro) == ("done", "fin")  # None goes to __next__
    assert coro.cr_await is None and coro.__name__ is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_awaiting_native_and_frame_coroutines():
    async def native():
        await asyncio.sleep(0)
        return "native"

    async def main():
        a = await ft.relay(native())
        b = await ft.relay(ft.relay(Steps(0)))  # a frame coroutine awaiting another
        c = await ft.relay(asyncio.sleep(0, "slept"))
        return a, b, c

    assert asyncio.run(main()) == (("done", "native"), ("done", ("done", "fin")), ("done", "slept"))

    inner = ft.relay(Steps(1))
    outer = ft.relay(inner)
    assert outer.send(None) == "y0"
    assert outer.cr_await is inner
    assert finish(outer) == ("done", ("done", "fin"))


def test_an_awaited_object_that_ends_at_once_does_not_suspend():
    assert finish(ft.relay(Steps(0))) == ("done", "fin")


@pytest.mark.parametrize("awaitable,message", [
    (42, "'int' object can't be used in 'await' expression"),
    (types.SimpleNamespace(), "'types.SimpleNamespace' object can't be used in 'await' expression"),
])
def test_not_awaitable(awaitable, message):
    coro = ft.relay(awaitable)
    with pytest.raises(TypeError) as info:
        coro.send(None)
    assert str(info.value) == message
    # the failing await is inside the try: an except clause for it catches it
    assert finish(ft.relay(awaitable, catch=TypeError))[0] == "caught"


def test_await_returning_a_non_iterator():
    class Bad:
        def __await__(self):
            return 3
    with pytest.raises(TypeError, match="__await__\\(\\) returned non-iterator of type 'int'"):
        ft.relay(Bad()).send(None)


def test_throw_forwards_to_the_awaited_object():
    awaited = Steps(3)
    coro = ft.relay(awaited, catch=ValueError)
    coro.send(None)
    error = ValueError("x")
    with pytest.raises(StopIteration) as info:
        coro.throw(error)
    assert info.value.value == ("caught", error)
    assert awaited.log == [("throw", (error,))]


def test_throw_with_three_arguments_and_uncaught():
    coro = ft.relay(Steps(3))
    coro.send(None)
    with pytest.raises(KeyError) as info:
        coro.throw(KeyError, KeyError("k"), None)
    assert info.value.args == ("k",)
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throw_into_an_object_without_throw_raises_in_the_body():
    awaited = NoThrow()
    coro = ft.relay(awaited, catch=LookupError)
    assert coro.send(None) == "a"
    with pytest.raises(StopIteration) as info:
        coro.throw(LookupError("in body"))
    assert info.value.value[0] == "caught"
    assert str(info.value.value[1]) == "in body"


def test_throw_generator_exit_closes_the_awaited_object():
    awaited = Steps(3)
    coro = ft.relay(awaited)
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert awaited.log == ["close"]


def test_throw_value_produced_by_the_awaited_object_is_returned():
    class Recovers(Steps):
        def throw(self, *args):
            return "recovered"
    coro = ft.relay(Recovers(3))
    coro.send(None)
    assert coro.throw(ValueError) == "recovered"
    assert coro.cr_await is not None


def test_close_closes_the_awaited_object_first():
    awaited = Steps(3)
    coro = ft.relay(awaited)
    coro.send(None)
    assert coro.close() is None
    assert awaited.log == ["close"]
    assert coro.cr_await is None and coro.__qualname__ is None
    assert coro.close() is None


async def native_relay(first, second=None, catch=()):
    """The interpreter's own coroutine of ft.relay's Python."""
    try:
        received = await first
    except catch as e:
        if second is None:
            return ("caught", e)
        received = await second
    return ("done", received)


@pytest.mark.parametrize("caught", ["close failure", "GeneratorExit"])
def test_a_body_that_returns_while_closing(caught):
    failure = OSError("close failed")
    answers = []
    for relay in (ft.relay, native_relay):
        if caught == "close failure":
            coro = relay(Steps(3, fail_close=failure), catch=OSError)
        else:
            coro = relay(Steps(3), catch=GeneratorExit)
        coro.send(None)
        answers.append(coro.close())
    # The body catches what close() raised in it and returns: close()
    # answers what the interpreter's own coroutines answer, None on 3.12
    # and the body's value on 3.13.
    assert repr(answers[0]) == repr(answers[1])
    if sys.version_info >= (3, 13):
        assert answers[0][0] == "caught"
    else:
        assert answers[0] is None


def test_close_failure_of_the_awaited_object_reaches_the_body():
    failure = OSError("close failed")
    coro = ft.relay(Steps(3, fail_close=failure))
    coro.send(None)
    with pytest.raises(OSError, match="close failed"):
        coro.close()


def test_close_of_an_object_without_close():
    coro = ft.relay(NoThrow())
    coro.send(None)
    assert coro.close() is None


def test_body_that_ignores_generator_exit():
    coro = ft.relay(Steps(3), Steps(2), catch=GeneratorExit)
    coro.send(None)
    with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
        coro.close()


def test_await_wrapper_forwards():
    coro = ft.relay(Steps(2))
    w = coro.__await__()
    assert next(w) == "y1"
    assert w.send(None) == "y0"
    with pytest.raises(StopIteration) as info:
        w.send(None)
    assert info.value.value == ("done", "fin")
    coro = ft.relay(Steps(2), catch=ValueError)
    w = coro.__await__()
    next(w)
    with pytest.raises(StopIteration):
        w.throw(ValueError)
    w = ft.relay(Steps(2)).__await__()
    next(w)
    assert w.close() is None


def test_already_executing_from_inside():
    holder = {}

    class Reenter(Steps):
        def __next__(self):
            with pytest.raises(ValueError, match="^coroutine already executing$"):
                holder["coro"].send(None)
            with pytest.raises(ValueError, match="^coroutine already executing$"):
                holder["coro"].throw(KeyError)
            with pytest.raises(ValueError, match="^coroutine already executing$"):
                holder["coro"].close()
            assert holder["coro"].cr_running is True
            return "inside"

    holder["coro"] = ft.relay(Reenter(1))
    assert holder["coro"].send(None) == "inside"
    holder["coro"].close()


def test_already_executing_from_another_thread():
    entered, release = threading.Event(), threading.Event()

    class Blocks(Steps):
        def __next__(self):
            entered.set()
            release.wait(10)
            raise StopIteration("late")

    coro = ft.relay(Blocks(1))
    result = {}
    worker = threading.Thread(target=lambda: result.setdefault("r", finish(coro)))
    worker.start()
    assert entered.wait(10)
    try:
        with pytest.raises(ValueError, match="coroutine already executing"):
            coro.send(None)
        assert coro.cr_running is True
    finally:
        release.set()
        worker.join()
    assert result["r"] == ("done", "late")


def test_collecting_a_suspended_coroutine_closes_it():
    awaited = Steps(3)
    coro = ft.relay(awaited)
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        del coro
        gc.collect()
    assert awaited.log == ["close"]


def test_finalisation_error_is_unraisable_and_pending_exception_kept():
    coro = ft.relay(Steps(3, fail_close=OSError("late close")))
    coro.send(None)
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u.exc_value)
    try:
        try:
            raise KeyError("pending")
        except KeyError:
            del coro
            gc.collect()
            assert isinstance(sys.exception(), KeyError)
    finally:
        sys.unraisablehook = old
    assert [str(e) for e in seen] == ["late close"]


def test_cycle_through_a_suspended_coroutine_is_collected():
    awaited = Steps(3)
    log = awaited.log
    coro = ft.relay(awaited)
    coro.send(None)
    awaited.coro = coro  # coroutine -> awaited -> coroutine
    del coro, awaited
    gc.collect()
    assert log == ["close"]


def test_closure_records_are_released_and_reused():
    tool = tk.TrendKit()
    data = "payload-" + "x" * 10

    def record_of(coro):
        records = [r for r in gc.get_referents(coro) if type(r).__name__ == "closure_record"]
        assert len(records) == 1
        return records[0]

    before = sys.getrefcount(data)
    coros = [tool._arun(data) for _ in range(8)]
    assert sys.getrefcount(data) == before + 8
    ids = {id(record_of(c)) for c in coros}
    for c in coros:
        c.close()
    assert sys.getrefcount(data) == before  # the records hold nothing once released
    del coros
    again = [tool._arun(data) for _ in range(8)]
    assert {id(record_of(c)) for c in again} == ids
    for c in again:
        c.close()


def test_suspended_coroutines_do_not_leak(leaks):
    leaks.rounds = 500

    def driven():
        coro = ft.relay(Steps(2), catch=ValueError)
        coro.send(None)
        try:
            coro.throw(ValueError("x"))
        except StopIteration:
            pass

    def dropped():
        coro = ft.relay(Steps(2))
        coro.send(None)

    def awaited():
        asyncio.run(ft.relay(asyncio.sleep(0)))

    leaks.check(driven, per_call_bytes=16)
    leaks.check(dropped, per_call_bytes=16)
    leaks.check(awaited, rounds=100, per_call_bytes=256)


@pytest.mark.parametrize("first", ["orveksdk.trend_kit", "orveksdk._frame_testing"])
def test_suspending_whichever_module_shared_the_coroutine_type(python, first):
    # The coroutine type comes from whichever module was imported first; a
    # body of the other module must still be able to suspend in it.
    proc = python(f"""
        import importlib
        importlib.import_module({first!r})
        import orveksdk._frame_testing as ft
        import orveksdk.trend_kit as tk

        class Steps:
            def __await__(self):
                yield "step"
                return "fin"

        coro = ft.relay(Steps())
        other = tk.TrendKit()._arun("x")
        assert type(coro) is type(other)
        other.close()
        print(coro.send(None))
        try:
            coro.send(None)
        except StopIteration as stop:
            print(stop.value)
    """)
    assert proc.stdout.splitlines() == ["step", "('done', 'fin')"]


def test_a_coroutine_after_a_finalized_one_is_finalized_too(python):
    # The collector marks what it finalizes, and a released coroutine may
    # be kept for the next call: the next one must not carry the mark. (In
    # a fresh interpreter: pytest holds on to what its own frames saw.)
    out = python("""if True:
        import gc, warnings
        import orveksdk.trend_kit as tk
        for _ in range(3):
            box = []
            box.append(tk.TrendKit._arun(box, "x"))  # a cycle: the coroutine holds the list
            del box
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                gc.collect()
                coro = tk.TrendKit()._arun("y")
                print(gc.is_finalized(coro))
                del coro
            print(sum(str(w.message) == "coroutine 'TrendKit._arun' was never awaited"
                      for w in caught))
        """).stdout.split()
    assert out == ["False", "2"] * 3
