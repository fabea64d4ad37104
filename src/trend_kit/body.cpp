// The module body of orveksdk.trend_kit, run once by the execute step.
#include "trend_kit/state.hpp"

namespace trend_kit {

using frame::dict;
using frame::global;

frame::Flow body(frame::Body& here) noexcept {
    // import pandas as pd
    DO(frame::import_as(n::pandas, n::pd));
    // from datetime import datetime, timedelta
    DO(frame::from_import(n::datetime, {&n::datetime, &n::timedelta}));
    // from dateutil import parser
    DO(frame::from_import(n::dateutil, {&n::parser}));
    // from sklearn.linear_model import LinearRegression
    DO(frame::from_import(n::sklearn_linear_model, {&n::LinearRegression}));
    // import re
    DO(frame::import_as(n::re, n::re));
    // from pydantic import BaseModel, Field
    DO(frame::from_import(n::pydantic, {&n::BaseModel, &n::Field}));
    // from typing import ClassVar, Dict
    DO(frame::from_import(n::typing, {&n::ClassVar, &n::Dict}));
    // import json
    DO(frame::import_as(n::json, n::json));
    // from langchain.tools import BaseTool
    DO(frame::from_import(n::langchain_tools, {&n::BaseTool}));

    // class ForecastInput(BaseModel):
    //     """\n    Inputs for the forecasting function.\n    """
    frame::ClassStatement forecast_input;
    DO(forecast_input.begin(n::ForecastInput, n::ForecastInput, frame::tuple({global(n::BaseModel)}),
                            t::forecast_input_doc));
    //     df: "pd.DataFrame"
    //     period: "int"
    DO(forecast_input.store(n::annotations, dict({{n::df, t::pd_DataFrame}, {n::period, n::int_}})));
    //     class Config:
    frame::PlainClassStatement config;
    DO(config.begin(n::Config, t::config_qualname));
    //         arbitrary_types_allowed = True
    DO(config.store(n::arbitrary_types_allowed, frame::True));
    DO(forecast_input.store(n::Config, config.create()));
    //     df = Field(description="Input dataset as a DataFrame")
    DO(forecast_input.store(n::df, global(n::Field)({frame::kw(n::description, t::df_description)})));
    //     period = Field(description="The period to forecast")
    DO(forecast_input.store(n::period,
                            global(n::Field)({frame::kw(n::description, t::period_description)})));
    DO(frame::bind(n::ForecastInput, forecast_input.create()));

    // class TrendKit(BaseTool):
    //     """Tool for time series forecasting."""
    frame::ClassStatement trend_kit;
    DO(trend_kit.begin(n::TrendKit, n::TrendKit, frame::tuple({global(n::BaseTool)}),
                       t::trend_kit_doc));
    // The class body annotates, so it starts with its own __annotations__.
    LET(annotations, dict({}));
    DO(trend_kit.store(n::annotations, annotations));
    //     name: str = "forecast"
    DO(trend_kit.store(n::name, t::forecast));
    DO(frame::setitem(annotations, n::name, n::str));
    //     description: str = "\n    Use this tool for time series forecasting\n    "
    DO(trend_kit.store(n::description, t::tool_description));
    DO(frame::setitem(annotations, n::description, n::str));
    // pydantic 2 takes any underscore attribute that is not a plain Python
    // function for a private attribute and moves it out of the class; a
    // ClassVar annotation keeps both methods where BaseTool looks for them.
    //     _run: ClassVar
    DO(frame::setitem(annotations, n::run, global(n::ClassVar)));
    //     def _run(self, input: str) -> Dict: ...
    DO(frame::def(trend_kit, "TrendKit._run", dict({{n::input, n::str}, {n::return_, n::Dict}})));
    //     _arun: ClassVar
    DO(frame::setitem(annotations, n::arun, global(n::ClassVar)));
    //     async def _arun(self, data: str) -> str: ...
    DO(frame::def(trend_kit, "TrendKit._arun", dict({{n::data, n::str}, {n::return_, n::str}})));
    DO(frame::bind(n::TrendKit, trend_kit.create()));

    // def conv_date(dt): ...
    DO(frame::def("conv_date"));
    // def ts_forecast(df: pd.DataFrame, period: int) -> pd.DataFrame: ...
    DO(frame::def("ts_forecast", dict({{n::df, t::pd_DataFrame}, {n::period, n::int_},
                                       {n::return_, t::pd_DataFrame}})));

    // __test__ = {}
    DO(frame::bind(n::test, dict({})));
    RETURN_NONE;
}

}  // namespace trend_kit
