#include "tablescope/text_columns.hpp"

#include <datetime.h>

#include "frame/constants.hpp"
#include "tablescope/state.hpp"

#include <cmath>
#include <limits>
#include <new>

namespace tablescope::text_columns {

using frame::Handle;
using frame::Ref;

namespace {

frame::Text t_int64{"int64"}, t_float64{"float64"};
frame::Name n_view{"view"};

constexpr std::int64_t kNoDatetime = std::numeric_limits<std::int64_t>::min();  // NaT's count
constexpr std::int64_t kMicrosecondsPerDay = 86400LL * 1000000LL;
// The microseconds since 1970 whose nanoseconds fit datetime64[ns]
// (NaT's count excluded).
constexpr std::int64_t kLeastNsMicroseconds = -9223372036854775LL;
constexpr std::int64_t kMostNsMicroseconds = 9223372036854775LL;

// ---------------------------------------------------------------------------
// The texts MySQL writes, read as the driver's converters read them. Each
// reader takes only the form the server writes and gives false for any
// other text, which the driver's own converter then reads.

bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') <= 9u; }

// int(text) for [-]digits: 1 with an int64 in `value`, 2 with a larger
// value in `big`, 0 for any other text.
int read_integer(const unsigned char* s, std::size_t n, std::int64_t& value, std::uint64_t& big) noexcept {
    const bool negative = n && s[0] == '-';
    std::size_t i = negative ? 1 : 0;
    if (i == n || n - i > 20) return 0;
    std::uint64_t v = 0;
    for (; i < n; i++) {
        const unsigned digit = s[i] - '0';
        if (digit > 9 || v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    constexpr std::uint64_t most = std::numeric_limits<std::int64_t>::max();
    if (negative) {
        if (v > most + 1) return 0;
        value = static_cast<std::int64_t>(0 - v);
        return 1;
    }
    if (v > most) {
        big = v;
        return 2;
    }
    value = static_cast<std::int64_t>(v);
    return 1;
}

// float(text), and float(Decimal(text)) (both round the decimal value to
// the nearest double), for [-]digits[.digits][(e|E)[+|-]digits].
bool read_real(const unsigned char* s, std::size_t n, double& value) noexcept {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::size_t i = 0;
    const bool negative = n && s[0] == '-';
    if (negative) i++;
    std::uint64_t mantissa = 0;
    int digits = 0, scale = 0;
    const std::size_t whole = i;
    for (; i < n && is_digit(s[i]); i++, digits++) mantissa = digits < 19 ? mantissa * 10 + (s[i] - '0') : 0;
    if (i == whole) return false;
    if (i < n && s[i] == '.') {
        const std::size_t fraction = ++i;
        for (; i < n && is_digit(s[i]); i++, digits++, scale--)
            mantissa = digits < 19 ? mantissa * 10 + (s[i] - '0') : 0;
        if (i == fraction) return false;
    }
    int exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        const bool below = i < n && s[i] == '-';
        if (i < n && (s[i] == '-' || s[i] == '+')) i++;
        const std::size_t start = i;
        for (; i < n && is_digit(s[i]); i++)
            if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
        if (i == start) return false;
        if (below) exponent = -exponent;
    }
    if (i != n) return false;
    // Few enough digits and a small power of ten: the mantissa and the
    // power are exact doubles, and one division or product rounds as the
    // full conversion does.
    const int power = scale + exponent;
    if (digits <= 19 && mantissa <= (1ULL << 53) && power >= -22 && power <= 22) {
        const double m = static_cast<double>(mantissa);
        const double v = power < 0 ? m / kPowers[-power] : m * kPowers[power];
        value = negative ? -v : v;
        return true;
    }
    char text[128];
    if (n >= sizeof text) return false;
    std::memcpy(text, s, n);
    text[n] = '\0';
    const double v = PyOS_string_to_double(text, nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    value = v;
    return true;
}

bool is_leap(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) noexcept {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int& year, int& month, int& day) noexcept {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

// The number of `count` decimal digits at `s`, or -1.
int digits_at(const unsigned char* s, int count) noexcept {
    int v = 0;
    for (int i = 0; i < count; i++) {
        const unsigned digit = s[i] - '0';
        if (digit > 9) return -1;
        v = v * 10 + static_cast<int>(digit);
    }
    return v;
}

// A valid date of "YYYY-MM-DD" (year 1 to 9999, as datetime's).
bool read_ymd(const unsigned char* s, int& year, int& month, int& day) noexcept {
    if (s[4] != '-' || s[7] != '-') return false;
    year = digits_at(s, 4);
    month = digits_at(s + 5, 2);
    day = digits_at(s + 8, 2);
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

// convert_datetime(text) for "YYYY-MM-DD hh:mm:ss[.f{1,6}]": the
// microseconds since 1970 of the datetime it makes.
bool read_datetime(const unsigned char* s, std::size_t n, std::int64_t& microseconds) noexcept {
    if (n != 19 && (n < 21 || n > 26 || s[19] != '.')) return false;
    int year, month, day;
    if (!read_ymd(s, year, month, day) || s[10] != ' ' || s[13] != ':' || s[16] != ':') return false;
    const int hour = digits_at(s + 11, 2), minute = digits_at(s + 14, 2), second = digits_at(s + 17, 2);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return false;
    int fraction = 0;
    if (n > 19) {
        // ".5" is 500000 microseconds: the digits padded to six.
        const int count = static_cast<int>(n - 20);
        fraction = digits_at(s + 20, count);
        if (fraction < 0) return false;
        for (int i = count; i < 6; i++) fraction *= 10;
    }
    const std::int64_t seconds = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                                 hour * 3600 + minute * 60 + second;
    microseconds = seconds * 1000000 + fraction;
    return true;
}

// The datetime.datetime of microseconds since 1970.
Ref datetime_of(std::int64_t microseconds) noexcept {
    std::int64_t days = microseconds / kMicrosecondsPerDay, rest = microseconds % kMicrosecondsPerDay;
    if (rest < 0) rest += kMicrosecondsPerDay, days--;
    int year, month, day;
    civil_from_days(days, year, month, day);
    const int second_of_day = static_cast<int>(rest / 1000000);
    return frame::steal(PyDateTime_FromDateAndTime(year, month, day, second_of_day / 3600, second_of_day / 60 % 60,
                                                   second_of_day % 60, static_cast<int>(rest % 1000000)));
}

// The microseconds since 1970 of a naive datetime (year 1 to 9999).
std::int64_t microseconds_of(PyObject* datetime) noexcept {
    const std::int64_t days = days_from_civil(PyDateTime_GET_YEAR(datetime),
                                              static_cast<unsigned>(PyDateTime_GET_MONTH(datetime)),
                                              static_cast<unsigned>(PyDateTime_GET_DAY(datetime)));
    const std::int64_t seconds = days * 86400 + PyDateTime_DATE_GET_HOUR(datetime) * 3600 +
                                 PyDateTime_DATE_GET_MINUTE(datetime) * 60 + PyDateTime_DATE_GET_SECOND(datetime);
    return seconds * 1000000 + PyDateTime_DATE_GET_MICROSECOND(datetime);
}

// A value of a numeric column that no number stands for: a value of a row
// the driver read whose type is not the column's plain one.
struct Odd {
    std::size_t row;
    PyObject* value;  // owned
};

// A writable view of a new 1-d array's items.
class Items {
public:
    Items() noexcept = default;
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    ~Items() {
        if (held_) PyBuffer_Release(&view_);
    }
    // Views `array`'s n items of `size` bytes; false with an exception.
    bool view(Handle array, std::size_t n, std::size_t size) noexcept {
        if (!array || PyObject_GetBuffer(array.ptr(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
        held_ = true;
        if (view_.len != static_cast<Py_ssize_t>(n * size) || view_.itemsize != static_cast<Py_ssize_t>(size)) {
            PyErr_SetString(PyExc_SystemError, "numpy.empty gave an array of another layout");
            return false;
        }
        return true;
    }
    void* data() const noexcept { return view_.buf; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------

class Column {
public:
    Column() noexcept = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { release(); }

    Kind kind = Kind::bytes;
    Ref processor;
    Ref encoding;
    const char* codec = nullptr;  // the text of `encoding`
    bool utf8 = false;

    // One value from its text: 1, 0 when it is not in the column's plain
    // form (nothing kept), -1 with an exception.
    int take(const unsigned char* s, std::size_t n, std::size_t row) noexcept {
        switch (kind) {
        case Kind::integer: {
            std::int64_t v = 0;
            std::uint64_t big = 0;
            const int form = read_integer(s, n, v, big);
            if (form == 0) return 0;
            if (!integers.push(v) || !nulls.push(0)) return -1;
            if (form == 2) {
                PyObject* value = PyLong_FromUnsignedLongLong(big);
                if (!value || !odd.push(Odd{row, value})) return Py_XDECREF(value), -1;
            }
            return 1;
        }
        case Kind::real: {
            double v;
            if (!read_real(s, n, v)) return 0;
            return reals.push(v) ? 1 : -1;
        }
        case Kind::datetime: {
            std::int64_t v;
            if (!read_datetime(s, n, v)) return 0;
            if (v < least) least = v;
            if (v > most) most = v;
            return integers.push(v) ? 1 : -1;
        }
        case Kind::date: {
            int year, month, day;
            if (n != 10 || !read_ymd(s, year, month, day)) return 0;
            return keep_object(PyDate_FromDate(year, month, day));
        }
        case Kind::text: {
            const char* text = reinterpret_cast<const char*>(s);
            PyObject* value = utf8 ? PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), nullptr)
                                   : PyUnicode_Decode(text, static_cast<Py_ssize_t>(n), codec, nullptr);
            if (!value) {
                // Not text of the codec: the driver decodes it, and fails
                // as it fails.
                PyErr_Clear();
                return 0;
            }
            return keep_object(value);
        }
        case Kind::bytes:
            return keep_object(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s), static_cast<Py_ssize_t>(n)));
        }
        return 0;
    }

    // A NULL; false with an exception.
    bool take_null() noexcept {
        null_count++;
        switch (kind) {
        case Kind::integer:
            return integers.push(0) && nulls.push(1);
        case Kind::real:
            return reals.push(std::numeric_limits<double>::quiet_NaN());
        case Kind::datetime:
            return integers.push(kNoDatetime);
        default:
            return keep_object(Py_NewRef(Py_None)) > 0;
        }
    }

    // A value the driver and SQLAlchemy made; false with an exception.
    bool take_value(Handle value, std::size_t row) noexcept {
        PyObject* v = value.ptr();
        if (v == Py_None) return take_null();
        switch (kind) {
        case Kind::integer: {
            int overflow = 0;
            const long long n = PyLong_CheckExact(v) ? PyLong_AsLongLongAndOverflow(v, &overflow) : 0;
            if (n == -1 && PyErr_Occurred()) return false;
            if (!integers.push(n) || !nulls.push(0)) return false;
            return PyLong_CheckExact(v) && !overflow ? true : odd.push(Odd{row, Py_NewRef(v)});
        }
        case Kind::real: {
            const bool plain = PyFloat_CheckExact(v) && !std::isnan(PyFloat_AS_DOUBLE(v));
            if (!reals.push(plain ? PyFloat_AS_DOUBLE(v) : 0.0)) return false;
            return plain ? true : odd.push(Odd{row, Py_NewRef(v)});
        }
        case Kind::datetime: {
            const bool plain = PyDateTime_CheckExact(v) && PyDateTime_DATE_GET_TZINFO(v) == Py_None &&
                               PyDateTime_DATE_GET_FOLD(v) == 0;
            const std::int64_t us = plain ? microseconds_of(v) : 0;
            if (plain && us < least) least = us;
            if (plain && us > most) most = us;
            if (!integers.push(us)) return false;
            return plain ? true : odd.push(Odd{row, Py_NewRef(v)});
        }
        default:
            return keep_object(Py_NewRef(v)) > 0;
        }
    }

    // Forgets the value of row `row`, when it holds one.
    void drop(std::size_t row) noexcept {
        while (!odd.empty() && odd.back().row >= row) {
            Py_DECREF(odd.back().value);
            odd.truncate(odd.size() - 1);
        }
        switch (kind) {
        case Kind::integer:
            if (nulls.size() > row) {
                if (nulls[row]) null_count--;
                nulls.truncate(row);
            }
            if (integers.size() > row) integers.truncate(row);
            break;
        case Kind::real:
            if (reals.size() > row) {
                if (std::isnan(reals[row])) null_count--;
                reals.truncate(row);
            }
            break;
        case Kind::datetime:
            if (integers.size() > row) {
                if (integers[row] == kNoDatetime) null_count--;
                integers.truncate(row);
            }
            break;
        default:
            if (objects.size() > row) {
                if (objects[row] == Py_None) null_count--;
                Py_DECREF(objects[row]);
                objects.truncate(row);
            }
        }
    }

    // The array pandas ends with for this column when it is made of
    // numbers without an object: null (nothing pending) otherwise.
    Ref numbers(const Conversion& conversion, std::size_t n) noexcept {
        if (!odd.empty() || null_count == n) return {};
        switch (kind) {
        case Kind::integer:
            // Python ints give int64; with a None among them, float64 with
            // NaN, each int rounded to the nearest double.
            if (null_count == 0) return filled(conversion, n, t_int64, integers.data(), false);
            {
                Ref array = conversion.numpy_empty({size_of(n), t_float64});
                Items items;
                if (!items.view(array, n, sizeof(double))) return {};
                auto* out = static_cast<double*>(items.data());
                for (std::size_t i = 0; i < n; i++)
                    out[i] = nulls[i] ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(integers[i]);
                return array;
            }
        case Kind::real:
            return filled(conversion, n, t_float64, reals.data(), false);
        case Kind::datetime:
            // Naive datetimes give datetime64 of the unit pandas infers,
            // NaT for None, when each fits it.
            if (!conversion.per_microsecond) return {};
            if (conversion.per_microsecond != 1) {
                if (least < kLeastNsMicroseconds || most > kMostNsMicroseconds) return {};
                for (std::size_t i = 0; i < n; i++)
                    if (integers[i] != kNoDatetime) integers[i] *= conversion.per_microsecond;
            }
            return filled(conversion, n, conversion.datetime_dtype, integers.data(), true);
        default:
            return {};
        }
    }

    // The column as an object array: the values the driver and SQLAlchemy
    // made, for pandas to convert.
    Ref objects_array(const Conversion& conversion, std::size_t n) noexcept {
        Ref array = conversion.numpy_empty({size_of(n), t::object});
        Items items;
        if (!items.view(array, n, sizeof(PyObject*))) return {};
        auto** out = static_cast<PyObject**>(items.data());
        std::size_t next_odd = 0;
        for (std::size_t i = 0; i < n; i++) {
            PyObject* value;
            if (next_odd < odd.size() && odd[next_odd].row == i) {
                value = odd[next_odd].value;
                odd[next_odd++].value = nullptr;
            } else {
                value = object_at(i);
                if (!value) return {};
            }
            PyObject* before = out[i];
            out[i] = value;
            Py_XDECREF(before);
        }
        return array;
    }

    void release() noexcept {
        for (std::size_t i = 0; i < odd.size(); i++) Py_XDECREF(odd[i].value);
        for (std::size_t i = 0; i < objects.size(); i++) Py_XDECREF(objects[i]);
        odd.release();
        objects.release();
        integers.release();
        reals.release();
        nulls.release();
    }

private:
    int keep_object(PyObject* value) noexcept {
        if (!value) return -1;
        if (!objects.push(value)) return Py_DECREF(value), -1;
        return 1;
    }

    // The object of row `i` (a new reference); null with an exception.
    PyObject* object_at(std::size_t i) noexcept {
        switch (kind) {
        case Kind::integer:
            return nulls[i] ? Py_NewRef(Py_None) : PyLong_FromLongLong(integers[i]);
        case Kind::real:
            return std::isnan(reals[i]) ? Py_NewRef(Py_None) : PyFloat_FromDouble(reals[i]);
        case Kind::datetime:
            return integers[i] == kNoDatetime ? Py_NewRef(Py_None) : datetime_of(integers[i]).release();
        default: {
            PyObject* value = objects[i];
            objects[i] = nullptr;
            return value;
        }
        }
    }

    static Ref size_of(std::size_t n) noexcept { return frame::steal(PyLong_FromSize_t(n)); }

    // numpy.empty(n, dtype) holding the n 8-byte `values` (a datetime64
    // array is written through its int64 view).
    static Ref filled(const Conversion& conversion, std::size_t n, Handle dtype, const void* values,
                      bool through_view) noexcept {
        Ref array = conversion.numpy_empty({size_of(n), dtype});
        Ref target = through_view && array ? array.attr(n_view)(t_int64) : array;
        Items items;
        if (!items.view(target, n, 8)) return {};
        if (n) std::memcpy(items.data(), values, n * 8);
        return array;
    }

public:
    Values<std::int64_t> integers;  // integer: the value; datetime: microseconds since 1970 (kNoDatetime: NULL)
    Values<double> reals;           // real: the value (NaN: NULL)
    Values<unsigned char> nulls;    // integer: 1 for a NULL
    Values<PyObject*> objects;      // date, text, bytes: the value (owned)
    Values<Odd> odd;                // in row order
    std::size_t null_count = 0;
    std::int64_t least = std::numeric_limits<std::int64_t>::max();
    std::int64_t most = std::numeric_limits<std::int64_t>::min();
};

// ---------------------------------------------------------------------------

Columns::~Columns() { clear(); }

void Columns::clear() noexcept {
    for (Py_ssize_t j = 0; j < count_; ++j) columns_[j].~Column();
    PyMem_Free(columns_);
    columns_ = nullptr;
    count_ = 0;
    rows_ = 0;
}

int Columns::start(Py_ssize_t count) noexcept {
    clear();
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return -1;
    }
    // In the interpreter's memory, as everything the reader keeps (operator
    // new would tie the module to the C++ runtime library).
    columns_ = static_cast<Column*>(PyMem_Calloc(count > 0 ? count : 1, sizeof(Column)));
    if (!columns_) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t j = 0; j < count; ++j) new (&columns_[j]) Column;
    count_ = count;
    return 0;
}

int Columns::define(Py_ssize_t j, Kind kind, Handle encoding, Handle processor) noexcept {
    Column& column = columns_[j];
    column.kind = kind;
    column.processor = processor.ptr() == Py_None ? Ref() : frame::borrow(processor);
    if (kind == Kind::text) {
        column.encoding = frame::borrow(encoding);
        column.codec = PyUnicode_AsUTF8(encoding.ptr());
        if (!column.codec) return -1;
        column.utf8 = std::strcmp(column.codec, "utf8") == 0;
    }
    return 0;
}

int Columns::read_row(const unsigned char* payload, std::size_t length) noexcept {
    const unsigned char* p = payload;
    const unsigned char* const end = payload + length;
    const std::size_t row = rows_;
    for (Py_ssize_t j = 0; j < count_; j++) {
        // A length-coded string: 0xFB is NULL; 0xFC, 0xFD and 0xFE lead
        // two, three and eight bytes of length.
        int taken = 0;
        if (p < end) {
            const unsigned first = *p++;
            std::uint64_t n = first;
            if (first >= 0xFC && first <= 0xFE) {
                const std::size_t size = first == 0xFC ? 2 : first == 0xFD ? 3 : 8;
                if (static_cast<std::size_t>(end - p) >= size) {
                    n = 0;
                    for (std::size_t k = 0; k < size; k++) n |= static_cast<std::uint64_t>(p[k]) << (8 * k);
                    p += size;
                } else {
                    n = ~std::uint64_t{0};
                }
            }
            if (first == 0xFB) {
                taken = columns_[j].take_null() ? 1 : -1;
            } else if (first != 0xFF && n <= static_cast<std::uint64_t>(end - p)) {
                taken = columns_[j].take(p, static_cast<std::size_t>(n), row);
                p += n;
            }
        }
        if (taken <= 0) {
            for (Py_ssize_t k = 0; k < j; k++) columns_[k].drop(row);
            return taken;
        }
    }
    rows_++;
    return 1;
}

int Columns::keep_row(Handle values) noexcept {
    if (!PyTuple_Check(values.ptr())) {
        PyErr_SetString(PyExc_SystemError, "the driver read a row that is not a tuple");
        return -1;
    }
    const Py_ssize_t given = PyTuple_GET_SIZE(values.ptr());
    const std::size_t row = rows_;
    for (Py_ssize_t j = 0; j < count_; j++) {
        Column& column = columns_[j];
        Ref value = frame::borrow(j < given ? PyTuple_GET_ITEM(values.ptr(), j) : Py_None);
        // As SQLAlchemy makes its row: each value the driver gave through
        // the column's processor.
        const bool processed = j < given && column.processor;
        if (processed) value = column.processor(value);
        if (!value || !column.take_value(value, row)) {
            for (Py_ssize_t k = 0; k <= j; k++) columns_[k].drop(row);
            return processed && !value ? 1 : -1;
        }
    }
    rows_++;
    return 0;
}

Ref Columns::arrays(const Conversion& conversion) noexcept {
    Ref arrays = frame::steal(PyList_New(count_));
    Ref content = frame::steal(PyList_New(0));
    Ref positions = frame::steal(PyList_New(0));
    if (!arrays || !content || !positions) return {};
    for (Py_ssize_t j = 0; j < count_; j++) {
        Column& column = columns_[j];
        Ref array = column.numbers(conversion, rows_);
        if (!array && PyErr_Occurred()) return {};
        if (array) {
            PyList_SET_ITEM(arrays.ptr(), j, array.release());
        } else {
            array = column.objects_array(conversion, rows_);
            Ref position = frame::steal(PyLong_FromSsize_t(j));
            if (!array || !position || frame::append(content, array) < 0 || frame::append(positions, position) < 0)
                return {};
        }
        column.release();
    }
    if (PyList_GET_SIZE(content.ptr()) == 0) return arrays;
    // arrays = convert_object_array(list(content.T), dtype=None,
    //                               coerce_float=coerce_float, dtype_backend=dtype_backend)
    Ref converted = conversion.convert_object_array({content, frame::kw(n::dtype, frame::None),
                                                      frame::kw(n::coerce_float, frame::True),
                                                      frame::kw(n::dtype_backend, t::numpy)});
    if (!converted) return {};
    if (!PyList_CheckExact(converted.ptr()) || PyList_GET_SIZE(converted.ptr()) != PyList_GET_SIZE(content.ptr())) {
        PyErr_SetString(PyExc_SystemError, "convert_object_array gave another number of arrays");
        return {};
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(converted.ptr()); i++) {
        const Py_ssize_t j = PyLong_AsSsize_t(PyList_GET_ITEM(positions.ptr(), i));
        PyList_SET_ITEM(arrays.ptr(), j, Py_NewRef(PyList_GET_ITEM(converted.ptr(), i)));
    }
    return arrays;
}

}  // namespace tablescope::text_columns
