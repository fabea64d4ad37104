#include "trend_kit/iso_date.hpp"

#include "frame/lookup.hpp"
#include "trend_kit/pins.hpp"
#include "trend_kit/state.hpp"

namespace trend_kit::iso_date {

namespace {

bool is_iso_date(PyObject* s) noexcept {
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

}  // namespace

frame::Ref answer(frame::Handle dt) noexcept {
    if (!is_iso_date(dt.ptr())) return {};
    // `parser` as the statement looks it up; a NameError is the statement's
    // to raise.
    frame::Ref parser = frame::global(n::parser);
    if (!parser) {
        if (PyErr_ExceptionMatches(PyExc_NameError)) PyErr_Clear();
        return {};
    }
    if (!pins::parse_as_at_import(parser)) return {};
    // A new text, as strftime gives.
    return frame::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, PyUnicode_1BYTE_DATA(dt.ptr()), 10));
}

}  // namespace trend_kit::iso_date
