// Owned object references.
//
// Every new reference the frame and the module bodies make is held by a Ref,
// so that every way out of a function, error paths included, releases it.
// A null Ref stands for "the step failed; a Python exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
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
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller (for returns into the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

}  // namespace frame
