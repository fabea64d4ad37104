// The frame's function type: what every function and method of the modules
// is, as Python code sees it, and how it takes its arguments.
#pragma once

#include "frame/module.hpp"

#include <span>

namespace frame {

// Entry of a function body: `args` holds exactly the function's parameters,
// bound and tested (borrowed references). Returns a new reference, or null
// with an exception set.
using Entry = PyObject* (*)(PyObject* function, PyObject* const* args);

enum FunctionFlags : unsigned {
    kAsync = 1u << 0,  // a call returns a coroutine of the frame
};

inline constexpr int kMaxParameters = 16;
inline constexpr int kMaxFunctions = 32;

// The static definition of one function. Parameters are all
// positional-or-keyword; the first `required` of them have no default.
struct FunctionDef {
    const char* name;      // plain name, as in the binding messages
    const char* qualname;  // "TrendKit._run"
    Entry entry;
    int argcount;
    int required;
    std::span<const char* const> varnames;  // parameters first, then locals
    const char* doc = nullptr;
    unsigned flags = 0;
    // Per parameter: the exact builtin type its argument must have, or null.
    std::span<PyTypeObject* const> exact_types = {};
    int line = 1;  // where the definition stands, for code object and entries
    const char* file = __builtin_FILE();

    // Filled by the execute step (step 10): the code object, the tuple of
    // parameter names used by keyword binding, and the traceback name.
    PyObject* code = nullptr;
    PyObject* argnames = nullptr;
    PyObject* trace_name = nullptr;  // "orveksdk.trend_kit.TrendKit._run"
};

// Creates code object, argument names and traceback name of `def`.
int prepare_function(FunctionDef& def);
// Lets go of what prepare_function made, for every definition, without
// releasing it (it belongs to an interpreter that may be gone).
void forget_prepared_functions();

// A `def`: a new function object of the shared type for `def`, with the
// module's dotted name and dictionary.
Ref new_function(FunctionDef& def);
// Attached right after creation, as the module body does for a `def` with
// defaults or annotations. The defaults fixed here are the ones calls use.
void set_defaults(PyObject* function, PyObject* defaults);
void set_annotations(PyObject* function, PyObject* annotations);

// The function type, readied but not yet shared (the execute step shares it).
PyTypeObject* own_function_type();

// The definition behind a function object of the shared type.
const FunctionDef& definition_of(PyObject* function);

// The globals the function was made with (borrowed; never null while the
// function can be called).
PyObject* globals_of(PyObject* function);

// The current __name__, __qualname__ and __module__ of a function of the
// shared type, read from its slots (what a coroutine it creates takes).
int function_names(PyObject* function, Ref& name, Ref& qualname, Ref& module);

// Adds the traceback entry of `def` at the line of its definition (used for
// failures of argument binding and of coroutine creation).
void add_definition_traceback(const FunctionDef& def);

}  // namespace frame
