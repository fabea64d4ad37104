"""The demo (the README's main job) end to end, and its plot."""
import os
import subprocess
import sys

import matplotlib.image
import numpy as np
import pandas as pd
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLUE, ORANGE = (0x1F, 0x77, 0xB4), (0xFF, 0x7F, 0x0E)  # tab:blue, tab:orange


def run_demo(tmp_path, *args):
    return subprocess.run(
        [sys.executable, os.path.join(ROOT, "scripts", "demo.py"),
         "--workdir", str(tmp_path / "work"), "--output", str(tmp_path / "out" / "forecast.png"),
         *args],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)


def servers_in(folder):
    """Processes whose command line names a data directory under `folder`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        if any(a.startswith(f"--datadir={folder}") for a in args):
            found.append(pid)
    return found


def pixels_of(png, colour):
    image = (matplotlib.image.imread(png)[..., :3] * 255).round().astype(int)
    return int((np.abs(image - colour).sum(axis=-1) < 30).sum())


def test_demo_runs_end_to_end(tmp_path):
    proc = run_demo(tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout
    stages = [line for line in out.splitlines() if line.startswith("[")]
    assert [s.split("]")[0] for s in stages] == [f"[{i}/8" for i in range(1, 9)]
    for table, column in (("daily_sales", "  revenue: DECIMAL(10, 2)"),
                          ("products", "  unit_price: DECIMAL(8, 2)"),
                          ("regions", "  name: VARCHAR(32)")):
        assert f"Table: {table}\n" in out and column in out
    assert "3 tables read from the database" in out
    assert "3 tables from the cache file" in out and "never connected (engine None)" in out
    assert "table count: 3" in out
    assert "  daily_sales: 121 rows, columns ['sale_date', 'orders', 'revenue']" in out
    table = out[out.index("         dates  Forecasted_values"):].splitlines()[1:31]
    assert table[0].split()[:2] == ["0", "2024-05-01"] and table[-1].split()[:2] == ["29", "2024-05-30"]
    assert "same forecast as tool.invoke: True" in out
    assert "agent: Here is the revenue forecast you asked for." in out
    assert "Successfully connected to the database." in proc.stderr
    png = tmp_path / "out" / "forecast.png"
    assert f"plot: {png}" in out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert pixels_of(png, BLUE) > 500 and pixels_of(png, ORANGE) > 500
    # the server, its data and the cache file are gone
    assert not (tmp_path / "work").exists()
    assert servers_in(tmp_path) == []


def test_demo_cleans_up_when_a_stage_fails(tmp_path):
    # period 0: the tool answers with its error dictionary, which the demo reports
    proc = run_demo(tmp_path, "--period", "0")
    assert proc.returncode != 0
    assert "RuntimeError: the forecast failed: {'error': " in proc.stderr
    assert "table count: 3" in proc.stdout
    assert not (tmp_path / "work").exists()
    assert servers_in(tmp_path) == []
    assert not (tmp_path / "out").exists()


def test_plot_draws_history_and_the_forecast_continuing_its_line(tmp_path, project_module):
    demo = project_module(os.path.join("scripts", "demo.py"), "demo")
    days = pd.date_range("2024-01-01", periods=10, freq="D")
    history = pd.DataFrame({"sale_date": days, "revenue": [10.0 + 2 * i + (i % 2) for i in range(10)]})
    forecast = pd.DataFrame({"dates": [f"2024-01-{d:02d}" for d in (11, 12, 13)],
                             "Forecasted_values": [30.5, 32.5, 34.5]})
    fig = demo.plot(history, forecast, str(tmp_path / "p" / "plot.png"))
    [shown, fitted, ahead] = fig.axes[0].get_lines()[:3]
    assert list(shown.get_ydata()) == list(history["revenue"])
    assert list(ahead.get_ydata()) == [30.5, 32.5, 34.5]
    # the fitted line runs under the history and meets the forecast's slope:
    # 2 a day, so 28.5 on the last history day and 10.5 on the first
    np.testing.assert_allclose(fitted.get_ydata(), [10.5, 28.5])
    assert pixels_of(tmp_path / "p" / "plot.png", ORANGE) > 100


def test_sample_series_is_fixed_and_rising(project_module):
    demo = project_module(os.path.join("scripts", "demo.py"), "demo")
    rows = demo.sales_series()
    assert rows == demo.sales_series() and len(rows) == demo.DAYS
    assert str(rows[0][0]) == "2024-01-01" and str(rows[-1][0]) == "2024-04-30"
    first, last = np.mean([r[2] for r in rows[:28]]), np.mean([r[2] for r in rows[-28:]])
    assert last > first * 1.3
