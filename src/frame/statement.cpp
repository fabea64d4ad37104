#include "frame/statement.hpp"

#include <cstdio>

namespace frame {

Flow Body::give(const Ref& value, std::source_location at) noexcept {
    if (!value) return fail(at);
    result_ = value;
    return Flow::returned;
}

Flow Body::raise(const Ref& exc, std::source_location at) noexcept {
    if (!exc) return fail(at);
    PyObject* e = exc.ptr();
    if (PyExceptionClass_Check(e)) {
        Ref instance = steal(PyObject_CallNoArgs(e));
        if (instance && !PyExceptionInstance_Check(instance.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         e, Py_TYPE(instance.ptr()));
        } else if (instance) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
        }
    } else if (PyExceptionInstance_Check(e)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e)), e);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
    }
    return fail(at);
}

Flow Body::reraise(Handle exc, std::source_location at) noexcept {
    PyErr_SetRaisedException(Py_NewRef(exc.ptr()));
    return fail(at);
}

PyObject* Body::finish(Flow flow) noexcept {
    switch (flow) {
    case Flow::raised:
        return nullptr;
    case Flow::returned:
        return result_.release();
    case Flow::next:
        break;
    }
    Py_RETURN_NONE;
}

PyObject* run_statements(const FunctionDef& def, PyObject*, PyObject* const* args) noexcept {
    Body here{def.body_trace(), args};
    return here.finish(def.body(here));
}

void statement_started_with_exception(const char* file, int line) noexcept {
    char message[512];
    std::snprintf(message, sizeof message,
                  "a statement at %s:%d started with an exception pending: a step before it "
                  "failed without its statement seeing it",
                  file, line);
    Py_FatalError(message);
}

// ---------------------------------------------------------------------------

Handler::Handler() noexcept : Handle(PyErr_GetRaisedException()), previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(p_);
}

Handler::~Handler() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
    Py_XDECREF(p_);
}

void Handler::restore() noexcept { PyErr_SetRaisedException(Py_NewRef(p_)); }

Ref exception_types(Handle type) noexcept { return borrow(type); }

Ref exception_types(std::initializer_list<Handle> types) noexcept { return tuple(types); }

int Try::matches(const frame::Handler& taken, Handle classes) noexcept {
    if (!classes) return -1;
    PyObject* t = classes.ptr();
    if (!PyExceptionClass_Check(t) && !PyTuple_Check(t)) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    if (PyTuple_Check(t)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(t); i < n; i++) {
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(t, i))) {
                PyErr_SetString(PyExc_TypeError,
                                "catching classes that do not inherit from BaseException is not "
                                "allowed");
                return -1;
            }
        }
    }
    return PyErr_GivenExceptionMatches(taken.ptr(), t) ? 1 : 0;
}

// ---------------------------------------------------------------------------

ForLoop for_loop(Handle iterable) noexcept {
    ForLoop loop;
    if (iterable) loop.iterator = steal(PyObject_GetIter(iterable.ptr()));
    return loop;
}

int advance(Ref& iterator, Ref& item) noexcept {
    if (!iterator) return -1;
    item = steal(PyIter_Next(iterator.ptr()));
    if (item) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// ---------------------------------------------------------------------------

namespace {
Name n_enter{"__enter__"};
Name n_exit{"__exit__"};

// A special method looked up on the type and bound to `obj`; AttributeError
// with the bare name when the type lacks it.
Ref special_method(Handle obj, const Name& name) noexcept {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), name.ptr());  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name.ptr());
        return {};
    }
    Ref descriptor = borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return descriptor;
    return steal(get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
}
}  // namespace

With::With(Body& here, Handle manager, std::source_location at) noexcept : here_(here), at_(at) {
    if (!manager) return;
    exit_ = special_method(manager, n_exit);
    if (!exit_) return;
    Ref enter = special_method(manager, n_enter);
    if (!enter) return;
    target_ = enter();
}

Flow With::leave(Flow flow) noexcept {
    if (flow != Flow::raised) {
        if (exit_({Py_None, Py_None, Py_None})) return flow;
        // A return value given in the block is dropped with the failure.
        here_.fail(at_);
        return Flow::raised;
    }
    int suppressed;
    {
        Handler handler;  // the block's exception is the one being handled
        PyObject* exc = handler.ptr();
        Ref tb = steal(PyException_GetTraceback(exc));
        Ref result = exit_({reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb.ptr() : Py_None});
        suppressed = truth(result);
        if (suppressed == 0) handler.restore();
    }
    if (suppressed == 1) return Flow::next;
    return here_.fail(at_);
}

}  // namespace frame
