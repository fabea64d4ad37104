"""`pip wheel .` builds a wheel that installs into a fresh venv and imports."""
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.normal_build


def run(*cmd, cwd=ROOT, env=None, timeout=900):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, **(env or {})}, timeout=timeout)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc


@pytest.fixture(scope="module")
def wheel(tmp_path_factory, constraints):
    out = tmp_path_factory.mktemp("wheel")
    # An isolated build, as a user's `pip wheel .` makes it; the constraints
    # pin the build backend it installs. Its own build folder keeps it apart
    # from the development build.
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", out,
        "-C", f"build-dir={out / 'build'}", ".",
        env={"PIP_CONSTRAINT": constraints, "ORVEKSDK_TESTING": "OFF"})
    [path] = out.glob("orveksdk-*.whl")
    return path


def test_wheel_holds_the_modules_and_their_stubs_only(wheel):
    assert wheel.name.startswith("orveksdk-0.1.0-cp312-cp312-linux_")
    names = set(zipfile.ZipFile(wheel).namelist())
    package = sorted(n for n in names if not n.startswith("orveksdk-0.1.0.dist-info/"))
    assert [n.split(".")[0] if n.endswith(".so") else n for n in package] == [
        "orveksdk/__init__.py", "orveksdk/py.typed", "orveksdk/tablescope",
        "orveksdk/tablescope.pyi", "orveksdk/trend_kit", "orveksdk/trend_kit.pyi"]
    assert all(".cpython-312-" in n for n in package if n.endswith(".so"))
    metadata = zipfile.ZipFile(wheel).read("orveksdk-0.1.0.dist-info/METADATA").decode()
    assert "Requires-Python: <3.13,>=3.12" in metadata
    # Lower bounds only (pydantic excepted): installed beside a current
    # stack, the package must not pull anything back to an older line.
    requires = sorted(line.split(": ", 1)[1] for line in metadata.splitlines()
                      if line.startswith("Requires-Dist: "))
    assert requires == [
        "PyMySQL>=1.1.1", "SQLAlchemy>=2.0.36", "langchain-core>=0.2.43", "langchain>=0.2.17",
        "numpy>=1.26", "pandas>=2.2", "pydantic<3,>=2.9", "python-dateutil>=2.9",
        "scikit-learn>=1.5"]


def test_wheel_installs_into_a_fresh_venv_and_imports(wheel, tmp_path, stack, constraints):
    venv = tmp_path / "venv"
    run(sys._base_executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    pip = (python, "-m", "pip", "--disable-pip-version-check", "-q")
    if stack == "latest":
        # A user's venv that already holds today's stack: installing the
        # wheel, unconstrained, must leave every one of them as it is.
        run(*pip, "install", "-c", constraints, "langchain", "pandas", "numpy", "SQLAlchemy",
            "pydantic")
        before = run(*pip, "freeze").stdout
        run(*pip, "install", wheel)
        after = run(*pip, "freeze").stdout
        kept = {line for line in before.splitlines()}
        assert kept <= set(after.splitlines()), sorted(kept - set(after.splitlines()))
    else:
        run(*pip, "install", "-c", constraints, wheel)
    run(python, "-m", "pip", "check")
    proc = run(python, "-P", "-c", """if True:
        import orveksdk.trend_kit as tk, orveksdk.tablescope as ts
        import pandas as pd
        print(tk.__file__)
        print(ts.__file__)
        frame = tk.ts_forecast(pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"],
                                             "values": [1.0, 2.0]}), 2)
        print(list(frame["dates"]), list(frame["Forecasted_values"]))
        print(tk.TrendKit().name, ts.MySQLDatabaseTableScope("u", "p", "h", "d").connection_string)
        """, cwd=tmp_path)
    lines = proc.stdout.splitlines()
    site = venv / "lib" / "python3.12" / "site-packages" / "orveksdk"
    assert pathlib.Path(lines[0]).parent == site and lines[0].endswith(".so")
    assert pathlib.Path(lines[1]).parent == site and lines[1].endswith(".so")
    assert lines[2] == "['2024-01-03', '2024-01-04'] [3.0, 4.0]"
    assert lines[3] == "forecast mysql+pymysql://u:p@h/d"
