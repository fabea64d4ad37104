#include "frame/coroutine.hpp"

namespace frame {

namespace {
PyTypeObject coroutine_type = [] {
    PyTypeObject t = new_static_type();
    t.tp_name = "_orveksdk_frame_v1.coroutine";
    t.tp_basicsize = sizeof(PyObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    return t;
}();
PyTypeObject await_wrapper_type = [] {
    PyTypeObject t = new_static_type();
    t.tp_name = "_orveksdk_frame_v1.coroutine_wrapper";
    t.tp_basicsize = sizeof(PyObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    return t;
}();
}  // namespace

PyTypeObject* own_coroutine_type() { return &coroutine_type; }
PyTypeObject* own_await_wrapper_type() { return &await_wrapper_type; }
int prepare_coroutines() { return 0; }
PyObject* new_coroutine(PyObject*, PyObject* const*, int) {
    PyErr_SetString(PyExc_NotImplementedError, "coroutines are not built yet");
    return nullptr;
}

}  // namespace frame
