// The function bodies of orveksdk.trend_kit, each statement below the
// Python statement it implements.
#include "orveksdk/trend_kit/state.hpp"

#include <cstdint>
#include <cstring>

namespace trend_kit {

using frame::global;
using frame::Handle;
using frame::kw;
using frame::Ref;

// ---------------------------------------------------------------------------
// Fast paths
//
// Each is taken only when a cheap check proves it gives exactly what the
// general statements give, as the interpreter's specialised instructions
// are; otherwise the general statements run as written. The checks include
// that the module names the statements use are still bound to the objects
// they were bound to at import: a caller who rebinds one changes what the
// body calls, exactly as before.

namespace {

// A type's own attribute, as the interpreter finds it (borrowed; null when absent).
PyObject* type_attribute(Handle type, const frame::Name& name) noexcept {
    return PyType_Check(type.ptr())
               ? _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), name.ptr())
               : nullptr;
}

}  // namespace

// Pins what the fast paths check against, once the body has bound the
// module's names. Whatever is not the library's own stays unpinned, and
// the fast paths that check it are never taken.
int pin_fast_path_objects() noexcept {
    Ref pd = global(n::pd);
    pin::pd.set(pd);
    pin::Timestamp.set_if_from(pd.attr(n::Timestamp), "pandas", "Timestamp");
    pin::Series.set_if_from(pd.attr(n::Series), "pandas", "Series");
    pin::RangeIndex.set_if_from(pd.attr(n::RangeIndex), "pandas", "RangeIndex");
    pin::series_iter.set_if_from(type_attribute(pin::Series, n::iter), "pandas");
    pin::series_getitem.set_if_from(type_attribute(pin::Series, n::getitem), "pandas");
    Ref parser = global(n::parser);
    pin::parser.set(parser);
    pin::parse.set_if_from(parser.attr(n::parse), "dateutil.parser", "parse");
    PyErr_Clear();
    return 0;
}

namespace {

// A datetime64 Series read as int64 counts of its unit since the epoch:
// engaged for an exact pandas Series (whose iteration and item access are
// pandas' own) of a naive datetime64 dtype in s, ms, us or ns, without NaT,
// whose values expose one contiguous int64 buffer.
class DatetimeCounts {
public:
    DatetimeCounts() noexcept = default;
    DatetimeCounts(const DatetimeCounts&) = delete;
    DatetimeCounts& operator=(const DatetimeCounts&) = delete;
    ~DatetimeCounts() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Whether the Series is of that kind; looking never fails (what went
    // wrong while looking is for the general statements to meet).
    bool read(Handle dates) noexcept {
        bool ok = look(dates);
        PyErr_Clear();
        return ok;
    }

    // [(date - Timestamp("1970-01-01")).days for date in dates]
    Ref days_since_epoch() const noexcept {
        Ref x = frame::steal(PyList_New(n_));
        if (!x) return {};
        for (Py_ssize_t i = 0; i < n_; i++) {
            PyObject* days = PyLong_FromLongLong(floor_div(data_[i], per_day_));
            if (!days) return {};
            PyList_SET_ITEM(x.ptr(), i, days);
        }
        return x;
    }

    // [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)], or
    // null without an exception when a difference leaves int64 (pandas
    // raises there: the general statements are to).
    Ref day_intervals() const noexcept {
        const Py_ssize_t m = n_ > 0 ? n_ - 1 : 0;
        for (Py_ssize_t i = 0; i < m; i++) {
            int64_t d;
            if (__builtin_sub_overflow(data_[i + 1], data_[i], &d)) return {};
        }
        Ref intervals = frame::steal(PyList_New(m));
        if (!intervals) return {};
        for (Py_ssize_t i = 0; i < m; i++) {
            PyObject* days = PyLong_FromLongLong(floor_div(data_[i + 1] - data_[i], per_day_));
            if (!days) return {};
            PyList_SET_ITEM(intervals.ptr(), i, days);
        }
        return intervals;
    }

private:
    // Timedelta.days: whole days, rounded towards minus infinity.
    static int64_t floor_div(int64_t a, int64_t b) noexcept {
        int64_t q = a / b;
        return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
    }

    bool look(Handle dates) noexcept {
        if (!pin::Series.is(Handle(reinterpret_cast<PyObject*>(Py_TYPE(dates.ptr()))))) return false;
        if (!pin::series_iter.is(type_attribute(pin::Series, n::iter)) ||
            !pin::series_getitem.is(type_attribute(pin::Series, n::getitem)))
            return false;
        Ref dtype_text = dates.attr(n::dtype).attr(n::str);
        if (!dtype_text || !PyUnicode_Check(dtype_text.ptr())) return false;
        const char* dtype = PyUnicode_AsUTF8(dtype_text.ptr());
        if (!dtype) return false;
        // A time zone reads "|M8[ns]"; only little-endian naive units engage.
        if (std::strcmp(dtype, "<M8[ns]") == 0) per_day_ = 86400LL * 1000000000LL;
        else if (std::strcmp(dtype, "<M8[us]") == 0) per_day_ = 86400LL * 1000000LL;
        else if (std::strcmp(dtype, "<M8[ms]") == 0) per_day_ = 86400LL * 1000LL;
        else if (std::strcmp(dtype, "<M8[s]") == 0) per_day_ = 86400LL;
        else return false;
        const Py_ssize_t length = PyObject_Length(dates.ptr());
        if (length < 0) return false;
        values_ = dates.attr(n::values).attr(n::view)(t::i8);
        if (!values_ || PyObject_GetBuffer(values_.ptr(), &view_, PyBUF_ND | PyBUF_FORMAT) < 0)
            return false;
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != 8 || !view_.format ||
            (std::strcmp(view_.format, "l") != 0 && std::strcmp(view_.format, "q") != 0))
            return false;
        n_ = view_.len / 8;
        if (n_ != length) return false;
        data_ = static_cast<const int64_t*>(view_.buf);
        for (Py_ssize_t i = 0; i < n_; i++)
            if (data_[i] == INT64_MIN) return false;  // NaT
        return true;
    }

    Ref values_;
    Py_buffer view_{};
    bool held_ = false;
    const int64_t* data_ = nullptr;
    Py_ssize_t n_ = 0;
    int64_t per_day_ = 1;
};

// Whether `dates[i]` is the i-th value: a RangeIndex from 0 in steps of 1.
bool positional_labels(Handle dates) noexcept {
    Ref index = dates.attr(n::index);
    bool ok = index && Py_TYPE(index.ptr()) == reinterpret_cast<PyTypeObject*>(pin::RangeIndex.ptr());
    if (ok) {
        Ref start = index.attr(n::start);
        Ref step = index.attr(n::step);
        ok = start && step && PyLong_CheckExact(start.ptr()) && PyLong_CheckExact(step.ptr()) &&
             PyLong_AsLong(start.ptr()) == 0 && PyLong_AsLong(step.ptr()) == 1;
    }
    PyErr_Clear();
    return ok;
}

// x = [(date - pd.Timestamp("1970-01-01")).days for date in dates], taken
// when pd and pd.Timestamp are pandas' own; null without an exception
// otherwise.
Ref epoch_days_fast(Handle dates) noexcept {
    DatetimeCounts counts;
    Ref pd = global(n::pd);
    bool names = pin::pd.is(pd) && pin::Timestamp.is(pd.attr(n::Timestamp).value());
    PyErr_Clear();
    if (!names || !counts.read(dates)) return {};
    return counts.days_since_epoch();
}

// date_intervals = [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)],
// taken when the labels are positions; null without an exception otherwise.
// The Series is read again here, at the statement's own place: the calls
// since `x` (LinearRegression, fit) may have changed it.
Ref day_intervals_fast(Handle dates) noexcept {
    DatetimeCounts counts;
    if (!counts.read(dates) || !positional_labels(dates)) return {};
    return counts.day_intervals();
}

// A text "YYYY-MM-DD" of a valid date with a four-digit year from 1000
// (strftime writes smaller years unpadded) in ASCII digits: what
// parser.parse(dt).strftime("%Y-%m-%d") gives for it is itself.
bool is_iso_date(Handle dt) noexcept {
    PyObject* s = dt.ptr();
    if (!PyUnicode_CheckExact(s) || PyUnicode_GET_LENGTH(s) != 10 ||
        PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND)
        return false;
    const Py_UCS1* c = PyUnicode_1BYTE_DATA(s);
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (c[i] < '0' || c[i] > '9') return false;
    if (c[4] != '-' || c[7] != '-') return false;
    const int year = (c[0] - '0') * 1000 + (c[1] - '0') * 100 + (c[2] - '0') * 10 + (c[3] - '0');
    const int month = (c[5] - '0') * 10 + (c[6] - '0');
    const int day = (c[8] - '0') * 10 + (c[9] - '0');
    if (year < 1000 || month < 1 || month > 12 || day < 1) return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// conv_date's answer for an ISO date text, taken while parser and
// parser.parse are dateutil's own; null without an exception otherwise.
Ref iso_date_fast(Handle dt) noexcept {
    if (!is_iso_date(dt)) return {};
    Ref parser = global(n::parser);
    bool names = pin::parser.is(parser) && pin::parse.is(parser.attr(n::parse).value());
    PyErr_Clear();
    if (!names) return {};
    // A new text, as the general statements return.
    return frame::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, PyUnicode_1BYTE_DATA(dt.ptr()), 10));
}

}  // namespace

// ---------------------------------------------------------------------------
// def conv_date(dt):

DEF(conv_date, {.qualname = "conv_date", .argcount = 1,
                .varnames = {"dt", "parsed_date", "standardized_date"}}) {
    Handle dt = here.arg(0);
    // (a text already of the form the statements give answers itself)
    if (Ref iso = iso_date_fast(dt)) RETURN(iso);
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
    DO(df.attr(n::set_index)({t::timestamp, kw(n::inplace, Py_True)}));

    // x = [(date - pd.Timestamp("1970-01-01")).days for date in dates]
    Ref x = epoch_days_fast(dates);
    if (!x) {
        SET(x, frame::list_of(dates, [&](Handle date) {
            return date.sub(global(n::pd).attr(n::Timestamp)(t::epoch)).attr(n::days);
        }));
    }
    // model = LinearRegression()
    LET(model, global(n::LinearRegression)());
    // model.fit([[x] for x in x], values)
    DO(model.attr(n::fit)({frame::list_of(x, [](Handle x) { return frame::list({x}); }), values}));

    // date_intervals = [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)]
    Ref date_intervals = day_intervals_fast(dates);
    if (!date_intervals) {
        SET(date_intervals, frame::list_of(b_range(frame::len(dates).sub(one)), [&](Handle i) {
            return dates[i.add(one)].sub(dates[i]).attr(n::days);
        }));
    }
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
        FOR(val, sequence) {
            // if type(val) is str and (match := re.match(r"Decimal\('[\d.]+'\)", val)):
            Ref match = frame::borrow(Py_None);
            if (PyUnicode_CheckExact(val.ptr())) {
                SET(match, global(n::re).attr(n::match)({t::decimal_pattern, val}));
            }
            IF (match) {
                // seq.append(float(match.group()[9:-2]))   (nothing in the text is evaluated)
                DO(frame::append(seq, frame::to_float(match.attr(n::group)()[tuples.decimal_digits])));
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
        if (PyLong_CheckExact(period.ptr())) {
            IF (PyObject_RichCompareBool(period.ptr(), max_period.ptr(), Py_GT)) {
                // raise ValueError(f"period must be at most 100000, got {period}")
                RAISE(Handle(PyExc_ValueError)(frame::fstring({t::period_too_large, period})));
            }
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
    } EXCEPT(e, PyExc_Exception) {
        // traceback.print_exc()
        DO(traceback.attr(n::print_exc)());
        // return {"error": str(e)}
        RETURN(frame::dict({{t::error, frame::str(e)}}));
    }
}

// ---------------------------------------------------------------------------
//     async def _arun(self, data: str) -> str:

DEF(arun, {.qualname = "TrendKit._arun", .argcount = 2, .varnames = {"self", "data"},
           .flags = frame::kAsync, .exact_types = {nullptr, &PyUnicode_Type}}) {
    // raise NotImplementedError("TrendKit does not support async")
    RAISE(b_NotImplementedError(t::async_refusal));
}

}  // namespace trend_kit
