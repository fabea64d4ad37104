#include "frame/pins.hpp"

#include <cstdint>
#include <cstring>

namespace frame {

namespace {
// Pinned dictionaries are watched: every change to one bumps `changes`, so
// that a DictPin compares its entries only after something changed. Where
// the interpreter has no watcher to spare, every check compares.
int watcher = -1;
bool watcher_tried = false;
std::uint64_t changes = 0;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    changes++;
    return 0;
}

void watch(PyObject* dict) noexcept {
    if (!watcher_tried) {
        watcher_tried = true;
        watcher = PyDict_AddWatcher(on_dict_change);
        if (watcher < 0) PyErr_Clear();
    }
    if (watcher >= 0 && PyDict_Watch(watcher, dict) < 0) PyErr_Clear();
}

// Every pin, in declaration order, registered while the shared library's
// static objects are constructed.
Pin* pins_head = nullptr;
Pin** pins_tail = &pins_head;

// The text attribute `name` of `obj` as UTF-8, or null (an exception of
// the kind looks meet is cleared).
const char* text_attribute(Handle obj, const char* name, Ref& keep) noexcept {
    keep = steal(PyObject_GetAttrString(obj.ptr(), name));
    if (!keep) {
        look_declined();
        return nullptr;
    }
    return PyUnicode_Check(keep.ptr()) ? PyUnicode_AsUTF8(keep.ptr()) : nullptr;
}

// Whether `value` is the library's own (see Pin::set_if_from); -1 with an
// exception no look expects.
int from_library(Handle value, const char* module, const char* qualname) noexcept {
    if (!value) return look_declined() ? 0 : -1;
    Ref keep_module, keep_qualname;
    const char* from = text_attribute(value, "__module__", keep_module);
    if (!from) return PyErr_Occurred() ? (look_declined() ? 0 : -1) : 0;
    const std::size_t length = std::strlen(module);
    if (std::strncmp(from, module, length) != 0 || (from[length] != '\0' && from[length] != '.'))
        return 0;
    if (!qualname) return 1;
    const char* q = text_attribute(value, "__qualname__", keep_qualname);
    if (!q) return PyErr_Occurred() ? (look_declined() ? 0 : -1) : 0;
    return std::strcmp(q, qualname) == 0;
}
}  // namespace

bool look_declined() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    return true;
}

Pin::Pin() noexcept {
    *pins_tail = this;
    pins_tail = &next_;
}

int Pin::set(Handle value) noexcept {
    if (!value) return -1;
    Py_XSETREF(p_, Py_NewRef(value.ptr()));
    return 0;
}

int Pin::set_if_from(Handle value, const char* module, const char* qualname) noexcept {
    const int genuine = from_library(value, module, qualname);
    if (genuine > 0) set(value);
    return genuine < 0 ? -1 : 0;
}

void Pin::set_module(Handle module, const char* name) noexcept {
    if (!module || !PyModule_CheckExact(module.ptr())) return;
    const char* actual = PyModule_GetName(module.ptr());
    if (!actual) {
        PyErr_Clear();
        return;
    }
    if (std::strcmp(actual, name) == 0) set(module);
}

void Pin::forget_all() noexcept {
    for (Pin* p = pins_head; p; p = p->next_) {
        switch (p->kind_) {
            case Kind::object: p->forget(); break;
            case Kind::class_attributes: static_cast<ClassPin*>(p)->forget(); break;
            case Kind::dict_entries: static_cast<DictPin*>(p)->forget(); break;
        }
    }
    // The watcher was the other interpreter's.
    watcher = -1;
    watcher_tried = false;
}

void Pin::forget() noexcept {
    p_ = nullptr;
    functions_ = nullptr;
}

namespace {
// The Python function behind a value of a namespace: itself, the one a
// staticmethod or classmethod wraps, or a property's getter; null for
// anything else.
Ref function_of(PyObject* value) noexcept {
    if (PyFunction_Check(value)) return borrow(value);
    const char* inner = PyObject_TypeCheck(value, &PyProperty_Type) ? "fget"
                        : PyObject_TypeCheck(value, &PyStaticMethod_Type) ||
                                  PyObject_TypeCheck(value, &PyClassMethod_Type)
                            ? "__func__"
                            : nullptr;
    if (!inner) return {};
    Ref wrapped = steal(PyObject_GetAttrString(value, inner));
    if (!wrapped) PyErr_Clear();
    return wrapped && PyFunction_Check(wrapped.ptr()) ? wrapped : Ref();
}

PyObject* or_none(PyObject* o) noexcept { return o ? o : Py_None; }

// Appends the state of each function among the values of `dict` to `states`.
int add_function_states(PyObject* states, PyObject* dict) noexcept {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        Ref f = function_of(value);
        if (!f) continue;
        PyObject* items[] = {f.ptr(), PyFunction_GET_CODE(f.ptr()), or_none(PyFunction_GET_DEFAULTS(f.ptr())),
                             or_none(PyFunction_GET_KW_DEFAULTS(f.ptr()))};
        for (PyObject* item : items)
            if (PyList_Append(states, item) < 0) return -1;
    }
    return 0;
}
}  // namespace

int Pin::keep_functions(PyObject* const* dicts, Py_ssize_t count) noexcept {
    Ref states = steal(PyList_New(0));
    if (!states) return -1;
    for (Py_ssize_t i = 0; i < count; i++)
        if (add_function_states(states.ptr(), dicts[i]) < 0) return -1;
    PyObject* functions = PyList_AsTuple(states.ptr());
    if (!functions) return -1;
    Py_XSETREF(functions_, functions);
    return 0;
}

bool Pin::functions_unchanged() const noexcept {
    if (!functions_) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(functions_); i < n; i += 4) {
        PyObject* f = PyTuple_GET_ITEM(functions_, i);
        if (PyFunction_GET_CODE(f) != PyTuple_GET_ITEM(functions_, i + 1) ||
            or_none(PyFunction_GET_DEFAULTS(f)) != PyTuple_GET_ITEM(functions_, i + 2) ||
            or_none(PyFunction_GET_KW_DEFAULTS(f)) != PyTuple_GET_ITEM(functions_, i + 3))
            return false;
    }
    return true;
}

namespace {
Name n_warning_registry{"__warningregistry__"};

// The warnings module's record of the warnings a module's code has shown,
// which it adds to the module's namespace: no code reads it, so it is no
// entry of a pin.
bool is_bookkeeping(PyObject* key) noexcept { return key == n_warning_registry.ptr(); }

// The entries of `dict` as a tuple (key, value, key, value, ...).
Ref entries_of(PyObject* dict) noexcept {
    Ref entries = steal(PyList_New(0));
    if (!entries) return {};
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (is_bookkeeping(key)) continue;
        if (PyList_Append(entries.ptr(), key) < 0 || PyList_Append(entries.ptr(), value) < 0) return {};
    }
    return steal(PyList_AsTuple(entries.ptr()));
}

// Whether `dict` holds exactly `entries`, in that order.
bool same_entries(PyObject* dict, PyObject* entries) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(entries);
    Py_ssize_t position = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (is_bookkeeping(key)) continue;
        if (i >= n || key != PyTuple_GET_ITEM(entries, i) || value != PyTuple_GET_ITEM(entries, i + 1))
            return false;
        i += 2;
    }
    return i == n;
}
}  // namespace

int ClassPin::set_class(Handle type, const char* module, const char* qualname) noexcept {
    if (!type || !PyType_Check(type.ptr())) return type || look_declined() ? 0 : -1;
    auto* cls = reinterpret_cast<PyTypeObject*>(type.ptr());
    const int genuine = from_library(type, module, qualname);
    // A class the interpreter cannot tag (too many changes already) is not
    // pinned: its fast paths are never taken.
    if (genuine <= 0 || !PyUnstable_Type_AssignVersionTag(cls)) return genuine < 0 ? -1 : 0;
    // The functions of every class it inherits from too: a base's method
    // changed in place changes no tag.
    PyObject* mro = cls->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    if (n > kMaxBases) return 0;
    Ref attributes = steal(PyTuple_New(n + 1));
    if (!attributes) return -1;
    PyTuple_SET_ITEM(attributes.ptr(), 0, Py_NewRef(mro));
    Ref dicts_held[kMaxBases];
    PyObject* dicts[kMaxBases];
    for (Py_ssize_t i = 0; i < n; i++) {
        dicts_held[i] = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dicts_held[i]) return -1;
        dicts[i] = dicts_held[i].ptr();
        Ref entries = entries_of(dicts[i]);
        if (!entries) return -1;
        PyTuple_SET_ITEM(attributes.ptr(), i + 1, entries.release());
    }
    if (keep_functions(dicts, n) < 0) return -1;
    set(type);
    Py_XSETREF(attributes_, attributes.release());
    tag_ = cls->tp_version_tag;
    return 0;
}

bool ClassPin::retag() const noexcept {
    auto* cls = reinterpret_cast<PyTypeObject*>(p_);
    if (!attributes_ || cls->tp_mro != PyTuple_GET_ITEM(attributes_, 0)) {
        // Another MRO object: the same classes in it, or nothing.
        PyObject* pinned = attributes_ ? PyTuple_GET_ITEM(attributes_, 0) : nullptr;
        if (!pinned || !cls->tp_mro || PyTuple_GET_SIZE(pinned) != PyTuple_GET_SIZE(cls->tp_mro)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pinned); i++)
            if (PyTuple_GET_ITEM(pinned, i) != PyTuple_GET_ITEM(cls->tp_mro, i)) return false;
    }
    PyObject* mro = PyTuple_GET_ITEM(attributes_, 0);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        if (!same_entries(dict.ptr(), PyTuple_GET_ITEM(attributes_, i + 1))) return false;
    }
    if (!PyUnstable_Type_AssignVersionTag(cls)) return false;
    tag_ = cls->tp_version_tag;
    return true;
}

void ClassPin::forget() noexcept {
    Pin::forget();
    attributes_ = nullptr;
    tag_ = 0;
}

int DictPin::set_dict(Handle dict) noexcept {
    if (!dict || !PyDict_CheckExact(dict.ptr())) return dict ? 0 : -1;
    Ref entries = entries_of(dict.ptr());
    if (!entries) return -1;
    PyObject* dicts[] = {dict.ptr()};
    if (keep_functions(dicts, 1) < 0) return -1;
    set(dict);
    Py_XSETREF(entries_, entries.release());
    selected_ = false;
    watch(dict.ptr());
    verified_ = watcher >= 0 ? changes : kNever;
    return 0;
}

namespace {
// What a pinned entry holds for a name absent from the dictionary.
PyObject* absent = nullptr;  // made once, kept for the process
PyObject* absent_marker() noexcept {
    if (!absent) absent = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return absent;
}

// Adds to `names` (a set) the global names `code` reads, its nested code
// objects' included.
int add_names_of(PyObject* names, PyObject* code) noexcept {
    Ref co_names = steal(PyObject_GetAttrString(code, "co_names"));
    Ref co_consts = co_names ? steal(PyObject_GetAttrString(code, "co_consts")) : Ref();
    if (!co_consts || !PyTuple_Check(co_names.ptr()) || !PyTuple_Check(co_consts.ptr())) return co_consts ? 0 : -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_names.ptr()); i++)
        if (PySet_Add(names, PyTuple_GET_ITEM(co_names.ptr(), i)) < 0) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_consts.ptr()); i++) {
        PyObject* inner = PyTuple_GET_ITEM(co_consts.ptr(), i);
        if (PyCode_Check(inner) && add_names_of(names, inner) < 0) return -1;
    }
    return 0;
}

// The Python function behind `value`: itself or what it wraps; null when
// there is none.
Ref code_behind(PyObject* value) noexcept {
    Ref f = function_of(value);
    if (!f) {
        Ref wrapped = steal(PyObject_GetAttrString(value, "__wrapped__"));
        if (!wrapped) PyErr_Clear();
        else f = function_of(wrapped.ptr());
    }
    return f ? borrow(PyFunction_GET_CODE(f.ptr())) : Ref();
}

// Whether `dict` holds the selected `entries` (absent ones absent).
bool same_selected(PyObject* dict, PyObject* entries) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); i += 2) {
        PyObject* value = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(entries, i));
        if (!value && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if ((value ? value : absent_marker()) != PyTuple_GET_ITEM(entries, i + 1)) return false;
    }
    return true;
}
}  // namespace

int DictPin::set_read_by(Handle dict, Handle function) noexcept {
    if (!dict || !function || !PyDict_CheckExact(dict.ptr()) || !absent_marker()) return dict && function ? 0 : -1;
    Ref names = steal(PySet_New(nullptr));
    Ref code = code_behind(function.ptr());
    if (!names || !code) return names ? 0 : -1;
    if (add_names_of(names.ptr(), code.ptr()) < 0) return -1;
    // The namespace's functions among the names read, and what they read.
    Ref done = steal(PySet_New(nullptr));
    if (!done) return -1;
    for (bool more = true; more;) {
        more = false;
        Ref pending = steal(PySequence_List(names.ptr()));
        if (!pending) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.ptr()); i++) {
            PyObject* name = PyList_GET_ITEM(pending.ptr(), i);
            const int seen = PySet_Contains(done.ptr(), name);
            if (seen < 0 || (!seen && PySet_Add(done.ptr(), name) < 0)) return -1;
            if (seen) continue;
            PyObject* value = PyDict_GetItemWithError(dict.ptr(), name);
            if (!value) {
                if (PyErr_Occurred()) return -1;
                continue;
            }
            Ref inner = code_behind(value);
            if (inner && add_names_of(names.ptr(), inner.ptr()) < 0) return -1;
            more = more || inner;
        }
    }
    Ref keys = steal(PySequence_List(names.ptr()));
    if (!keys || PyList_Sort(keys.ptr()) < 0) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    Ref entries = steal(PyTuple_New(2 * n));
    Ref values = steal(PyDict_New());
    if (!entries || !values) return -1;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* key = PyList_GET_ITEM(keys.ptr(), i);
        PyObject* value = PyDict_GetItemWithError(dict.ptr(), key);
        if (!value && PyErr_Occurred()) return -1;
        if (value && PyDict_SetItem(values.ptr(), key, value) < 0) return -1;
        PyTuple_SET_ITEM(entries.ptr(), 2 * i, Py_NewRef(key));
        PyTuple_SET_ITEM(entries.ptr(), 2 * i + 1, Py_NewRef(value ? value : absent_marker()));
    }
    // The function's own code and defaults too.
    if (PyDict_SetItem(values.ptr(), absent_marker(), function.ptr()) < 0) return -1;
    PyObject* dicts[] = {values.ptr()};
    if (keep_functions(dicts, 1) < 0) return -1;
    set(dict);
    Py_XSETREF(entries_, entries.release());
    selected_ = true;
    watch(dict.ptr());
    verified_ = watcher >= 0 ? changes : kNever;
    return 0;
}

int DictPin::set_attributes(Handle instance) noexcept {
    if (!instance) return -1;
    Ref dict = steal(PyObject_GenericGetDict(instance.ptr(), nullptr));
    if (!dict) return look_declined() ? 0 : -1;
    if (set_dict(dict) < 0) return -1;
    Py_XSETREF(instance_, Py_NewRef(instance.ptr()));
    // An instance may keep its attributes inline beside the dictionary, and
    // not every interpreter tells the watcher of a write there: compared
    // at every check (instances' dictionaries are small).
    verified_ = kNever;
    return 0;
}

bool DictPin::unchanged() const noexcept {
    if (!p_ || !entries_) return false;
    if (instance_) {
        // The instance's attributes are still this dictionary.
        Ref current = steal(PyObject_GenericGetDict(instance_, nullptr));
        if (!current) PyErr_Clear();
        if (current.ptr() != p_) return false;
    }
    if (verified_ != changes || verified_ == kNever) {
        if (!(selected_ ? same_selected(p_, entries_) : same_entries(p_, entries_))) return false;
        // Nothing changed since what changed: no need to compare again
        // until the next change.
        if (watcher >= 0 && !instance_) verified_ = changes;
    }
    return functions_unchanged();
}

void DictPin::forget() noexcept {
    Pin::forget();
    entries_ = nullptr;
    selected_ = false;
    instance_ = nullptr;
}

}  // namespace frame
