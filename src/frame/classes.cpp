#include "frame/classes.hpp"

namespace frame {

namespace {

Name n_module{"__module__"};
Name n_qualname{"__qualname__"};
Name n_doc{"__doc__"};
Name n_orig_bases{"__orig_bases__"};
Name n_mro_entries{"__mro_entries__"};
Name n_prepare{"__prepare__"};

// PEP 560: bases that are not classes may stand in for others.
Ref resolve_bases(PyObject* bases) noexcept {
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
            if (resolved && PyList_Append(resolved.ptr(), base) < 0) return {};
            continue;
        }
        Ref entries = steal(PyObject_CallOneArg(entries_method.ptr(), bases));
        if (!entries) return {};
        if (!PyTuple_Check(entries.ptr())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        if (!resolved) {
            resolved = steal(PyTuple_GetSlice(bases, 0, i));
            if (resolved) resolved = steal(PySequence_List(resolved.ptr()));
            if (!resolved) return {};
        }
        Py_ssize_t end = PyList_GET_SIZE(resolved.ptr());
        if (PyList_SetSlice(resolved.ptr(), end, end, entries.ptr()) < 0) return {};
    }
    if (!resolved) return borrow(bases);
    return steal(PyList_AsTuple(resolved.ptr()));
}

Ref choose_metaclass(PyObject* bases) noexcept {
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

int ClassStatement::begin(Handle name, Handle qualname, Handle bases, Handle doc) noexcept {
    if (!ready(name, qualname) || !bases || !PyTuple_Check(bases.ptr())) return -1;
    name_ = borrow(name);
    bases_ = resolve_bases(bases.ptr());
    if (!bases_) return -1;
    metaclass_ = choose_metaclass(bases_.ptr());
    if (!metaclass_) return -1;
    Ref prepare;
    int found = lookup_optional(metaclass_, n_prepare, &prepare);
    if (found < 0) return -1;
    ns_ = found ? prepare({name, bases_}) : steal(PyDict_New());
    if (!ns_) return -1;
    if (store(n_module, state.module_name) < 0) return -1;
    if (store(n_qualname, qualname) < 0) return -1;
    if (doc && store(n_doc, doc) < 0) return -1;
    if (bases_.ptr() != bases.ptr() && store(n_orig_bases, bases) < 0) return -1;
    return 0;
}

int ClassStatement::store(Handle key, Handle value) noexcept {
    if (!ns_ || !ready(key, value)) return -1;
    return PyObject_SetItem(ns_.ptr(), key.ptr(), value.ptr());
}

Ref ClassStatement::create() noexcept {
    if (!ns_) return {};
    return metaclass_({name_, bases_, ns_});
}

int PlainClassStatement::begin(Handle name, Handle qualname) noexcept {
    if (!ready(name, qualname)) return -1;
    name_ = borrow(name);
    ns_ = steal(PyDict_New());
    if (!ns_) return -1;
    if (store(n_module, state.module_name) < 0) return -1;
    return store(n_qualname, qualname);
}

int PlainClassStatement::store(Handle key, Handle value) noexcept {
    if (!ns_ || !ready(key, value)) return -1;
    return PyDict_SetItem(ns_.ptr(), key.ptr(), value.ptr());
}

Ref PlainClassStatement::create() noexcept {
    if (!ns_) return {};
    return Handle(reinterpret_cast<PyObject*>(&PyType_Type))({name_, state.empty_tuple, ns_});
}

}  // namespace frame
