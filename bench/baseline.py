"""The statements of orveksdk.trend_kit and orveksdk.tablescope written as
plain Python, for the benchmarks only (never shipped). Each function does
what its compiled counterpart does, mended behaviour included, so that a
benchmark row compares the same work."""
import itertools
import logging
import os
import pickle
import stat
from datetime import datetime, timedelta

import pandas as pd
from dateutil import parser
from sklearn.linear_model import LinearRegression
from sqlalchemy import create_engine, inspect
from sqlalchemy.exc import SQLAlchemyError

_ALNUM = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
_counter = itertools.count(1)


def conv_date(dt: str) -> str:
    if type(dt) is not str:
        raise TypeError(f"Argument 'dt' has incorrect type (expected str, got {type(dt).__name__})")
    parsed_date = parser.parse(dt)
    standardized_date = parsed_date.strftime("%Y-%m-%d")
    return standardized_date


def ts_forecast(df: pd.DataFrame, period: int) -> pd.DataFrame:
    if type(period) is not int:
        raise TypeError("Argument 'period' has incorrect type "
                        f"(expected int, got {type(period).__name__})")
    df["timestamp"] = pd.to_datetime(df["timestamp"])
    dates = df["timestamp"]
    values = df["values"]
    df.set_index("timestamp", inplace=True)
    x = [(date - pd.Timestamp("1970-01-01")).days for date in dates]
    model = LinearRegression()
    model.fit([[x] for x in x], values)
    date_intervals = [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)]
    average_interval = sum(date_intervals) / len(date_intervals)
    last_date = dates.max()
    future_dates = [last_date + timedelta(days=i * average_interval) for i in range(1, period + 1)]
    forecast_x = [(date - datetime(1970, 1, 1)).days for date in future_dates]
    forecast = model.predict([[x] for x in forecast_x])
    forecast_dates = [date.strftime("%Y-%m-%d") for date in future_dates]
    forecast_df = pd.DataFrame({"dates": forecast_dates, "Forecasted_values": forecast})
    return forecast_df


class TrendKit:
    name = "forecast"

    def _run(self, input: str):
        if type(input) is not str:
            raise TypeError("Argument 'input' has incorrect type "
                            f"(expected str, got {type(input).__name__})")
        import json
        import re
        import traceback
        if "'" in input:
            input = input.replace("'", '"')
        try:
            input = json.loads(input)
            data = input["data_input"]
            dates = data["date"]
            sequence = data["values"]
            seq = []
            for val in sequence:
                if type(val) is str and re.match(r"Decimal\('[\d.]+'\)", val):
                    seq.append(float(re.match(r"Decimal\('[\d.]+'\)", val).group()[9:-2]))
                else:
                    seq.append(val)
            dates = [conv_date(d) for d in dates]
            df = pd.DataFrame({"timestamp": dates, "values": seq})
            period = input["period"]
            result = ts_forecast(df, period)
            if result.empty:
                return {"error": "Forecasting produced an empty DataFrame."}
            return result
        except Exception as e:
            traceback.print_exc()
            return {"error": str(e)}

    async def _arun(self, data: str):
        raise NotImplementedError("TrendKit does not support async")


def _tag(df, table_name):
    object.__setattr__(df, "name", table_name)
    df.attrs["name"] = table_name


def _is_url_host(text):
    if text.startswith("["):
        end = text.find("]")
        if end < 2 or any(c not in "0123456789abcdefABCDEF:." for c in text[1:end]):
            return False
        rest = text[end + 1:]
    else:
        name = text.split(":", 1)[0]
        if not name or name[0] not in _ALNUM or any(c not in _ALNUM and c not in ".-_" for c in name):
            return False
        rest = text[len(name):]
    if not rest:
        return True
    port = rest[1:]
    return rest[0] == ":" and 1 <= len(port) <= 5 and port.isascii() and port.isdigit() and int(port) <= 65535


def _names_url_structure(text):
    return any(c in text for c in "?#/")


def _refuse_irregular(path):
    mode = os.stat(path).st_mode
    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
        raise ValueError(f"not a regular file: {path!r}")


def _create_beside(path):
    """A new file beside `path`: its descriptor and its name."""
    name = f"{path}.{os.getpid()}-{next(_counter)}.tmp"
    return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW,
                   0o666), name


def _restore_tags(loaded):
    if type(loaded) is list:
        for df in loaded:
            if isinstance(df, pd.DataFrame) and isinstance(df.attrs, dict) and "name" in df.attrs:
                object.__setattr__(df, "name", df.attrs["name"])


class MySQLDatabaseTableScope:
    def __init__(self, username, password, host, database, cache_path=".",
                 cache_file="db_cache.pkl"):
        if not all([username, password, host, database]):
            raise ValueError("All connection parameters must be provided and not None.")
        from urllib.parse import quote
        user_text = quote(f"{username}", safe="")
        password_text = quote(f"{password}", safe="")
        host_text = f"{host}"
        database_text = f"{database}"
        if not _is_url_host(host_text):
            raise ValueError("host must be a host name, an IPv4 address or a bracketed IPv6 address, "
                             f"optionally followed by :port, got {host_text}")
        if _names_url_structure(database_text):
            raise ValueError(f"database name must not contain '?', '#' or '/', got {database_text}")
        self.connection_string = f"mysql+pymysql://{user_text}:{password_text}@{host_text}/{database_text}"
        self.engine = None
        self.cache_path = cache_path
        self.cache_file = cache_file
        logging.basicConfig(level=logging.INFO)

    def connect(self):
        try:
            previous = getattr(self, "engine", None)
            self.engine = create_engine(self.connection_string)
            if previous is not None and previous is not self.engine and hasattr(previous, "dispose"):
                previous.dispose()
            with self.engine.connect():
                pass
            logging.info("Successfully connected to the database.")
        except SQLAlchemyError as e:
            logging.error(f"Error connecting to the database: {e}")
            raise

    def prepare_data(self):
        cache_full_path = os.path.join(self.cache_path, self.cache_file)
        if os.path.exists(cache_full_path):
            try:
                _refuse_irregular(cache_full_path)
                with open(cache_full_path, "rb") as file:
                    loaded = pickle.load(file)
                    _restore_tags(loaded)
                    return loaded
            except Exception as e:
                logging.error(f"Error loading cache: {e}")
        if not self.engine:
            raise ConnectionError("Database connection not established.")
        dataframes = []
        try:
            with self.engine.connect() as connection:
                inspector = inspect(self.engine)
                for table_name in inspector.get_table_names():
                    df = pd.read_sql_table(table_name, connection)
                    _tag(df, table_name)
                    dataframes.append(df)
            descriptor, name = _create_beside(cache_full_path)
            try:
                with open(descriptor, "wb") as file:
                    pickle.dump(dataframes, file)
                    file.flush()
                    os.fsync(file.fileno())
                    os.replace(name, cache_full_path)
            finally:
                if os.path.exists(name):
                    os.unlink(name)
            return dataframes
        except Exception as e:
            logging.error(f"Error fetching tables: {e}")
            raise

    def print_table_schemas(self):
        if not self.engine:
            raise ConnectionError("Database connection not established.")
        try:
            inspector = inspect(self.engine)
            for table_name in inspector.get_table_names():
                print(f"Table: {table_name}")
                for column in inspector.get_columns(table_name):
                    print(f"  {column['name']}: {column['type']}")
        except Exception as e:
            logging.error(f"Error fetching table schemas: {e}")
            raise
