// The function bodies of orveksdk.trend_kit. Each step is the Python
// statement in the comment above it; a failing step adds the function's
// traceback entry at its own line.
#include "frame/function.hpp"
#include "frame/ops.hpp"
#include "orveksdk/trend_kit/state.hpp"

namespace trend_kit {

using frame::borrow;
using frame::call;
using frame::call_method;
using frame::format_field;
using frame::getattr;
using frame::getitem;
using frame::global;
using frame::join_text;
using frame::Ref;
using frame::steal;

namespace {

PyTypeObject* const exact_str_second[] = {nullptr, &PyUnicode_Type};
PyTypeObject* const exact_int_second[] = {nullptr, &PyLong_Type};

// `.days` of `a - b`.
Ref days_between(PyObject* a, PyObject* b) {
    Ref difference = steal(PyNumber_Subtract(a, b));
    if (!difference) return {};
    return getattr(difference, n::days);
}

// [[x] for x in items]
Ref one_element_rows(PyObject* items) {
    Ref rows = steal(PyList_New(0));
    if (!rows) return {};
    if (frame::for_each(items, [&](PyObject* x) {
            Ref row = frame::make_list({x});
            return row ? PyList_Append(rows, row) : -1;
        }) < 0)
        return {};
    return rows;
}

// float(match.group()[9:-2]): the number between the quotes of a decimal
// text Decimal('<digits and points>'); nothing in the text is evaluated.
// re may be rebound, so the match and its group are any objects, sliced and
// converted as the Python expression would.
Ref decimal_text_value(PyObject* match) {
    Ref literal = call_method(match, n::group);  // the whole match
    if (!literal) return {};
    Ref digits = steal(PyObject_GetItem(literal, tuples.decimal_digits));
    if (!digits) return {};
    return steal(PyNumber_Float(digits));
}

}  // namespace

// ---------------------------------------------------------------------------
// def conv_date(dt):

PyObject* conv_date(PyObject*, PyObject* const* args);
constexpr const char* conv_date_vars[] = {"dt", "parsed_date", "standardized_date"};
frame::FunctionDef conv_date_def{
    .name = "conv_date", .qualname = "conv_date", .entry = conv_date, .argcount = 1,
    .required = 1, .varnames = conv_date_vars, .line = __LINE__};

PyObject* conv_date(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{"orveksdk.trend_kit.conv_date"};
    PyObject* dt = args[0];

    // parsed_date = parser.parse(dt)
    Ref parser = global(n::parser);                                        if (!parser) return here.fail();
    Ref parsed_date = call_method(parser, n::parse, {dt});                 if (!parsed_date) return here.fail();
    // standardized_date = parsed_date.strftime("%Y-%m-%d")
    Ref standardized_date = call_method(parsed_date, n::strftime, {t::date_format});
    if (!standardized_date)                                                return here.fail();
    // return standardized_date
    return standardized_date.release();
}

// ---------------------------------------------------------------------------
// def ts_forecast(df, period):

PyObject* ts_forecast(PyObject*, PyObject* const* args);
constexpr const char* ts_forecast_vars[] = {
    "df", "period", "dates", "values", "x", "model", "date_intervals", "average_interval",
    "last_date", "forecast_dates", "forecast_x", "forecast", "future_dates", "forecast_df",
    "date", "x", "i", "i", "date", "x", "date"};
frame::FunctionDef ts_forecast_def{
    .name = "ts_forecast", .qualname = "ts_forecast", .entry = ts_forecast, .argcount = 2,
    .required = 2, .varnames = ts_forecast_vars,
    .doc = "\n    Perform time series forecasting on a DataFrame with two columns (date and values).\n"
           "\n    Args:\n        df (pd.DataFrame): The DataFrame containing time series data with two columns.\n"
           "        period (int): The number of periods into the future to forecast.\n"
           "\n    Returns:\n        pd.DataFrame: A DataFrame with date and forecasted values.\n"
           "\n    Example Usage:\n    df = pd.read_csv('sales_data.csv')  # Load your data\n"
           "    forecasted_data = ts_forecast(df, 30)\n    ",
    .exact_types = exact_int_second, .line = __LINE__};

PyObject* ts_forecast(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{"orveksdk.trend_kit.ts_forecast"};
    PyObject* df = args[0];
    PyObject* period = args[1];

    // df["timestamp"] = pd.to_datetime(df["timestamp"])
    Ref pd = global(n::pd);                                                if (!pd) return here.fail();
    Ref to_datetime = getattr(pd, n::to_datetime);                         if (!to_datetime) return here.fail();
    Ref column = getitem(df, t::timestamp);                                if (!column) return here.fail();
    Ref converted = call(to_datetime, {column});                           if (!converted) return here.fail();
    if (frame::setitem(df, t::timestamp, converted) < 0)                   return here.fail();

    // dates = df["timestamp"]
    Ref dates = getitem(df, t::timestamp);                                 if (!dates) return here.fail();
    // values = df["values"]
    Ref values = getitem(df, t::values);                                   if (!values) return here.fail();

    // df.set_index("timestamp", inplace=True)
    Ref set_index = getattr(df, n::set_index);                             if (!set_index) return here.fail();
    Ref kwargs = frame::make_dict({{n::inplace, Py_True}});                if (!kwargs) return here.fail();
    Ref ignored = frame::call_dict(set_index, tuples.timestamp, kwargs);   if (!ignored) return here.fail();

    // x = [(date - pd.Timestamp("1970-01-01")).days for date in dates]
    Ref x = steal(PyList_New(0));                                          if (!x) return here.fail();
    if (frame::for_each(dates, [&](PyObject* date) -> int {
            Ref pd = global(n::pd);                                        if (!pd) return -1;
            Ref Timestamp = getattr(pd, n::Timestamp);                     if (!Timestamp) return -1;
            Ref epoch = call(Timestamp, {t::epoch});                       if (!epoch) return -1;
            Ref days = days_between(date, epoch);                          if (!days) return -1;
            return PyList_Append(x, days) < 0 ? -1 : 0;
        }) < 0)
        return here.fail();

    // model = LinearRegression()
    Ref LinearRegression = global(n::LinearRegression);                    if (!LinearRegression) return here.fail();
    Ref model = call(LinearRegression);                                    if (!model) return here.fail();

    // model.fit([[x] for x in x], values)
    Ref fit = getattr(model, n::fit);                                      if (!fit) return here.fail();
    Ref rows = one_element_rows(x);                                        if (!rows) return here.fail();
    ignored = call(fit, {rows, values});                                   if (!ignored) return here.fail();

    // date_intervals = [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)]
    Py_ssize_t length = PyObject_Length(dates);                            if (length < 0) return here.fail();
    Ref date_intervals = steal(PyList_New(0));                             if (!date_intervals) return here.fail();
    for (Py_ssize_t k = 0; k < length - 1; k++) {
        Ref i = steal(PyLong_FromSsize_t(k));                              if (!i) return here.fail();
        Ref next_key = steal(PyNumber_Add(i, one));                        if (!next_key) return here.fail();
        Ref later = frame::getitem_int(dates, next_key);                   if (!later) return here.fail();
        Ref earlier = frame::getitem_int(dates, i);                        if (!earlier) return here.fail();
        Ref days = days_between(later, earlier);                           if (!days) return here.fail();
        if (PyList_Append(date_intervals, days) < 0)                       return here.fail();
    }

    // average_interval = sum(date_intervals) / len(date_intervals)
    Ref total = call(b_sum, {date_intervals});                             if (!total) return here.fail();
    Ref count = steal(PyLong_FromSsize_t(PyList_GET_SIZE(date_intervals.get())));
    if (!count)                                                            return here.fail();
    Ref average_interval = steal(PyNumber_TrueDivide(total, count));       if (!average_interval) return here.fail();

    // last_date = dates.max()
    Ref last_date = call_method(dates, n::max);                            if (!last_date) return here.fail();

    // future_dates = [last_date + timedelta(days=i * average_interval) for i in range(1, period + 1)]
    Ref stop = steal(PyNumber_Add(period, one));                           if (!stop) return here.fail();
    Ref steps = call(b_range, {one, stop});                                if (!steps) return here.fail();
    Ref future_dates = steal(PyList_New(0));                               if (!future_dates) return here.fail();
    if (frame::for_each(steps, [&](PyObject* i) -> int {
            Ref timedelta = global(n::timedelta);                          if (!timedelta) return -1;
            Ref offset = steal(PyNumber_Multiply(i, average_interval));    if (!offset) return -1;
            Ref kwargs = frame::make_dict({{n::days, offset}});            if (!kwargs) return -1;
            Ref delta = frame::call_dict(timedelta, frame::state.empty_tuple, kwargs);
            if (!delta)                                                    return -1;
            Ref future = steal(PyNumber_Add(last_date, delta));            if (!future) return -1;
            return PyList_Append(future_dates, future) < 0 ? -1 : 0;
        }) < 0)
        return here.fail();

    // forecast_x = [(date - datetime(1970, 1, 1)).days for date in future_dates]
    Ref forecast_x = steal(PyList_New(0));                                 if (!forecast_x) return here.fail();
    if (frame::for_each(future_dates, [&](PyObject* date) -> int {
            Ref datetime = global(n::datetime);                            if (!datetime) return -1;
            Ref epoch = steal(PyObject_Call(datetime, tuples.epoch_date, nullptr));
            if (!epoch)                                                    return -1;
            Ref days = days_between(date, epoch);                          if (!days) return -1;
            return PyList_Append(forecast_x, days) < 0 ? -1 : 0;
        }) < 0)
        return here.fail();

    // forecast = model.predict([[x] for x in forecast_x])
    Ref predict = getattr(model, n::predict);                              if (!predict) return here.fail();
    rows = one_element_rows(forecast_x);                                   if (!rows) return here.fail();
    Ref forecast = call(predict, {rows});                                  if (!forecast) return here.fail();

    // forecast_dates = [date.strftime("%Y-%m-%d") for date in future_dates]
    Ref forecast_dates = steal(PyList_New(0));                             if (!forecast_dates) return here.fail();
    if (frame::for_each(future_dates, [&](PyObject* date) -> int {
            Ref text = call_method(date, n::strftime, {t::date_format});   if (!text) return -1;
            return PyList_Append(forecast_dates, text) < 0 ? -1 : 0;
        }) < 0)
        return here.fail();

    // forecast_df = pd.DataFrame({"dates": forecast_dates, "Forecasted_values": forecast})
    pd = global(n::pd);                                                    if (!pd) return here.fail();
    Ref DataFrame = getattr(pd, n::DataFrame);                             if (!DataFrame) return here.fail();
    Ref columns = frame::make_dict({{t::dates, forecast_dates}, {t::Forecasted_values, forecast}});
    if (!columns)                                                          return here.fail();
    Ref forecast_df = call(DataFrame, {columns});                          if (!forecast_df) return here.fail();

    // return forecast_df
    return forecast_df.release();
}

// ---------------------------------------------------------------------------
// class TrendKit(BaseTool):
//     def _run(self, input: str) -> Dict:

PyObject* run(PyObject*, PyObject* const* args);
constexpr const char* run_vars[] = {"self", "input", "traceback", "data", "dates", "sequence", "seq",
                                    "val", "df", "period", "result", "e", "d"};
frame::FunctionDef run_def{
    .name = "_run", .qualname = "TrendKit._run", .entry = run, .argcount = 2, .required = 2,
    .varnames = run_vars, .doc = "Time series forecasting.", .exact_types = exact_str_second,
    .line = __LINE__};

PyObject* run(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{"orveksdk.trend_kit.TrendKit._run"};
    Ref input = borrow(args[1]);

    // import traceback
    Ref traceback = frame::import(n::traceback);                           if (!traceback) return here.fail();

    // if "'" in input: input = input.replace("'", '"')
    int quoted = PyUnicode_Contains(input, t::quote);                      if (quoted < 0) return here.fail();
    if (quoted) {
        input = steal(PyUnicode_Replace(input, t::quote, t::double_quote, -1));
        if (!input)                                                        return here.fail();
    }

    // try:
    Ref result = [&]() -> Ref {
        // input = json.loads(input)
        Ref json = global(n::json);                                        if (!json) return here.fail();
        Ref loads = getattr(json, n::loads);                               if (!loads) return here.fail();
        input = call(loads, {input});                                      if (!input) return here.fail();
        // data = input["data_input"]
        Ref data = getitem(input, t::data_input);                          if (!data) return here.fail();
        // dates = data["date"]
        Ref dates = getitem(data, t::date);                                if (!dates) return here.fail();
        // sequence = data["values"]
        Ref sequence = getitem(data, t::values);                           if (!sequence) return here.fail();
        // seq = []
        Ref seq = steal(PyList_New(0));                                    if (!seq) return here.fail();

        // for val in sequence:
        //     if type(val) is str and re.match(r"Decimal\('[\d.]+'\)", val):
        //         seq.append(<the number between the quotes>)
        //     else:
        //         seq.append(val)
        if (frame::for_each(sequence, [&](PyObject* val) -> int {
                if (PyUnicode_CheckExact(val)) {
                    Ref re = global(n::re);                                if (!re) return -1;
                    Ref match = call_method(re, n::match, {t::decimal_pattern, val});
                    if (!match)                                            return -1;
                    int matched = frame::truth(match);                     if (matched < 0) return -1;
                    if (matched) {
                        Ref number = decimal_text_value(match);            if (!number) return -1;
                        return PyList_Append(seq, number) < 0 ? -1 : 0;
                    }
                }
                return PyList_Append(seq, val) < 0 ? -1 : 0;
            }) < 0)
            return here.fail();

        // dates = [conv_date(d) for d in dates]
        Ref normalised = steal(PyList_New(0));                             if (!normalised) return here.fail();
        if (frame::for_each(dates, [&](PyObject* d) -> int {
                Ref conv_date = global(n::conv_date);                      if (!conv_date) return -1;
                Ref text = call(conv_date, {d});                           if (!text) return -1;
                return PyList_Append(normalised, text) < 0 ? -1 : 0;
            }) < 0)
            return here.fail();
        dates = std::move(normalised);

        // df = pd.DataFrame({"timestamp": dates, "values": seq})
        Ref pd = global(n::pd);                                            if (!pd) return here.fail();
        Ref DataFrame = getattr(pd, n::DataFrame);                         if (!DataFrame) return here.fail();
        Ref columns = frame::make_dict({{t::timestamp, dates}, {t::values, seq}});
        if (!columns)                                                      return here.fail();
        Ref df = call(DataFrame, {columns});                               if (!df) return here.fail();

        // period = input["period"]
        Ref period = getitem(input, t::period);                            if (!period) return here.fail();
        // if type(period) is int and period > 100_000:
        //     raise ValueError(f"period must be at most 100000, got {period}")
        // (an agent's payload must not ask for an unbounded frame)
        if (PyLong_CheckExact(period.get())) {
            int over = PyObject_RichCompareBool(period, max_period, Py_GT);    if (over < 0) return here.fail();
            if (over) {
                Ref text = format_field(period);                           if (!text) return here.fail();
                Ref message = join_text({t::period_too_large, text});     if (!message) return here.fail();
                PyErr_SetObject(PyExc_ValueError, message);
                return here.fail();
            }
        }

        // result = ts_forecast(df, period)
        Ref ts_forecast = global(n::ts_forecast);                          if (!ts_forecast) return here.fail();
        Ref result = call(ts_forecast, {df, period});                      if (!result) return here.fail();

        // if result.empty: return {"error": "Forecasting produced an empty DataFrame."}
        Ref empty = getattr(result, n::empty);                             if (!empty) return here.fail();
        int is_empty = frame::truth(empty);                                if (is_empty < 0) return here.fail();
        if (is_empty) {
            Ref error = frame::make_dict({{t::error, t::empty_forecast}}); if (!error) return here.fail();
            return error;
        }
        // return result
        return result;
    }();
    if (result) return result.release();

    // except Exception as e:
    if (!frame::pending_matches(PyExc_Exception)) return nullptr;
    frame::Handler handler;
    PyObject* e = handler.exception();
    //     traceback.print_exc()
    Ref printed = call_method(traceback, n::print_exc);                    if (!printed) return here.fail();
    //     return {"error": str(e)}
    Ref text = steal(PyObject_Str(e));                                     if (!text) return here.fail();
    Ref error = frame::make_dict({{t::error, text}});                      if (!error) return here.fail();
    return error.release();
}

// ---------------------------------------------------------------------------
//     async def _arun(self, data: str) -> str:

PyObject* arun(PyObject*, PyObject* const* args);
constexpr const char* arun_vars[] = {"self", "data"};
frame::FunctionDef arun_def{
    .name = "_arun", .qualname = "TrendKit._arun", .entry = arun, .argcount = 2, .required = 2,
    .varnames = arun_vars, .flags = frame::kAsync, .exact_types = exact_str_second,
    .line = __LINE__};

// The coroutine body, run on the first resumption.
PyObject* arun(PyObject*, PyObject* const*) {
    static constexpr frame::Where here{"_arun"};
    // raise NotImplementedError("TrendKit does not support async")
    Ref exc = steal(PyObject_Call(b_NotImplementedError, tuples.async_refusal, nullptr));
    if (!exc)                                                              return here.fail();
    frame::raise(exc);
    return here.fail();
}

}  // namespace trend_kit
