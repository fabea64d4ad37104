// The coroutine an asynchronous function of the frame returns, the wrapper its
// __await__ gives, and the closure record that keeps the call's arguments.
// The types register themselves with the module side; the function type
// reaches new_coroutine through the frame's state.
#pragma once

#include "frame/function.hpp"

namespace frame {

// A call of an asynchronous function whose arguments are bound and tested:
// a new coroutine that runs the body on its first resumption.
PyObject* new_coroutine(PyObject* function, PyObject* const* args, int nargs) noexcept;

// Bodies that await. Such a body is entered again at each resume point: at 0
// for its start, then at the points it named when suspending. It writes
// `x = await awaitable` as `return suspend(coroutine, awaitable, next_point)`;
// the frame then drives the awaited object and, once that has ended, enters
// the body at `next_point` with the result as received() -- or, when the
// awaited object failed or an exception was thrown in, with received() null
// and that exception pending.
int resume_point(PyObject* coroutine) noexcept;
PyObject* received(PyObject* coroutine) noexcept;  // borrowed
// Returns a new reference for the body to return as it is, or null when
// `awaitable` cannot be awaited.
PyObject* suspend(PyObject* coroutine, PyObject* awaitable, int point) noexcept;

}  // namespace frame
