// Constants created once by the execute step: identifiers, texts, integers
// and cached builtins.
//
// A module declares them as namespace-scope Name / Text / Int / Builtin
// objects. Each registers itself when the shared library is loaded; the
// execute step then creates all of them before the module body runs. Each
// is a Handle to its object, usable wherever an expression takes one.
#pragma once

#include "frame/state.hpp"

#include <initializer_list>

namespace frame {

// An interned identifier with its hash computed up front (the text keeps
// it, so every dictionary lookup by the name uses it).
class Name : public Handle {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    const char* text() const noexcept { return text_; }

private:
    friend int create_constants() noexcept;
    const char* text_;
    Name* next_;
};

// A text constant (not necessarily an identifier), hash computed up front.
class Text : public Handle {
public:
    explicit Text(const char* utf8) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

private:
    friend int create_constants() noexcept;
    const char* utf8_;
    Text* next_;
};

class Int : public Handle {
public:
    explicit Int(long value) noexcept;
    Int(const Int&) = delete;
    Int& operator=(const Int&) = delete;

private:
    friend int create_constants() noexcept;
    long value_;
    Int* next_;
};

// A builtin read once from the builtins module, in declaration order, before
// the module body runs; later rebinding in builtins does not reach the bodies.
class Builtin : public Handle {
public:
    explicit Builtin(Name& name) noexcept;
    Builtin(const Builtin&) = delete;
    Builtin& operator=(const Builtin&) = delete;

private:
    friend int cache_builtins() noexcept;
    friend void forget_builtins() noexcept;
    Name& name_;
    Builtin* next_;
};

// A tuple of keyword names, for calls whose keywords are fixed:
// `f.call_kw({a, b}, kwnames)` passes the last len(kwnames) values by name.
class Keywords : public Handle {
public:
    Keywords(std::initializer_list<const Name*> names) noexcept;
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

private:
    friend int create_constants() noexcept;
    const Name* names_[4] = {};
    int count_ = 0;
    Keywords* next_;
};

// An object a fast path checks a name against: what the name was bound to
// when the module body ran, kept for the process (and let go of, like the
// builtins, when an execute step runs in another interpreter).
class Pin : public Handle {
public:
    Pin() noexcept;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    // Keeps `value` (a new reference is taken); 0, or -1 when it is null.
    int set(Handle value) noexcept;
    // Keeps `value` only when it comes from the library: its __module__ is
    // `module` or one of its submodules and, when given, its __qualname__ is
    // `qualname`. A stand-in put in place before the module body ran is
    // never pinned. Never fails: whatever went wrong while looking is cleared.
    void set_if_from(Handle value, const char* module, const char* qualname = nullptr) noexcept;
    // Whether `current` is the pinned object (never, while nothing is pinned).
    bool is(Handle current) const noexcept { return p_ && current.ptr() == p_; }

private:
    friend void forget_builtins() noexcept;
    Pin* next_;
};

// Names, texts and integers, made once for the process; an execute step
// after a failed one keeps those already made.
int create_constants() noexcept;
// The builtins, read afresh on every execute step.
int cache_builtins() noexcept;
void forget_builtins() noexcept;

}  // namespace frame
