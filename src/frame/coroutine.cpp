#include "frame/coroutine.hpp"

#include <frameobject.h>

#include "frame/nesting.hpp"

namespace frame {


namespace {


// ---------------------------------------------------------------------------
// Closure record: the arguments of one call of an asynchronous function.

struct ClosureRecord {
    PyObject_HEAD
    int nargs;
    PyObject* args[kMaxArgs];
};

constexpr int kFreeListSize = 8;
ClosureRecord* free_records[kFreeListSize];
int free_count = 0;

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = reinterpret_cast<ClosureRecord*>(self);
    for (int i = 0; i < r->nargs; i++) Py_VISIT(r->args[i]);
    return 0;
}

int closure_clear(PyObject* self) {
    auto* r = reinterpret_cast<ClosureRecord*>(self);
    for (int i = 0; i < r->nargs; i++) Py_CLEAR(r->args[i]);
    r->nargs = 0;
    return 0;
}

void closure_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    closure_clear(self);
    if (free_count < kFreeListSize && Py_TYPE(self)->tp_basicsize == sizeof(ClosureRecord)) {
        free_records[free_count++] = reinterpret_cast<ClosureRecord*>(self);
        return;
    }
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject closure_type = [] {
    PyTypeObject t = new_static_type();
    t.tp_name = "_orveksdk_frame.closure_record";
    t.tp_basicsize = sizeof(ClosureRecord);
    t.tp_dealloc = closure_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = closure_traverse;
    t.tp_clear = closure_clear;
    return t;
}();

ClosureRecord* new_closure_record() {
    if (free_count > 0) {
        ClosureRecord* r = free_records[--free_count];
        PyObject_Init(reinterpret_cast<PyObject*>(r), &closure_type);
        r->nargs = 0;
        PyObject_GC_Track(r);
        return r;
    }
    ClosureRecord* r = PyObject_GC_New(ClosureRecord, &closure_type);
    if (!r) return nullptr;
    r->nargs = 0;
    PyObject_GC_Track(r);
    return r;
}

// ---------------------------------------------------------------------------
// Coroutine

struct CoroutineObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* closure;  // ClosureRecord
    int resume;         // 0 not started, > 0 suspended, -1 finished
    char running;
    // Set by suspend() for the engine entering the body. A flag in the
    // object, not a sentinel return value: the coroutine type is shared by
    // every module built on the frame, and each module's copy of the frame
    // would have had a sentinel of its own.
    char suspending;
    PyObject* awaiting;  // cr_await: an iterator, or a coroutine of the frame
    PyObject* received;  // what the body finds at its resume point
    _PyErr_StackItem exc_state;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
    PyObject* frame;
    PyObject* globals;
    PyObject* weakreflist;
};

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }
PyObject* as_object(CoroutineObject* c) { return reinterpret_cast<PyObject*>(c); }

Name n_throw{"throw"};
Name n_close{"close"};

struct AwaitWrapper {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* wrapper_coroutine(PyObject* self) { return reinterpret_cast<AwaitWrapper*>(self)->coroutine; }

// What a coroutine holds, in one list for finishing, traverse and clear.
// Finishing releases all of them but the globals; the handled-exception
// state (exc_state.exc_value) is held too.
constexpr PyObject* CoroutineObject::*kReleasedOnFinish[] = {
    &CoroutineObject::closure, &CoroutineObject::awaiting, &CoroutineObject::received,
    &CoroutineObject::code,    &CoroutineObject::frame,    &CoroutineObject::name,
    &CoroutineObject::qualname, &CoroutineObject::module,
};

// Finishing releases everything the coroutine held.
void finish(CoroutineObject* c) {
    c->resume = -1;
    for (PyObject* CoroutineObject::*field : kReleasedOnFinish) Py_CLEAR(c->*field);
    Py_CLEAR(c->exc_state.exc_value);
}

bool already_executing(CoroutineObject* c) {
    if (!c->running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

// While it lives the coroutine runs: the flag refuses re-entry and the
// body's handled-exception state is the thread's.
class Running {
public:
    explicit Running(CoroutineObject* c) : c_(c), tstate_(PyThreadState_Get()) {
        c_->running = 1;
        c_->exc_state.previous_item = tstate_->exc_info;
        tstate_->exc_info = &c_->exc_state;
    }
    ~Running() {
        tstate_->exc_info = c_->exc_state.previous_item;
        c_->exc_state.previous_item = nullptr;
        c_->running = 0;
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    CoroutineObject* c_;
    PyThreadState* tstate_;
};

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** out);
PyObject* throw_into(PyObject* self, PyObject* type, PyObject* value, PyObject* tb);
PyObject* coroutine_close(PyObject* self, PyObject*);

// The value a pending StopIteration carries, the exception taken; None
// when nothing is pending; null when another exception is, left pending.
PyObject* take_stop_iteration_value() {
    if (!PyErr_Occurred()) return Py_NewRef(Py_None);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    Ref stop = steal(PyErr_GetRaisedException());
    PyObject* value = reinterpret_cast<PyStopIterationObject*>(stop.ptr())->value;
    return Py_NewRef(value ? value : Py_None);
}

// Raises StopIteration carrying `value`, as a generator's return does: a
// tuple or an exception is wrapped in an instance made here, since
// PyErr_SetObject would take a tuple for the arguments and an exception
// for the instance.
void set_stop_iteration_value(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
    } else if (Ref stop = steal(PyObject_CallOneArg(PyExc_StopIteration, value))) {
        PyErr_SetObject(PyExc_StopIteration, stop.ptr());
    }
}

// A step's outcome as the methods return it: what the body produced, or
// StopIteration carrying its return value, or null with its exception.
PyObject* as_method_result(PySendResult status, PyObject* out) {
    if (status != PYGEN_RETURN) return out;
    set_stop_iteration_value(out);
    Py_DECREF(out);
    return nullptr;
}

// Replaces the pending exception by `type`(message), raised from it (its
// __cause__ and __context__), as `raise type(message) from exc` does.
void raise_from_pending(PyObject* type, const char* message) {
    Ref cause = steal(PyErr_GetRaisedException());
    PyErr_SetString(type, message);
    Ref raised = steal(PyErr_GetRaisedException());
    PyException_SetCause(raised.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(raised.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetRaisedException(raised.release());
}

// The awaited object has ended (a throw() or close() forwarded to it
// failed, or raised StopIteration): it is dropped from cr_await and its
// result, the StopIteration value, is what the body receives; when it ended
// with another exception, that stays pending for the body.
void awaited_done(CoroutineObject* c) {
    Py_CLEAR(c->awaiting);
    Py_XSETREF(c->received, take_stop_iteration_value());
}

// One step of the awaited object: sends `value` into it, as the
// interpreter's own await does (am_send where the object has it, its
// __next__ for None, its send() otherwise). PYGEN_NEXT with what it
// produced in *out; once it has ended, it is dropped from cr_await and the
// body receives its result, or meets its exception.
PySendResult forward_send(CoroutineObject* c, PyObject* value, PyObject** out) {
    PyObject* result = nullptr;
    const PySendResult status = PyIter_Send(c->awaiting, value, &result);
    if (status == PYGEN_NEXT) {
        *out = result;
        return status;
    }
    Py_CLEAR(c->awaiting);
    Py_XSETREF(c->received, result);  // null when it failed: the exception is pending
    *out = nullptr;
    return status;
}

// Sets the exception that throw(type, value, tb) raises, with the checks
// and messages of the interpreter's coroutines. False, with TypeError set,
// for what cannot be raised.
bool set_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Ref typ = borrow(type), val = borrow(value), trace = borrow(tb);
    if (PyExceptionClass_Check(type)) {
        PyObject *t = typ.release(), *v = val.release(), *b = trace.release();
        PyErr_NormalizeException(&t, &v, &b);
        typ = steal(t);
        val = steal(v);
        trace = steal(b);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        val = borrow(type);
        typ = borrow(PyExceptionInstance_Class(type));
        if (!trace) trace = steal(PyException_GetTraceback(val.ptr()));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    PyErr_Restore(typ.release(), val.release(), trace.release());
    return true;
}

// A coroutine of the frame behind `o` (itself, or the one an await wrapper
// holds), or null.
PyObject* frame_coroutine(PyObject* o) {
    if (Py_IS_TYPE(o, state.coroutine_type)) return o;
    if (Py_IS_TYPE(o, state.await_wrapper_type)) return wrapper_coroutine(o);
    return nullptr;
}

// Forwards throw() to the awaited object. Returns what it produced; null
// once it has ended or when it cannot take the exception, which is then
// pending for the body.
PyObject* forward_throw(CoroutineObject* c, PyObject* type, PyObject* value, PyObject* tb) {
    Ref a = borrow(c->awaiting);
    PyObject* produced;
    if (PyObject* inner = frame_coroutine(a.ptr())) {
        produced = throw_into(inner, type, value, tb);
    } else {
        Ref method;
        if (lookup_optional(a, n_throw, &method) < 0) {
            Py_CLEAR(c->awaiting);
            return nullptr;
        }
        if (!method) {
            // No throw(): the exception is raised in the body instead.
            Py_CLEAR(c->awaiting);
            set_thrown(type, value, tb);
            return nullptr;
        }
        // The awaited object's throw() gets the arguments as they were given.
        PyObject* args[] = {type, value, tb};
        const size_t nargs = tb ? 3 : value ? 2 : 1;
        produced = PyObject_Vectorcall(method.ptr(), args, nargs, nullptr);
    }
    if (produced) return produced;
    awaited_done(c);
    return nullptr;
}

// Closes the awaited object. 0, or -1 with its failure pending.
int close_awaited(PyObject* a) {
    if (PyObject* inner = frame_coroutine(a)) {
        Ref r = steal(coroutine_close(inner, nullptr));
        return r ? 0 : -1;
    }
    Ref method;
    int found = lookup_optional(a, n_close, &method);
    if (found < 0) {
        PyErr_WriteUnraisable(a);
        return 0;
    }
    if (!found) return 0;
    Ref r = method();
    return r ? 0 : -1;
}

// Runs the body from its resume point, with `c->received` or the pending
// exception as what it meets there, until it suspends or ends: PYGEN_NEXT
// with what the awaited object produced, PYGEN_RETURN with the body's
// result, or PYGEN_ERROR with its exception pending (*out null). Called
// with the coroutine running.
PySendResult run_body(CoroutineObject* c, PyObject** out) {
    *out = nullptr;
    if (c->resume == 0 && PyErr_Occurred()) {
        // An unstarted body meets the exception on entry.
        finish(c);
        return PYGEN_ERROR;
    }
    Ref closure = borrow(c->closure);
    auto* record = reinterpret_cast<ClosureRecord*>(closure.ptr());
    Ref result;
    RunningGlobals globals(c->globals);
    NestedCall nested;
    if (!nested) {
        finish(c);
        return PYGEN_ERROR;
    }
    for (;;) {
        result = steal(c->def->entry(*c->def, as_object(c), record->args));
        Py_CLEAR(c->received);
        if (!c->suspending) break;
        c->suspending = 0;
        if (!result) break;
        result.reset();
        // The body awaits: the awaited object's first step runs at once.
        if (forward_send(c, Py_None, out) == PYGEN_NEXT) return PYGEN_NEXT;
    }
    finish(c);
    if (result) {
        *out = result.release();
        return PYGEN_RETURN;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        raise_from_pending(PyExc_RuntimeError, "generator raised StopIteration");
    return PYGEN_ERROR;
}

// am_send: the coroutine protocol's one step, without a StopIteration for
// the result (as the interpreter's own coroutines take it in `await`).
PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** out) {
    *out = nullptr;
    CoroutineObject* c = as_coroutine(self);
    if (already_executing(c)) return PYGEN_ERROR;
    Ref keep = borrow(self);
    Running running(c);
    if (c->awaiting) {
        if (forward_send(c, value, out) == PYGEN_NEXT) return PYGEN_NEXT;
        return run_body(c, out);
    }
    if (c->resume == -1) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (c->resume == 0 && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    Py_XSETREF(c->received, Py_NewRef(value));
    return run_body(c, out);
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* out;
    const PySendResult status = coroutine_am_send(self, value, &out);
    return as_method_result(status, out);
}

// throw(type[, value[, traceback]]), taking its arguments as the
// interpreter's coroutines do (a fast call, one to three of them).
PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd",
                     nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s",
                     nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, "
                     "use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    return throw_into(self, args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* throw_into(PyObject* self, PyObject* type, PyObject* value, PyObject* tb) {
    CoroutineObject* c = as_coroutine(self);
    if (already_executing(c)) return nullptr;
    Ref keep = borrow(self);
    Running running(c);
    PyObject* out;
    if (c->awaiting) {
        if (PyExceptionClass_Check(type) &&
            PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            // GeneratorExit closes the awaited object, then meets the body;
            // a failing close raises its own exception there instead.
            Ref awaited = borrow(c->awaiting);
            Py_CLEAR(c->awaiting);
            if (close_awaited(awaited.ptr()) == 0) set_thrown(type, value, tb);
        } else if (PyObject* produced = forward_throw(c, type, value, tb)) {
            return produced;
        }
        const PySendResult status = run_body(c, &out);
        return as_method_result(status, out);
    }
    // What cannot be raised is refused before the coroutine is touched.
    if (!set_thrown(type, value, tb)) return nullptr;
    if (c->resume == -1) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    const PySendResult status = run_body(c, &out);
    return as_method_result(status, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (already_executing(c)) return nullptr;
    if (c->resume == -1) Py_RETURN_NONE;
    if (c->resume == 0) {
        // An unstarted body would meet GeneratorExit on entry and end with
        // it: the coroutine just finishes.
        finish(c);
        Py_RETURN_NONE;
    }
    Ref keep = borrow(self);
    PyObject* out;
    PySendResult status;
    {
        Running running(c);
        int closed = 0;
        if (c->awaiting) {
            Ref awaited = borrow(c->awaiting);
            Py_CLEAR(c->awaiting);
            closed = close_awaited(awaited.ptr());
        }
        if (closed == 0) PyErr_SetNone(PyExc_GeneratorExit);
        status = run_body(c, &out);
    }
    Ref result = steal(out);
    if (status == PYGEN_NEXT) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    // A body that returns while closing: 3.13 answers its value, 3.12 None.
    if (status == PYGEN_RETURN) return kCloseAnswersReturnValue ? result.release() : Py_NewRef(Py_None);
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* new_await_wrapper(PyObject* coroutine);

PyObject* coroutine_await(PyObject* self) { return new_await_wrapper(self); }

PyObject* coroutine_await_method(PyObject* self, PyObject*) { return new_await_wrapper(self); }

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->running); }

PyObject* get_frame(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    if (!c->frame) {
        if (!c->code) Py_RETURN_NONE;
        c->frame = reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c->code), c->globals, nullptr));
        if (!c->frame) return nullptr;
    }
    return Py_NewRef(c->frame);
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* v = as_coroutine(self)->name;
    return Py_NewRef(v ? v : Py_None);
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_slot(&as_coroutine(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) {
    PyObject* v = as_coroutine(self)->qualname;
    return Py_NewRef(v ? v : Py_None);
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_slot(&as_coroutine(self)->qualname, value, "__qualname__ must be set to a string object");
}

// Fields read (and __module__ written) as they are: an empty field reads None.
PyMemberDef coroutine_members[] = {
    {"cr_await", _Py_T_OBJECT, offsetof(CoroutineObject, awaiting), Py_READONLY,
     "object being awaited, or None"},
    {"cr_code", _Py_T_OBJECT, offsetof(CoroutineObject, code), Py_READONLY, nullptr},
    {"__module__", _Py_T_OBJECT, offsetof(CoroutineObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, "Frame of the coroutine", nullptr},
    {"__name__", get_name, set_name, "name of the coroutine", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise "
     "StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__await__", coroutine_await_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->resume == -1) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (c->resume == 0 && !pending) {
        PyObject* qualname = c->qualname ? c->qualname : Py_None;
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                             qualname) < 0)
            PyErr_WriteUnraisable(self);
        finish(c);
    } else {
        if (!steal(coroutine_close(self, nullptr))) PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(pending);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    for (PyObject* CoroutineObject::*field : kReleasedOnFinish) Py_VISIT(c->*field);
    Py_VISIT(c->exc_state.exc_value);
    Py_VISIT(c->globals);
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    for (PyObject* CoroutineObject::*field : kReleasedOnFinish) Py_CLEAR(c->*field);
    Py_CLEAR(c->exc_state.exc_value);
    Py_CLEAR(c->globals);
    return 0;
}

// Released coroutines of the type's own size are kept for the next calls,
// as their closure records are: a coroutine that is made and closed at once
// then costs no allocation. Not one the collector has finalized: it keeps
// that mark, and a new coroutine would never be finalized.
CoroutineObject* free_coroutines[kFreeListSize];
int free_coroutine_count = 0;

void coroutine_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_coroutine(self)->weakreflist) PyObject_ClearWeakRefs(self);
    if (as_coroutine(self)->resume != -1) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    coroutine_clear(self);
    if (free_coroutine_count < kFreeListSize && Py_TYPE(self)->tp_basicsize == sizeof(CoroutineObject) &&
        !PyObject_GC_IsFinalized(self)) {
        free_coroutines[free_coroutine_count++] = as_coroutine(self);
        return;
    }
    Py_TYPE(self)->tp_free(self);
}

CoroutineObject* allocate_coroutine() {
    if (free_coroutine_count > 0) {
        CoroutineObject* c = free_coroutines[--free_coroutine_count];
        PyObject_Init(as_object(c), state.coroutine_type);
        return c;
    }
    return PyObject_GC_New(CoroutineObject, state.coroutine_type);
}

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

PyTypeObject coroutine_type = [] {
    PyTypeObject t = new_static_type();
    t.tp_name = "coroutine";  // named in the registry when shared
    t.tp_basicsize = sizeof(CoroutineObject);
    t.tp_dealloc = coroutine_dealloc;
    t.tp_as_async = &coroutine_async;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = coroutine_traverse;
    t.tp_clear = coroutine_clear;
    t.tp_weaklistoffset = offsetof(CoroutineObject, weakreflist);
    t.tp_methods = coroutine_methods;
    t.tp_getset = coroutine_getset;
    t.tp_members = coroutine_members;
    t.tp_finalize = coroutine_finalize;
    return t;
}();

// ---------------------------------------------------------------------------
// Await wrapper

PyObject* wrapper_next(PyObject* self) { return coroutine_send(wrapper_coroutine(self), Py_None); }
PyObject* wrapper_send(PyObject* self, PyObject* v) { return coroutine_send(wrapper_coroutine(self), v); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(wrapper_coroutine(self), args, nargs);
}
PySendResult wrapper_am_send(PyObject* self, PyObject* v, PyObject** out) {
    return coroutine_am_send(wrapper_coroutine(self), v, out);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coroutine_close(wrapper_coroutine(self), nullptr); }
PyObject* wrapper_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* wrapper_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* wrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise "
     "StopIteration."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce__", wrapper_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", wrapper_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(wrapper_coroutine(self));
    return 0;
}

int wrapper_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AwaitWrapper*>(self)->coroutine);
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

PyTypeObject await_wrapper_type = [] {
    PyTypeObject t = new_static_type();
    t.tp_name = "coroutine_wrapper";  // named in the registry when shared
    t.tp_basicsize = sizeof(AwaitWrapper);
    t.tp_dealloc = wrapper_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "A wrapper object implementing __await__ for coroutines.";
    t.tp_traverse = wrapper_traverse;
    t.tp_clear = wrapper_clear;
    t.tp_iter = wrapper_iter;
    t.tp_iternext = wrapper_next;
    t.tp_as_async = &wrapper_async;
    t.tp_methods = wrapper_methods;
    t.tp_new = wrapper_new;
    return t;
}();

PyObject* new_await_wrapper(PyObject* coroutine) {
    AwaitWrapper* w = PyObject_GC_New(AwaitWrapper, state.await_wrapper_type);
    if (!w) return nullptr;
    w->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

// ---------------------------------------------------------------------------
// Registration with collections.abc

bool registered = false;

constexpr const char kRegistration[] =
    "if getattr(_module, 'Coroutine', None) is not None:\n"
    "    try:\n"
    "        _module.Coroutine.register(_coroutine_type)\n"
    "    except AttributeError:\n"
    "        pass\n"
    "if _generator_type is not None and getattr(_module, 'Generator', None) is not None:\n"
    "    try:\n"
    "        _module.Generator.register(_generator_type)\n"
    "    except AttributeError:\n"
    "        pass\n";

int run_registration(PyObject* module) {
    Ref ns = steal(PyDict_New());
    if (!ns) return -1;
    if (PyDict_SetItemString(ns.ptr(), "_coroutine_type", reinterpret_cast<PyObject*>(state.coroutine_type)) < 0 ||
        PyDict_SetItemString(ns.ptr(), "_generator_type", Py_None) < 0 ||
        PyDict_SetItemString(ns.ptr(), "_module", module) < 0 ||
        PyDict_SetItemString(ns.ptr(), "__builtins__", state.builtins) < 0)
        return -1;
    Ref result = steal(PyRun_String(kRegistration, Py_file_input, ns.ptr(), ns.ptr()));
    return result ? 0 : -1;
}

}  // namespace

namespace {

// Readies the closure-record type and registers the shared coroutine type
// with collections.abc once per process.
int prepare_coroutines() noexcept {
    if (!module_info.uses_coroutines) return 0;
    state.new_coroutine = new_coroutine;
    if (PyType_Ready(&closure_type) < 0) return -1;
    if (registered) return 0;
    Ref abc = steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        PyErr_WriteUnraisable(nullptr);
        if (PyErr_WarnEx(PyExc_RuntimeWarning,
                         "orveksdk coroutines failed to register with collections.abc", 1) < 0)
            return -1;
    } else {
        if (run_registration(abc.ptr()) < 0) {
            PyErr_WriteUnraisable(nullptr);
            if (PyErr_WarnEx(PyExc_RuntimeWarning,
                             "orveksdk coroutines failed to patch collections.abc", 1) < 0)
                return -1;
        }
        registered = true;
    }
    Ref backports = steal(PyImport_ImportModule("backports_abc"));
    if (backports) run_registration(backports.ptr());
    PyErr_Clear();
    return 0;
}

// collections.abc of the interpreter that registered is not this one's,
// and the kept objects were made in the other interpreter: let go of.
void forget_coroutine_state() noexcept {
    registered = false;
    free_count = 0;
    free_coroutine_count = 0;
}

SharedType shared_coroutine_type{"coroutine", &coroutine_type, &State::coroutine_type, true};
SharedType shared_await_wrapper_type{"coroutine_wrapper", &await_wrapper_type,
                                     &State::await_wrapper_type, true};
ExecuteHook coroutine_hook{2, prepare_coroutines, forget_coroutine_state};

}  // namespace

int resume_point(PyObject* coroutine) noexcept { return as_coroutine(coroutine)->resume; }

PyObject* received(PyObject* coroutine) noexcept { return as_coroutine(coroutine)->received; }

PyObject* suspend(PyObject* coroutine, PyObject* awaitable, int point) noexcept {
    CoroutineObject* c = as_coroutine(coroutine);
    Ref awaited;
    if (Py_IS_TYPE(awaitable, state.coroutine_type)) {
        if (as_coroutine(awaitable)->awaiting) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        awaited = borrow(awaitable);
    } else if (PyCoro_CheckExact(awaitable) ||
               (PyGen_CheckExact(awaitable) &&
                (PyGen_GetCode(reinterpret_cast<PyGenObject*>(awaitable))->co_flags &
                 CO_ITERABLE_COROUTINE))) {
        awaited = borrow(awaitable);
    } else {
        PyAsyncMethods* am = Py_TYPE(awaitable)->tp_as_async;
        if (!am || !am->am_await) {
            PyErr_Format(PyExc_TypeError, "'%.100s' object can't be used in 'await' expression",
                         Py_TYPE(awaitable)->tp_name);
            return nullptr;
        }
        awaited = steal(am->am_await(awaitable));
        if (!awaited) return nullptr;
        if (PyCoro_CheckExact(awaited.ptr()) || Py_IS_TYPE(awaited.ptr(), state.coroutine_type)) {
            PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            return nullptr;
        }
        if (!PyIter_Check(awaited.ptr())) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                         Py_TYPE(awaited.ptr())->tp_name);
            return nullptr;
        }
    }
    Py_XSETREF(c->awaiting, awaited.release());
    c->resume = point;
    c->suspending = 1;
    return Py_NewRef(Py_None);
}

PyObject* new_coroutine(PyObject* function, PyObject* const* args, int nargs) noexcept {
    const FunctionDef& def = definition_of(function);
    Ref record = steal(reinterpret_cast<PyObject*>(new_closure_record()));
    if (!record) return nullptr;
    auto* r = reinterpret_cast<ClosureRecord*>(record.ptr());
    for (int i = 0; i < nargs; i++) r->args[i] = Py_NewRef(args[i]);
    r->nargs = nargs;

    Ref name, qualname, module;
    if (function_names(function, name, qualname, module) < 0) return nullptr;

    CoroutineObject* c = allocate_coroutine();
    if (!c) return nullptr;
    c->def = &def;
    c->closure = record.release();
    c->resume = 0;
    c->running = 0;
    c->suspending = 0;
    c->awaiting = nullptr;
    c->received = nullptr;
    c->exc_state.exc_value = nullptr;
    c->exc_state.previous_item = nullptr;
    c->name = name.release();
    c->qualname = qualname.release();
    c->module = module.release();
    c->code = Py_XNewRef(def.code);
    c->frame = nullptr;
    c->globals = Py_XNewRef(globals_of(function));
    c->weakreflist = nullptr;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace frame
