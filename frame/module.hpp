// The module side of the frame: creation and execution of an extension module,
// its process-wide state, constants, name lookup, imports, class creation and
// traceback entries.
//
// A deliverable describes itself with one ModuleInfo (`module_info`) and
// declares its identifiers, texts, integers and cached builtins as
// namespace-scope Name / Text / Int / Builtin objects. Each of those registers
// itself when the shared library is loaded; the execute step then creates all
// of them before the module body runs.
#pragma once

#include "frame/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <source_location>

namespace frame {

// ---------------------------------------------------------------------------
// Constants created once by the execute step

// An interned identifier with its hash computed up front.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    operator PyObject*() const noexcept { return obj_; }
    PyObject* obj() const noexcept { return obj_; }
    Py_hash_t hash() const noexcept { return hash_; }
    const char* text() const noexcept { return text_; }

private:
    friend int create_constants();
    const char* text_;
    PyObject* obj_ = nullptr;
    Py_hash_t hash_ = -1;
    Name* next_;
};

// A text constant (not necessarily an identifier), hash computed up front.
class Text {
public:
    explicit Text(const char* utf8) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    operator PyObject*() const noexcept { return obj_; }
    PyObject* obj() const noexcept { return obj_; }

private:
    friend int create_constants();
    const char* utf8_;
    PyObject* obj_ = nullptr;
    Text* next_;
};

class Int {
public:
    explicit Int(long value) noexcept;
    Int(const Int&) = delete;
    Int& operator=(const Int&) = delete;

    operator PyObject*() const noexcept { return obj_; }

private:
    friend int create_integers();
    long value_;
    PyObject* obj_ = nullptr;
    Int* next_;
};

// A builtin read once from the builtins module, in declaration order, before
// the module body runs; later rebinding in builtins does not reach the bodies.
class Builtin {
public:
    explicit Builtin(Name& name) noexcept;
    Builtin(const Builtin&) = delete;
    Builtin& operator=(const Builtin&) = delete;

    operator PyObject*() const noexcept { return obj_; }

private:
    friend int cache_builtins();
    friend void forget_interpreter_objects();
    Name& name_;
    PyObject* obj_ = nullptr;
    Builtin* next_;
};

// A zeroed static type object with its header set, for a type's slots to be
// filled in by assignment.
inline PyTypeObject new_static_type() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return t;
}

// ---------------------------------------------------------------------------
// The deliverable's description, defined once per shared library.

struct ModuleInfo {
    const char* short_name;  // "trend_kit"
    const char* full_name;   // "orveksdk.trend_kit"
    const char* init_name;   // "init orveksdk.trend_kit": traceback entry of the body
    bool uses_coroutines;    // shares the coroutine types and registers them
    // Constant tuples and code objects (execute step 10).
    int (*make_constants)();
    // The module body (execute step 12); returns 0, or -1 with an exception set.
    int (*body)(PyObject* module, PyObject* dict);
};

extern const ModuleInfo module_info;

// Process-wide frame state of this deliverable.
struct State {
    PyObject* module = nullptr;  // held for the life of the process once executed
    int64_t interpreter = -1;    // the interpreter whose execute step succeeded
    int64_t last_interpreter = -1;  // the interpreter of the latest execute step
    PyObject* dict = nullptr;    // the module's dictionary (borrowed from module)
    PyObject* module_name = nullptr;  // the full dotted name, for __module__
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_text = nullptr;
    PyTypeObject* function_type = nullptr;
    PyTypeObject* coroutine_type = nullptr;
    PyTypeObject* await_wrapper_type = nullptr;
};

extern State state;

// The two slots of the module definition (multi-phase initialisation).
PyObject* create_module(PyObject* spec, PyModuleDef* def);
int exec_module(PyObject* module);

// Defines the module definition and the exported init function.
#define FRAME_MODULE_INIT(short_name)                                              \
    static PyModuleDef_Slot frame_slots_[] = {                                     \
        {Py_mod_create, reinterpret_cast<void*>(::frame::create_module)},          \
        {Py_mod_exec, reinterpret_cast<void*>(::frame::exec_module)},              \
        {0, nullptr}};                                                             \
    static PyMethodDef frame_methods_[] = {{nullptr, nullptr, 0, nullptr}};        \
    static PyModuleDef frame_def_ = {PyModuleDef_HEAD_INIT, #short_name, nullptr, \
                                     0, frame_methods_, frame_slots_,              \
                                     nullptr, nullptr, nullptr};                   \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##short_name() { \
        return PyModuleDef_Init(&frame_def_);                                      \
    }

// ---------------------------------------------------------------------------
// Failures and traceback entries

// What a failed step returns: null for object results, -1 for status results.
struct Failed {
    operator PyObject*() const noexcept { return nullptr; }
    operator Ref() const noexcept { return Ref(); }
    operator int() const noexcept { return -1; }
};

// Adds one entry to the traceback of the pending exception, the way the
// interpreter adds a Python frame: a frame of an empty code object named
// `name` at `file`:`line`, with the module's dictionary as its globals.
void add_traceback(const char* name, const char* file, int line);

// The traceback identity of one function body (or of the module body).
// `fail()` adds the entry at the line where it is written.
struct Where {
    const char* name;

    Failed fail(std::source_location at = std::source_location::current()) const {
        add_traceback(name, at.file_name(), static_cast<int>(at.line()));
        return {};
    }
};

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

// ---------------------------------------------------------------------------
// Names, imports, classes

// A module-level name: the module's dictionary (with the stored hash), then
// the builtins module, then NameError.
Ref global(const Name& name);

// Binds `value` under `name` in the module's dictionary.
int bind(const Name& name, PyObject* value);

// getattr(obj, name) where AttributeError means "absent": returns 1 with
// *out set, 0 when absent, -1 on any other error.
int lookup_optional(PyObject* obj, PyObject* name, Ref* out);

// `import a`: the module in sys.modules unless it is still initialising,
// otherwise the interpreter's import.
Ref import(const Name& module);

// `from a import ...`: the interpreter's import with `fromlist`, returning
// the module whose names are then read one by one with `import_from`.
Ref import_for_from(const Name& module, PyObject* fromlist);
// One name of a from-import: the attribute, else the submodule in
// sys.modules, else ImportError "cannot import name %S".
Ref import_from(PyObject* module, const Name& name);
// `from module import a, b`: each name read in order and bound under itself.
int from_import(const Name& module, std::initializer_list<const Name*> names);

// A class statement with bases: evaluates PEP 560 base resolution, the
// metaclass choice and __prepare__, and fills __module__, __qualname__,
// __doc__ and __orig_bases__ into the namespace.
class ClassStatement {
public:
    // Returns false with an exception set.
    bool begin(PyObject* name, PyObject* qualname, PyObject* bases, PyObject* doc);
    // Stores one class-body result in the namespace.
    int store(PyObject* key, PyObject* value);
    // Calls the metaclass with (name, resolved bases, namespace).
    Ref create();

    PyObject* namespace_() const noexcept { return ns_; }

private:
    Ref call_prepare(PyObject* prepare, PyObject* name);
    Ref name_, bases_, metaclass_, ns_;
};

// A class statement without bases and without a docstring: a plain
// dictionary namespace with __module__ and __qualname__, filled by the caller
// through `namespace_()`, created by calling `type`.
class PlainClassStatement {
public:
    bool begin(PyObject* qualname);
    int store(PyObject* key, PyObject* value);
    Ref create(PyObject* name);

    PyObject* namespace_() const noexcept { return ns_; }

private:
    Ref ns_;
};

}  // namespace frame
