"""What a user installs: the binary wheels and the sdist that
scripts/wheels.sh makes, each installed into a fresh venv of its
interpreter, with nothing compiled on the way for a wheel.

scripts/test.sh runs this module last, with ORVEKSDK_DIST naming the folder
wheels.sh filled; the suite's runs on each stack leave it out."""
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DIST = os.environ.get("ORVEKSDK_DIST")
VERSION = "0.1.0"
PYTHONS = ("3.12", "3.13")

pytestmark = [
    pytest.mark.normal_build,
    pytest.mark.skipif(not DIST, reason="tests what scripts/wheels.sh made: scripts/test.sh "
                                        "runs it after wheels.sh, with ORVEKSDK_DIST"),
]

# Each interpreter's pins of today's releases, and the pinned line's (3.12 only).
CONSTRAINTS = {("latest", "3.12"): "constraints-latest.txt",
               ("latest", "3.13"): "constraints-latest-py313.txt",
               ("pinned", "3.12"): "constraints.txt"}
# Nothing may be compiled while a wheel installs: no compiler to be found.
NO_COMPILER = {"CC": "/bin/false", "CXX": "/bin/false", "PIP_ONLY_BINARY": ":all:"}


def run(*cmd, cwd=ROOT, env=None, timeout=900):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, **(env or {})}, timeout=timeout)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc


def find_python(version):
    """The interpreter the scripts use for `version`, or None."""
    proc = subprocess.run(["bash", "-c", f'root="{ROOT}"; source scripts/stack.sh; '
                                         f'find_python {version}'],
                          capture_output=True, text=True, cwd=ROOT)
    return proc.stdout.strip() if proc.returncode == 0 else None


def tag(version):
    return "cp" + version.replace(".", "")


def wheel_of(version):
    [path] = pathlib.Path(DIST).glob(f"orveksdk-{VERSION}-{tag(version)}-{tag(version)}-*.whl")
    return path


def fresh_venv(tmp_path, version):
    venv = tmp_path / "venv"
    run(find_python(version), "-m", "venv", venv)
    python = venv / "bin" / "python"
    return python, (python, "-m", "pip", "--disable-pip-version-check", "-q")


# What a user's first lines give: both modules from site-packages, a
# forecast, a tool and a construction.
USE = """if True:
    import orveksdk.trend_kit as tk, orveksdk.tablescope as ts
    import pandas as pd
    print(tk.__file__)
    print(ts.__file__)
    frame = tk.ts_forecast(pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"],
                                         "values": [1.0, 2.0]}), 2)
    print(list(frame["dates"]), list(frame["Forecasted_values"]))
    print(tk.TrendKit().name, ts.MySQLDatabaseTableScope("u", "p@", "h:1", "d").connection_string)
"""


def check_use(python, venv_dir, version):
    out = run(python, "-W", "ignore", "-c", USE, cwd=venv_dir).stdout.splitlines()
    site = venv_dir / "venv" / "lib" / f"python{version}" / "site-packages" / "orveksdk"
    suffix = f".cpython-{tag(version)[2:]}-x86_64-linux-gnu.so"
    assert [pathlib.Path(p).parent for p in out[:2]] == [site, site], out
    assert out[0].endswith("trend_kit" + suffix) and out[1].endswith("tablescope" + suffix), out
    assert out[2:] == ["['2024-01-03', '2024-01-04'] [3.0, 4.0]",
                       "forecast mysql+pymysql://u:p%40@h:1/d"]


def test_one_wheel_for_each_interpreter_and_the_sdist():
    names = sorted(p.name for p in pathlib.Path(DIST).iterdir())
    assert len(names) == 3, names
    assert names[-1] == f"orveksdk-{VERSION}.tar.gz"
    assert [wheel_of(v).name for v in PYTHONS] == names[:2]


@pytest.mark.parametrize("version", PYTHONS)
def test_the_wheel_is_manylinux_2_28_or_older(version):
    wheel = wheel_of(version)
    platforms = wheel.name[:-len(".whl")].split("-")[-1].split(".")
    glibc = [re.fullmatch(r"manylinux_2_(\d+)_x86_64", p) for p in platforms]
    assert all(glibc) and max(int(m.group(1)) for m in glibc) <= 28, platforms
    show = run(ROOT / ".venv-wheels" / "bin" / "auditwheel", "show", wheel).stdout
    consistent = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+'
                           r'"manylinux_2_(\d+)_x86_64"', show)
    assert consistent and int(consistent.group(1)) <= 28, show
    # Only libc is needed: nothing grafted, libstdc++ included.
    assert "libstdc++" not in show and "external shared libraries" not in show, show


@pytest.mark.parametrize("version", PYTHONS)
def test_the_wheel_holds_the_modules_and_their_stubs_only(version):
    wheel = wheel_of(version)
    names = set(zipfile.ZipFile(wheel).namelist())
    package = sorted(n for n in names
                     if not n.startswith(f"orveksdk-{VERSION}.dist-info/") and not n.endswith("/"))
    suffix = f".cpython-{tag(version)[2:]}-x86_64-linux-gnu.so"
    assert package == ["orveksdk/__init__.py", "orveksdk/py.typed",
                       "orveksdk/tablescope" + suffix, "orveksdk/tablescope.pyi",
                       "orveksdk/trend_kit" + suffix, "orveksdk/trend_kit.pyi"]
    metadata = zipfile.ZipFile(wheel).read(f"orveksdk-{VERSION}.dist-info/METADATA").decode()
    assert "Requires-Python: <3.14,>=3.12" in metadata
    # Lower bounds only (pydantic excepted): installed beside a current
    # stack, the package must not pull anything back to an older line.
    requires = sorted(line.split(": ", 1)[1] for line in metadata.splitlines()
                      if line.startswith("Requires-Dist: "))
    assert requires == [
        "PyMySQL>=1.1.1", "SQLAlchemy>=2.0.36", "langchain-core>=0.2.43", "langchain>=0.2.17",
        "numpy>=1.26", "pandas>=2.2", "pydantic<3,>=2.9", "python-dateutil>=2.9",
        "scikit-learn>=1.5"]


@pytest.mark.parametrize("version", PYTHONS)
def test_the_wheel_installs_beside_todays_stack_without_a_compiler(version, tmp_path):
    python, pip = fresh_venv(tmp_path, version)
    # A user's venv that already holds today's stack: installing the wheel,
    # unconstrained, must leave every one of them as it is.
    run(*pip, "install", "-c", ROOT / CONSTRAINTS["latest", version], "langchain", "pandas",
        "numpy", "SQLAlchemy", "pydantic", env=NO_COMPILER)
    before = set(run(*pip, "freeze").stdout.splitlines())
    run(*pip, "install", wheel_of(version), env=NO_COMPILER)
    after = set(run(*pip, "freeze").stdout.splitlines())
    assert before <= after, sorted(before - after)
    run(python, "-m", "pip", "check")
    check_use(python, tmp_path, version)


def test_the_wheel_installs_on_the_pinned_line(tmp_path):
    python, pip = fresh_venv(tmp_path, "3.12")
    run(*pip, "install", "-c", ROOT / CONSTRAINTS["pinned", "3.12"], wheel_of("3.12"),
        env=NO_COMPILER)
    assert "pandas==2.2.3" in run(*pip, "freeze").stdout.splitlines()
    check_use(python, tmp_path, "3.12")


@pytest.mark.parametrize("version", PYTHONS)
def test_the_sdist_builds_and_installs(version, tmp_path):
    python, pip = fresh_venv(tmp_path, version)
    # Built in isolation as pip builds it, its build backend pinned; the
    # dependencies as wheels.
    constraints = ROOT / CONSTRAINTS["latest", version]
    sdist = pathlib.Path(DIST) / f"orveksdk-{VERSION}.tar.gz"
    run(*pip, "install", "-c", constraints, "--only-binary=:all:", "--no-binary=orveksdk", sdist,
        env={"PIP_CONSTRAINT": str(constraints)})
    check_use(python, tmp_path, version)


def test_other_interpreters_are_refused_at_configure_time(tmp_path):
    """CPython 3.11 stands for every interpreter the package does not
    claim (3.14 and free-threaded builds are refused the same way)."""
    python = find_python("3.11")
    if python is None:
        pytest.skip("no CPython 3.11 on this machine to be refused")
    proc = subprocess.run(
        [os.path.join(os.path.dirname(sys.executable), "cmake"), "-S", ROOT, "-B", tmp_path / "b",
         f"-DPython_EXECUTABLE={python}"],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode != 0
    message = " ".join(proc.stderr.split())
    assert ("orveksdk builds only for CPython 3.12 and 3.13 (with the global interpreter lock); "
            "found Python 3.11.") in message, proc.stderr
    # pip refuses before building, from the metadata.
    _, pip = fresh_venv(tmp_path, "3.11")
    refused = subprocess.run([*map(str, pip), "install", "--no-deps",
                              pathlib.Path(DIST) / f"orveksdk-{VERSION}.tar.gz"],
                             capture_output=True, text=True, timeout=300)
    assert refused.returncode != 0
    assert "requires a different Python: 3.11." in refused.stderr, refused.stderr
