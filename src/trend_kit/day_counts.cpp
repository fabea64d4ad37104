#include "trend_kit/day_counts.hpp"

#include <cstdint>
#include <cstring>

#include "frame/lookup.hpp"
#include "trend_kit/pins.hpp"
#include "trend_kit/state.hpp"

namespace trend_kit::day_counts {

using frame::Handle;
using frame::Ref;

namespace {

frame::Name n_values{"_values"}, n_ndarray{"_ndarray"}, n_tz{"tz"}, n_dtype{"dtype"},
    n_str{"str"}, n_view{"view"}, n_index{"index"}, n_start{"start"}, n_step{"step"};
frame::Text t_i8{"i8"};

// A look's outcome: the Series engages, declines (the statement runs), or
// failed with an exception no look expects.
enum class Look { engaged, declined, failed };

Look declined_or_failed() noexcept { return frame::look_declined() ? Look::declined : Look::failed; }

// The int64 counts of a Series' datetime64 values and their unit.
class Counts {
public:
    Counts() noexcept = default;
    Counts(const Counts&) = delete;
    Counts& operator=(const Counts&) = delete;
    ~Counts() {
        if (held_) PyBuffer_Release(&view_);
    }

    Look read(Handle dates) noexcept {
        if (!pins::series.is_type_of(dates)) return Look::declined;
        // What iterating the Series yields from: its values, a DatetimeArray.
        Ref values = dates.attr(n_values);
        if (!values) return declined_or_failed();
        if (!pins::datetime_array.is_type_of(values)) return Look::declined;
        Ref tz = values.attr(n_tz);
        if (!tz) return declined_or_failed();
        if (tz.ptr() != Py_None) return Look::declined;  // aware: the naive epoch cannot be subtracted
        Ref array = values.attr(n_ndarray);
        Ref dtype = array ? array.attr(n_dtype).attr(n_str).value() : Ref();
        if (!dtype) return declined_or_failed();
        if (!PyUnicode_Check(dtype.ptr())) return Look::declined;
        const char* unit = PyUnicode_AsUTF8(dtype.ptr());
        if (!unit) return declined_or_failed();
        // Counts per day, and the largest count whose nanoseconds fit int64.
        if (std::strcmp(unit, "<M8[ns]") == 0) per_day_ = 86400LL * 1000000000LL, per_ns_ = 1;
        else if (std::strcmp(unit, "<M8[us]") == 0) per_day_ = 86400LL * 1000000LL, per_ns_ = 1000;
        else if (std::strcmp(unit, "<M8[ms]") == 0) per_day_ = 86400LL * 1000LL, per_ns_ = 1000000;
        else if (std::strcmp(unit, "<M8[s]") == 0) per_day_ = 86400LL, per_ns_ = 1000000000;
        else return Look::declined;
        Ref counts = array.attr(n_view)(t_i8);
        if (!counts) return declined_or_failed();
        if (PyObject_GetBuffer(counts.ptr(), &view_, PyBUF_ND | PyBUF_FORMAT) < 0)
            return declined_or_failed();
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != 8 || !view_.format ||
            (std::strcmp(view_.format, "l") != 0 && std::strcmp(view_.format, "q") != 0))
            return Look::declined;
        n_ = view_.len / 8;
        data_ = static_cast<const int64_t*>(view_.buf);
        const int64_t most = INT64_MAX / per_ns_;
        for (Py_ssize_t i = 0; i < n_; i++)
            if (data_[i] > most || data_[i] < -most || data_[i] == INT64_MIN) return Look::declined;
        return Look::engaged;
    }

    Py_ssize_t size() const noexcept { return n_; }

    // Timedelta.days: whole days, rounded towards minus infinity.
    int64_t days(int64_t count) const noexcept {
        const int64_t q = count / per_day_;
        return (count % per_day_ != 0 && count < 0) ? q - 1 : q;
    }

    Ref since_epoch() const noexcept {
        Ref x = frame::steal(PyList_New(n_));
        if (!x) return {};
        for (Py_ssize_t i = 0; i < n_; i++) {
            PyObject* days_since = PyLong_FromLongLong(days(data_[i]));
            if (!days_since) return {};
            PyList_SET_ITEM(x.ptr(), i, days_since);
        }
        return x;
    }

    // Null without an exception when a difference leaves int64 or is the
    // NaT sentinel: pandas raises there.
    Ref intervals() const noexcept {
        const Py_ssize_t m = n_ > 0 ? n_ - 1 : 0;
        for (Py_ssize_t i = 0; i < m; i++) {
            int64_t d;
            if (__builtin_sub_overflow(data_[i + 1], data_[i], &d) || d == INT64_MIN) return {};
        }
        Ref gaps = frame::steal(PyList_New(m));
        if (!gaps) return {};
        for (Py_ssize_t i = 0; i < m; i++) {
            PyObject* gap = PyLong_FromLongLong(days(data_[i + 1] - data_[i]));
            if (!gap) return {};
            PyList_SET_ITEM(gaps.ptr(), i, gap);
        }
        return gaps;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    const int64_t* data_ = nullptr;
    Py_ssize_t n_ = 0;
    int64_t per_day_ = 1;
    int64_t per_ns_ = 1;
};

// Whether `dates[i]` is the i-th value: a RangeIndex from 0 in steps of 1,
// as long as the values.
Look positional_labels(Handle dates, Py_ssize_t n) noexcept {
    Ref index = dates.attr(n_index);
    if (!index) return declined_or_failed();
    if (!pins::range_index.is_type_of(index)) return Look::declined;
    Ref start = index.attr(n_start);
    Ref step = index.attr(n_step);
    Ref length = frame::len(index);
    if (!start || !step || !length) return declined_or_failed();
    const bool positions = PyLong_CheckExact(start.ptr()) && PyLong_CheckExact(step.ptr()) &&
                           PyLong_AsSsize_t(start.ptr()) == 0 && PyLong_AsSsize_t(step.ptr()) == 1 &&
                           PyLong_AsSsize_t(length.ptr()) == n;
    if (PyErr_Occurred()) return declined_or_failed();
    return positions ? Look::engaged : Look::declined;
}

}  // namespace

Ref since_epoch(Handle dates) noexcept {
    Ref pd = frame::global(n::pd);
    if (!pd) {
        if (PyErr_ExceptionMatches(PyExc_NameError)) PyErr_Clear();  // the statement's to raise
        return {};
    }
    if (!pins::pandas_as_at_import(pd)) return {};
    Counts counts;
    const Look look = counts.read(dates);
    if (look != Look::engaged) return {};
    return counts.since_epoch();
}

Ref intervals(Handle dates) noexcept {
    if (!pins::timestamps_as_at_import()) return {};
    Counts counts;
    Look look = counts.read(dates);
    if (look == Look::engaged) look = positional_labels(dates, counts.size());
    if (look != Look::engaged) return {};
    return counts.intervals();
}

}  // namespace trend_kit::day_counts
