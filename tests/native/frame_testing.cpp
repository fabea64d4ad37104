// orveksdk._frame_testing: a module built only for the test suite. Its one
// function is an asynchronous function of the frame that really awaits, so
// the tests can drive a suspended frame coroutine and its delegation to the
// awaited object by hand:
//
//     async def relay(first, second=None, catch=()):
//         try:
//             received = await first
//         except catch as e:
//             if second is None:
//                 return ("caught", e)
//             received = await second
//         return ("done", received)
#include "frame/coroutine.hpp"
#include "frame/function.hpp"
#include "frame/ops.hpp"

namespace frame_testing {

using frame::Ref;
using frame::steal;

frame::Name n_relay{"relay"};
frame::Text t_done{"done"}, t_caught{"caught"};

PyObject* relay(PyObject* coroutine, PyObject* const* args);
constexpr const char* relay_vars[] = {"first", "second", "catch", "received", "e"};
frame::FunctionDef relay_def{
    .name = "relay", .qualname = "relay", .entry = relay, .argcount = 3, .required = 1,
    .varnames = relay_vars, .flags = frame::kAsync, .line = __LINE__};

PyObject* done(PyObject* value) { return PyTuple_Pack(2, t_done.obj(), value); }

// except catch as e: ... -- with the exception of the await pending.
PyObject* except_clause(PyObject* coroutine, PyObject* second, PyObject* catch_) {
    static constexpr frame::Where here{"relay"};
    int matched = frame::pending_matches(catch_);
    if (matched <= 0)                                                      return here.fail();
    frame::Handler handler;
    if (second == Py_None) return PyTuple_Pack(2, t_caught.obj(), handler.exception());
    PyObject* r = frame::suspend(coroutine, second, 2);
    if (!r)                                                                return here.fail();
    return r;
}

PyObject* relay(PyObject* coroutine, PyObject* const* args) {
    static constexpr frame::Where here{"relay"};
    PyObject* first = args[0];
    PyObject* second = args[1];
    PyObject* catch_ = args[2];
    PyObject* value;
    switch (frame::resume_point(coroutine)) {
    case 0:
        if (PyObject* r = frame::suspend(coroutine, first, 1)) return r;
        return except_clause(coroutine, second, catch_);
    case 1:
        value = frame::received(coroutine);
        if (!value) return except_clause(coroutine, second, catch_);
        return done(value);
    default:
        value = frame::received(coroutine);
        if (!value)                                                        return here.fail();
        return done(value);
    }
}

int make_constants() { return frame::prepare_function(relay_def); }

int body(PyObject*, PyObject*) {
    static constexpr frame::Where here{"init orveksdk._frame_testing"};
    Ref function = frame::new_function(relay_def);                        if (!function) return here.fail();
    Ref defaults = steal(PyTuple_Pack(2, Py_None, frame::state.empty_tuple));
    if (!defaults)                                                         return here.fail();
    frame::set_defaults(function, defaults);
    if (frame::bind(n_relay, function) < 0)                                return here.fail();
    return 0;
}

}  // namespace frame_testing

const frame::ModuleInfo frame::module_info = {
    .short_name = "_frame_testing",
    .full_name = "orveksdk._frame_testing",
    .init_name = "init orveksdk._frame_testing",
    .uses_coroutines = true,
    .make_constants = frame_testing::make_constants,
    .body = frame_testing::body,
};

FRAME_MODULE_INIT(_frame_testing)
