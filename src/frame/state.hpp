// The frame's process-wide state, the description each module gives of
// itself, and the places where the function and coroutine types hook into
// module execution without the module side knowing them.
#pragma once

#include "frame/handle.hpp"

#include <cstdint>

namespace frame {

class Body;
enum class Flow;  // how a body ended (frame/statement.hpp)

// The deliverable's description, defined once per shared library.
struct ModuleInfo {
    const char* short_name;  // "trend_kit"
    const char* full_name;   // "orveksdk.trend_kit"
    bool uses_coroutines;    // shares the coroutine types and registers them
    // Constant tuples, made once before the body runs; 0 or -1.
    int (*make_constants)();
    // The module body; Flow::raised with the exception pending when it fails.
    Flow (*body)(Body& here);
    // Pins what the fast paths check, once the body has bound the module's
    // names (frame/pins.hpp); 0, or -1 with an exception pending.
    int (*pin)();
};

extern const ModuleInfo module_info;

struct State {
    PyObject* module = nullptr;  // held for the life of the process once executed
    int64_t interpreter = -1;    // the interpreter whose execute step succeeded
    int64_t last_interpreter = -1;  // the interpreter of the latest execute step
    PyObject* dict = nullptr;    // the module's dictionary (borrowed from module)
    PyObject* module_name = nullptr;  // the full dotted name, for __module__
    const char* init_name = "";     // "init <full name>": the module body's entry
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_text = nullptr;
    PyTypeObject* function_type = nullptr;
    PyTypeObject* coroutine_type = nullptr;
    PyTypeObject* await_wrapper_type = nullptr;
    // Set by the coroutine type: a new coroutine for a call of an
    // asynchronous function whose arguments are bound and tested.
    PyObject* (*new_coroutine)(PyObject* function, PyObject* const* args, int nargs) = nullptr;
};

extern State state;

// A type of the frame, shared by every module built on the same frame
// version through a registry module. Declared at namespace scope next to the
// type; registers itself while the shared library loads.
struct SharedType {
    SharedType(const char* key, PyTypeObject* own, PyTypeObject* State::*slot,
               bool coroutines_only) noexcept;
    const char* key;
    PyTypeObject* own;
    PyTypeObject* State::*slot;
    bool coroutines_only;
    char qualified_name[128] = {};  // the type's name, in the registry
    SharedType* next = nullptr;
};
SharedType* shared_types_head() noexcept;

// Work of a facility run by the execute step before the module body, in
// ascending `order`; `forget` lets go of what an earlier execute step made
// in another interpreter.
struct ExecuteHook {
    ExecuteHook(int order, int (*prepare)(), void (*forget)()) noexcept;
    int order;
    int (*prepare)();
    void (*forget)();
    ExecuteHook* next = nullptr;
};
ExecuteHook* execute_hooks_head() noexcept;

// A zeroed static type object with its header set, for a type's slots to be
// filled in by assignment.
inline PyTypeObject new_static_type() noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return t;
}

// ---------------------------------------------------------------------------
// The globals of the running body

// A body looks its names up in the globals of the function (or coroutine)
// that runs it, as Python code does: a function that outlives a failed
// import keeps the dictionary it was made with. Each running body, and the
// module body, sets them for the time it runs; per thread, since another
// thread may run a body while this one waits for the interpreter lock.
PyObject* running_globals() noexcept;

class RunningGlobals {
public:
    explicit RunningGlobals(PyObject* globals) noexcept;
    ~RunningGlobals();
    RunningGlobals(const RunningGlobals&) = delete;
    RunningGlobals& operator=(const RunningGlobals&) = delete;

private:
    PyObject* saved_;
};

// getattr(obj, name) where AttributeError means "absent": returns 1 with
// *out set, 0 when absent, -1 on any other error.
int lookup_optional(Handle obj, Handle name, Ref* out) noexcept;

}  // namespace frame
