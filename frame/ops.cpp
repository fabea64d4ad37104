#include "frame/ops.hpp"

#include <vector>

namespace frame {

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    // One slot in front of the arguments lets a bound method put its self
    // there instead of copying (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[1 + 8];
    const std::size_t n = args.size();
    if (n > 8) {
        std::vector<PyObject*> big(1 + n);
        std::copy(args.begin(), args.end(), big.begin() + 1);
        return steal(PyObject_Vectorcall(callable, big.data() + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
    }
    std::copy(args.begin(), args.end(), stack + 1);
    return steal(
        PyObject_Vectorcall(callable, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_dict(PyObject* callable, PyObject* args_tuple, PyObject* kwargs) {
    return steal(PyObject_Call(callable, args_tuple, kwargs));
}

Ref call_method(PyObject* obj, const Name& name, std::initializer_list<PyObject*> args) {
    PyObject* stack[1 + 8];
    const std::size_t n = args.size();
    if (n > 8) {
        PyErr_SetString(PyExc_SystemError, "call_method: too many arguments");
        return {};
    }
    stack[0] = obj;
    std::copy(args.begin(), args.end(), stack + 1);
    return steal(PyObject_VectorcallMethod(name, stack, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

Ref make_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref d = steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(items.size())));
    if (!d) return {};
    for (auto& [key, value] : items)
        if (PyDict_SetItem(d, key, value) < 0) return {};
    return d;
}

Ref make_list(std::initializer_list<PyObject*> items) {
    Ref l = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!l) return {};
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(item));
    return l;
}

Ref getitem(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);
        if (value) return borrow(value);
        if (!PyErr_Occurred()) {
            // KeyError's single argument is the key itself, a tuple key too.
            PyObject* args = PyTuple_Pack(1, key);
            if (args) {
                PyErr_SetObject(PyExc_KeyError, args);
                Py_DECREF(args);
            }
        }
        return {};
    }
    return steal(PyObject_GetItem(obj, key));
}

Ref getitem_int(PyObject* obj, PyObject* index) {
    Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return {};
    if (PyList_CheckExact(obj)) {
        Py_ssize_t n = PyList_GET_SIZE(obj);
        Py_ssize_t j = i < 0 ? i + n : i;
        if (0 <= j && j < n) return borrow(PyList_GET_ITEM(obj, j));
    } else if (PyTuple_CheckExact(obj)) {
        Py_ssize_t n = PyTuple_GET_SIZE(obj);
        Py_ssize_t j = i < 0 ? i + n : i;
        if (0 <= j && j < n) return borrow(PyTuple_GET_ITEM(obj, j));
    }
    // Mappings, sequences, __class_getitem__, and the errors they raise.
    return steal(PyObject_GetItem(obj, index));
}

void raise(PyObject* exc) {
    if (PyExceptionClass_Check(exc)) {
        Ref instance = steal(PyObject_CallNoArgs(exc));
        if (!instance) return;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         exc, Py_TYPE(instance.get()));
            return;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance);
    } else if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
    }
}


int pending_matches(PyObject* type) { return PyErr_ExceptionMatches(type); }

Handler::Handler() noexcept
    : exc_(PyErr_GetRaisedException()), previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc_);
}

Handler::~Handler() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
    Py_XDECREF(exc_);
}

Failed Handler::reraise() noexcept {
    PyErr_SetRaisedException(Py_NewRef(exc_));
    return {};
}

int set_text_slot(PyObject** slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

namespace {
Name n_enter{"__enter__"};
Name n_exit{"__exit__"};

// A special method looked up on the type and bound to `obj`; AttributeError
// with the bare name when the type lacks it.
Ref special_method(PyObject* obj, const Name& name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj), name);  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    Ref descriptor = borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return descriptor;
    return steal(get(descriptor, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}
}  // namespace

Ref With::enter(PyObject* manager) {
    exit_ = special_method(manager, n_exit);
    if (!exit_) return {};
    Ref enter = special_method(manager, n_enter);
    if (!enter) {
        exit_ = Ref();
        return {};
    }
    Ref target = call(enter);
    if (!target) exit_ = Ref();
    return target;
}

int With::leave(bool block_ok) {
    Ref exit = std::move(exit_);
    if (block_ok) {
        Ref result = call(exit, {Py_None, Py_None, Py_None});
        if (!result) {
            where_.fail(at_);
            return -1;
        }
        return 0;
    }
    int suppressed;
    {
        Handler handler;  // the block's exception is the one being handled
        PyObject* exc = handler.exception();
        Ref tb = steal(PyException_GetTraceback(exc));
        Ref result = call(exit, {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb.get() : Py_None});
        suppressed = result ? truth(result) : -1;
        if (suppressed == 0) handler.reraise();
    }
    if (suppressed == 1) return 0;
    where_.fail(at_);
    return -1;
}

Ref format_field(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return borrow(value);
    return steal(PyObject_Format(value, state.empty_text));
}

Ref join_text(std::initializer_list<PyObject*> pieces) {
    PyObject* items[16];
    const std::size_t n = pieces.size();
    if (n > 16) {
        PyErr_SetString(PyExc_SystemError, "join_text: too many pieces");
        return {};
    }
    std::copy(pieces.begin(), pieces.end(), items);
    Py_ssize_t total = 0;
    for (std::size_t i = 0; i < n; i++) {
        // Pieces are constants and formatted fields: always text.
        if (!items[i] || !PyUnicode_Check(items[i])) {
            PyErr_SetString(PyExc_SystemError, "join_text: a piece is not text");
            return {};
        }
        Py_ssize_t len = PyUnicode_GET_LENGTH(items[i]);
        if (total > PY_SSIZE_T_MAX - len) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return {};
        }
        total += len;
    }
    return steal(_PyUnicode_JoinArray(state.empty_text, items, static_cast<Py_ssize_t>(n)));
}

}  // namespace frame
