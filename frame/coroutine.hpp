// The coroutine an asynchronous function of the frame returns, the wrapper its
// __await__ gives, and the closure record that keeps the call's arguments.
#pragma once

#include "frame/module.hpp"

namespace frame {

PyTypeObject* own_coroutine_type();
PyTypeObject* own_await_wrapper_type();

// Execute step 11: readies the closure-record type and registers the shared
// coroutine type with collections.abc once per process.
int prepare_coroutines();

// A call of an asynchronous function whose arguments are bound and tested:
// a new coroutine that runs the body on its first resumption.
PyObject* new_coroutine(PyObject* function, PyObject* const* args, int nargs);

}  // namespace frame
