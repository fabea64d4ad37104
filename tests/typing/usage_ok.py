"""How the package is meant to be called; a type checker must accept all of it."""
import os
from pathlib import Path

import pandas as pd
from sqlalchemy.engine import Engine

from orveksdk.tablescope import MySQLDatabaseTableScope
from orveksdk.trend_kit import ForecastInput, TrendKit, conv_date, ts_forecast


def forecast_directly() -> list[str]:
    day: str = conv_date("March 5, 2024 14:30")
    series = {"timestamp": [day, "2024-03-06"], "values": [1.0, 2.0]}
    result: pd.DataFrame = ts_forecast(pd.DataFrame(series), 3)
    # a new frame: ts_forecast moves the caller's "timestamp" column into the index
    result = ts_forecast(df=pd.DataFrame(series), period=3)
    return [str(d) for d in result["dates"]]


def forecast_as_tool(payload: str) -> str:
    tool = TrendKit()
    name: str = tool.name
    answer = tool._run(payload)
    if isinstance(answer, dict):
        return name + ": " + answer["error"]
    values: "pd.Series[float]" = answer["Forecasted_values"]
    return name + ": " + str(values.tolist())


async def refuse_async(tool: TrendKit) -> None:
    try:
        await tool._arun("anything")
    except NotImplementedError:
        pass


def model() -> ForecastInput:
    return ForecastInput(df=pd.DataFrame(), period=30)


def load_tables(password: str, cache: Path) -> list[pd.DataFrame]:
    scope = MySQLDatabaseTableScope("reader", password, "127.0.0.1:3306", "sales", cache_path=cache)
    other = MySQLDatabaseTableScope("reader", password, "db", "sales", os.curdir, "other.pkl")
    if other.engine is None:
        scope.connect()
    engine: Engine | None = scope.engine
    assert engine is not None
    url: str = scope.connection_string
    scope.print_table_schemas()
    frames = scope.prepare_data()
    return [f for f in frames if url and len(f.attrs.get("name", "")) > 0]
