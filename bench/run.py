"""Benchmarks: each compiled entry point of orveksdk against the same
statements in plain Python (bench/baseline.py), side by side in one pyperf
run, then a table of medians and ratios.

    python bench/run.py [--quick] [-o results.json]

Started by scripts/bench.sh, which also starts the private MariaDB server
the database rows read from (its address in ORVEKSDK_BENCH_DB).
"""
import os
import sys
import tempfile
import time
import tracemalloc

import pyperf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

QUICK = "--quick" in sys.argv
if QUICK:
    sys.argv.remove("--quick")
TABLES, ROWS = 10, 10_000
TEXTS = ["2024-01-05", "January 5, 2024", "01/05/2024", "5 Jan 2024 10:30", "2024-01-05T10:30:00Z"]

# (row, kind, statement, exception caught or "()", fixture); kind names
# the bound the ratio must meet.
ROWS_TABLE = [
    ("ts_forecast(df, 1.0) refused", "refusal", "f(a, 1.0)", "TypeError", "forecast"),
    ("ts_forecast(df=df, period=1.0) refused", "refusal", "f(df=a, period=1.0)", "TypeError",
     "forecast"),
    ("conv_date() binding failure", "c-code", "f()", "TypeError", "conv"),
    ("conv_date(dt, extra=1) unexpected keyword", "c-code", "f(a, extra=1)", "TypeError", "conv"),
    ("ts_forecast.__name__", "c-code", "f.__name__", "()", "forecast"),
    ("ts_forecast.__doc__", "c-code", "f.__doc__", "()", "forecast"),
    ("ts_forecast.__annotations__", "c-code", "f.__annotations__", "()", "forecast"),
    ("_arun coroutine create and close", "c-code", "f(a).close()", "()", "arun"),
    ("MySQLDatabaseTableScope(...)", "construct", "f('user', 'p@ss', 'host:3306', 'db')", "()",
     "scope_class"),
    ("print_table_schemas() without engine", "connection-error", "f()", "ConnectionError",
     "schemas_no_engine"),
    ("prepare_data() without engine", "connection-error", "f()", "ConnectionError",
     "prepare_no_engine"),
    ("conv_date on 5 typical texts", "library", "for t in a: f(t)", "()", "conv"),
    ("conv_date on an ISO text", "iso", "f(a)", "()", "conv_iso"),
    ("conv_date('March 5, 2024 14:30'), the general path", "general", "f(a)", "()",
     "conv_general"),
    ("ts_forecast 10 rows, period 30", "library", "f(a.copy(), 30)", "()", "forecast_10"),
    ("ts_forecast 1,000 rows, period 30", "fast-1k", "f(a.copy(), 30)", "()", "forecast_1000"),
    ("ts_forecast 100,000 rows, period 30", "fast-100k", "f(a.copy(), 30)", "()",
     "forecast_100000"),
    ("ts_forecast 1,000 rows, period 10,000", "library", "f(a.copy(), 10_000)", "()",
     "forecast_1000"),
    ("ts_forecast 1,000 rows, reversed index, the general path", "general", "f(a.copy(), 30)",
     "()", "reversed_1000"),
    ("_run on a 30-row payload", "fast-run", "f(a)", "()", "run"),
    (f"prepare_data() cache hit, {TABLES} x {ROWS:,} rows", "library", "f()", "()", "cache_hit"),
    (f"prepare_data() database read, {TABLES} x {ROWS:,} rows", "db-read", "a(); f()", "()",
     "db_read"),
]
BOUNDS = {"refusal": 0.7, "construct": 0.7, "connection-error": 0.9, "c-code": 1.1,
          "library": 1.0, "iso": 0.3, "general": 1.05, "fast-1k": 0.5, "fast-100k": 0.1,
          "fast-run": 0.7, "db-read": 0.3, "db-read-1m": 0.15}
# The first read of each database, in fresh processes, compiled and plain
# alternated: (row, kind, address variable, rounds).
FRESH_READS = [
    (f"prepare_data() first read, {TABLES} x {ROWS:,} rows", "db-read", "ORVEKSDK_BENCH_DB", 5),
    ("prepare_data() first read, 1 x 1,000,000 rows", "db-read-1m", "ORVEKSDK_BENCH_BIG_DB", 3),
]
PEAK_PER_FRAME_BYTE = 2.5  # the compiled read's traced peak per byte of its frames


def loop_function(statement, catch):
    source = (
        "def loop(loops, f, a):\n"
        "    t0 = perf_counter()\n"
        "    for _ in range(loops):\n"
        "        try:\n"
        f"            {statement}\n"
        f"        except {catch}:\n"
        "            pass\n"
        "    return perf_counter() - t0\n")
    namespace = {"perf_counter": time.perf_counter}
    exec(source, namespace)  # noqa: S102 - our own fixed statements
    return namespace["loop"]


# ---------------------------------------------------------------------------
# What each row calls, made on first use in the worker that times it

_made = {}


def fixture(name, side):
    key = (name, side)
    if key not in _made:
        _made[key] = make(name, side)
    return _made[key]


def modules(side):
    if side == "compiled":
        import orveksdk.tablescope as ts
        import orveksdk.trend_kit as tk
        return tk, ts
    import baseline
    return baseline, baseline


def series(n):
    import pandas as pd
    return pd.DataFrame({"timestamp": pd.date_range("1800-01-01", periods=n, freq="D").astype(str),
                         "values": [i * 0.5 + (i % 7) for i in range(n)]})


def payload(n):
    import json
    import pandas as pd
    dates = pd.date_range("2024-01-01", periods=n, freq="D").strftime("%Y-%m-%d").tolist()
    return json.dumps({"data_input": {"date": dates, "values": list(range(n))}, "period": 7})


def db_address(variable="ORVEKSDK_BENCH_DB"):
    return os.environ[variable].split(",")  # host:port, user, password, database


def make(name, side):
    tk, ts = modules(side)
    if name == "forecast":
        return tk.ts_forecast, series(10)
    if name == "conv":
        return tk.conv_date, TEXTS
    if name == "conv_iso":
        return tk.conv_date, "2024-01-05"
    if name == "conv_general":
        return tk.conv_date, "March 5, 2024 14:30"
    if name == "reversed_1000":
        frame = series(1000)
        frame.index = frame.index[::-1]
        return tk.ts_forecast, frame
    if name == "arun":
        return tk.TrendKit()._arun, "x"
    if name == "scope_class":
        return ts.MySQLDatabaseTableScope, None
    if name in ("schemas_no_engine", "prepare_no_engine"):
        obj = ts.MySQLDatabaseTableScope("u", "p", "h", "d", "/nonexistent-cache-dir")
        return (obj.print_table_schemas if name == "schemas_no_engine" else obj.prepare_data), None
    if name.startswith("forecast_"):
        return tk.ts_forecast, series(int(name.split("_")[1]))
    if name == "run":
        return tk.TrendKit()._run, payload(30)
    host, user, password, database = db_address()
    where = tempfile.mkdtemp(prefix=f"orveksdk-bench-{side}-")
    obj = ts.MySQLDatabaseTableScope(user, password, host, database, where)
    obj.connect()
    cache = os.path.join(where, "db_cache.pkl")
    obj.prepare_data()  # writes the cache
    if name == "cache_hit":
        return obj.prepare_data, None
    return obj.prepare_data, lambda: os.remove(cache)


def timer(row):
    title, _, statement, catch, fixture_name = row
    loop = loop_function(statement, catch)

    def compiled(loops):
        f, a = fixture(fixture_name, "compiled")
        return loop(loops, f, a)

    def plain(loops):
        f, a = fixture(fixture_name, "plain")
        return loop(loops, f, a)
    return compiled, plain


# ---------------------------------------------------------------------------
# Rows measured once, outside pyperf

def read_sql_table_loop():
    """The database read done as a plain loop of pd.read_sql_table calls."""
    import pandas as pd
    import sqlalchemy
    host, user, password, database = db_address()
    engine = sqlalchemy.create_engine(f"mysql+pymysql://{user}:{password}@{host}/{database}")

    def loop(loops):
        t0 = time.perf_counter()
        for _ in range(loops):
            with engine.connect() as connection:
                for table_name in sqlalchemy.inspect(engine).get_table_names():
                    pd.read_sql_table(table_name, connection)
        return time.perf_counter() - t0
    return loop


def read_once(side, variable, memory=False):
    import json
    import subprocess
    command = [sys.executable, os.path.join(HERE, "read_one.py"), side, variable] + (["--memory"] if memory else [])
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def fresh_reads(variable, rounds):
    """Each side's first prepare_data in fresh processes, alternated: the
    median of the times, and one traced run each for the memory."""
    times = {"compiled": [], "plain": []}
    for _ in range(rounds):
        for side in times:
            times[side].append(read_once(side, variable))
    memory = {side: read_once(side, variable, memory=True) for side in times}
    return {side: (sorted(r["seconds"] for r in runs)[len(runs) // 2], runs[0], memory[side])
            for side, runs in times.items()}


def peak_memory(variable):
    """prepare_data's peak traced memory against the size of its frames."""
    import orveksdk.tablescope as ts
    host, user, password, database = db_address(variable)
    where = tempfile.mkdtemp(prefix="orveksdk-bench-memory-")
    obj = ts.MySQLDatabaseTableScope(user, password, host, database, where)
    obj.connect()
    obj.prepare_data()
    os.remove(os.path.join(where, "db_cache.pkl"))
    tracemalloc.start()
    frames = obj.prepare_data()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    size = sum(int(df.memory_usage(deep=True).sum()) for df in frames)
    return peak, size


class InProcess:
    """--quick: each row timed in this process (no worker processes), loops
    calibrated to about 20 ms a value, the median of five values."""

    def __init__(self, value_seconds=0.02, values=5):
        self.value_seconds, self.values = value_seconds, values

    def bench_time_func(self, name, func):
        loops = 1
        while True:
            took = func(loops)
            if took >= self.value_seconds or loops >= 1 << 24:
                break
            loops *= 2 if took <= 0 else max(2, min(10, int(self.value_seconds / took) + 1))
        values = sorted(func(loops) / loops for _ in range(self.values))
        print(f"{name}: {fmt(values[len(values) // 2])}", flush=True)
        return values[len(values) // 2]


def main():
    if QUICK:
        runner = InProcess()
    else:
        if "--worker" not in sys.argv:
            sys.argv.append("--inherit-environ=ORVEKSDK_BENCH_DB,ORVEKSDK_BENCH_BIG_DB,"
                            "MALLOC_TRIM_THRESHOLD_")
        runner = pyperf.Runner(processes=4, values=5)
    results = []
    for row in ROWS_TABLE:
        compiled, plain = timer(row)
        a = runner.bench_time_func(f"{row[0]} [compiled]", compiled)
        b = runner.bench_time_func(f"{row[0]} [plain]", plain)
        results.append((row, a, b))
    loop = read_sql_table_loop()
    c = runner.bench_time_func("prepare_data() database read [pd.read_sql_table loop]", loop)
    if not QUICK and runner.args.worker:
        return
    fresh = [((title, kind), fresh_reads(variable, 1 if QUICK else rounds))
             for title, kind, variable, rounds in FRESH_READS]
    report(results, c, fresh)


def median(bench):
    return bench if isinstance(bench, float) else bench.median()


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds:.3g} s"


def report(results, loop_bench, fresh):
    lines = ["| entry | compiled | plain Python | ratio | bound |", "|---|---|---|---|---|"]
    misses = []
    times = {}
    for (title, kind, *_), a, b in results:
        ca, pb = median(a), median(b)
        ratio = ca / pb
        times[title] = ca
        bound = BOUNDS[kind]
        mark = "" if ratio <= bound else " (over)"
        if mark:
            misses.append(title)
        lines.append(f"| {title} | {fmt(ca)} | {fmt(pb)} | {ratio:.2f}{mark} | {bound} |")
    read = [t for t in times if t.startswith("prepare_data() database read")][0]
    lm = median(loop_bench)
    lines.append(f"| prepare_data() database read vs. a plain pd.read_sql_table loop "
                 f"(the loop writes no cache) | {fmt(times[read])} | {fmt(lm)} | "
                 f"{times[read] / lm:.2f} | - |")
    reads = []
    for (title, kind, *_), sides in fresh:
        (ca, compiled, compiled_memory), (pb, _, plain_memory) = sides["compiled"], sides["plain"]
        ratio, bound = ca / pb, BOUNDS[kind]
        per_byte = compiled_memory["peak"] / compiled["frame_bytes"]
        over = ratio > bound or per_byte > PEAK_PER_FRAME_BYTE
        if over:
            misses.append(title)
        lines.append(f"| {title} | {fmt(ca)} | {fmt(pb)} | {ratio:.2f}{' (over)' if over else ''} | {bound} |")
        reads.append(f"{title}: {compiled['rows'] / ca:,.0f} rows/s compiled, {compiled['rows'] / pb:,.0f} "
                     f"rows/s plain; traced peak {compiled_memory['peak'] / 1e6:.0f} MB compiled, "
                     f"{plain_memory['peak'] / 1e6:.0f} MB plain, for {compiled['frame_bytes'] / 1e6:.1f} MB of "
                     f"DataFrames (x{per_byte:.2f} and x{plain_memory['peak'] / compiled['frame_bytes']:.2f}; "
                     f"bound x{PEAK_PER_FRAME_BYTE}); peak RSS {compiled['max_rss'] / 1e6:.0f} MB and "
                     f"{sides['plain'][1]['max_rss'] / 1e6:.0f} MB")
    per_row_1k = times["ts_forecast 1,000 rows, period 30"] / 1_000
    per_row_100k = times["ts_forecast 100,000 rows, period 30"] / 100_000
    memory = [(label, *peak_memory(variable)) for label, variable in (
        (f"{TABLES} x {ROWS:,} rows", "ORVEKSDK_BENCH_DB"),
        ("1 x 1,000,000 rows", "ORVEKSDK_BENCH_BIG_DB"))]
    print()
    print("\n".join(lines))
    print()
    print(f"ts_forecast time per row: {fmt(per_row_1k)} at 1,000 rows, {fmt(per_row_100k)} at "
          f"100,000 rows (x{per_row_100k / per_row_1k:.2f})")
    for label, peak, size in memory:
        print(f"prepare_data peak memory, {label}: {peak / 1e6:.1f} MB for {size / 1e6:.1f} MB of "
              f"DataFrames (x{peak / size:.2f})")
    for line in reads:
        print(line)
    if misses:
        print("over their bound: " + "; ".join(misses))


if __name__ == "__main__":
    main()
