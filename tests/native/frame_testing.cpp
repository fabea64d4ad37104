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
#include "frame/body.hpp"
#include "frame/coroutine.hpp"
#include "frame/module.hpp"

namespace frame_testing {

using frame::Ref;
using frame::steal;

frame::Name n_relay{"relay"};
frame::Text t_done{"done"}, t_caught{"caught"};

PyObject* relay(const frame::FunctionDef&, PyObject* coroutine, PyObject* const* args);
frame::FunctionDef relay_def{{.qualname = "relay", .argcount = 3, .required = 1,
                              .varnames = {"first", "second", "catch", "received", "e"},
                              .flags = frame::kAsync},
                             relay, nullptr, __LINE__, __FILE__};

PyObject* done(PyObject* value) { return PyTuple_Pack(2, t_done.ptr(), value); }

// except catch as e: ... -- with the exception of the await pending.
PyObject* except_clause(PyObject* coroutine, PyObject* second, PyObject* catch_) {
    static constexpr frame::Where here{"relay"};
    int matched = PyErr_ExceptionMatches(catch_);
    if (matched <= 0)                                                      return here.fail();
    frame::Handler handler;
    if (second == Py_None) return PyTuple_Pack(2, t_caught.ptr(), handler.ptr());
    PyObject* r = frame::suspend(coroutine, second, 2);
    if (!r)                                                                return here.fail();
    return r;
}

PyObject* relay(const frame::FunctionDef&, PyObject* coroutine, PyObject* const* args) {
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

int make_constants() noexcept { return 0; }

void body(frame::Body& here) noexcept {
    // def relay(first, second=None, catch=()): ...
    DO(frame::def("relay", {}, frame::tuple({Py_None, frame::state.empty_tuple})));
}

}  // namespace frame_testing

const frame::ModuleInfo frame::module_info = {
    .short_name = "_frame_testing",
    .full_name = "orveksdk._frame_testing",
    .uses_coroutines = true,
    .make_constants = frame_testing::make_constants,
    .body = frame_testing::body,
};

FRAME_MODULE_INIT(_frame_testing)
