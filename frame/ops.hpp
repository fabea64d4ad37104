// The operations the function bodies are written with. Each behaves as the
// same Python statement does and returns null (or -1) with an exception set
// when it fails.
#pragma once

#include "frame/module.hpp"

#include <initializer_list>
#include <utility>

namespace frame {

// ---------------------------------------------------------------------------
// Calls

// f(*args): vectorcall when the callee supports it, the ordinary call
// (under the recursion guard) otherwise.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {});
// f(*args, **kwargs) with the keywords held in a dictionary.
Ref call_dict(PyObject* callable, PyObject* args_tuple, PyObject* kwargs);
// obj.name(*args), without making a bound method when the attribute is a
// plain method descriptor.
Ref call_method(PyObject* obj, const Name& name, std::initializer_list<PyObject*> args = {});

inline Ref getattr(PyObject* obj, const Name& name) {
    return steal(PyObject_GetAttr(obj, name));
}
// Attribute assignment through the type's slot, as setattr does.
inline int setattr(PyObject* obj, const Name& name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value);
}

// ---------------------------------------------------------------------------
// Displays

// {k1: v1, k2: v2, ...}, entries stored in order.
Ref make_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items);
// [x]
Ref make_list(std::initializer_list<PyObject*> items);

// Runs `step` for each item of `iterable`, in iteration order; stops at the
// first step that returns -1.
template <typename Step>
int for_each(PyObject* iterable, Step&& step) {
    Ref it = steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    while (Ref item = steal(PyIter_Next(it))) {
        if (step(item.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// A for statement of a body whose traceback identity is `where`: like
// for_each, but when the iteration itself fails (iter() or next() raising)
// the for statement's line gets the entry. A failing step adds its own.
template <typename Step>
int for_in(const Where& where, PyObject* iterable, Step&& step,
           std::source_location at = std::source_location::current()) {
    Ref it = steal(PyObject_GetIter(iterable));
    if (!it) return where.fail(at);
    while (Ref item = steal(PyIter_Next(it))) {
        if (step(item.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return where.fail(at);
    return 0;
}

// ---------------------------------------------------------------------------
// Item access

// obj[key]. An exact dict raises KeyError(key) for a missing key (a tuple
// key included); anything else goes through PyObject_GetItem.
Ref getitem(PyObject* obj, PyObject* key);
// obj[i] with an int key: lists and tuples are indexed directly; an index
// beyond Py_ssize_t raises IndexError "cannot fit ...".
Ref getitem_int(PyObject* obj, PyObject* index);
inline int setitem(PyObject* obj, PyObject* key, PyObject* value) {
    return PyObject_SetItem(obj, key, value);
}

// Truth value; -1 with an exception set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

// ---------------------------------------------------------------------------
// raise

// `raise exc`: a class is called with no arguments and must give an
// exception instance; an instance is raised as it is.
void raise(PyObject* exc);

// ---------------------------------------------------------------------------
// except clauses

// Tests whether the pending exception matches `type`. 1 or 0; it stays pending.
int pending_matches(PyObject* type);

// An except clause that has taken the pending exception. While it lives the
// exception is the one being handled (sys.exception(), traceback.print_exc());
// when it ends, the exception handled before is restored.
class Handler {
public:
    Handler() noexcept;
    ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    PyObject* exception() const noexcept { return exc_; }
    // A bare `raise`: the same exception object, with its traceback, is
    // pending again.
    Failed reraise() noexcept;

private:
    PyObject* exc_;
    PyObject* previous_;
};

// Saves the handled-exception state and restores it when it ends.
class SavedHandled {
public:
    SavedHandled() noexcept : saved_(PyErr_GetHandledException()) {}
    ~SavedHandled() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    SavedHandled(const SavedHandled&) = delete;
    SavedHandled& operator=(const SavedHandled&) = delete;

private:
    PyObject* saved_;
};

// Stores a text into an attribute slot, refusing anything else (and
// deletion) with TypeError `message`, as function and coroutine names do.
int set_text_slot(PyObject** slot, PyObject* value, const char* message);

// ---------------------------------------------------------------------------
// with-statements

// One `with manager as target:` statement of a body whose traceback identity
// is `where`. enter() runs before the block and gives the target; leave()
// runs after it. An exception that leaves the statement gets the entry of the
// with-statement's own line (where the With is declared), on top of the
// entry of the statement in the block that raised it.
class With {
public:
    explicit With(const Where& where, std::source_location at = std::source_location::current()) noexcept
        : where_(where), at_(at) {}

    // __exit__ and then __enter__, looked up on the manager's type (a
    // missing one raises AttributeError naming it); then __enter__().
    // When __enter__ fails, __exit__ is never called.
    Ref enter(PyObject* manager);

    // After the block: `block_ok` false means the block failed and its
    // exception is pending. Calls __exit__ with None, None, None or with the
    // exception's type, value and traceback (while it is the handled one).
    // Returns 0 when the statement is complete -- the block succeeded or
    // __exit__ suppressed its exception -- and -1 when an exception leaves it.
    int leave(bool block_ok);

private:
    const Where& where_;
    std::source_location at_;
    Ref exit_;
};

// ---------------------------------------------------------------------------
// f-strings

// A replacement field without format spec: `format(value, "")`, texts as they are.
Ref format_field(PyObject* value);
// Joins the pieces into one text.
Ref join_text(std::initializer_list<PyObject*> pieces);

}  // namespace frame
