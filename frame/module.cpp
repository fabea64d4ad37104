#include "frame/module.hpp"

#include <unordered_map>

#include <frameobject.h>

#include "frame/coroutine.hpp"
#include "frame/function.hpp"

namespace frame {

int lookup_optional(PyObject* obj, PyObject* name, Ref* out) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (v) {
        *out = steal(v);
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

State state;

namespace {
thread_local PyObject* current_globals = nullptr;
}  // namespace

PyObject* running_globals() noexcept { return current_globals ? current_globals : state.dict; }

RunningGlobals::RunningGlobals(PyObject* globals) noexcept : saved_(current_globals) {
    current_globals = globals;
}

RunningGlobals::~RunningGlobals() { current_globals = saved_; }

namespace {

// Registration lists, appended to in declaration order while the shared
// library's static objects are constructed.
Name* names_head = nullptr;
Name** names_tail = &names_head;
Text* texts_head = nullptr;
Text** texts_tail = &texts_head;
Int* ints_head = nullptr;
Int** ints_tail = &ints_head;
Builtin* builtins_head = nullptr;
Builtin** builtins_tail = &builtins_head;

// The registry module through which all modules with this frame version share
// their types. Bump the version whenever an object layout or slot changes.
constexpr const char kRegistry[] = "_orveksdk_frame_v1";

Name n_name{"__name__"};
Name n_module{"__module__"};
Name n_qualname{"__qualname__"};
Name n_doc{"__doc__"};
Name n_orig_bases{"__orig_bases__"};
Name n_mro_entries{"__mro_entries__"};
Name n_prepare{"__prepare__"};
Name n_spec{"__spec__"};
Name n_initializing{"_initializing"};
Text t_dot{"."};

int copy_spec_attribute(PyObject* spec, const char* from, PyObject* module, const char* to,
                        bool skip_none) {
    Ref name = steal(PyUnicode_InternFromString(from));
    if (!name) return -1;
    Ref value;
    int found = lookup_optional(spec, name, &value);
    if (found <= 0) return found;
    if (skip_none && value.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, value);
}

// The types this frame version registers, described by a capsule in the
// registry beside them. Only a type listed there was made by a frame: an
// object planted in the registry under a type's name is refused, whatever
// its size, since the frame reads its slots without further checks.
constexpr const char kTypesCapsule[] = "_orveksdk_frame_v1._types";
constexpr std::uint64_t kTypesMagic = 0x6f72766b66726d31;  // "orvkfrm1"

struct SharedTypes {
    std::uint64_t magic;
    PyTypeObject* function;
    PyTypeObject* coroutine;
    PyTypeObject* await_wrapper;
};

// Filled by the first frame to register; kept for the process.
SharedTypes own_shared_types = {kTypesMagic, nullptr, nullptr, nullptr};

// The description in the registry, or this frame's own put there.
SharedTypes* shared_types(PyObject* registry) {
    Ref capsule;
    int found = lookup_optional(registry, steal(PyUnicode_FromString("_types")), &capsule);
    if (found < 0) return nullptr;
    if (!found) {
        capsule = steal(PyCapsule_New(&own_shared_types, kTypesCapsule, nullptr));
        if (!capsule || PyObject_SetAttrString(registry, "_types", capsule) < 0) return nullptr;
        return &own_shared_types;
    }
    auto* types = PyCapsule_IsValid(capsule, kTypesCapsule)
                      ? static_cast<SharedTypes*>(PyCapsule_GetPointer(capsule, kTypesCapsule))
                      : nullptr;
    if (!types || types->magic != kTypesMagic) {
        PyErr_Format(PyExc_TypeError, "%s._types is not the frame's description of its types",
                     kRegistry);
        return nullptr;
    }
    return types;
}

// Step 5: the shared type stored under `key`, or `own` readied and stored.
PyTypeObject* share_type(PyObject* registry, const char* key, PyTypeObject* own,
                         PyTypeObject* SharedTypes::*slot) {
    SharedTypes* types = shared_types(registry);
    if (!types) return nullptr;
    Ref stored;
    int found = lookup_optional(registry, steal(PyUnicode_FromString(key)), &stored);
    if (found < 0) return nullptr;
    if (found) {
        if (!PyType_Check(stored.get()) ||
            reinterpret_cast<PyTypeObject*>(stored.get())->tp_basicsize != own->tp_basicsize) {
            PyErr_Format(PyExc_TypeError,
                         "shared frame type '%s' in %s is not a type of the expected size",
                         key, kRegistry);
            return nullptr;
        }
        if (reinterpret_cast<PyTypeObject*>(stored.get()) != types->*slot) {
            PyErr_Format(PyExc_TypeError, "shared frame type '%s' in %s was not made by a frame",
                         key, kRegistry);
            return nullptr;
        }
        // Held by the frame for the life of the process.
        return reinterpret_cast<PyTypeObject*>(stored.release());
    }
    // A type the description lists but the registry lost is put back.
    PyTypeObject* type = types->*slot ? types->*slot : own;
    if (type == own && PyType_Ready(own) < 0) return nullptr;
    if (PyObject_SetAttrString(registry, key, reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
    types->*slot = type;
    Py_INCREF(type);
    return type;
}

int share_types() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref registry = borrow(PyDict_GetItemString(modules, kRegistry));
    if (!registry) {
        registry = steal(PyModule_New(kRegistry));
        if (!registry || PyDict_SetItemString(modules, kRegistry, registry) < 0) return -1;
    }
    if (!state.function_type) {
        state.function_type =
            share_type(registry, "function", own_function_type(), &SharedTypes::function);
        if (!state.function_type) return -1;
    }
    if (module_info.uses_coroutines) {
        if (!state.coroutine_type) {
            state.coroutine_type =
                share_type(registry, "coroutine", own_coroutine_type(), &SharedTypes::coroutine);
            if (!state.coroutine_type) return -1;
        }
        if (!state.await_wrapper_type) {
            state.await_wrapper_type = share_type(registry, "coroutine_wrapper",
                                                  own_await_wrapper_type(),
                                                  &SharedTypes::await_wrapper);
            if (!state.await_wrapper_type) return -1;
        }
    }
    return 0;
}

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(nullptr) {
    *names_tail = this;
    names_tail = &next_;
}

Text::Text(const char* utf8) noexcept : utf8_(utf8), next_(nullptr) {
    *texts_tail = this;
    texts_tail = &next_;
}

Int::Int(long value) noexcept : value_(value), next_(nullptr) {
    *ints_tail = this;
    ints_tail = &next_;
}

Builtin::Builtin(Name& name) noexcept : name_(name), next_(nullptr) {
    *builtins_tail = this;
    builtins_tail = &next_;
}

// Step 6. Constants live for the process; a later execute step after a failed
// one keeps those already made.
int create_constants() {
    for (Name* n = names_head; n; n = n->next_) {
        if (n->obj_) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) return -1;
        n->hash_ = PyObject_Hash(n->obj_);
        if (n->hash_ == -1) return -1;
    }
    for (Text* t = texts_head; t; t = t->next_) {
        if (t->obj_) continue;
        t->obj_ = PyUnicode_FromString(t->utf8_);
        if (!t->obj_ || PyObject_Hash(t->obj_) == -1) return -1;
    }
    return 0;
}

// Step 7.
int create_integers() {
    for (Int* i = ints_head; i; i = i->next_) {
        if (i->obj_) continue;
        i->obj_ = PyLong_FromLong(i->value_);
        if (!i->obj_) return -1;
    }
    return 0;
}

void forget_interpreter_objects() {
    for (Builtin* b = builtins_head; b; b = b->next_) b->obj_ = nullptr;
    state.builtins = nullptr;
    forget_prepared_functions();
    if (module_info.uses_coroutines) forget_coroutine_registration();
}

// Step 9. Read afresh on every execute step, in declaration order.
int cache_builtins() {
    for (Builtin* b = builtins_head; b; b = b->next_) {
        PyObject* v = PyObject_GetAttr(state.builtins, b->name_);
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", b->name_.obj());
            }
            return -1;
        }
        Py_XSETREF(b->obj_, v);
    }
    return 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
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
    Ref module = steal(PyModule_NewObject(name));
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, "loader", module, "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", module, "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", module, "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", module, "__path__", true) < 0)
        return nullptr;
    return module.release();
}

namespace {

// Steps 2 to 12.
int run_execute(PyObject* module) {
    state.dict = PyModule_GetDict(module);
    // Read on every execute step: an earlier, failed one may have run in
    // another interpreter.
    Py_XSETREF(state.builtins, PyImport_ImportModule("builtins"));
    if (!state.builtins) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) return -1;

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

    if (!state.empty_tuple) {
        state.empty_tuple = PyTuple_New(0);
        state.empty_bytes = PyBytes_FromStringAndSize("", 0);
        state.empty_text = PyUnicode_FromStringAndSize("", 0);
        if (!state.empty_tuple || !state.empty_bytes || !state.empty_text) return -1;
    }
    if (share_types() < 0) return -1;
    if (!state.module_name) {
        state.module_name = PyUnicode_InternFromString(module_info.full_name);
        if (!state.module_name) return -1;
    }
    if (create_constants() < 0) return -1;
    if (create_integers() < 0) return -1;

    // From here on a failure carries the module body's traceback entry; the
    // body adds its own at the failing statement.
    const Where init{module_info.init_name};
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, state.module_name);
    if (present < 0) return init.fail();
    if (!present && PyDict_SetItem(modules, state.module_name, module) < 0) return init.fail();

    if (cache_builtins() < 0) return init.fail();
    if (module_info.make_constants() < 0) return init.fail();
    if (module_info.uses_coroutines && prepare_coroutines() < 0) return init.fail();
    RunningGlobals running(state.dict);
    return module_info.body(module, state.dict);
}

}  // namespace

int exec_module(PyObject* module) {
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

namespace {

// The code object of each traceback site, made once: sites are a fixed set
// of (entry name, source file, line), all static texts, so their addresses
// identify them. Kept for the life of the process, as the module is.
struct Site {
    const char* name;
    const char* file;
    int line;
    bool operator==(const Site&) const = default;
};
struct SiteHash {
    std::size_t operator()(const Site& s) const noexcept {
        return std::hash<const void*>()(s.name) ^ (std::hash<const void*>()(s.file) << 1) ^
               (static_cast<std::size_t>(s.line) << 3);
    }
};
std::unordered_map<Site, PyCodeObject*, SiteHash>* site_codes;

PyCodeObject* site_code(const char* name, const char* file, int line) {
    if (!site_codes) site_codes = new std::unordered_map<Site, PyCodeObject*, SiteHash>();
    Site key{name, file, line};
    auto found = site_codes->find(key);
    if (found != site_codes->end()) return found->second;
    PyCodeObject* code = PyCode_NewEmpty(file, name, line);
    if (code) site_codes->emplace(key, code);
    return code;
}

}  // namespace

void add_traceback(const char* name, const char* file, int line) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyCodeObject* code = site_code(name, file, line);  // borrowed
    Py_XINCREF(code);
    PyFrameObject* frame = nullptr;
    PyObject* globals = running_globals();
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    // A failure to build the entry must not replace the exception it is for.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

namespace {
// The running body's globals, or SystemError when no body runs.
PyObject* globals_or_fail() {
    PyObject* globals = running_globals();
    if (!globals) PyErr_SetString(PyExc_SystemError, "no module globals: the module body never ran");
    return globals;
}
}  // namespace

Ref global(const Name& name) {
    PyObject* globals = globals_or_fail();
    if (!globals) return {};
    PyObject* value = _PyDict_GetItem_KnownHash(globals, name.obj(), name.hash());
    if (value) return borrow(value);
    if (PyErr_Occurred()) return {};
    value = PyObject_GetAttr(state.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.obj());
    }
    return steal(value);
}

int bind(const Name& name, PyObject* value) {
    PyObject* globals = globals_or_fail();
    if (!globals) return -1;
    return _PyDict_SetItem_KnownHash(globals, name.obj(), value, name.hash());
}

Ref import(const Name& module) {
    Ref loaded = steal(PyImport_GetModule(module));
    // None in sys.modules halts the import: the interpreter's import says so.
    if (loaded.get() == Py_None) loaded.reset();
    if (loaded) {
        Ref spec, initializing;
        int found = lookup_optional(loaded, n_spec, &spec);
        if (found < 0) return {};
        int busy = 0;
        if (found) {
            found = lookup_optional(spec, n_initializing, &initializing);
            if (found < 0) return {};
            if (found && (busy = PyObject_IsTrue(initializing)) < 0) return {};
        }
        if (!busy) return loaded;
    } else if (PyErr_Occurred()) {
        return {};
    }
    PyObject* globals = globals_or_fail();
    if (!globals) return {};
    Ref locals = steal(PyDict_New());
    if (!locals) return {};
    return steal(PyImport_ImportModuleLevelObject(module, globals, locals, nullptr, 0));
}

Ref import_for_from(const Name& module, PyObject* fromlist) {
    PyObject* globals = globals_or_fail();
    if (!globals) return {};
    Ref locals = steal(PyDict_New());
    if (!locals) return {};
    return steal(PyImport_ImportModuleLevelObject(module, globals, locals, fromlist, 0));
}

Ref import_from(PyObject* module, const Name& name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value) return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    Ref module_name = steal(PyObject_GetAttr(module, n_name));
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref dotted = steal(PyUnicode_Concat(module_name, t_dot));
        Ref full = dotted ? steal(PyUnicode_Concat(dotted, name)) : Ref();
        if (full) {
            value = PyImport_GetModule(full);
            if (value) return steal(value);
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.obj());
    return {};
}

int from_import(const Name& module, std::initializer_list<const Name*> names) {
    Ref fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (const Name* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name->obj()));
    Ref imported = import_for_from(module, fromlist);
    if (!imported) return -1;
    for (const Name* name : names) {
        Ref value = import_from(imported, *name);
        if (!value || bind(*name, value) < 0) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Class statements

namespace {

// PEP 560: bases that are not classes may stand in for others.
Ref resolve_bases(PyObject* bases) {
    Ref resolved;  // a list once some base was replaced
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        Ref entries_method;
        int found = 0;
        if (!PyType_Check(base)) {
            found = lookup_optional(base, n_mro_entries, &entries_method);
            if (found < 0) return {};
        }
        if (!found) {
            if (resolved && PyList_Append(resolved, base) < 0) return {};
            continue;
        }
        Ref entries = steal(PyObject_CallOneArg(entries_method, bases));
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        if (!resolved) {
            resolved = steal(PyTuple_GetSlice(bases, 0, i));
            if (resolved) resolved = steal(PySequence_List(resolved));
            if (!resolved) return {};
        }
        Py_ssize_t end = PyList_GET_SIZE(resolved.get());
        if (PyList_SetSlice(resolved, end, end, entries) < 0) return {};
    }
    if (!resolved) return borrow(bases);
    return steal(PyList_AsTuple(resolved));
}

Ref choose_metaclass(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 1; i < n; i++) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
        } else if (!PyType_IsSubtype(winner, candidate)) {
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a "
                            "(non-strict) subclass of the metaclasses of all its bases");
            return {};
        }
    }
    return borrow(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

bool ClassStatement::begin(PyObject* name, PyObject* qualname, PyObject* bases, PyObject* doc) {
    name_ = borrow(name);
    bases_ = resolve_bases(bases);
    if (!bases_) return false;
    metaclass_ = choose_metaclass(bases_);
    if (!metaclass_) return false;
    Ref prepare;
    int found = lookup_optional(metaclass_, n_prepare, &prepare);
    if (found < 0) return false;
    ns_ = found ? call_prepare(prepare, name) : steal(PyDict_New());
    if (!ns_) return false;
    if (store(n_module, state.module_name) < 0) return false;
    if (store(n_qualname, qualname) < 0) return false;
    if (doc && store(n_doc, doc) < 0) return false;
    if (bases_.get() != bases && store(n_orig_bases, bases) < 0) return false;
    return true;
}

Ref ClassStatement::call_prepare(PyObject* prepare, PyObject* name) {
    PyObject* args[] = {name, bases_.get()};
    return steal(PyObject_Vectorcall(prepare, args, 2, nullptr));
}

int ClassStatement::store(PyObject* key, PyObject* value) {
    return PyObject_SetItem(ns_, key, value);
}

Ref ClassStatement::create() {
    PyObject* args[] = {name_.get(), bases_.get(), ns_.get()};
    return steal(PyObject_Vectorcall(metaclass_, args, 3, nullptr));
}

bool PlainClassStatement::begin(PyObject* qualname) {
    ns_ = steal(PyDict_New());
    return ns_ && store(n_module, state.module_name) == 0 && store(n_qualname, qualname) == 0;
}

int PlainClassStatement::store(PyObject* key, PyObject* value) {
    return PyDict_SetItem(ns_, key, value);
}

Ref PlainClassStatement::create(PyObject* name) {
    PyObject* args[] = {name, state.empty_tuple, ns_.get()};
    return steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
}

}  // namespace frame
