"""Calls a type checker must refuse: every line marked "# error" is one."""
import pandas as pd

from orveksdk.tablescope import MySQLDatabaseTableScope
from orveksdk.trend_kit import TrendKit, conv_date, ts_forecast

frame = pd.DataFrame({"timestamp": ["2024-01-01"], "values": [1.0]})
ts_forecast(frame, "30")  # error
ts_forecast(frame, 30.0)  # error
ts_forecast(frame)  # error
ts_forecast([1, 2], 30)  # error
conv_date(20240101)  # error
day: int = conv_date("2024-01-01")  # error
TrendKit()._run(b"{}")  # error
listed: list[str] = ts_forecast(frame, 3)  # error
scope = MySQLDatabaseTableScope("reader", "secret", "localhost")  # error
scope.prepare_data(True)  # error
scope.connection_string = 5  # error
first: str = scope.prepare_data()[0]  # error
scope.connect().close()  # error
MySQLDatabaseTableScope("u", "p", "h", "d", cache_dir=".")  # error
