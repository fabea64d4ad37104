// The module body of orveksdk.trend_kit, run once by the execute step.
#include "frame/function.hpp"
#include "frame/ops.hpp"
#include "orveksdk/trend_kit/state.hpp"

namespace trend_kit {

using frame::Ref;
using frame::steal;

namespace {

constexpr frame::Where here{"init orveksdk.trend_kit"};

// A `def` inside the body: the function with its annotations attached.
Ref define(frame::FunctionDef& def, PyObject* annotations) {
    Ref function = frame::new_function(def);
    if (function && annotations) frame::set_annotations(function, annotations);
    return function;
}

// class ForecastInput(BaseModel): ...
int forecast_input() {
    Ref base = frame::global(n::BaseModel);                               if (!base) return here.fail();
    Ref bases = steal(PyTuple_Pack(1, base.get()));                        if (!bases) return here.fail();
    frame::ClassStatement cls;
    if (!cls.begin(n::ForecastInput, n::ForecastInput, bases, t::forecast_input_doc)) return here.fail();

    //     df: "pd.DataFrame" ; period: "int"
    Ref annotations = frame::make_dict({{n::df, t::pd_DataFrame}, {n::period, n::int_}});
    if (!annotations || cls.store(n::annotations, annotations) < 0)        return here.fail();

    //     class Config:
    //         arbitrary_types_allowed = True
    frame::PlainClassStatement config;
    if (!config.begin(t::config_qualname))                                 return here.fail();
    if (config.store(n::arbitrary_types_allowed, Py_True) < 0)             return here.fail();
    Ref config_class = config.create(n::Config);                           if (!config_class) return here.fail();
    if (cls.store(n::Config, config_class) < 0)                            return here.fail();

    //     df = Field(description="Input dataset as a DataFrame")
    Ref field = frame::global(n::Field);                                   if (!field) return here.fail();
    Ref kwargs = frame::make_dict({{n::description, t::df_description}});  if (!kwargs) return here.fail();
    Ref df = frame::call_dict(field, frame::state.empty_tuple, kwargs);    if (!df) return here.fail();
    if (cls.store(n::df, df) < 0)                                          return here.fail();

    //     period = Field(description="The period to forecast")
    field = frame::global(n::Field);                                       if (!field) return here.fail();
    kwargs = frame::make_dict({{n::description, t::period_description}});  if (!kwargs) return here.fail();
    Ref period = frame::call_dict(field, frame::state.empty_tuple, kwargs); if (!period) return here.fail();
    if (cls.store(n::period, period) < 0)                                  return here.fail();

    Ref created = cls.create();                                            if (!created) return here.fail();
    if (frame::bind(n::ForecastInput, created) < 0)                        return here.fail();
    return 0;
}

// class TrendKit(BaseTool): ...
int trend_kit_class() {
    Ref base = frame::global(n::BaseTool);                                 if (!base) return here.fail();
    Ref bases = steal(PyTuple_Pack(1, base.get()));                        if (!bases) return here.fail();
    frame::ClassStatement cls;
    if (!cls.begin(n::TrendKit, n::TrendKit, bases, t::trend_kit_doc))      return here.fail();

    // The class body annotates, so it starts with its own __annotations__.
    Ref class_annotations = steal(PyDict_New());                           if (!class_annotations) return here.fail();
    if (cls.store(n::annotations, class_annotations) < 0)                  return here.fail();

    //     name: str = "forecast"
    if (cls.store(n::name, t::forecast) < 0)                               return here.fail();
    if (PyObject_SetItem(class_annotations, n::name, n::str) < 0)          return here.fail();
    //     description: str = "\n    Use this tool for time series forecasting\n    "
    if (cls.store(n::description, t::tool_description) < 0)                return here.fail();
    if (PyObject_SetItem(class_annotations, n::description, n::str) < 0)   return here.fail();

    // pydantic 2 takes any underscore attribute that is not a plain Python
    // function for a private attribute and moves it out of the class; a
    // ClassVar annotation keeps both methods where BaseTool looks for them.
    //     _run: ClassVar
    Ref classvar = frame::global(n::ClassVar);                             if (!classvar) return here.fail();
    if (PyObject_SetItem(class_annotations, n::run, classvar) < 0)         return here.fail();
    //     def _run(self, input: str) -> Dict: ...
    Ref annotations = frame::make_dict({{n::input, n::str}, {n::return_, n::Dict}});
    if (!annotations)                                                      return here.fail();
    Ref run = define(run_def, annotations);                                if (!run) return here.fail();
    if (cls.store(n::run, run) < 0)                                        return here.fail();

    //     _arun: ClassVar
    classvar = frame::global(n::ClassVar);                                 if (!classvar) return here.fail();
    if (PyObject_SetItem(class_annotations, n::arun, classvar) < 0)        return here.fail();
    //     async def _arun(self, data: str) -> str: ...
    annotations = frame::make_dict({{n::data, n::str}, {n::return_, n::str}});
    if (!annotations)                                                      return here.fail();
    Ref arun = define(arun_def, annotations);                              if (!arun) return here.fail();
    if (cls.store(n::arun, arun) < 0)                                      return here.fail();

    Ref created = cls.create();                                            if (!created) return here.fail();
    if (frame::bind(n::TrendKit, created) < 0)                             return here.fail();
    return 0;
}

}  // namespace

int body(PyObject*, PyObject*) {
    // import pandas as pd
    Ref pandas = frame::import(n::pandas);                                 if (!pandas) return here.fail();
    if (frame::bind(n::pd, pandas) < 0)                                    return here.fail();
    // from datetime import datetime, timedelta
    if (frame::from_import(n::datetime, {&n::datetime, &n::timedelta}) < 0) return here.fail();
    // from dateutil import parser
    if (frame::from_import(n::dateutil, {&n::parser}) < 0)                 return here.fail();
    // from sklearn.linear_model import LinearRegression
    if (frame::from_import(n::sklearn_linear_model, {&n::LinearRegression}) < 0) return here.fail();
    // import re
    Ref re = frame::import(n::re);                                         if (!re) return here.fail();
    if (frame::bind(n::re, re) < 0)                                        return here.fail();
    // from pydantic import BaseModel, Field
    if (frame::from_import(n::pydantic, {&n::BaseModel, &n::Field}) < 0)   return here.fail();
    // from typing import ClassVar, Dict
    if (frame::from_import(n::typing, {&n::ClassVar, &n::Dict}) < 0)       return here.fail();
    // import json
    Ref json = frame::import(n::json);                                     if (!json) return here.fail();
    if (frame::bind(n::json, json) < 0)                                    return here.fail();
    // from langchain.tools import BaseTool
    if (frame::from_import(n::langchain_tools, {&n::BaseTool}) < 0)        return here.fail();

    if (forecast_input() < 0) return -1;
    if (trend_kit_class() < 0) return -1;

    // def conv_date(dt): ...
    Ref conv_date = define(conv_date_def, nullptr);                        if (!conv_date) return here.fail();
    if (frame::bind(n::conv_date, conv_date) < 0)                          return here.fail();

    // def ts_forecast(df: pd.DataFrame, period: int) -> pd.DataFrame: ...
    Ref annotations = frame::make_dict(
        {{n::df, t::pd_DataFrame}, {n::period, n::int_}, {n::return_, t::pd_DataFrame}});
    if (!annotations)                                                      return here.fail();
    Ref ts_forecast = define(ts_forecast_def, annotations);                if (!ts_forecast) return here.fail();
    if (frame::bind(n::ts_forecast, ts_forecast) < 0)                      return here.fail();

    // __test__ = {}
    Ref test = steal(PyDict_New());                                        if (!test) return here.fail();
    if (frame::bind(n::test, test) < 0)                                    return here.fail();
    return 0;
}

}  // namespace trend_kit
