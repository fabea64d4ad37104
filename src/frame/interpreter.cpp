#include "frame/interpreter.hpp"

namespace frame {

#if PY_VERSION_HEX < 0x030D0000

// 3.12 declares the interpreter's own method lookup.
int lookup_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
    *method = nullptr;
    return _PyObject_GetMethod(obj, name, method);
}

#else

// 3.13 keeps _PyObject_GetMethod internal; this is its lookup in the
// type's API. Only a type that reads attributes generically can have its
// method taken unbound: a type's method (a non-data descriptor) comes
// after the instance's dictionary, so the dictionary is looked at first.
// Everything else is read as getattr() reads it.
int lookup_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    *method = nullptr;
    PyObject* descr = type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)
                          ? _PyType_Lookup(type, name)  // borrowed
                          : nullptr;
    if (!descr || !PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        *method = PyObject_GetAttr(obj, name);
        return 0;
    }
    Py_INCREF(descr);  // the dictionary lookup below may run code that drops it from the type
    // For an instance that keeps its attributes inline, this makes the
    // dictionary that shares them (once per instance).
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr && *dictptr) {
        PyObject* dict = Py_NewRef(*dictptr);
        PyObject* attr = nullptr;
        const int found = PyDict_GetItemRef(dict, name, &attr);
        Py_DECREF(dict);
        if (found != 0) {
            Py_DECREF(descr);
            *method = attr;  // the instance's own attribute, or null with the error
            return 0;
        }
    }
    *method = descr;
    return 1;
}

#endif

}  // namespace frame
