#include "frame/handle.hpp"

namespace frame {

bool ready(Handle a) noexcept { return a && !PyErr_Occurred(); }
bool ready(Handle a, Handle b) noexcept { return a && b && !PyErr_Occurred(); }

namespace {
// Whether an operation on `obj` may run: present and, unless it is the
// result just made, no exception pending.
inline bool may_run(Handle obj, bool fresh) noexcept {
    return obj && (fresh || !PyErr_Occurred());
}
}  // namespace

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
    // A failed argument is null: nothing more to look for.
    bool take(std::initializer_list<Arg> args) noexcept {
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
        if (!names) return false;
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
    // f(*args), or f(self, *args) for an unbound method: self goes into
    // the free slot in front.
    Ref run(Handle f, Handle self) noexcept {
        if (self) {
            stack[0] = self.ptr();
            return steal(PyObject_Vectorcall(f.ptr(), stack, static_cast<std::size_t>(positional + 1),
                                             kwnames.ptr()));
        }
        return steal(PyObject_Vectorcall(f.ptr(), stack + 1,
                                         static_cast<std::size_t>(positional) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames.ptr()));
    }
};

Ref call(Handle f, Handle self, std::initializer_list<Arg> args, bool fresh) noexcept {
    Call call;
    if (!may_run(f, fresh) || !call.take(args)) return {};
    return call.run(f, self);
}

Ref call_kw(Handle f, Handle self, std::initializer_list<Handle> values, Handle kwnames,
            bool fresh) noexcept {
    Call call;
    if (!may_run(f, fresh) || !call.take(values, kwnames)) return {};
    return call.run(f, self);
}

Ref item(Handle obj, Handle key, bool fresh) noexcept {
    if (!may_run(obj, fresh) || !key) return {};
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* value = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (value) return borrow(value);
        if (!PyErr_Occurred()) {
            // KeyError's single argument is the key itself, a tuple key too.
            Ref args = steal(PyTuple_Pack(1, key.ptr()));
            if (args) PyErr_SetObject(PyExc_KeyError, args.ptr());
        }
        return {};
    }
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}

Ref binary(PyObject* (*op)(PyObject*, PyObject*), Handle a, Handle b, bool fresh) noexcept {
    return may_run(a, fresh) && b ? steal(op(a.ptr(), b.ptr())) : Ref();
}

}  // namespace

Attr Handle::attr(Handle name) const noexcept { return Attr(*this, name, false); }
Ref Handle::operator[](Handle key) const noexcept { return item(*this, key, false); }
Ref Handle::operator()() const noexcept { return call(*this, {}, {}, false); }
Ref Handle::operator()(Handle arg) const noexcept { return call(*this, {}, {arg}, false); }
Ref Handle::operator()(std::initializer_list<Arg> args) const noexcept {
    return call(*this, {}, args, false);
}
Ref Handle::call_kw(std::initializer_list<Handle> values, Handle kwnames) const noexcept {
    return frame::call_kw(*this, {}, values, kwnames, false);
}
Ref Handle::add(Handle other) const noexcept { return binary(PyNumber_Add, *this, other, false); }
Ref Handle::sub(Handle other) const noexcept { return binary(PyNumber_Subtract, *this, other, false); }
Ref Handle::mul(Handle other) const noexcept { return binary(PyNumber_Multiply, *this, other, false); }
Ref Handle::div(Handle other) const noexcept { return binary(PyNumber_TrueDivide, *this, other, false); }
Ref Handle::gt(Handle other) const noexcept {
    return ready(*this, other) ? steal(PyObject_RichCompare(p_, other.ptr(), Py_GT)) : Ref();
}

Attr Ref::attr(Handle name) const& noexcept { return Attr(*this, name, false); }
Attr Ref::attr(Handle name) && noexcept { return Attr(*this, name, true); }
Ref Ref::operator[](Handle key) const& noexcept { return item(*this, key, false); }
Ref Ref::operator[](Handle key) && noexcept { return item(*this, key, true); }
Ref Ref::operator()() const& noexcept { return call(*this, {}, {}, false); }
Ref Ref::operator()() && noexcept { return call(*this, {}, {}, true); }
Ref Ref::operator()(Handle arg) const& noexcept { return call(*this, {}, {arg}, false); }
Ref Ref::operator()(Handle arg) && noexcept { return call(*this, {}, {arg}, true); }
Ref Ref::operator()(std::initializer_list<Arg> args) const& noexcept {
    return call(*this, {}, args, false);
}
Ref Ref::operator()(std::initializer_list<Arg> args) && noexcept { return call(*this, {}, args, true); }
Ref Ref::add(Handle other) const& noexcept { return binary(PyNumber_Add, *this, other, false); }
Ref Ref::add(Handle other) && noexcept { return binary(PyNumber_Add, *this, other, true); }
Ref Ref::sub(Handle other) const& noexcept { return binary(PyNumber_Subtract, *this, other, false); }
Ref Ref::sub(Handle other) && noexcept { return binary(PyNumber_Subtract, *this, other, true); }
Ref Ref::mul(Handle other) const& noexcept { return binary(PyNumber_Multiply, *this, other, false); }
Ref Ref::mul(Handle other) && noexcept { return binary(PyNumber_Multiply, *this, other, true); }
Ref Ref::div(Handle other) const& noexcept { return binary(PyNumber_TrueDivide, *this, other, false); }
Ref Ref::div(Handle other) && noexcept { return binary(PyNumber_TrueDivide, *this, other, true); }

// ---------------------------------------------------------------------------

Attr::Attr(Handle obj, Handle name, bool fresh) noexcept {
    if (!may_run(obj, fresh) || !name) return;
    PyObject* found = nullptr;
    if (lookup_method(obj.ptr(), name.ptr(), &found) == 1) self_ = obj;
    found_ = steal(found);
}

Ref Attr::value() const noexcept {
    if (!found_ || !self_) return found_;
    // An unbound method read as a value: bound, as reading the attribute does.
    descrgetfunc get = Py_TYPE(found_.ptr())->tp_descr_get;
    if (!get) return found_;
    return steal(get(found_.ptr(), self_.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self_.ptr()))));
}

// The attribute called: an unbound method with the object as its first
// argument. found_ was just made, so nothing else is pending.
Ref Attr::operator()() const noexcept { return call(found_, self_, {}, true); }
Ref Attr::operator()(Handle arg) const noexcept { return call(found_, self_, {arg}, true); }
Ref Attr::operator()(std::initializer_list<Arg> args) const noexcept {
    return call(found_, self_, args, true);
}
Ref Attr::call_kw(std::initializer_list<Handle> values, Handle kwnames) const noexcept {
    return frame::call_kw(found_, self_, values, kwnames, true);
}

Attr Attr::attr(Handle name) const noexcept { return Attr(value(), name, true); }

Ref Attr::operator[](Handle key) const noexcept { return item(value(), key, true); }

// ---------------------------------------------------------------------------

int truth(Handle obj) noexcept { return obj ? PyObject_IsTrue(obj.ptr()) : -1; }

namespace {
// A new list or tuple holding `items`, or null when one of them is.
Ref display(PyObject* (*make)(Py_ssize_t), int (*set)(PyObject*, Py_ssize_t, PyObject*),
            std::initializer_list<Handle> items) noexcept {
    for (Handle item : items)
        if (!item) return {};
    Ref made = steal(make(static_cast<Py_ssize_t>(items.size())));
    if (!made) return {};
    Py_ssize_t i = 0;
    for (Handle item : items) set(made.ptr(), i++, Py_NewRef(item.ptr()));  // cannot fail: in range
    return made;
}
}  // namespace

Ref list(std::initializer_list<Handle> items) noexcept {
    return display(PyList_New, PyList_SetItem, items);
}

Ref tuple(std::initializer_list<Handle> items) noexcept {
    return display(PyTuple_New, PyTuple_SetItem, items);
}

Ref dict(std::initializer_list<std::pair<Handle, Handle>> items) noexcept {
    for (auto& [key, value] : items)
        if (!key || !value) return {};
    Ref d = steal(PyDict_New());
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

namespace {
// The attribute, or null; `absent` tells an AttributeError (cleared) from
// another failure.
Ref optional_attribute(Handle obj, Handle name, bool& absent) noexcept {
    Ref value = steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
    absent = !value && PyErr_ExceptionMatches(PyExc_AttributeError);
    if (absent) PyErr_Clear();
    return value;
}
}  // namespace

Ref getattr(Handle obj, Handle name, Handle fallback) noexcept {
    if (!ready(obj, name) || !fallback) return {};
    bool absent = false;
    Ref value = optional_attribute(obj, name, absent);
    return absent ? borrow(fallback) : value;
}

int hasattr(Handle obj, Handle name) noexcept {
    if (!ready(obj, name)) return -1;
    bool absent = false;
    Ref value = optional_attribute(obj, name, absent);
    return value ? 1 : absent ? 0 : -1;
}

int is(Handle a, Handle b) noexcept {
    if (!ready(a, b)) return -1;
    return a.ptr() == b.ptr();
}

Ref slice(Handle start, Handle stop) noexcept {
    return ready(start, stop) ? steal(PySlice_New(start.ptr(), stop.ptr(), nullptr)) : Ref();
}

int contains(Handle container, Handle x) noexcept {
    return ready(container, x) ? PySequence_Contains(container.ptr(), x.ptr()) : -1;
}

Piece::Piece(Handle value) noexcept {
    if (!value) return;
    if (PyUnicode_CheckExact(value.ptr())) {
        text = borrow(value);
        return;
    }
    if (PyErr_Occurred()) return;
    Ref empty = steal(PyUnicode_New(0, 0));
    if (empty) text = steal(PyObject_Format(value.ptr(), empty.ptr()));
}

Ref fstring(std::initializer_list<Piece> pieces) noexcept {
    if (pieces.size() > static_cast<std::size_t>(kMaxArgs)) {
        beyond_limit("f-string pieces");
        return {};
    }
    Py_ssize_t total = 0;
    Py_UCS4 widest = 0;
    for (const Piece& piece : pieces) {
        if (!piece.text) return {};
        // format() refuses anything but text from __format__; the check
        // keeps the join to texts regardless.
        PyObject* text = piece.text.ptr();
        if (!PyUnicode_Check(text)) {
            PyErr_SetString(PyExc_SystemError, "f-string piece is not text");
            return {};
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        if (total > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return {};
        }
        total += length;
        if (PyUnicode_MAX_CHAR_VALUE(text) > widest) widest = PyUnicode_MAX_CHAR_VALUE(text);
    }
    // One exact text is the result itself, as the interpreter's join gives
    // it; otherwise a new text of the widest kind among the pieces.
    if (pieces.size() == 1 && PyUnicode_CheckExact(pieces.begin()->text.ptr()))
        return pieces.begin()->text;
    Ref joined = steal(PyUnicode_New(total, widest));
    if (!joined) return {};
    Py_ssize_t at = 0;
    for (const Piece& piece : pieces) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(piece.text.ptr());
        if (PyUnicode_CopyCharacters(joined.ptr(), at, piece.text.ptr(), 0, length) < 0) return {};
        at += length;
    }
    return joined;
}

}  // namespace frame
