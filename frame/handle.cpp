#include "frame/handle.hpp"

#include <algorithm>

namespace frame {

bool ready(Handle a) noexcept { return a && !PyErr_Occurred(); }
bool ready(Handle a, Handle b) noexcept { return a && b && !PyErr_Occurred(); }

void beyond_limit(const char* what) noexcept {
    PyErr_Format(PyExc_SystemError, "%s: more than %d", what, kMaxArgs);
}

namespace {

// The argument vector of one call, with a free slot in front (for a bound
// method's self, PY_VECTORCALL_ARGUMENTS_OFFSET) and keywords last.
struct Call {
    PyObject* stack[1 + kMaxArgs];
    Py_ssize_t positional = 0;
    Py_ssize_t total = 0;
    Ref kwnames;

    // Fills the vector; false with an exception set.
    bool take(std::initializer_list<Arg> args) noexcept {
        if (PyErr_Occurred()) return false;
        if (args.size() > static_cast<std::size_t>(kMaxArgs)) {
            beyond_limit("call arguments");
            return false;
        }
        Py_ssize_t keywords = 0;
        for (const Arg& a : args) {
            if (!a.value) return false;
            if (a.keyword) {
                keywords++;
            } else if (keywords) {
                PyErr_SetString(PyExc_SystemError, "positional argument follows keyword argument");
                return false;
            }
            stack[1 + total++] = a.value.ptr();
        }
        positional = total - keywords;
        if (keywords) {
            kwnames = steal(PyTuple_New(keywords));
            if (!kwnames) return false;
            Py_ssize_t k = 0;
            for (const Arg& a : args)
                if (a.keyword) PyTuple_SET_ITEM(kwnames.ptr(), k++, Py_NewRef(a.keyword));
        }
        return true;
    }
    // Values with a constant tuple of keyword names for the last of them.
    bool take(std::initializer_list<Handle> values, Handle names) noexcept {
        if (!names || PyErr_Occurred()) return false;
        if (values.size() > static_cast<std::size_t>(kMaxArgs)) {
            beyond_limit("call arguments");
            return false;
        }
        for (Handle v : values) {
            if (!v) return false;
            stack[1 + total++] = v.ptr();
        }
        positional = total - PyTuple_GET_SIZE(names.ptr());
        if (positional < 0) {
            PyErr_SetString(PyExc_SystemError, "more keyword names than values");
            return false;
        }
        kwnames = borrow(names);
        return true;
    }
    PyObject* const* args() const noexcept { return stack + 1; }
    std::size_t nargsf() const noexcept {
        return static_cast<std::size_t>(positional) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    }
};

}  // namespace

Ref Handle::operator()() const noexcept {
    if (!ready(*this)) return {};
    return steal(PyObject_CallNoArgs(p_));
}

Ref Handle::operator()(Handle arg) const noexcept {
    if (!ready(*this, arg)) return {};
    PyObject* stack[2] = {nullptr, arg.ptr()};
    return steal(PyObject_Vectorcall(p_, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref Handle::operator()(std::initializer_list<Arg> args) const noexcept {
    Call call;
    if (!p_ || !call.take(args)) return {};
    return steal(PyObject_Vectorcall(p_, call.args(), call.nargsf(), call.kwnames.ptr()));
}

Ref Handle::call_kw(std::initializer_list<Handle> values, Handle kwnames) const noexcept {
    Call call;
    if (!p_ || !call.take(values, kwnames)) return {};
    return steal(PyObject_Vectorcall(p_, call.args(), call.nargsf(), call.kwnames.ptr()));
}

Ref Handle::operator[](Handle key) const noexcept {
    if (!ready(*this, key)) return {};
    if (PyDict_CheckExact(p_)) {
        PyObject* value = PyDict_GetItemWithError(p_, key.ptr());
        if (value) return borrow(value);
        if (!PyErr_Occurred()) {
            // KeyError's single argument is the key itself, a tuple key too.
            Ref args = steal(PyTuple_Pack(1, key.ptr()));
            if (args) PyErr_SetObject(PyExc_KeyError, args.ptr());
        }
        return {};
    }
    return steal(PyObject_GetItem(p_, key.ptr()));
}

Attr Handle::attr(Handle name) const noexcept { return Attr(*this, name); }

Ref Handle::add(Handle other) const noexcept {
    return ready(*this, other) ? steal(PyNumber_Add(p_, other.ptr())) : Ref();
}
Ref Handle::sub(Handle other) const noexcept {
    return ready(*this, other) ? steal(PyNumber_Subtract(p_, other.ptr())) : Ref();
}
Ref Handle::mul(Handle other) const noexcept {
    return ready(*this, other) ? steal(PyNumber_Multiply(p_, other.ptr())) : Ref();
}
Ref Handle::div(Handle other) const noexcept {
    return ready(*this, other) ? steal(PyNumber_TrueDivide(p_, other.ptr())) : Ref();
}

// ---------------------------------------------------------------------------

Attr::Attr(Handle obj, Handle name) noexcept {
    if (!ready(obj, name)) return;
    PyObject* found = nullptr;
    if (_PyObject_GetMethod(obj.ptr(), name.ptr(), &found) == 1) self_ = obj;
    found_ = steal(found);
}

Ref Attr::value() const noexcept {
    if (!found_ || !self_) return found_;
    if (PyErr_Occurred()) return {};
    // An unbound method read as a value: bound, as reading the attribute does.
    descrgetfunc get = Py_TYPE(found_.ptr())->tp_descr_get;
    if (!get) return found_;
    return steal(get(found_.ptr(), self_.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self_.ptr()))));
}

Ref Attr::operator()() const noexcept {
    if (!ready(found_)) return {};
    if (!self_) return steal(PyObject_CallNoArgs(found_.ptr()));
    PyObject* self = self_.ptr();
    return steal(PyObject_Vectorcall(found_.ptr(), &self, 1, nullptr));
}

Ref Attr::operator()(Handle arg) const noexcept {
    if (!ready(found_, arg)) return {};
    PyObject* stack[2] = {self_.ptr(), arg.ptr()};
    if (!self_)
        return steal(PyObject_Vectorcall(found_.ptr(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
    return steal(PyObject_Vectorcall(found_.ptr(), stack, 2, nullptr));
}

Ref Attr::operator()(std::initializer_list<Arg> args) const noexcept {
    Call call;
    if (!found_ || !call.take(args)) return {};
    if (!self_)
        return steal(PyObject_Vectorcall(found_.ptr(), call.args(), call.nargsf(), call.kwnames.ptr()));
    call.stack[0] = self_.ptr();
    return steal(PyObject_Vectorcall(found_.ptr(), call.stack, static_cast<std::size_t>(call.positional + 1),
                                     call.kwnames.ptr()));
}

Ref Attr::call_kw(std::initializer_list<Handle> values, Handle kwnames) const noexcept {
    Call call;
    if (!found_ || !call.take(values, kwnames)) return {};
    if (!self_)
        return steal(PyObject_Vectorcall(found_.ptr(), call.args(), call.nargsf(), call.kwnames.ptr()));
    call.stack[0] = self_.ptr();
    return steal(PyObject_Vectorcall(found_.ptr(), call.stack, static_cast<std::size_t>(call.positional + 1),
                                     call.kwnames.ptr()));
}

Attr Attr::attr(Handle name) const noexcept { return value().attr(name); }

Ref Attr::operator[](Handle key) const noexcept { return value()[key]; }

// ---------------------------------------------------------------------------

int truth(Handle obj) noexcept { return ready(obj) ? PyObject_IsTrue(obj.ptr()) : -1; }

Ref list(std::initializer_list<Handle> items) noexcept {
    if (PyErr_Occurred()) return {};
    for (Handle item : items)
        if (!item) return {};
    Ref l = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!l) return {};
    Py_ssize_t i = 0;
    for (Handle item : items) PyList_SET_ITEM(l.ptr(), i++, Py_NewRef(item.ptr()));
    return l;
}

Ref tuple(std::initializer_list<Handle> items) noexcept {
    if (PyErr_Occurred()) return {};
    for (Handle item : items)
        if (!item) return {};
    Ref t = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return {};
    Py_ssize_t i = 0;
    for (Handle item : items) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(item.ptr()));
    return t;
}

Ref dict(std::initializer_list<std::pair<Handle, Handle>> items) noexcept {
    if (PyErr_Occurred()) return {};
    for (auto& [key, value] : items)
        if (!key || !value) return {};
    Ref d = steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(items.size())));
    if (!d) return {};
    for (auto& [key, value] : items)
        if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) return {};
    return d;
}

int setitem(Handle obj, Handle key, Handle value) noexcept {
    if (!ready(obj, key) || !value) return -1;
    return PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr());
}

int setattr(Handle obj, Handle name, Handle value) noexcept {
    if (!ready(obj, name) || !value) return -1;
    return PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr());
}

int append(Handle list, Handle item) noexcept {
    if (!ready(list, item)) return -1;
    return PyList_Append(list.ptr(), item.ptr());
}

Ref len(Handle obj) noexcept {
    if (!ready(obj)) return {};
    Py_ssize_t n = PyObject_Length(obj.ptr());
    return n < 0 ? Ref() : steal(PyLong_FromSsize_t(n));
}

Ref str(Handle obj) noexcept { return ready(obj) ? steal(PyObject_Str(obj.ptr())) : Ref(); }

Ref to_float(Handle obj) noexcept { return ready(obj) ? steal(PyNumber_Float(obj.ptr())) : Ref(); }

int contains(Handle container, Handle x) noexcept {
    return ready(container, x) ? PySequence_Contains(container.ptr(), x.ptr()) : -1;
}

Piece::Piece(Handle value) noexcept {
    if (!ready(value)) return;
    if (PyUnicode_CheckExact(value.ptr())) {
        text = borrow(value);
        return;
    }
    Ref empty = steal(PyUnicode_New(0, 0));
    if (empty) text = steal(PyObject_Format(value.ptr(), empty.ptr()));
}

Ref fstring(std::initializer_list<Piece> pieces) noexcept {
    if (PyErr_Occurred()) return {};
    if (pieces.size() > static_cast<std::size_t>(kMaxArgs)) {
        beyond_limit("f-string pieces");
        return {};
    }
    PyObject* items[kMaxArgs];
    Py_ssize_t n = 0, total = 0;
    for (const Piece& piece : pieces) {
        if (!piece.text) return {};
        // format() refuses anything but text from __format__; the check
        // keeps a null-free, text-only array for the join regardless.
        if (!PyUnicode_Check(piece.text.ptr())) {
            PyErr_SetString(PyExc_SystemError, "f-string piece is not text");
            return {};
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(piece.text.ptr());
        if (total > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return {};
        }
        total += length;
        items[n++] = piece.text.ptr();
    }
    Ref empty = steal(PyUnicode_New(0, 0));
    if (!empty) return {};
    return steal(_PyUnicode_JoinArray(empty.ptr(), items, n));
}

}  // namespace frame
