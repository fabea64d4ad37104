// The function bodies of orveksdk.trend_kit, each statement below the
// Python statement it implements. The fast paths the statements may take
// are in iso_date.* and day_counts.*; each is one guarded call on the line
// of the statement it stands in for.
#include "trend_kit/day_counts.hpp"
#include "trend_kit/iso_date.hpp"
#include "trend_kit/state.hpp"

namespace trend_kit {

using frame::global;
using frame::Handle;
using frame::kw;
using frame::Ref;

// ---------------------------------------------------------------------------
// def conv_date(dt):

DEF(conv_date, {.qualname = "conv_date", .argcount = 1,
                .varnames = {"dt", "parsed_date", "standardized_date"}}) {
    Handle dt = here.arg(0);
    // (a "YYYY-MM-DD" text answers itself, as the two statements give it)
    RETURN_FAST(iso_date::answer(dt));
    // parsed_date = parser.parse(dt)
    LET(parsed_date, global(n::parser).attr(n::parse)(dt));
    // standardized_date = parsed_date.strftime("%Y-%m-%d")
    LET(standardized_date, parsed_date.attr(n::strftime)(t::date_format));
    // return standardized_date
    RETURN(standardized_date);
}

// ---------------------------------------------------------------------------
// def ts_forecast(df, period):

DEF(ts_forecast, {
    .qualname = "ts_forecast", .argcount = 2,
    .varnames = {"df", "period", "dates", "values", "x", "model", "date_intervals",
                 "average_interval", "last_date", "forecast_dates", "forecast_x", "forecast",
                 "future_dates", "forecast_df", "date", "x", "i", "i", "date", "x", "date"},
    .doc = "\n    Perform time series forecasting on a DataFrame with two columns (date and values).\n"
           "\n    Args:\n        df (pd.DataFrame): The DataFrame containing time series data with two columns.\n"
           "        period (int): The number of periods into the future to forecast.\n"
           "\n    Returns:\n        pd.DataFrame: A DataFrame with date and forecasted values.\n"
           "\n    Example Usage:\n    df = pd.read_csv('sales_data.csv')  # Load your data\n"
           "    forecasted_data = ts_forecast(df, 30)\n    ",
    .exact_types = {nullptr, &PyLong_Type}}) {
    Handle df = here.arg(0);
    Handle period = here.arg(1);

    // df["timestamp"] = pd.to_datetime(df["timestamp"])
    DO(frame::setitem(df, t::timestamp, global(n::pd).attr(n::to_datetime)(df[t::timestamp])));
    // dates = df["timestamp"]
    LET(dates, df[t::timestamp]);
    // values = df["values"]
    LET(values, df[t::values]);
    // df.set_index("timestamp", inplace=True)
    DO(df.attr(n::set_index)({t::timestamp, kw(n::inplace, frame::True)}));

    // x = [(date - pd.Timestamp("1970-01-01")).days for date in dates]
    LET(x, frame::fast_or(day_counts::since_epoch(dates), [&] {
        return frame::list_of(dates, [&](Handle date) {
            return date.sub(global(n::pd).attr(n::Timestamp)(t::epoch)).attr(n::days);
        });
    }));
    // model = LinearRegression()
    LET(model, global(n::LinearRegression)());
    // model.fit([[x] for x in x], values)
    DO(model.attr(n::fit)({frame::list_of(x, [](Handle x) { return frame::list({x}); }), values}));

    // date_intervals = [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)]
    LET(date_intervals, frame::fast_or(day_counts::intervals(dates), [&] {
        return frame::list_of(b_range(frame::len(dates).sub(one)), [&](Handle i) {
            return dates[i.add(one)].sub(dates[i]).attr(n::days);
        });
    }));
    // average_interval = sum(date_intervals) / len(date_intervals)
    LET(average_interval, b_sum(date_intervals).div(frame::len(date_intervals)));
    // last_date = dates.max()
    LET(last_date, dates.attr(n::max)());

    // future_dates = [last_date + timedelta(days=i * average_interval) for i in range(1, period + 1)]
    LET(future_dates, frame::list_of(b_range({one, period.add(one)}), [&](Handle i) {
        return last_date.add(global(n::timedelta)({kw(n::days, i.mul(average_interval))}));
    }));
    // forecast_x = [(date - datetime(1970, 1, 1)).days for date in future_dates]
    LET(forecast_x, frame::list_of(future_dates, [&](Handle date) {
        return date.sub(global(n::datetime)({year_1970, one, one})).attr(n::days);
    }));
    // forecast = model.predict([[x] for x in forecast_x])
    LET(forecast, model.attr(n::predict)(
                      frame::list_of(forecast_x, [](Handle x) { return frame::list({x}); })));
    // forecast_dates = [date.strftime("%Y-%m-%d") for date in future_dates]
    LET(forecast_dates, frame::list_of(future_dates, [](Handle date) {
        return date.attr(n::strftime)(t::date_format);
    }));

    // forecast_df = pd.DataFrame({"dates": forecast_dates, "Forecasted_values": forecast})
    LET(forecast_df, global(n::pd).attr(n::DataFrame)(
                         frame::dict({{t::dates, forecast_dates}, {t::Forecasted_values, forecast}})));
    // return forecast_df
    RETURN(forecast_df);
}

// ---------------------------------------------------------------------------
// class TrendKit(BaseTool):
//     def _run(self, input: str) -> Dict:

DEF(run, {.qualname = "TrendKit._run", .argcount = 2,
          .varnames = {"self", "input", "traceback", "data", "dates", "sequence", "seq", "val", "df",
                       "period", "result", "e", "d"},
          .doc = "Time series forecasting.", .exact_types = {nullptr, &PyUnicode_Type}}) {
    Ref input = frame::borrow(here.arg(1));

    // import traceback
    LET(traceback, frame::import(n::traceback));
    // if "'" in input:
    IF (frame::contains(input, t::quote)) {
        // input = input.replace("'", '"')
        SET(input, input.attr(n::replace)({t::quote, t::double_quote}));
    }

    // try:
    TRY {
        // input = json.loads(input)
        SET(input, global(n::json).attr(n::loads)(input));
        // data = input["data_input"]
        LET(data, input[t::data_input]);
        // dates = data["date"]
        LET(dates, data[t::date]);
        // sequence = data["values"]
        LET(sequence, data[t::values]);
        // seq = []
        LET(seq, frame::list({}));
        // for val in sequence:
        FOR (val, sequence) {
            // if type(val) is str and (match := re.match(r"Decimal\('[\d.]+'\)", val)):
            //   (match is a temporary: the code object's locals are the function's own)
            LET(match, frame::type_is(val, b_str)
                           ? global(n::re).attr(n::match)({t::decimal_pattern, val})
                           : frame::borrow(frame::None));
            IF (match) {
                // seq.append(float(match.group()[9:-2]))   (nothing in the text is evaluated)
                DO(frame::append(seq, frame::to_float(match.attr(n::group)()[frame::slice(nine, minus_two)])));
            } else {
                // seq.append(val)
                DO(frame::append(seq, val));
            }
        }
        // dates = [conv_date(d) for d in dates]
        SET(dates, frame::list_of(dates, [](Handle d) { return global(n::conv_date)(d); }));
        // df = pd.DataFrame({"timestamp": dates, "values": seq})
        LET(df, global(n::pd).attr(n::DataFrame)(frame::dict({{t::timestamp, dates}, {t::values, seq}})));
        // period = input["period"]
        LET(period, input[t::period]);
        // if type(period) is int and period > 100_000:   (an agent must not ask for an unbounded frame)
        IF (frame::and_(frame::type_is(period, b_int), [&] { return period.gt(max_period); })) {
            // raise ValueError(f"period must be at most 100000, got {period}")
            RAISE(b_ValueError(frame::fstring({t::period_too_large, period})));
        }
        // result = ts_forecast(df, period)
        LET(result, global(n::ts_forecast)({df, period}));
        // if result.empty:
        IF (result.attr(n::empty)) {
            // return {"error": "Forecasting produced an empty DataFrame."}
            RETURN(frame::dict({{t::error, t::empty_forecast}}));
        }
        // return result
        RETURN(result);
    // except Exception as e:
    } EXCEPT (e, b_Exception) {
        // traceback.print_exc()
        DO(traceback.attr(n::print_exc)());
        // return {"error": str(e)}
        RETURN(frame::dict({{t::error, frame::str(e)}}));
    } END_TRY;
    // (not reached: both blocks return)
    RETURN_NONE;
}

// ---------------------------------------------------------------------------
//     async def _arun(self, data: str) -> str:

DEF(arun, {.qualname = "TrendKit._arun", .argcount = 2, .varnames = {"self", "data"},
           .flags = frame::kAsync, .exact_types = {nullptr, &PyUnicode_Type}}) {
    // raise NotImplementedError("TrendKit does not support async")
    RAISE(b_NotImplementedError(t::async_refusal));
}

}  // namespace trend_kit
