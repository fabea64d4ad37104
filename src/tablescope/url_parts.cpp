#include "tablescope/url_parts.hpp"

namespace tablescope::url_parts {

bool is_url_host(frame::Handle host) noexcept {
    PyObject* text = host.ptr();
    if (!text || !PyUnicode_Check(text)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto is_alnum = [](Py_UCS4 c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    auto is_hex = [](Py_UCS4 c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    Py_ssize_t i = 0;
    if (n > 0 && at(0) == '[') {
        for (i = 1; i < n && (is_hex(at(i)) || at(i) == ':' || at(i) == '.'); i++) {}
        if (i == 1 || i >= n || at(i) != ']') return false;
        i++;
    } else {
        if (n == 0 || !is_alnum(at(0))) return false;
        for (; i < n && (is_alnum(at(i)) || at(i) == '.' || at(i) == '-' || at(i) == '_'); i++) {}
    }
    if (i == n) return true;
    if (at(i) != ':' || n - i - 1 < 1 || n - i - 1 > 5) return false;
    long port = 0;
    for (i++; i < n; i++) {
        if (at(i) < '0' || at(i) > '9') return false;
        port = port * 10 + static_cast<long>(at(i) - '0');
    }
    return port <= 65535;
}

bool names_url_structure(frame::Handle database) noexcept {
    PyObject* text = database.ptr();
    if (!text || !PyUnicode_Check(text)) return true;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '?' || c == '#' || c == '/') return true;
    }
    return false;
}

}  // namespace tablescope::url_parts
