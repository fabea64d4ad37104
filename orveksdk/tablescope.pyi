"""Types of orveksdk.tablescope, a native extension module."""
import os

import pandas as pd
from sqlalchemy.engine import Engine

class MySQLDatabaseTableScope:
    """Every table of one MySQL (MariaDB) database as a DataFrame, through a
    pickle cache file, and a report of the tables' columns."""

    connection_string: str
    engine: Engine | None
    cache_path: str | os.PathLike[str]
    cache_file: str | os.PathLike[str]
    def __init__(
        self,
        username: str,
        password: str,
        host: str,
        database: str,
        cache_path: str | os.PathLike[str] = ".",
        cache_file: str | os.PathLike[str] = "db_cache.pkl",
    ) -> None:
        """Raises ValueError when one of the four credentials is false."""

    def connect(self) -> None:
        """Creates `engine` and proves it with one connection; logs and re-raises a failure."""

    def prepare_data(self) -> list[pd.DataFrame]:
        """Every table, each frame tagged with its table name (`df.name`,
        `df.attrs["name"]`): from the cache file when it loads, otherwise
        read through `engine` and written to the cache file."""

    def print_table_schemas(self) -> None:
        """Prints each table's columns and types to standard output."""
