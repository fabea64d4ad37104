#include "frame/traceback.hpp"

#include <frameobject.h>

#include <cstdint>

namespace frame {

namespace {

// Each traceback site is a fixed (entry name, source file, line), all texts
// that live for the process, so their addresses identify it. A site keeps
// its code object, made once, and one spare frame of it: a frame object
// costs as much as the rest of a failing call (PyFrame_New makes a
// function object too), where the interpreter makes no new frame for an
// entry but uses the one the function runs in.
//
// The spare is handed out only while nothing else holds it, so no
// traceback and no reader can see it: an entry made from it cannot be told
// from one made from a new frame. Nor is it handed out with other globals,
// or once a reader has left something in it (a trace function, a local).
// A recursion adds the same site many times: the first entry takes the
// spare, the others get frames of their own.
//
// A fixed open-addressed table: entries are added on error paths, which
// must not allocate anything but Python objects. Should the table fill up,
// further sites make their code object and frame each time.
// A frame that may stand in for a new one: its globals, the mapping its
// f_locals gave when it became the spare, and its reference count while
// only the spare holds it (the mapping may hold it too).
struct Spare {
    PyObject* frame;
    PyObject* globals;  // kept alive by the frame
    PyObject* locals;
    Py_ssize_t refs;
};

struct Site {
    const char* name;
    const char* file;
    int line;
    PyCodeObject* code;
    Spare spare;
};
constexpr std::size_t kSites = 1024;  // a power of two
Site sites[kSites];

// What a reader can set on a frame, and its value in a new one: the frame
// type's descriptors, found once, so that a spare's are read without the
// lookup.
struct Setting {
    const char* name;
    PyObject* fresh;
    PyObject* descriptor;
};
Setting settings[] = {{"f_trace", Py_None, nullptr},
                      {"f_trace_lines", Py_True, nullptr},
                      {"f_trace_opcodes", Py_False, nullptr}};

// Whether each setting of `frame` is as in a new frame.
bool settings_fresh(PyObject* frame) noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(&PyFrame_Type);
    for (Setting& setting : settings) {
        if (!setting.descriptor) {
            Ref name = steal(PyUnicode_InternFromString(setting.name));
            PyObject* found = name ? _PyType_Lookup(&PyFrame_Type, name.ptr()) : nullptr;  // borrowed
            if (!found || !Py_TYPE(found)->tp_descr_get) {
                PyErr_Clear();
                return false;
            }
            setting.descriptor = Py_NewRef(found);
        }
        Ref value = steal(Py_TYPE(setting.descriptor)->tp_descr_get(setting.descriptor, frame, type));
        if (!value) PyErr_Clear();
        if (value.ptr() != setting.fresh) return false;
    }
    return true;
}

std::size_t site_hash(const char* name, const char* file, int line) noexcept {
    auto h = reinterpret_cast<std::uintptr_t>(name) * 0x9E3779B97F4A7C15u;
    h ^= reinterpret_cast<std::uintptr_t>(file) + (h << 6) + (h >> 2);
    h ^= static_cast<std::uintptr_t>(line) * 0xC2B2AE3D27D4EB4Fu;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

// The site's entry in the table, made on first use; null when the table is full.
Site* find_site(const char* name, const char* file, int line) noexcept {
    std::size_t i = site_hash(name, file, line) & (kSites - 1);
    for (std::size_t probe = 0; probe < kSites; probe++, i = (i + 1) & (kSites - 1)) {
        Site& s = sites[i];
        if (!s.code) {
            PyCodeObject* code = PyCode_NewEmpty(file, name, line);
            if (!code) return nullptr;
            s = {name, file, line, code, {}};
            return &s;
        }
        if (s.name == name && s.file == file && s.line == line) return &s;
    }
    return nullptr;
}

bool spare_free(const Spare& spare) noexcept {
    return spare.frame && Py_REFCNT(spare.frame) == spare.refs;
}

// Whether the spare may stand in for a new frame with `globals`: nothing
// else holds it, and no reader left anything in it (locals, a trace
// function or its settings).
bool spare_fits(const Spare& spare, PyObject* globals) noexcept {
    if (!spare_free(spare) || spare.globals != globals) return false;
    const Py_ssize_t locals = PyObject_Size(spare.locals);
    if (locals != 0) {
        if (locals < 0) PyErr_Clear();
        return false;
    }
    return settings_fresh(spare.frame);
}

// Makes `frame` (held by the caller) the site's spare, unless the spare is
// in use.
void keep_spare(Spare& spare, Handle frame, PyObject* globals) noexcept {
    if (spare.frame && !spare_free(spare)) return;
    Ref locals = steal(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame.ptr())));
    if (!locals) {
        PyErr_Clear();
        return;
    }
    Py_CLEAR(spare.locals);
    Py_XSETREF(spare.frame, Py_NewRef(frame.ptr()));
    spare.globals = globals;
    spare.locals = locals.release();
    spare.refs = Py_REFCNT(frame.ptr()) - 1;  // less the caller's
}

// A frame of the site's code with `globals`, for one entry.
Ref site_frame(const char* name, const char* file, int line, PyObject* globals) noexcept {
    Site* s = find_site(name, file, line);
    if (s && spare_fits(s->spare, globals)) return borrow(s->spare.frame);
    Ref code = s ? borrow(reinterpret_cast<PyObject*>(s->code))
                 : steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line)));
    if (!code) return {};
    Ref frame = steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals,
                    nullptr)));
    if (frame && s) keep_spare(s->spare, frame, globals);
    return frame;
}

// Code objects and frames made in an interpreter that may be gone are let
// go of, never released.
int keep_sites() noexcept { return 0; }
void forget_sites() noexcept {
    for (Site& s : sites) s = {};
    for (Setting& setting : settings) setting.descriptor = nullptr;
}
ExecuteHook traceback_hook{0, keep_sites, forget_sites};

}  // namespace

void add_traceback(const char* name, const char* file, int line, PyObject* globals) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref frame = globals ? site_frame(name, file, line, globals) : Ref();
    // A failure to build the entry must not replace the exception it is for.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

}  // namespace frame
