"""Shared fixtures: subprocess runner and the leak check."""
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

# Subprocesses must import the installed build, never the source tree: the
# source folder orveksdk/trend_kit/ would shadow the extension module.
os.environ["PYTHONSAFEPATH"] = "1"


class Leaks:
    """Runs a call many times; fails when Python-level memory or the
    reference counts of its arguments grow with the number of calls."""

    def __init__(self, rounds=2000, warmup=200):
        self.rounds = rounds
        self.warmup = warmup

    def check(self, fn, *args, expect=None, rounds=None, per_call_bytes=8, **kwargs):
        rounds = rounds or self.rounds

        def once():
            try:
                fn(*args, **kwargs)
            except BaseException as exc:  # noqa: BLE001 - compared below
                if expect is None or not isinstance(exc, expect):
                    raise
            else:
                if expect is not None:
                    raise AssertionError(f"{fn!r} did not raise {expect}")

        for _ in range(self.warmup):
            once()
        gc.collect()
        refcounts = [sys.getrefcount(a) for a in args]
        tracemalloc.start()
        try:
            for _ in range(rounds):
                once()
            gc.collect()
            first, _ = tracemalloc.get_traced_memory()
            for _ in range(rounds):
                once()
            gc.collect()
            second, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        growth = second - first
        assert growth < rounds * per_call_bytes, (
            f"memory grew by {growth} bytes over {rounds} calls of {fn!r}")
        after = [sys.getrefcount(a) for a in args]
        assert after == refcounts, f"argument reference counts changed: {refcounts} -> {after}"


@pytest.fixture
def leaks():
    return Leaks()


def run_python(code, *, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter of this venv, outside the source tree."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, cwd="/", env=full_env, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def python():
    return run_python


def frame_names(exc):
    """The names of the traceback entries of `exc`, innermost last."""
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


@pytest.fixture
def tb_names():
    return frame_names
