#include "frame/statement.hpp"

namespace frame {

void Body::give(const Ref& value, std::source_location at) noexcept {
    if (!value) return fail(at);
    result_ = value;
}

void Body::raise(const Ref& exc, std::source_location at) noexcept {
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
    fail(at);
}

Flow Body::flow() noexcept {
    if (PyErr_Occurred()) {
        result_.reset();
        return Flow::raised;
    }
    return result_ ? Flow::returned : Flow::next;
}

PyObject* Body::finish() noexcept {
    if (PyErr_Occurred()) return nullptr;
    if (result_) return result_.release();
    Py_RETURN_NONE;
}

PyObject* run_statements(const FunctionDef& def, PyObject*, PyObject* const* args) noexcept {
    Body here{def.body_trace(), args};
    def.body(here);
    return here.finish();
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

int Handler::matches(Handle type) noexcept {
    if (!type) return -1;
    PyObject* t = type.ptr();
    if (!PyExceptionClass_Check(t) && !PyTuple_Check(t)) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    if (PyErr_GivenExceptionMatches(p_, t)) return 1;
    reraise();
    return 0;
}

void Handler::reraise() noexcept { PyErr_SetRaisedException(Py_NewRef(p_)); }

// ---------------------------------------------------------------------------

Loop::Loop(Handle iterable) noexcept {
    if (iterable) it_ = steal(PyObject_GetIter(iterable.ptr()));
}

Ref Loop::next() noexcept {
    if (!it_) return {};
    return steal(PyIter_Next(it_.ptr()));
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

Flow With::leave() noexcept {
    if (!PyErr_Occurred()) {
        Flow flow = here_.flow();
        if (exit_({Py_None, Py_None, Py_None})) return flow;
        here_.fail(at_);
        return here_.flow();  // raised: a return value given in the block is dropped
    }
    int suppressed;
    {
        Handler handler;  // the block's exception is the one being handled
        PyObject* exc = handler.ptr();
        Ref tb = steal(PyException_GetTraceback(exc));
        Ref result = exit_({reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb.ptr() : Py_None});
        suppressed = truth(result);
        if (suppressed == 0) handler.reraise();
    }
    if (suppressed == 1) return here_.flow();
    here_.fail(at_);
    return here_.flow();
}

}  // namespace frame
