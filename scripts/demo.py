"""The main job: orveksdk as a user meets it.

Starts a private MariaDB server in a folder under the repository, loads a
small sales database into it, then uses the package as a user would:
MySQLDatabaseTableScope -> connect -> print_table_schemas -> prepare_data
(twice: the second time from the cache file), takes the daily sales series
from the loaded frames, runs the "forecast" tool through LangChain (one
`tool.invoke` and one agent round trip driven by a fake chat model), prints
the forecast table and writes a PNG plot of history and forecast. The server
and its folder are removed at the end, whatever happens.

Usage: python -P scripts/demo.py [--workdir DIR] [--output PNG] [--period N]
"""
from __future__ import annotations

import argparse
import datetime as dt
import os
import random
import shutil
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Run with -P: the scripts folder is put on the path for the server helper.
sys.path.append(os.path.join(ROOT, "scripts"))
from private_mariadb import PrivateMariaDB  # noqa: E402

DATABASE = "sales"
USER = "analyst"
FIRST_DAY = dt.date(2024, 1, 1)
DAYS = 121  # January to April 2024
REGIONS = [(1, "North"), (2, "South"), (3, "West")]
PRODUCTS = [(1, "Espresso beans 1 kg", "coffee", "18.90"),
            (2, "Filter papers x100", "accessories", "4.20"),
            (3, "Hand grinder", "equipment", "64.00"),
            (4, "Oat milk 1 l", "dairy-free", "2.35")]


def sales_series(days=DAYS, seed=7):
    """(day, orders, revenue) per day: a rising trend, a weekly rhythm and
    some noise, the same on every run."""
    rng = random.Random(seed)
    weekly = [0.96, 0.97, 1.0, 1.01, 1.05, 1.09, 0.92]
    rows = []
    for t in range(days):
        day = FIRST_DAY + dt.timedelta(days=t)
        revenue = (1200 + 6.5 * t) * weekly[day.weekday()] + rng.gauss(0, 40)
        rows.append((day, int(revenue / 23.5), round(revenue, 2)))
    return rows


def load_sample_database(server, password):
    server.execute(
        f"CREATE DATABASE {DATABASE} CHARACTER SET utf8mb4",
        ("CREATE USER %s@'%%' IDENTIFIED BY %s", (USER, password)),
        f"GRANT SELECT ON {DATABASE}.* TO '{USER}'@'%'")
    server.execute(
        "CREATE TABLE regions (id INT PRIMARY KEY, name VARCHAR(32) NOT NULL)",
        "CREATE TABLE products (id INT PRIMARY KEY, name VARCHAR(64) NOT NULL,"
        " category VARCHAR(32) NOT NULL, unit_price DECIMAL(8,2) NOT NULL)",
        "CREATE TABLE daily_sales (sale_date DATE PRIMARY KEY, orders INT NOT NULL,"
        " revenue DECIMAL(10,2) NOT NULL)",
        database=DATABASE)
    conn = server.admin(DATABASE)
    try:
        with conn.cursor() as cur:
            cur.executemany("INSERT INTO regions VALUES (%s, %s)", REGIONS)
            cur.executemany("INSERT INTO products VALUES (%s, %s, %s, %s)", PRODUCTS)
            cur.executemany("INSERT INTO daily_sales VALUES (%s, %s, %s)", sales_series())
    finally:
        conn.close()


def by_name(frames, name):
    for frame in frames:
        if frame.attrs.get("name") == name:
            return frame
    raise LookupError(f"no table {name!r} among {[f.attrs.get('name') for f in frames]}")


def forecast_payload(sales, period):
    """The tool's input text, as an agent writes it: a Python literal."""
    return str({"data_input": {"date": [f"{d:%Y-%m-%d}" for d in sales["sale_date"]],
                               "values": [float(v) for v in sales["revenue"]]},
                "period": period})


def agent_round_trip(tool, payload):
    """One turn of a tool-calling agent: the fake model asks for the
    forecast, the agent runs the tool, the model answers. Returns the tool
    call the model made, what the tool gave the agent and the final answer.
    LangChain 1.x builds the agent with `create_agent` and hands the model a
    ToolMessage whose content is the frame's text; LangChain 0.2 runs an
    AgentExecutor, whose observation is the frame itself."""
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage, ToolMessage

    class ToolCallingFake(GenericFakeChatModel):
        def bind_tools(self, tools, **kwargs):
            return self

    call = {"name": tool.name, "args": {"input": payload}, "id": "call-forecast-1"}
    model = ToolCallingFake(messages=iter([
        AIMessage(content="", tool_calls=[call]),
        AIMessage(content="Here is the revenue forecast you asked for.")]))
    question = "Forecast daily revenue for the next weeks."
    try:
        from langchain.agents import create_agent
    except ImportError:
        from langchain.agents import AgentExecutor, create_tool_calling_agent
        from langchain_core.prompts import ChatPromptTemplate
        prompt = ChatPromptTemplate.from_messages(
            [("human", "{input}"), ("placeholder", "{agent_scratchpad}")])
        executor = AgentExecutor(agent=create_tool_calling_agent(model, [tool], prompt),
                                 tools=[tool], return_intermediate_steps=True,
                                 stream_runnable=False)
        result = executor.invoke({"input": question})
        [(action, observation)] = result["intermediate_steps"]
        return {"name": action.tool, "args": action.tool_input}, observation, result["output"]
    agent = create_agent(model, [tool])
    messages = agent.invoke({"messages": [{"role": "user", "content": question}]})["messages"]
    [reply] = [m for m in messages if isinstance(m, ToolMessage)]
    if reply.status != "success":
        raise RuntimeError(f"the tool call failed: {reply.content}")
    return call, reply.content, messages[-1].content


def plot(history, forecast, path):
    """History, the fitted line through it, and the forecast continuing
    that line, on one chart."""
    import logging

    import matplotlib
    matplotlib.use("Agg")
    # the root logger is at INFO (tablescope's logging set-up): keep
    # matplotlib's font-cache notice out of the demo's output
    logging.getLogger("matplotlib").setLevel(logging.WARNING)
    import matplotlib.pyplot as plt
    import pandas as pd

    days = pd.to_datetime(history["sale_date"])
    values = history["revenue"].astype(float)
    ahead = pd.to_datetime(forecast["dates"])
    predicted = forecast["Forecasted_values"].astype(float)
    # The forecast lies on one straight line; carried back over the history
    # it shows the fit that the forecast continues.
    slope = (predicted.iloc[-1] - predicted.iloc[0]) / max((ahead.iloc[-1] - ahead.iloc[0]).days, 1)
    back = [predicted.iloc[0] - slope * (ahead.iloc[0] - d).days for d in (days.iloc[0], days.iloc[-1])]
    fig, ax = plt.subplots(figsize=(10, 4.5), dpi=100)
    ax.plot(days, values, color="tab:blue", linewidth=1.3, label="daily revenue (history)")
    ax.plot([days.iloc[0], days.iloc[-1]], back, color="tab:orange", linewidth=1.0,
            linestyle=":", label="fitted line")
    ax.plot(ahead, predicted, color="tab:orange", linewidth=2.4, label="forecast")
    ax.axvline(days.iloc[-1], color="grey", linewidth=0.8, linestyle="--")
    ax.set_title("sales.daily_sales: revenue and forecast")
    ax.set_ylabel("revenue")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left")
    fig.autofmt_xdate()
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path)
    plt.close(fig)
    return fig


class Stages:
    """One progress line per stage, with the time it took."""

    def __init__(self, total):
        self.total, self.number, self.started = total, 0, time.monotonic()

    def __call__(self, text):
        self.number += 1
        print(f"\n[{self.number}/{self.total}] {text}  (t={time.monotonic() - self.started:.1f} s)",
              flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", default=os.path.join(ROOT, ".demo"),
                        help="folder for the private server and the cache file; removed at the end")
    parser.add_argument("--output", default=os.path.join(ROOT, "demo-output", "forecast.png"),
                        help="where the PNG plot goes")
    parser.add_argument("--period", type=int, default=30, help="days to forecast")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(line_buffering=True)

    import secrets

    import pandas as pd

    from orveksdk.tablescope import MySQLDatabaseTableScope
    from orveksdk.trend_kit import TrendKit

    stage = Stages(8)
    shutil.rmtree(args.workdir, ignore_errors=True)  # what a killed run left
    server = PrivateMariaDB(base=os.path.join(args.workdir, "mariadb"))
    try:
        stage(f"starting a private MariaDB server in {server.base}")
        os.makedirs(server.base, exist_ok=True)
        server.start()
        host = f"{server.host}:{server.port}"
        print(f"listening on {host}")

        stage(f"loading the sample database {DATABASE!r}")
        password = secrets.token_urlsafe(12)
        load_sample_database(server, password)
        print(f"tables regions, products, daily_sales ({DAYS} days from {FIRST_DAY})")

        stage("MySQLDatabaseTableScope(...).connect()")
        cache_path = os.path.join(args.workdir, "cache")
        os.makedirs(cache_path, exist_ok=True)
        scope = MySQLDatabaseTableScope(USER, password, host, DATABASE, cache_path=cache_path)
        scope.connect()

        stage("print_table_schemas()")
        scope.print_table_schemas()

        stage("prepare_data(): from the database, then from the cache file")
        began = time.perf_counter()
        frames = scope.prepare_data()
        first = time.perf_counter() - began
        cache = os.path.join(cache_path, "db_cache.pkl")
        print(f"{len(frames)} tables read from the database in {first * 1000:.1f} ms;"
              f" cache file {cache} ({os.path.getsize(cache):,} bytes)")
        # A scope that never connects has no engine: only the cache can answer.
        offline = MySQLDatabaseTableScope(USER, password, host, DATABASE, cache_path=cache_path)
        began = time.perf_counter()
        cached = offline.prepare_data()
        second = time.perf_counter() - began
        assert offline.engine is None
        print(f"{len(cached)} tables from the cache file in {second * 1000:.1f} ms"
              f" by a scope that never connected (engine {offline.engine})")
        print(f"table count: {len(cached)}")
        for frame in cached:
            print(f"  {frame.attrs['name']}: {len(frame)} rows, columns {list(frame.columns)}")

        stage(f"tool.invoke(payload): the 'forecast' tool, {args.period} days ahead")
        sales = by_name(cached, "daily_sales")
        payload = forecast_payload(sales, args.period)
        tool = TrendKit()
        print(f"payload: {len(sales)} days, {len(payload):,} characters: {payload[:90]}...")
        forecast = tool.invoke(payload)
        if not isinstance(forecast, pd.DataFrame):
            raise RuntimeError(f"the forecast failed: {forecast}")
        with pd.option_context("display.max_rows", None, "display.width", 100):
            print(forecast.to_string())

        stage("an agent round trip: a fake chat model calls the tool")
        call, observation, answer = agent_round_trip(tool, payload)
        if isinstance(observation, pd.DataFrame):
            answered = f"DataFrame {observation.shape}"
            same = observation.equals(forecast)
        else:
            answered = f"the frame as text ({len(observation):,} characters)"
            same = observation == str(forecast)
        print(f"agent called {call['name']!r} with {len(call['args']['input']):,} characters"
              f" of input; the tool answered {answered}; same forecast as tool.invoke: {same}")
        print(f"agent: {answer}")

        stage("plotting history and forecast")
        plot(sales, forecast, args.output)
        print(f"plot: {os.path.abspath(args.output)}")
    finally:
        server.cleanup()
        shutil.rmtree(args.workdir, ignore_errors=True)
    print(f"\ndone in {time.monotonic() - stage.started:.1f} s; server and {args.workdir} removed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
