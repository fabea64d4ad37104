// Statements: what a body is written with, one C++ statement per Python
// statement, each adding the body's traceback entry at its own line when it
// fails.
//
// A body is `void name(Body& here)`, declared with DEF. Its statements:
//
//     LET(x, expr);          x = expr            (a new local)
//     SET(x, expr);          x = expr            (an existing local)
//     DO(expr);              expr                (a call, a bind, a store)
//     IF (expr) {...}        if expr:            (IF_NOT for `if not expr:`)
//     FOR(x, iterable) {...} for x in iterable:
//     WITH(x, manager) {...} END_WITH;           with manager as x:
//     TRY {...} EXCEPT(e, type) {...}            try: ... except type as e: ...
//     RETURN(expr);  RAISE(expr);  RERAISE(e);   return / raise X(...) / raise
//
// A failed statement returns from the body (or from the block of a with or
// try statement, which hands the failure on) with the exception pending;
// falling off the end returns None, as Python does.
#pragma once

#include "frame/classes.hpp"
#include "frame/function.hpp"
#include "frame/traceback.hpp"

#include <source_location>

namespace frame {

// How a block of a with or try statement ended.
enum class Flow { next, returned, raised };

// One running call of a body: its traceback identity, its arguments and its
// result.
class Body {
public:
    Body(const char* trace, PyObject* const* args) noexcept : trace_(trace), args_(args) {}
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;

    Handle arg(int i) const noexcept { return args_[i]; }

    // Adds the entry at the line of the failed statement.
    void fail(std::source_location at = std::source_location::current()) const noexcept {
        add_traceback(trace_, at.file_name(), static_cast<int>(at.line()));
    }
    // `return value`
    void give(const Ref& value, std::source_location at = std::source_location::current()) noexcept;
    // `raise exc`: a class is called with no arguments and must give an
    // exception instance; an instance is raised as it is.
    void raise(const Ref& exc, std::source_location at = std::source_location::current()) noexcept;

    // How the block that just ran ended; a failure drops a return value
    // given before it.
    Flow flow() noexcept;
    // The call's result: null with the exception pending, the returned
    // value, or None.
    PyObject* finish() noexcept;

private:
    const char* trace_;
    PyObject* const* args_;
    Ref result_;
};

// The entry of a function whose body is written with statements.
PyObject* run_statements(const FunctionDef& def, PyObject* self, PyObject* const* args) noexcept;

template <typename Block>
Flow run_block(Body& here, Block&& block) noexcept {
    block();
    return here.flow();
}

// An except clause that has taken the pending exception. While it lives the
// exception is the one being handled (sys.exception(), traceback.print_exc());
// when it ends, the exception handled before is restored. As a Handle it is
// the exception.
class Handler : public Handle {
public:
    Handler() noexcept;
    ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    // Evaluates the clause `except type`: 1 when the exception matches; 0
    // when not, the exception pending again, unchanged; -1 when the clause
    // itself fails (a type that is no exception class).
    int matches(Handle type) noexcept;
    // A bare `raise`: the same exception object, with its traceback, is
    // pending again.
    void reraise() noexcept;

private:
    PyObject* previous_;
};

// The iteration of a for statement.
class Loop {
public:
    explicit Loop(Handle iterable) noexcept;
    // The next item; null at the end, or with the exception pending.
    Ref next() noexcept;

private:
    Ref it_;
};

// One `with manager as target:` statement. The constructor looks up
// __exit__ and __enter__ on the manager's type (a missing one raises
// AttributeError naming it) and calls __enter__; when that fails, __exit__
// is never called. run() runs the block with the target, then __exit__:
// with None, None, None, or with the block's exception (while it is the
// handled one), which __exit__ may suppress. An exception that leaves the
// statement gets the entry of the with-statement's own line.
class With {
public:
    With(Body& here, Handle manager,
         std::source_location at = std::source_location::current()) noexcept;
    explicit operator bool() const noexcept { return static_cast<bool>(target_); }

    template <typename Block>
    Flow run(Block&& block) noexcept {
        block(Handle(target_));
        return leave();
    }

private:
    Flow leave() noexcept;
    Body& here_;
    std::source_location at_;
    Ref exit_, target_;
};

}  // namespace frame

// ---------------------------------------------------------------------------
// The statement forms. Each refers to the running body as `here`.

#define DEF(body_name, ...)                                                          \
    void body_name(::frame::Body& here) noexcept;                                    \
    ::frame::FunctionDef body_name##_def{::frame::Signature __VA_ARGS__,             \
                                         ::frame::run_statements, body_name,         \
                                         __LINE__, __FILE__};                        \
    void body_name(::frame::Body& here) noexcept

#define LET(x, ...)                                                                  \
    ::frame::Ref x = (__VA_ARGS__);                                                  \
    if (!x) return here.fail()

#define SET(x, ...)                                                                  \
    x = ::frame::Ref(__VA_ARGS__);                                                   \
    if (!x) return here.fail()

#define DO(...)                                                                      \
    if (::frame::failed(__VA_ARGS__)) return here.fail()

#define IF(...)                                                                      \
    if (const int truth_ = ::frame::truth(__VA_ARGS__); truth_ < 0) return here.fail(); \
    else if (truth_)

#define IF_NOT(...)                                                                  \
    if (const int truth_ = ::frame::truth(__VA_ARGS__); truth_ < 0) return here.fail(); \
    else if (!truth_)

#define FOR(x, ...)                                                                  \
    for (::frame::Loop loop_##x{__VA_ARGS__};;)                                      \
        if (::frame::Ref x = loop_##x.next(); !x) {                                  \
            if (PyErr_Occurred()) return here.fail();                                \
            break;                                                                   \
        } else

#define WITH(target, ...)                                                            \
    if (::frame::With with_{here, __VA_ARGS__}; !with_) return here.fail();          \
    else if (const ::frame::Flow flow_ = with_.run([&]([[maybe_unused]] ::frame::Handle target) noexcept -> void
#define END_WITH                                                                     \
    ); flow_ == ::frame::Flow::next) {}                                              \
    else return

#define TRY                                                                          \
    if (const ::frame::Flow flow_ = ::frame::run_block(here, [&]() noexcept -> void
#define EXCEPT(e, ...)                                                               \
    ); flow_ == ::frame::Flow::next) {}                                              \
    else if (flow_ == ::frame::Flow::returned) return;                               \
    else if (::frame::Handler e; false) {}                                           \
    else if (const int matched_ = e.matches(__VA_ARGS__); matched_ < 0) return here.fail(); \
    else if (!matched_) return;                                                      \
    else

#define RETURN(...) return here.give(__VA_ARGS__)
#define RAISE(...) return here.raise(__VA_ARGS__)
#define RERAISE(e) return e.reraise(), here.fail()
