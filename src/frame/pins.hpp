// What a fast path checks before it is taken: the library objects whose
// behaviour it replaces or reads, as they were when the module was
// imported.
//
// A fast path stands in for statements that dispatch through module
// attributes and class attributes. Each such object is pinned at import,
// when it is the library's own, and checked at every call; anything changed
// since, and the statements run instead:
//
//   Pin       one object (a module, an instance, a type);
//   ClassPin  a class and the version tag the interpreter gives it, which
//             changes whenever an attribute of the class or of one of its
//             bases is set or deleted;
//   DictPin   the entries of a dictionary (a module's namespace, an
//             instance's attributes), each key and value by identity.
//
// A ClassPin or DictPin also keeps the code, defaults and keyword defaults
// of each Python function among the class's attributes or the dictionary's
// values (staticmethods and classmethods included): a function changed in
// place changes neither the tag nor the dictionary.
//
// Pins live for the process and are let go of, like the cached builtins,
// when an execute step runs in another interpreter.
#pragma once

#include "frame/constants.hpp"

#include <cstdint>

namespace frame {

class Pin : public Handle {
public:
    Pin() noexcept;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() = default;

    // Keeps `value` (a new reference is taken); 0, or -1 when it is null.
    int set(Handle value) noexcept;
    // Keeps `value` only when it comes from the library: its __module__ is
    // `module` or one of its submodules and, when given, its __qualname__
    // is `qualname`; a stand-in put in place before the import is never
    // pinned. 0 whether pinned or not; -1 with an exception other than the
    // AttributeError or TypeError that looking may meet.
    int set_if_from(Handle value, const char* module, const char* qualname = nullptr) noexcept;
    // Keeps a module (of the module type itself, not a subclass) named `name`.
    void set_module(Handle module, const char* name) noexcept;
    // Whether `current` is the pinned object (never, while nothing is pinned).
    bool is(Handle current) const noexcept { return p_ && current.ptr() == p_; }

    // Lets go of every pin (the objects belong to an interpreter that may
    // be gone).
    static void forget_all() noexcept;

protected:
    // Which class a pin is, for forget_all: the pins dispatch without a
    // virtual table, which would tie the modules to the C++ runtime library.
    enum class Kind : unsigned char { object, class_attributes, dict_entries };
    explicit Pin(Kind kind) noexcept : Pin() { kind_ = kind; }
    void forget() noexcept;
    // Keeps the state of each function among the values of `dicts`; 0, or
    // -1 on failure.
    int keep_functions(PyObject* const* dicts, Py_ssize_t count) noexcept;
    bool functions_unchanged() const noexcept;

private:
    Kind kind_ = Kind::object;
    Pin* next_ = nullptr;
    PyObject* functions_ = nullptr;  // a tuple: function, code, defaults, kwdefaults, ...
};

class ClassPin : public Pin {
public:
    ClassPin() noexcept : Pin(Kind::class_attributes) {}
    // Pins a class of the library (as set_if_from) with its version tag,
    // the attributes of each class of its MRO and their functions; 0, or -1
    // with an exception no look expects.
    int set_class(Handle type, const char* module, const char* qualname = nullptr) noexcept;
    // Pinned, and nothing of it changed since. Another tag alone (an
    // attribute set and put back, or set on an unrelated subclass) is
    // looked into once: when every attribute is still the pinned object,
    // the new tag is taken.
    bool unchanged() const noexcept {
        if (!p_) return false;
        const unsigned int tag = reinterpret_cast<PyTypeObject*>(p_)->tp_version_tag;
        if ((tag != tag_ || !tag) && !retag()) return false;
        return functions_unchanged();
    }
    // `type(obj) is` the class, unchanged.
    bool is_type_of(Handle obj) const noexcept {
        return obj && reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == p_ && unchanged();
    }

protected:
    friend class Pin;
    void forget() noexcept;

private:
    static constexpr Py_ssize_t kMaxBases = 32;  // a longer MRO is not pinned
    bool retag() const noexcept;
    mutable unsigned int tag_ = 0;
    // A tuple: the MRO, then for each of its classes a tuple of its
    // attributes (key, value, key, value, ...).
    PyObject* attributes_ = nullptr;
};

class DictPin : public Pin {
public:
    DictPin() noexcept : Pin(Kind::dict_entries) {}
    // Pins a dictionary with a copy of its entries and the state of its
    // functions; 0, or -1 on failure.
    int set_dict(Handle dict) noexcept;
    // Pins only the entries of a module's namespace that `function`'s code
    // reads as globals, following the namespace's functions it reads (and
    // what a function's __wrapped__ reads): a change to any other entry,
    // such as a cache the module fills lazily, is no change. A name absent
    // at pinning is pinned as absent.
    int set_read_by(Handle dict, Handle function) noexcept;
    // Pins the attribute dictionary of an instance.
    int set_attributes(Handle instance) noexcept;
    // The same entries, each key and value the same object, in the same
    // order; for an instance, still its attribute dictionary.
    bool unchanged() const noexcept;

protected:
    friend class Pin;
    void forget() noexcept;

private:
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};
    PyObject* entries_ = nullptr;   // a tuple: key, value, key, value, ...
    bool selected_ = false;         // entries_ holds some keys only (absent ones as a marker)
    PyObject* instance_ = nullptr;  // whose attributes these are, if anyone's
    // The count of changes to watched dictionaries when the entries were
    // last found the same (kNever: compare at every check).
    mutable std::uint64_t verified_ = kNever;
};

// After a look that failed: whether it failed as looks may (AttributeError,
// TypeError), the error then cleared so that the statements run; any other
// exception stays pending for the statement to fail with.
bool look_declined() noexcept;

}  // namespace frame
