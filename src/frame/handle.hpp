// Object references, and the expressions bodies are written with.
//
// A Handle is a borrowed reference; a Ref owns one. Every new reference the
// frame and the bodies make is held by a Ref, so that every way out of a
// function, error paths included, releases it. Neither converts to
// PyObject* by itself: `.ptr()` hands the object to the C API.
//
// A null reference stands for "the step that gave it failed; a Python
// exception is set". The operations below take that into account: an
// operation with a null operand, or one reached while an exception is
// pending, does nothing and yields null. An expression therefore stops at
// its first failure, as Python's evaluation does, and the statement that
// holds it checks once. (Only an operation on a variable can be reached
// with an exception pending, after a failed element of the same list: one
// on a temporary Ref, the result just made by the operation before it,
// looks at its operand alone.)
//
// C++ leaves the order of function arguments and of most operator operands
// unspecified; Python's order is kept by evaluating arguments only inside
// braced lists (`f({a, b})`, element by element) and operands of binary
// operations as `a.add(b)` (the object before the argument).
#pragma once

#include "frame/interpreter.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace frame {

// The most arguments one call, pieces one text, or parameters one function
// take; beyond it an operation raises SystemError instead of allocating.
inline constexpr int kMaxArgs = 16;

class Ref;
class Attr;
struct Arg;

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(std::nullptr_t) noexcept {}
    constexpr Handle(PyObject* p) noexcept : p_(p) {}

    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // obj.name
    Attr attr(Handle name) const noexcept;
    // obj[key]
    Ref operator[](Handle key) const noexcept;
    // obj(), obj(a), obj({a, b, kw(name, c)})
    Ref operator()() const noexcept;
    Ref operator()(Handle arg) const noexcept;
    Ref operator()(std::initializer_list<Arg> args) const noexcept;
    // obj(*values) with the last len(kwnames) values passed by those names.
    Ref call_kw(std::initializer_list<Handle> values, Handle kwnames) const noexcept;
    // obj + x, obj - x, obj * x, obj / x
    Ref add(Handle other) const noexcept;
    Ref sub(Handle other) const noexcept;
    Ref mul(Handle other) const noexcept;
    Ref div(Handle other) const noexcept;
    // obj > x
    Ref gt(Handle other) const noexcept;

protected:
    PyObject* p_ = nullptr;
};

class Ref : public Handle {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : Handle(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : Handle(std::exchange(o.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(const Ref& o) noexcept {
        Ref(o).swap(*this);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }

    // Takes over a new reference (as returned by most C API calls).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed object.
    static Ref borrow(Handle h) noexcept {
        Py_XINCREF(h.ptr());
        return steal(h.ptr());
    }

    // Hands the reference to the caller (for returns into the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

    // The operations of Handle; on a temporary (the result just made) they
    // skip the look for a pending exception.
    Attr attr(Handle name) const& noexcept;
    Attr attr(Handle name) && noexcept;
    Ref operator[](Handle key) const& noexcept;
    Ref operator[](Handle key) && noexcept;
    Ref operator()() const& noexcept;
    Ref operator()() && noexcept;
    Ref operator()(Handle arg) const& noexcept;
    Ref operator()(Handle arg) && noexcept;
    Ref operator()(std::initializer_list<Arg> args) const& noexcept;
    Ref operator()(std::initializer_list<Arg> args) && noexcept;
    Ref add(Handle other) const& noexcept;
    Ref add(Handle other) && noexcept;
    Ref sub(Handle other) const& noexcept;
    Ref sub(Handle other) && noexcept;
    Ref mul(Handle other) const& noexcept;
    Ref mul(Handle other) && noexcept;
    Ref div(Handle other) const& noexcept;
    Ref div(Handle other) && noexcept;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(Handle h) noexcept { return Ref::borrow(h); }

// `obj.name`, read as the interpreter reads an attribute it is about to call:
// a plain method of the type is kept unbound, so that calling it passes
// `obj` as the first argument without making a bound method. Used as a
// value, it is the attribute itself.
class Attr {
public:
    // `fresh`: `obj` is the result just made (no exception can be pending).
    Attr(Handle obj, Handle name, bool fresh) noexcept;

    Ref operator()() const noexcept;
    Ref operator()(Handle arg) const noexcept;
    Ref operator()(std::initializer_list<Arg> args) const noexcept;
    Ref call_kw(std::initializer_list<Handle> values, Handle kwnames) const noexcept;

    // The attribute's value.
    Ref value() const noexcept;
    operator Ref() const noexcept { return value(); }
    Attr attr(Handle name) const noexcept;
    Ref operator[](Handle key) const noexcept;

private:
    Ref found_;         // the attribute, or the unbound method
    Handle self_;       // the object, when found_ is an unbound method
};

// One argument of a call: positional, or keyword when made by kw().
struct Arg {
    Arg(Handle v) noexcept : value(v) {}
    Arg(PyObject* v) noexcept : value(v) {}
    Arg(const Attr& a) noexcept : keep(a.value()), value(keep) {}
    Arg(Handle name, Handle v) noexcept : value(v), keyword(name.ptr()) {}

    Ref keep;  // an attribute read for the call
    Handle value;
    PyObject* keyword = nullptr;
};

// name=value in a call.
inline Arg kw(Handle name, Handle value) noexcept { return Arg(name, value); }

// None, True, False
inline const Handle None{Py_None};
inline const Handle True{Py_True};
inline const Handle False{Py_False};

// ---------------------------------------------------------------------------
// Expressions that are not operations of an object

// Whether an operation may run: every operand present, no exception pending.
bool ready(Handle a) noexcept;
bool ready(Handle a, Handle b) noexcept;

// Truth value: 1, 0, or -1 for a failure (a null operand included).
int truth(Handle obj) noexcept;
inline int truth(int status) noexcept { return status; }
// A failed step: a null result, or a negative status.
inline bool failed(const Ref& r) noexcept { return !r; }
inline bool failed(int status) noexcept { return status < 0; }
inline bool failed(const Attr& a) noexcept { return !a.value(); }

// Displays: [a, b], (a, b), {k: v, ...}
Ref list(std::initializer_list<Handle> items) noexcept;
Ref tuple(std::initializer_list<Handle> items) noexcept;
Ref dict(std::initializer_list<std::pair<Handle, Handle>> items) noexcept;

// [expr(x) for x in iterable]; `expr` gives a Ref.
template <typename Expr>
Ref list_of(Handle iterable, Expr&& expr) noexcept {
    if (!ready(iterable)) return {};
    Ref it = steal(PyObject_GetIter(iterable.ptr()));
    Ref result = it ? steal(PyList_New(0)) : Ref();
    if (!result) return {};
    while (Ref item = steal(PyIter_Next(it.ptr()))) {
        Ref value = expr(Handle(item));
        if (!value || PyList_Append(result.ptr(), value.ptr()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return result;
}

// obj[key] = value; obj.name = value (through the type's slot, as
// setattr does). 0, or -1 with the exception pending.
int setitem(Handle obj, Handle key, Handle value) noexcept;
int setattr(Handle obj, Handle name, Handle value) noexcept;

// list.append(x) of an exact list.
int append(Handle list, Handle item) noexcept;
// len(obj), as an int object.
Ref len(Handle obj) noexcept;
// str(obj), float(obj)
Ref str(Handle obj) noexcept;
Ref to_float(Handle obj) noexcept;
// x in container: 1, 0, or -1.
int contains(Handle container, Handle x) noexcept;
// getattr(obj, name, default): the attribute, or `fallback` when reading
// it raises AttributeError.
Ref getattr(Handle obj, Handle name, Handle fallback) noexcept;
// hasattr(obj, name): 1, 0, or -1 for an error other than AttributeError.
int hasattr(Handle obj, Handle name) noexcept;
// a is b: 1, 0, or -1 for a failed operand.
int is(Handle a, Handle b) noexcept;
// a is not b: 1, 0, or -1 for a failed operand.
inline int is_not(Handle a, Handle b) noexcept {
    const int same = is(a, b);
    return same < 0 ? same : !same;
}
// type(obj) is cls (never fails; false for a null operand).
inline bool type_is(Handle obj, Handle cls) noexcept {
    return obj && reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == cls.ptr();
}
// start:stop, as a subscript.
Ref slice(Handle start, Handle stop) noexcept;

// A fast path's answer, or the statements': `fast` when it answered (or
// failed, with the exception pending); when it declined (null, nothing
// pending), what `statements()` gives.
template <typename Statements>
Ref fast_or(Ref fast, Statements&& statements) noexcept {
    if (fast || PyErr_Occurred()) return fast;
    return statements();
}

// One piece of an f-string, formatted where it stands in the list, as the
// interpreter formats each field right after evaluating it: a replacement
// field without format spec is `format(value, "")`, a text is itself.
struct Piece {
    Piece(Handle value) noexcept;
    Piece(PyObject* value) noexcept : Piece(Handle(value)) {}
    Piece(const Attr& a) noexcept : Piece(Handle(a.value())) {}
    Ref text;
};
// An f-string: the pieces joined.
Ref fstring(std::initializer_list<Piece> pieces) noexcept;

// Raises SystemError "<what>: more than 16 ...".
void beyond_limit(const char* what) noexcept;

}  // namespace frame
