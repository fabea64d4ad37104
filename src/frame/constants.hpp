// Constants created once by the execute step: identifiers, texts, integers
// and cached builtins.
//
// A module declares them as namespace-scope Name / Text / Int / Builtin
// objects. Each registers itself when the shared library is loaded; the
// execute step then creates all of them before the module body runs. Each
// is a Handle to its object, usable wherever an expression takes one.
#pragma once

#include "frame/state.hpp"

#include <type_traits>

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
    static constexpr int kMost = 4;

    // Keywords kw_level_format{n::level, n::format}; more than kMost names
    // do not compile.
    template <typename... Names>
        requires(sizeof...(Names) >= 1 && sizeof...(Names) <= kMost &&
                 (std::is_same_v<Names, Name> && ...))
    explicit Keywords(const Names&... names) noexcept
        : names_{&names...}, count_(static_cast<int>(sizeof...(Names))) {
        enlist();
    }
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

private:
    friend int create_constants() noexcept;
    void enlist() noexcept;
    const Name* names_[kMost] = {};
    int count_ = 0;
    Keywords* next_ = nullptr;
};

// Names, texts and integers, made once for the process; an execute step
// after a failed one keeps those already made.
int create_constants() noexcept;
// The builtins, read afresh on every execute step.
int cache_builtins() noexcept;
void forget_builtins() noexcept;

}  // namespace frame
