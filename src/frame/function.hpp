// The frame's function type: what every function and method of the modules
// is, as Python code sees it, how it takes its arguments, and the
// definitions it is made from.
#pragma once

#include "frame/lookup.hpp"

#include <array>

namespace frame {

class Body;
class FunctionDef;
enum class Flow;

// Entry of a function body: `args` holds exactly the function's parameters,
// bound and tested (borrowed references); `self` is the function, or the
// coroutine for an asynchronous one. Returns a new reference, or null with
// an exception set.
using Entry = PyObject* (*)(const FunctionDef& def, PyObject* self, PyObject* const* args);

enum FunctionFlags : unsigned {
    kAsync = 1u << 0,  // a call returns a coroutine of the frame
};

inline constexpr int kMaxVarnames = 32;

// What a `def` line says. Parameters are all positional-or-keyword; the
// first `required` of them (all, by default) have no default.
struct Signature {
    const char* qualname;  // "TrendKit._run"; the name is its last part
    int argcount;
    int required = -1;
    std::array<const char*, kMaxVarnames> varnames = {};  // parameters first, then locals
    const char* doc = nullptr;
    unsigned flags = 0;
    // Per parameter: the exact builtin type its argument must have, or null.
    std::array<PyTypeObject*, kMaxArgs> exact_types = {};
};

// The static definition of one function, declared once at namespace scope
// beside its body. It registers itself while the shared library loads; the
// execute step prepares every registered definition, and the module body
// makes functions of them by qualified name.
class FunctionDef {
public:
    FunctionDef(const Signature& signature, Entry entry, Flow (*body)(Body&), int line,
                const char* file) noexcept;
    FunctionDef(const FunctionDef&) = delete;
    FunctionDef& operator=(const FunctionDef&) = delete;

    Signature signature;  // as written, with `required` filled in
    const char* name;     // the plain name, the last part of the qualified one
    int nvarnames;
    Entry entry;
    Flow (*body)(Body&);  // the statements, for entries that run them
    int line;             // where the definition stands, for code object and entries
    const char* file;
    // "orveksdk.trend_kit.TrendKit._run": the entry of binding failures,
    // and of the body of a plain function. A coroutine's body reports
    // under the plain name, as its frame is named.
    char trace[160];
    const char* body_trace() const noexcept { return (signature.flags & kAsync) ? name : trace; }

    // Made by the execute step for the running interpreter.
    PyObject* code = nullptr;
    PyObject* argnames = nullptr;   // parameter names, for keyword binding
    PyObject* name_object = nullptr;
    PyObject* doc_object = nullptr;  // the docstring as a text, or null
    FunctionDef* next = nullptr;
};

// The registered definition with this qualified name, or null with SystemError.
FunctionDef* find_definition(const char* qualname) noexcept;

// A `def`: a new function object of the shared type, with the module's
// dotted name and the running globals, and the annotations and defaults
// the statement gives (null for none). The defaults fixed here are the ones
// calls use.
// (`type`, for the tests: a subclass of the shared type to make it of.)
Ref define(const char* qualname, Handle annotations = {}, Handle defaults = {}) noexcept;
Ref define(FunctionDef& def, Handle annotations = {}, Handle defaults = {},
           PyTypeObject* type = nullptr) noexcept;

// A module-level `def`: the function bound under its name.
int def(const char* qualname, Handle annotations = {}, Handle defaults = {}) noexcept;

// A `def` in a class body: the function stored under its name.
template <typename ClassStatement>
    requires requires(ClassStatement& c, Handle h) { c.store(h, h); }
int def(ClassStatement& cls, const char* qualname, Handle annotations = {},
        Handle defaults = {}) noexcept {
    FunctionDef* d = find_definition(qualname);
    if (!d) return -1;
    return cls.store(d->name_object, define(*d, annotations, defaults));
}

// The definition behind a function object of the shared type.
const FunctionDef& definition_of(PyObject* function) noexcept;

// The globals the function was made with (borrowed; never null while the
// function can be called).
PyObject* globals_of(PyObject* function) noexcept;

// The current __name__, __qualname__ and __module__ of a function of the
// shared type, read from its slots (what a coroutine it creates takes).
int function_names(PyObject* function, Ref& name, Ref& qualname, Ref& module) noexcept;

// Stores a text into an attribute slot, refusing anything else (and
// deletion) with TypeError `message`, as function and coroutine names do.
int set_text_slot(PyObject** slot, PyObject* value, const char* message) noexcept;

// Adds the traceback entry of `def` at the line of its definition, with
// the function's globals (used for failures of argument binding).
void add_definition_traceback(const FunctionDef& def, PyObject* globals) noexcept;

}  // namespace frame
