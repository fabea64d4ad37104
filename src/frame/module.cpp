#include "frame/module.hpp"

#include <cstdio>
#include <cstring>

#include "frame/pins.hpp"
#include "frame/statement.hpp"

namespace frame {

namespace {

int copy_spec_attribute(PyObject* spec, const char* from, PyObject* module, const char* to,
                        bool skip_none) noexcept {
    Ref name = steal(PyUnicode_InternFromString(from));
    if (!name) return -1;
    Ref value;
    int found = lookup_optional(spec, name, &value);
    if (found <= 0) return found;
    if (skip_none && value.ptr() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, value.ptr());
}

// The types the frame shares, described by a capsule in the registry beside
// them. Only a type listed there was made by a frame: an object planted in
// the registry under a type's name is refused, whatever its size, since the
// frame reads its slots without further checks.
constexpr std::uint64_t kTypesMagic = 0x6f72766b66726d31;  // "orvkfrm1"

struct SharedTypes {
    std::uint64_t magic;
    PyTypeObject* function;
    PyTypeObject* coroutine;
    PyTypeObject* await_wrapper;
};

// Filled by the first frame to register; kept for the process.
SharedTypes own_shared_types = {kTypesMagic, nullptr, nullptr, nullptr};

// The registry module through which all modules on the same frame layout
// share their types. Its name carries the layout: the instance size of each
// shared type and the size of the capsule's record, so a frame whose objects
// are laid out otherwise uses a registry of its own without anyone bumping
// a version by hand ("_orveksdk_frame_v152_200_24_32").
char registry_name[96];
char capsule_name[128];

void name_registry() noexcept {
    if (registry_name[0]) return;
    int n = std::snprintf(registry_name, sizeof registry_name, "_orveksdk_frame_v");
    for (SharedType* t = shared_types_head(); t; t = t->next)
        n += std::snprintf(registry_name + n, sizeof registry_name - static_cast<std::size_t>(n),
                           "%zd_", t->own->tp_basicsize);
    std::snprintf(registry_name + n, sizeof registry_name - static_cast<std::size_t>(n), "%zu",
                  sizeof(SharedTypes));
    std::snprintf(capsule_name, sizeof capsule_name, "%s._types", registry_name);
    // Each type is named in the registry: "_orveksdk_frame_v....function".
    for (SharedType* t = shared_types_head(); t; t = t->next) {
        std::snprintf(t->qualified_name, sizeof t->qualified_name, "%s.%s", registry_name, t->key);
        t->own->tp_name = t->qualified_name;
    }
}

// The description in the registry, or this frame's own put there.
SharedTypes* shared_types(Handle registry) noexcept {
    Ref capsule;
    Ref key = steal(PyUnicode_FromString("_types"));
    int found = key ? lookup_optional(registry, key, &capsule) : -1;
    if (found < 0) return nullptr;
    if (!found) {
        capsule = steal(PyCapsule_New(&own_shared_types, capsule_name, nullptr));
        if (!capsule || PyObject_SetAttrString(registry.ptr(), "_types", capsule.ptr()) < 0) return nullptr;
        return &own_shared_types;
    }
    auto* types = PyCapsule_IsValid(capsule.ptr(), capsule_name)
                      ? static_cast<SharedTypes*>(PyCapsule_GetPointer(capsule.ptr(), capsule_name))
                      : nullptr;
    if (!types || types->magic != kTypesMagic) {
        PyErr_Format(PyExc_TypeError, "%s._types is not the frame's description of its types",
                     registry_name);
        return nullptr;
    }
    return types;
}

// The shared type stored under `key`, or `own` readied and stored.
PyTypeObject* share_type(Handle registry, const char* key, PyTypeObject* own,
                         PyTypeObject* SharedTypes::*slot) noexcept {
    SharedTypes* types = shared_types(registry);
    if (!types) return nullptr;
    Ref stored;
    Ref name = steal(PyUnicode_FromString(key));
    int found = name ? lookup_optional(registry, name, &stored) : -1;
    if (found < 0) return nullptr;
    if (found) {
        if (!PyType_Check(stored.ptr()) ||
            reinterpret_cast<PyTypeObject*>(stored.ptr())->tp_basicsize != own->tp_basicsize) {
            PyErr_Format(PyExc_TypeError,
                         "shared frame type '%s' in %s is not a type of the expected size",
                         key, registry_name);
            return nullptr;
        }
        if (reinterpret_cast<PyTypeObject*>(stored.ptr()) != types->*slot) {
            PyErr_Format(PyExc_TypeError, "shared frame type '%s' in %s was not made by a frame",
                         key, registry_name);
            return nullptr;
        }
        // Held by the frame for the life of the process.
        return reinterpret_cast<PyTypeObject*>(stored.release());
    }
    // A type the description lists but the registry lost is put back.
    PyTypeObject* type = types->*slot ? types->*slot : own;
    if (type == own && PyType_Ready(own) < 0) return nullptr;
    if (PyObject_SetAttrString(registry.ptr(), key, reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
    types->*slot = type;
    Py_INCREF(type);
    return type;
}

// The capsule's record of the type registered under `key`.
PyTypeObject* SharedTypes::*capsule_slot(const char* key) noexcept {
    if (std::strcmp(key, "function") == 0) return &SharedTypes::function;
    if (std::strcmp(key, "coroutine") == 0) return &SharedTypes::coroutine;
    return &SharedTypes::await_wrapper;
}

// Every type registered by the frame's facilities, shared through the registry.
int share_types() noexcept {
    name_registry();
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref registry = borrow(PyDict_GetItemString(modules, registry_name));
    if (!registry) {
        registry = steal(PyModule_New(registry_name));
        if (!registry || PyDict_SetItemString(modules, registry_name, registry.ptr()) < 0) return -1;
    }
    for (SharedType* t = shared_types_head(); t; t = t->next) {
        if (t->coroutines_only && !module_info.uses_coroutines) continue;
        if (state.*t->slot) continue;
        state.*t->slot = share_type(registry, t->key, t->own, capsule_slot(t->key));
        if (!(state.*t->slot)) return -1;
    }
    return 0;
}


// Lets go of what an execute step in another interpreter made.
void forget_interpreter_objects() noexcept {
    forget_builtins();
    Pin::forget_all();
    state.builtins = nullptr;
    for (ExecuteHook* h = execute_hooks_head(); h; h = h->next) h->forget();
}

// The facilities' work, in ascending order.
int run_execute_hooks() noexcept {
    int done = 0;  // orders below this have run
    for (;;) {
        ExecuteHook* next = nullptr;
        for (ExecuteHook* h = execute_hooks_head(); h; h = h->next)
            if (h->order >= done && (!next || h->order < next->order)) next = h;
        if (!next) return 0;
        if (next->prepare() < 0) return -1;
        done = next->order + 1;
    }
}

char init_name[160];

// The execute step, after the checks of exec_module.
int run_execute(PyObject* module) noexcept {
    // 1. The module's dictionary and builtins, read on every execute step:
    //    an earlier, failed one may have run in another interpreter.
    state.dict = PyModule_GetDict(module);
    Py_XSETREF(state.builtins, PyImport_ImportModule("builtins"));
    if (!state.builtins) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) return -1;

    // 2. A warning when the running interpreter is not the one compiled for.
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s "
                             "runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, module_info.full_name,
                             "does not match", major, minor) < 0)
            return -1;
    }

    // 3. The empty tuple, bytes and text.
    if (!state.empty_tuple) {
        state.empty_tuple = PyTuple_New(0);
        state.empty_bytes = PyBytes_FromStringAndSize("", 0);
        state.empty_text = PyUnicode_FromStringAndSize("", 0);
        if (!state.empty_tuple || !state.empty_bytes || !state.empty_text) return -1;
    }
    // 4. The types shared by every module on this frame version.
    if (share_types() < 0) return -1;
    // 5. The module's dotted name, and its names, texts and integers.
    if (!state.module_name) {
        state.module_name = PyUnicode_InternFromString(module_info.full_name);
        if (!state.module_name) return -1;
        std::snprintf(init_name, sizeof init_name, "init %s", module_info.full_name);
        state.init_name = init_name;
    }
    if (create_constants() < 0) return -1;

    // From here on a failure carries the module body's traceback entry; the
    // body adds its own at the failing statement.
    const Where init{state.init_name};
    // 6. The module in sys.modules, unless a loader put it there already.
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, state.module_name);
    if (present < 0) return init.fail();
    if (!present && PyDict_SetItem(modules, state.module_name, module) < 0) return init.fail();

    // 7. The builtins the bodies use, then the module's constant tuples.
    if (cache_builtins() < 0) return init.fail();
    if (module_info.make_constants() < 0) return init.fail();
    // 8. Code objects of the functions, the coroutine type's registration.
    if (run_execute_hooks() < 0) return init.fail();

    // 9. The module body.
    RunningGlobals running(state.dict);
    Body here{state.init_name, nullptr};
    if (module_info.body(here) == Flow::raised) return -1;
    // 10. What the fast paths check, as the body left it.
    if (module_info.pin() < 0) return init.fail();
    return 0;
}

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    // The first interpreter whose execute step succeeds owns the module;
    // a failed import binds nothing.
    if (state.interpreter != -1 && state.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.ptr()));
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, "loader", module.ptr(), "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", module.ptr(), "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", module.ptr(), "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", module.ptr(), "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int exec_module(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_info.short_name);
        return -1;
    }
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    // A failed execute step in another interpreter left objects of that
    // interpreter, which may be gone by now: they are let go of, never
    // released from here (functions that outlived that import, in that
    // interpreter, still use them).
    if (state.last_interpreter != -1 && state.last_interpreter != current)
        forget_interpreter_objects();
    state.last_interpreter = current;
    state.module = Py_NewRef(module);
    if (run_execute(module) < 0) {
        // A later import starts again with a new module object.
        Py_CLEAR(state.module);
        state.dict = nullptr;
        return -1;
    }
    state.interpreter = current;
    return 0;
}


}  // namespace frame
