// Statements: what a body is written with, one C++ statement per Python
// statement, each adding the body's traceback entry at its own line when it
// fails.
//
// A body (DEF), and each block of a compound statement, is a function that
// returns how it ended, a Flow: a statement that fails returns
// Flow::raised at once, with the exception pending; RETURN returns
// Flow::returned, the value kept by `here`; a block that runs to its end
// returns Flow::next. A compound statement hands anything but Flow::next
// on to the function around it, so a failure or a RETURN leaves the body
// from any depth, and a plain `return;` does not compile anywhere.
//
//     LET(x, expr);                        x = expr            (a new local)
//     SET(x, expr);                        x = expr            (an existing local)
//     DO(expr);                            expr                (a call, a bind, a store)
//     IF (expr) {...} else IF (...) {...} else {...}           if / elif / else
//     IF_NOT (expr) {...}                  if not expr:
//     FOR (x, iterable) {...}              for x in iterable:  (break and continue work)
//     WITH (x, manager) {...} END_WITH;    with manager as x:
//     TRY {...}                            try:
//     EXCEPT (e, T) {...}                  except T as e:      (several; EXCEPT (e, T1, T2)
//                                                                is except (T1, T2) as e)
//     ELSE {...}  FINALLY {...}            else: / finally:    (each optional, in this order)
//     END_TRY;
//     RETURN(expr);  RETURN_NONE;          return expr / return None
//     RAISE(expr);  RERAISE(e);            raise expr / raise (in an except block)
//     RETURN_FAST(answer);                 a fast path's answer, when it has one
//                                          (fast_or in handle.hpp, for a value)
//
// Every statement first checks, in builds with statement checks, that no
// exception is pending: a raw call that failed without its statement
// noticing would otherwise go unseen, since operations do nothing while an
// exception is pending.
#pragma once

#include "frame/classes.hpp"
#include "frame/function.hpp"
#include "frame/traceback.hpp"

#include <source_location>

namespace frame {

// How a body or a block ended.
enum class Flow { next, returned, raised };

// One running call of a body: its traceback identity, its arguments and its
// result.
class Body {
public:
    Body(const char* trace, PyObject* const* args) noexcept : trace_(trace), args_(args) {}
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;

    Handle arg(int i) const noexcept { return args_[i]; }

    // A failed statement: adds the entry at its line.
    Flow fail(std::source_location at = std::source_location::current()) const noexcept {
        add_traceback(trace_, at.file_name(), static_cast<int>(at.line()));
        return Flow::raised;
    }
    // `return value`
    Flow give(const Ref& value, std::source_location at = std::source_location::current()) noexcept;
    // `raise exc`: a class is called with no arguments and must give an
    // exception instance; an instance is raised as it is.
    Flow raise(const Ref& exc, std::source_location at = std::source_location::current()) noexcept;
    // A bare `raise` in an except block: the same exception object, with
    // its traceback, is pending again.
    Flow reraise(Handle exc, std::source_location at = std::source_location::current()) noexcept;

    // The call's result after the body ended with `flow`: null with the
    // exception pending, the returned value, or None.
    PyObject* finish(Flow flow) noexcept;

private:
    friend class Try;
    const char* trace_;
    PyObject* const* args_;
    Ref result_;
};

// The entry of a function whose body is written with statements.
PyObject* run_statements(const FunctionDef& def, PyObject* self, PyObject* const* args) noexcept;

// Aborts with the statement's place when an exception is pending as it
// starts (builds with statement checks only).
void statement_started_with_exception(const char* file, int line) noexcept;

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

    // The exception pending again, unchanged.
    void restore() noexcept;

private:
    PyObject* previous_;
};

// The classes an except clause names: one, or a tuple of several.
Ref exception_types(Handle type) noexcept;
Ref exception_types(std::initializer_list<Handle> types) noexcept;
template <typename... More>
Ref exception_types(Handle first, Handle second, More... more) noexcept {
    return exception_types({first, second, Handle(more)...});
}

// `a and b`, with b evaluated only when a is true: the truth of the result
// (1, 0, or -1 for a failure).
template <typename Second>
int and_(int first, Second&& second) noexcept {
    return first <= 0 ? first : truth(second());
}
template <typename Second>
int and_(Handle first, Second&& second) noexcept {
    return and_(truth(first), second);
}

// The state of a for statement, which FOR binds to two names: the
// iterator, and the current item under the loop variable's name.
struct ForLoop {
    Ref iterator;
    Ref item;
};
// A loop over `iterable`; a null iterable (its step failed) or one that is
// not iterable makes the first advance fail.
ForLoop for_loop(Handle iterable) noexcept;
// Takes the next item into `item`: 1, 0 at the end, -1 with the exception
// pending.
int advance(Ref& iterator, Ref& item) noexcept;

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

    template <typename Block>
    Flow run(Block&& block) noexcept {
        if (!target_) return here_.fail(at_);
        return leave(block(Handle(target_)));
    }

private:
    Flow leave(Flow flow) noexcept;
    Body& here_;
    std::source_location at_;
    Ref exit_, target_;
};

// One try statement: the block runs at once, then each clause in order as
// Python's rules reach it. An except clause's classes are evaluated only
// when an exception reaches it, with that exception taken (as the
// interpreter does); a failure there replaces the exception.
class Try {
public:
    explicit Try(Body& here) noexcept : here_(here) {}

    template <typename Block>
    Try& block(Block&& block) noexcept {
        flow_ = block();
        return *this;
    }

    template <typename Types, typename Handler>
    Try& except(Types&& types, Handler&& handler,
                std::source_location at = std::source_location::current()) noexcept {
        if (flow_ != Flow::raised || handled_) return *this;
        frame::Handler taken;
        Ref classes = types();
        const int matched = matches(taken, classes);
        if (matched < 0) {
            handled_ = true;
            flow_ = here_.fail(at);
        } else if (matched) {
            handled_ = true;
            flow_ = handler(Handle(taken));
        } else {
            taken.restore();
        }
        return *this;
    }

    // else: runs when the block ran to its end.
    template <typename Block>
    Try& orelse(Block&& block) noexcept {
        if (flow_ == Flow::next && !handled_) flow_ = block();
        return *this;
    }

    // finally: runs whatever happened before; an exception still pending
    // is handled while it runs and pending again after it, and the value
    // of a RETURN before it stays, unless the block itself returns or fails.
    template <typename Block>
    Try& finally(Block&& block) noexcept {
        if (flow_ == Flow::raised) {
            frame::Handler saved;
            const Flow flow = block();
            if (flow == Flow::next) saved.restore();
            else flow_ = flow;
            return *this;
        }
        Ref kept = std::move(here_.result_);
        const Flow flow = block();
        if (flow == Flow::next) here_.result_ = std::move(kept);
        else flow_ = flow;
        return *this;
    }

    Flow end() const noexcept { return flow_; }

private:
    // 1 when the taken exception matches `classes`, 0 when not, -1 when
    // the clause itself fails (its classes failed, or are not exception
    // classes).
    static int matches(const frame::Handler& taken, Handle classes) noexcept;

    Body& here_;
    Flow flow_ = Flow::next;
    bool handled_ = false;
};

}  // namespace frame

// ---------------------------------------------------------------------------
// The statement forms. Each refers to the running body as `here`.

#ifdef ORVEKSDK_STATEMENT_CHECKS
#define FRAME_STATEMENT_START()                                                       \
    (PyErr_Occurred() ? ::frame::statement_started_with_exception(__FILE__, __LINE__) \
                      : (void)0)
#else
#define FRAME_STATEMENT_START() ((void)0)
#endif

// The value of `expr`, or a return from the body (or block) when it failed.
#define FRAME_CHECKED(...)                                                           \
    ({                                                                               \
        FRAME_STATEMENT_START();                                                     \
        ::frame::Ref checked_ = (__VA_ARGS__);                                       \
        if (!checked_) return here.fail();                                           \
        checked_;                                                                    \
    })

// The truth of `expr` as a bool, or a return when taking it failed.
#define FRAME_TRUTH(...)                                                             \
    ({                                                                               \
        FRAME_STATEMENT_START();                                                     \
        const int truth_ = ::frame::truth(__VA_ARGS__);                              \
        if (truth_ < 0) return here.fail();                                          \
        truth_ != 0;                                                                 \
    })

#define DEF(body_name, ...)                                                          \
    ::frame::Flow body_name(::frame::Body& here) noexcept;                           \
    ::frame::FunctionDef body_name##_def{::frame::Signature __VA_ARGS__,             \
                                         ::frame::run_statements, body_name,         \
                                         __LINE__, __FILE__};                        \
    ::frame::Flow body_name(::frame::Body& here) noexcept

#define LET(x, ...) ::frame::Ref x = FRAME_CHECKED(__VA_ARGS__)

#define SET(x, ...) x = FRAME_CHECKED(__VA_ARGS__)

#define DO(...)                                                                      \
    do {                                                                             \
        FRAME_STATEMENT_START();                                                     \
        if (::frame::failed(__VA_ARGS__)) return here.fail();                        \
    } while (false)

#define IF(...) if (FRAME_TRUTH(__VA_ARGS__))
#define IF_NOT(...) if (!FRAME_TRUTH(__VA_ARGS__))

#define FOR(x, ...)                                                                  \
    for (auto&& [x##_loop_, x] = ::frame::for_loop(({                                \
             FRAME_STATEMENT_START();                                                \
             ::frame::borrow(__VA_ARGS__);                                           \
         }));                                                                        \
         ({                                                                          \
             const int more_ = ::frame::advance(x##_loop_, x);                                  \
             if (more_ < 0) return here.fail();                                      \
             more_ != 0;                                                             \
         });)

#define WITH(x, ...)                                                                 \
    if (const ::frame::Flow flow_ =                                                  \
            ::frame::With(here, ({                                                   \
                              FRAME_STATEMENT_START();                               \
                              ::frame::borrow(__VA_ARGS__);                          \
                          }))                                                        \
                .run([&]([[maybe_unused]] ::frame::Handle x) noexcept -> ::frame::Flow {
#define END_WITH                                                                     \
    return ::frame::Flow::next;                                                      \
    });                                                                              \
    flow_ != ::frame::Flow::next) return flow_

#define TRY                                                                          \
    if (const ::frame::Flow flow_ = ::frame::Try(here)                               \
                                        .block([&]() noexcept -> ::frame::Flow {     \
                                            FRAME_STATEMENT_START();
#define EXCEPT(e, ...)                                                               \
    return ::frame::Flow::next;                                                      \
    })                                                                               \
        .except([&]() noexcept { return ::frame::exception_types(__VA_ARGS__); },    \
                [&]([[maybe_unused]] ::frame::Handle e) noexcept -> ::frame::Flow {
#define ELSE                                                                         \
    return ::frame::Flow::next;                                                      \
    })                                                                               \
        .orelse([&]() noexcept -> ::frame::Flow {
#define FINALLY                                                                      \
    return ::frame::Flow::next;                                                      \
    })                                                                               \
        .finally([&]() noexcept -> ::frame::Flow {
#define END_TRY                                                                      \
    return ::frame::Flow::next;                                                      \
    })                                                                               \
        .end();                                                                      \
    flow_ != ::frame::Flow::next) return flow_

#define RETURN(...)                                                                  \
    return ({                                                                        \
        FRAME_STATEMENT_START();                                                     \
        here.give(__VA_ARGS__);                                                      \
    })
#define RETURN_NONE RETURN(::frame::borrow(Py_None))
#define RAISE(...)                                                                   \
    return ({                                                                        \
        FRAME_STATEMENT_START();                                                     \
        here.raise(__VA_ARGS__);                                                     \
    })
#define RERAISE(e) return here.reraise(e)
#define RETURN_FAST(...)                                                             \
    do {                                                                             \
        FRAME_STATEMENT_START();                                                     \
        ::frame::Ref answer_ = (__VA_ARGS__);                                        \
        if (answer_) return here.give(answer_);                                      \
        if (PyErr_Occurred()) return here.fail();                                    \
    } while (false)
