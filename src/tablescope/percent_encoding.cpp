#include "tablescope/percent_encoding.hpp"

#include "tablescope/pins.hpp"

namespace tablescope::percent_encoding {

using frame::Handle;
using frame::Ref;

Ref imported_quote() noexcept { return frame::borrow(pins::quote_as_imported()); }

Ref encoded(Handle quote, Handle text) noexcept {
    if (!frame::ready(quote, text) || !PyUnicode_CheckExact(text.ptr()) || !pins::is_standard_quote(quote))
        return {};
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return frame::borrow(text);
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!bytes) {
        // Not encodable (lone surrogates): quote raises, the call is to run.
        PyErr_Clear();
        return {};
    }
    auto safe = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-' || c == '~';
    };
    Py_ssize_t length = 0;
    for (Py_ssize_t i = 0; i < size; i++) length += safe(static_cast<unsigned char>(bytes[i])) ? 1 : 3;
    Ref result = frame::steal(PyUnicode_New(length, 127));
    if (!result) return {};
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.ptr());
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < size; i++) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (safe(c)) {
            *out++ = c;
        } else {
            *out++ = '%';
            *out++ = static_cast<Py_UCS1>(kHex[c >> 4]);
            *out++ = static_cast<Py_UCS1>(kHex[c & 15]);
        }
    }
    return result;
}

}  // namespace tablescope::percent_encoding
