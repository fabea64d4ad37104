// orveksdk._frame_testing: a module built only for the test suite, with
// every statement's start checked (ORVEKSDK_STATEMENT_CHECKS).
//
// `relay` is an asynchronous function of the frame that really awaits, so
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
#include "frame/pins.hpp"

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

// ---------------------------------------------------------------------------
// The statement forms, each written as a body would be.

frame::Name n_append{"append"}, n_identity{"identity"};
frame::Text t_try{"try"}, t_after{"after action"}, t_first{"first"}, t_second{"second"},
    t_else{"else"}, t_finally{"finally"}, t_from_try{"from try"}, t_from_except{"from except"},
    t_from_with{"from with"}, t_from_for{"from for"}, t_from_else{"from else"},
    t_from_finally{"from finally"}, t_fell_through{"fell through"}, t_after_with{"after with"},
    t_stop{"stop"}, t_skip{"skip"}, t_unpinned{"unpinned"};
frame::Text k_try{"try"}, k_except{"except"}, k_with{"with"}, k_for{"for"}, k_else{"else"},
    k_finally{"finally"};
frame::Name n_Exception{"Exception"}, n_KeyError{"KeyError"}, n_ValueError{"ValueError"},
    n_TypeError{"TypeError"}, n_type{"type"};
frame::Builtin b_Exception{n_Exception}, b_KeyError{n_KeyError}, b_ValueError{n_ValueError},
    b_TypeError_{n_TypeError}, b_type{n_type};
frame::Int i_one{1}, i_two{2};

// def try_forms(action, first, second):
//     log = []
//     try:
//         log.append("try")
//         action()
//         log.append("after action")
//     except first as e:
//         log.append(("first", type(e)))
//     except second as e:
//         log.append(("second", type(e)))
//     else:
//         log.append("else")
//     finally:
//         log.append("finally")
//     return log
DEF(try_forms, {.qualname = "try_forms", .argcount = 3,
                .varnames = {"action", "first", "second", "log", "e"}}) {
    frame::Handle action = here.arg(0), first = here.arg(1), second = here.arg(2);
    LET(log, frame::list({}));
    TRY {
        DO(frame::append(log, t_try));
        DO(action());
        DO(frame::append(log, t_after));
    } EXCEPT (e, first) {
        DO(frame::append(log, frame::tuple({t_first, b_type(e)})));
    } EXCEPT (e, second) {
        DO(frame::append(log, frame::tuple({t_second, b_type(e)})));
    } ELSE {
        DO(frame::append(log, t_else));
    } FINALLY {
        DO(frame::append(log, t_finally));
    } END_TRY;
    RETURN(log);
}

// def tuple_clause(action):
//     try:
//         action()
//     except (KeyError, ValueError) as e:
//         return type(e)
//     return None
DEF(tuple_clause, {.qualname = "tuple_clause", .argcount = 1, .varnames = {"action", "e"}}) {
    frame::Handle action = here.arg(0);
    TRY {
        DO(action());
    } EXCEPT (e, b_KeyError, b_ValueError) {
        RETURN(b_type(e));
    } END_TRY;
    RETURN_NONE;
}

// def returns_from(kind, manager):
//     if kind == "try":
//         try:
//             return "from try"
//         except Exception:
//             pass
//     if kind == "except":
//         try:
//             raise KeyError
//         except KeyError:
//             return "from except"
//     if kind == "with":
//         with manager:
//             return "from with"
//     if kind == "for":
//         for x in [1, 2]:
//             return ("from for", x)
//     if kind == "else":
//         try:
//             pass
//         except Exception:
//             pass
//         else:
//             return "from else"
//     if kind == "finally":
//         try:
//             return "from try"
//         finally:
//             return "from finally"
//     return "fell through"
DEF(returns_from, {.qualname = "returns_from", .argcount = 2,
                   .varnames = {"kind", "manager", "x", "e"}}) {
    frame::Handle kind = here.arg(0), manager = here.arg(1);
    IF (frame::contains(frame::tuple({k_try}), kind)) {
        TRY {
            RETURN(frame::borrow(t_from_try));
        } EXCEPT (e, b_Exception) {
        } END_TRY;
    }
    IF (frame::contains(frame::tuple({k_except}), kind)) {
        TRY {
            RAISE(frame::borrow(b_KeyError));
        } EXCEPT (e, b_KeyError) {
            RETURN(frame::borrow(t_from_except));
        } END_TRY;
    }
    IF (frame::contains(frame::tuple({k_with}), kind)) {
        WITH (x, manager) {
            RETURN(frame::borrow(t_from_with));
        } END_WITH;
    }
    IF (frame::contains(frame::tuple({k_for}), kind)) {
        FOR (x, frame::list({frame::Handle(i_one), frame::Handle(i_two)})) {
            RETURN(frame::tuple({t_from_for, x}));
        }
    }
    IF (frame::contains(frame::tuple({k_else}), kind)) {
        TRY {
        } EXCEPT (e, b_Exception) {
        } ELSE {
            RETURN(frame::borrow(t_from_else));
        } END_TRY;
    }
    IF (frame::contains(frame::tuple({k_finally}), kind)) {
        TRY {
            RETURN(frame::borrow(t_from_try));
        } FINALLY {
            RETURN(frame::borrow(t_from_finally));
        } END_TRY;
    }
    RETURN(frame::borrow(t_fell_through));
}

// def loop_controls(items):
//     log = []
//     for x in items:
//         if x == "skip":
//             continue
//         if x == "stop":
//             break
//         log.append(x)
//     return log
DEF(loop_controls, {.qualname = "loop_controls", .argcount = 1, .varnames = {"items", "log", "x"}}) {
    LET(log, frame::list({}));
    FOR (x, here.arg(0)) {
        IF (frame::contains(frame::tuple({t_skip}), x)) {
            continue;
        }
        IF (frame::contains(frame::tuple({t_stop}), x)) {
            break;
        }
        DO(frame::append(log, x));
    }
    RETURN(log);
}

// def suppressed(manager):
//     with manager:
//         raise ValueError
//     return "after with"
DEF(suppressed, {.qualname = "suppressed", .argcount = 1, .varnames = {"manager", "x"}}) {
    WITH (x, here.arg(0)) {
        RAISE(frame::borrow(b_ValueError));
    } END_WITH;
    RETURN(frame::borrow(t_after_with));
}

// A raw call whose failure its statement does not see, then a statement:
// with statement checks, the process stops there.
DEF(unseen_failure, {.qualname = "unseen_failure", .argcount = 1, .varnames = {"obj"}}) {
    // (a raw step that fails and leaves its exception pending, unseen)
    frame::Ref lost = frame::steal(PyObject_GetAttrString(here.arg(0).ptr(), "no such attribute"));
    LET(log, frame::list({}));
    RETURN(log);
}

// def identity(x): return x   (made of the type given to function_of_type)
DEF(identity, {.qualname = "identity", .argcount = 1, .varnames = {"x"}}) { RETURN(frame::borrow(here.arg(0))); }

// function_of_type(cls): a function of `cls`, a subclass of the frame's
// function type, made as a def makes one.
DEF(function_of_type, {.qualname = "function_of_type", .argcount = 1, .varnames = {"cls"}}) {
    frame::Handle cls = here.arg(0);
    if (!PyType_Check(cls.ptr())) RAISE(frame::borrow(b_TypeError_));
    RETURN(frame::define(identity_def, {}, {}, reinterpret_cast<PyTypeObject*>(cls.ptr())));
}

int make_constants() noexcept { return 0; }
int pin() noexcept { return 0; }

frame::Flow body(frame::Body& here) noexcept {
    // def relay(first, second=None, catch=()): ...
    DO(frame::def("relay", {}, frame::tuple({frame::None, frame::state.empty_tuple})));
    DO(frame::def("try_forms"));
    DO(frame::def("tuple_clause"));
    DO(frame::def("returns_from"));
    DO(frame::def("loop_controls"));
    DO(frame::def("suppressed"));
    DO(frame::def("unseen_failure"));
    DO(frame::def("identity"));
    DO(frame::def("function_of_type"));
    RETURN_NONE;
}

}  // namespace frame_testing

const frame::ModuleInfo frame::module_info = {
    .short_name = "_frame_testing",
    .full_name = "orveksdk._frame_testing",
    .uses_coroutines = true,
    .make_constants = frame_testing::make_constants,
    .body = frame_testing::body,
    .pin = frame_testing::pin,
};

FRAME_MODULE_INIT(_frame_testing)
