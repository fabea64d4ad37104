#include "frame/lookup.hpp"

namespace frame {

namespace {

Name n_name{"__name__"};
Name n_spec{"__spec__"};
Name n_initializing{"_initializing"};
Text t_dot{"."};

// The running body's globals, or SystemError when no body runs.
PyObject* globals_or_fail() noexcept {
    PyObject* globals = running_globals();
    if (!globals) PyErr_SetString(PyExc_SystemError, "no module globals: the module body never ran");
    return globals;
}

// The interpreter's import of `module` with `fromlist`.
Ref import_level(const Name& module, PyObject* fromlist) noexcept {
    PyObject* globals = globals_or_fail();
    if (!globals) return {};
    Ref locals = steal(PyDict_New());
    if (!locals) return {};
    return steal(PyImport_ImportModuleLevelObject(module.ptr(), globals, locals.ptr(), fromlist, 0));
}

// One name of a from-import: the attribute, else the submodule in
// sys.modules, else ImportError "cannot import name %S".
Ref import_from(Handle module, const Name& name) noexcept {
    PyObject* value = PyObject_GetAttr(module.ptr(), name.ptr());
    if (value) return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    Ref module_name = steal(PyObject_GetAttr(module.ptr(), n_name.ptr()));
    if (module_name && PyUnicode_Check(module_name.ptr())) {
        Ref dotted = steal(PyUnicode_Concat(module_name.ptr(), t_dot.ptr()));
        Ref full = dotted ? steal(PyUnicode_Concat(dotted.ptr(), name.ptr())) : Ref();
        if (full) {
            value = PyImport_GetModule(full.ptr());
            if (value) return steal(value);
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.ptr());
    return {};
}

}  // namespace

Ref global(const Name& name) noexcept {
    if (PyErr_Occurred()) return {};
    PyObject* globals = globals_or_fail();
    if (!globals) return {};
    PyObject* value = PyDict_GetItemWithError(globals, name.ptr());
    if (value) return borrow(value);
    if (PyErr_Occurred()) return {};
    // The builtins module's own dictionary, for a name its type does not
    // define: what reading the attribute would find.
    if (PyModule_CheckExact(state.builtins) && !_PyType_Lookup(&PyModule_Type, name.ptr())) {
        value = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), name.ptr());
        if (value) return borrow(value);
        if (PyErr_Occurred()) return {};
    }
    value = PyObject_GetAttr(state.builtins, name.ptr());
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
    return steal(value);
}

int bind(const Name& name, Handle value) noexcept {
    if (!value) return -1;
    PyObject* globals = globals_or_fail();
    if (!globals) return -1;
    return PyDict_SetItem(globals, name.ptr(), value.ptr());
}

Ref import(const Name& module) noexcept {
    if (PyErr_Occurred()) return {};
    Ref loaded = steal(PyImport_GetModule(module.ptr()));
    // None in sys.modules halts the import: the interpreter's import says so.
    if (loaded.ptr() == Py_None) loaded.reset();
    if (loaded) {
        Ref spec, initializing;
        int found = lookup_optional(loaded, n_spec, &spec);
        if (found < 0) return {};
        int busy = 0;
        if (found) {
            found = lookup_optional(spec, n_initializing, &initializing);
            if (found < 0) return {};
            if (found && (busy = PyObject_IsTrue(initializing.ptr())) < 0) return {};
        }
        if (!busy) return loaded;
    } else if (PyErr_Occurred()) {
        return {};
    }
    return import_level(module, nullptr);
}

int import_as(const Name& module, const Name& as) noexcept { return bind(as, import(module)); }

int from_import(const Name& module, std::initializer_list<const Name*> names) noexcept {
    if (PyErr_Occurred()) return -1;
    Ref fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (const Name* name : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, Py_NewRef(name->ptr()));
    Ref imported = import_level(module, fromlist.ptr());
    if (!imported) return -1;
    for (const Name* name : names)
        if (bind(*name, import_from(imported, *name)) < 0) return -1;
    return 0;
}

Ref from_import_value(const Name& module, const Name& name) noexcept {
    if (PyErr_Occurred()) return {};
    Ref fromlist = tuple({name});
    if (!fromlist) return {};
    Ref imported = import_level(module, fromlist.ptr());
    if (!imported) return {};
    return import_from(imported, name);
}

}  // namespace frame
