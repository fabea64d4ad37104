#include "frame/traceback.hpp"

#include <frameobject.h>

#include <cstdint>

namespace frame {

namespace {

// The code object of each traceback site, made once: sites are a fixed set
// of (entry name, source file, line), all texts that live for the process,
// so their addresses identify them. A fixed open-addressed table: adding an
// entry happens on error paths, which must not allocate anything but Python
// objects. Should the table fill up, further sites make their code object
// each time.
struct Site {
    const char* name;
    const char* file;
    int line;
    PyCodeObject* code;
};
constexpr std::size_t kSites = 1024;  // a power of two
Site sites[kSites];

std::size_t site_hash(const char* name, const char* file, int line) noexcept {
    auto h = reinterpret_cast<std::uintptr_t>(name) * 0x9E3779B97F4A7C15u;
    h ^= reinterpret_cast<std::uintptr_t>(file) + (h << 6) + (h >> 2);
    h ^= static_cast<std::uintptr_t>(line) * 0xC2B2AE3D27D4EB4Fu;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

// A new reference to the site's code object.
PyCodeObject* site_code(const char* name, const char* file, int line) noexcept {
    std::size_t i = site_hash(name, file, line) & (kSites - 1);
    for (std::size_t probe = 0; probe < kSites; probe++, i = (i + 1) & (kSites - 1)) {
        Site& s = sites[i];
        if (!s.code) {
            PyCodeObject* code = PyCode_NewEmpty(file, name, line);
            if (code) s = {name, file, line, reinterpret_cast<PyCodeObject*>(Py_NewRef(code))};
            return code;
        }
        if (s.name == name && s.file == file && s.line == line)
            return reinterpret_cast<PyCodeObject*>(Py_NewRef(s.code));
    }
    return PyCode_NewEmpty(file, name, line);
}

}  // namespace

void add_traceback(const char* name, const char* file, int line) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref code = steal(reinterpret_cast<PyObject*>(site_code(name, file, line)));
    Ref frame;
    PyObject* globals = running_globals();
    if (code && globals)
        frame = steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals,
                        nullptr)));
    // A failure to build the entry must not replace the exception it is for.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

}  // namespace frame
