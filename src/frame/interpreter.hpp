// What the frame needs of the interpreter that the supported CPython
// versions (3.12 and 3.13) spell differently. Every test of the
// interpreter's version is in this file and its .cpp: the rest of the frame
// and the bodies are one source for both.
//
// Everything else the frame uses is the public C API, and these names of
// the interpreter's own headers that both versions declare and export:
// _PyType_Lookup (a type's attribute without binding it, cpython/object.h),
// _PyObject_GetDictPtr (3.13 only, below) and the handled-exception stack
// a coroutine swaps in while its body runs (_PyErr_StackItem and
// PyThreadState.exc_info, cpython/pystate.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "orveksdk is written for CPython 3.12 and 3.13"
#endif
#ifdef Py_GIL_DISABLED
#error "orveksdk runs under the interpreter's global lock: free-threaded builds are not supported"
#endif

namespace frame {

// close() of a coroutine whose body returns while closing: 3.13 answers the
// returned value, as its own coroutines do; 3.12 answers None.
inline constexpr bool kCloseAnswersReturnValue = PY_VERSION_HEX >= 0x030D0000;

// obj.name, read as the interpreter reads an attribute it is about to call:
// when the type's attribute is a plain method that the instance does not
// shadow, *method is that method, unbound (to be called with obj as its
// first argument), and the result is 1; otherwise *method is the attribute,
// or null with the exception set, and the result is 0. Nothing is bound, so
// a method call makes no bound-method object.
int lookup_method(PyObject* obj, PyObject* name, PyObject** method) noexcept;

}  // namespace frame
