"""Types of orveksdk.trend_kit, a native extension module."""
from typing import NoReturn

import pandas as pd
from langchain_core.tools import BaseTool
from pydantic import BaseModel

class ForecastInput(BaseModel):
    """Inputs for the forecasting function (defined, not attached to the tool)."""

    df: pd.DataFrame
    period: int

    class Config:
        arbitrary_types_allowed: bool

class TrendKit(BaseTool):
    """The LangChain tool "forecast".

    Its input is one text: a JSON object (single quotes allowed) holding
    "data_input": {"date": [date texts], "values": [numbers]} and the int
    "period". It answers with the frame of `ts_forecast`, or with
    {"error": text} when the work fails.
    """

    name: str = "forecast"
    description: str = ...
    def _run(self, input: str) -> pd.DataFrame | dict[str, str]: ...
    async def _arun(self, data: str) -> NoReturn:
        """Always raises NotImplementedError: the tool has no async form."""

def conv_date(dt: str) -> str:
    """The date written in `dt` (any form dateutil reads) as "%Y-%m-%d" text."""

def ts_forecast(df: pd.DataFrame, period: int) -> pd.DataFrame:
    """`period` dates past the last one of `df` (columns "timestamp" and
    "values"), in steps of the mean gap, with the values of the straight
    line fitted through the series: a frame with the columns "dates"
    ("%Y-%m-%d" texts) and "Forecasted_values". Converts `df["timestamp"]`
    and moves it into the index of `df`."""
