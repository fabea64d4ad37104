"""The trend_kit module namespace and its classes."""
import datetime as dt_module
import json
import re
import typing

import dateutil.parser
import pandas
import pydantic
import sklearn.linear_model
from langchain.tools import BaseTool
from langchain_core.tools import BaseTool as CoreBaseTool

import orveksdk.trend_kit as tk


def test_names_in_binding_order(python):
    proc = python("""
        import orveksdk.trend_kit as tk
        print(*[k for k in vars(tk) if not (k.startswith("__") and k != "__test__")])
    """)
    assert proc.stdout.split() == ["pd", "datetime", "timedelta", "parser", "LinearRegression", "re", "BaseModel",
                   "Field", "ClassVar", "Dict", "json", "BaseTool", "ForecastInput", "TrendKit", "conv_date",
                   "ts_forecast", "__test__"]
    assert not hasattr(tk, "__all__")


def test_bound_objects():
    assert tk.pd is pandas
    assert tk.datetime is dt_module.datetime and tk.timedelta is dt_module.timedelta
    assert tk.parser is dateutil.parser
    assert tk.LinearRegression is sklearn.linear_model.LinearRegression
    assert tk.re is re and tk.json is json
    assert tk.BaseModel is pydantic.BaseModel and tk.Field is pydantic.Field
    assert tk.ClassVar is typing.ClassVar and tk.Dict is typing.Dict
    assert tk.BaseTool is BaseTool is CoreBaseTool
    assert tk.__test__ == {} and type(tk.__test__) is dict


def test_forecast_input_model():
    cls = tk.ForecastInput
    assert issubclass(cls, pydantic.BaseModel)
    assert cls.__module__ == "orveksdk.trend_kit" and cls.__qualname__ == "ForecastInput"
    assert cls.__doc__ == "\n    Inputs for the forecasting function.\n    "
    assert cls.__annotations__ == {"df": "pd.DataFrame", "period": "int"}
    config = cls.__dict__.get("Config") or cls.Config
    assert config.__qualname__ == "ForecastInput.Config"
    assert config.__module__ == "orveksdk.trend_kit"
    assert config.arbitrary_types_allowed is True and config.__bases__ == (object,)
    assert "__doc__" not in vars(config) or config.__doc__ is None
    fields = cls.model_fields
    assert list(fields) == ["df", "period"]
    assert fields["df"].description == "Input dataset as a DataFrame"
    assert fields["period"].description == "The period to forecast"
    model = cls(df=pandas.DataFrame({"a": [1]}), period=3)
    assert model.period == 3 and isinstance(model.df, pandas.DataFrame)


def test_trend_kit_tool_class():
    cls = tk.TrendKit
    assert issubclass(cls, BaseTool)
    assert cls.__module__ == "orveksdk.trend_kit" and cls.__qualname__ == "TrendKit"
    assert cls.__doc__ == "Tool for time series forecasting."
    assert "__orig_bases__" not in vars(cls)
    tool = cls()
    assert tool.name == "forecast"
    assert tool.description == "\n    Use this tool for time series forecasting\n    "
    assert tool.args_schema is None
    # name and description are annotated, as pydantic 2 requires of a field
    # override; the ClassVar entries keep pydantic 2 from taking the two
    # methods (not plain Python functions) for private attributes.
    assert cls.__annotations__ == {"name": "str", "description": "str",
                                   "_run": typing.ClassVar, "_arun": typing.ClassVar}
    assert type(vars(cls)["_run"]) is type(tk.conv_date)
    assert type(vars(cls)["_arun"]) is type(tk.conv_date)
    assert vars(cls)["_run"].__doc__ == "Time series forecasting."
    assert vars(cls)["_arun"].__doc__ is None
    assert type(tool)._run is vars(cls)["_run"]
    assert "_run" not in getattr(cls, "__private_attributes__", {})


def test_methods_are_what_the_tool_runs():
    # A class body that let pydantic move _run out of the class made invoke
    # fall through to BaseTool._run and quietly return None.
    tool = tk.TrendKit()
    payload = ("{'data_input': {'date': ['2024-01-01', '2024-01-02', '2024-01-03'],"
               " 'values': [10, 12, 14]}, 'period': 2}")
    for result in (tool.invoke(payload), tool.run(payload)):
        assert isinstance(result, pandas.DataFrame)
        assert list(result["dates"]) == ["2024-01-04", "2024-01-05"]
