"""The type stubs: mypy accepts the usage file and refuses the wrong calls,
stubtest finds the stubs true to the built modules, and the usage file runs."""
import asyncio
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pandas as pd
import pytest

import orveksdk

HERE = pathlib.Path(__file__).resolve().parent / "typing"
INSTALLED = pathlib.Path(orveksdk.__file__).parent


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


@pytest.fixture
def mypy(tmp_path, mypy_cache):
    """mypy of this venv, run outside the source tree, so that the
    orveksdk it sees is the installed one."""
    def run(*args):
        proc = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
             "--hide-error-context", "--cache-dir", str(mypy_cache), *map(str, args)],
            capture_output=True, text=True, cwd=tmp_path, timeout=300)
        return proc.returncode, proc.stdout + proc.stderr
    return run


def test_stubs_are_installed_beside_the_modules():
    for name in ("trend_kit.pyi", "tablescope.pyi", "py.typed"):
        assert (INSTALLED / name).is_file(), name


@pytest.mark.normal_build
def test_usage_file_type_checks(tmp_path, mypy):
    shutil.copy(HERE / "usage_ok.py", tmp_path)
    code, out = mypy("usage_ok.py")
    assert code == 0 and out.strip() == "", out


@pytest.mark.normal_build
def test_stubs_themselves_are_strict_clean(tmp_path, mypy):
    package = tmp_path / "orveksdk"
    package.mkdir()
    (package / "__init__.py").touch()
    for name in ("trend_kit.pyi", "tablescope.pyi"):
        shutil.copy(INSTALLED / name, package)
    code, out = mypy("-p", "orveksdk")
    assert code == 0 and out.strip() == "", out


@pytest.mark.normal_build
def test_wrong_calls_are_flagged_line_by_line(tmp_path, mypy):
    source = (HERE / "usage_wrong.py").read_text()
    marked = {n for n, line in enumerate(source.splitlines(), 1) if line.endswith("# error")}
    assert len(marked) >= 10
    shutil.copy(HERE / "usage_wrong.py", tmp_path)
    code, out = mypy("usage_wrong.py")
    flagged = {int(m[1]) for m in re.finditer(r"^usage_wrong\.py:(\d+): error:", out, re.M)}
    assert code == 1
    assert flagged == marked, out


@pytest.mark.normal_build
def test_stubs_match_the_runtime_modules(tmp_path, mypy_cache):
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(HERE / "stubtest_allowlist.txt"),
         "--ignore-unused-allowlist",
         "orveksdk.trend_kit", "orveksdk.tablescope"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
        env={**os.environ, "MYPY_CACHE_DIR": str(mypy_cache)})
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_usage_file_runs_as_typed(db, tmp_path, project_module):
    """What the usage file does type-checked, it also does for real: the
    stubs' result types are the objects the modules return."""
    usage = project_module(os.path.join("tests", "typing", "usage_ok.py"), "usage_ok")
    assert usage.forecast_directly() == ["2024-03-07", "2024-03-08", "2024-03-09"]
    payload = str({"data_input": {"date": ["2024-01-01", "2024-01-02"], "values": [1, 2]},
                   "period": 2})
    assert usage.forecast_as_tool(payload) == "forecast: [3.0, 4.0]"
    assert usage.forecast_as_tool("not a payload").startswith("forecast: ")
    asyncio.run(usage.refuse_async(usage.TrendKit()))
    assert usage.model().period == 30

    scope_class = usage.MySQLDatabaseTableScope

    class Scope(scope_class):
        """The usage file's scope, pointed at the test server's account."""

        def __init__(self, username, password, host, database, *args, **kwargs):
            super().__init__(db.user, db.password, db.host, db.small_name, *args, **kwargs)

    usage.MySQLDatabaseTableScope = Scope
    frames = usage.load_tables("unused", tmp_path)
    assert [f.attrs["name"] for f in frames] == ["t"]
    assert isinstance(frames[0], pd.DataFrame)
    assert (tmp_path / "db_cache.pkl").is_file()
