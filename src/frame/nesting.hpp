// How deep the frame's calls may nest.
//
// A call of a function of the frame, and each run of a coroutine's body,
// counts against the interpreter's recursion limit as a Python call does.
// That limit counts calls, not bytes: 3.13 admits 10,000 nested C calls,
// and a thread may run on a stack of 256 KiB. So each such call also checks
// the C stack of the thread it runs on, and refuses with RecursionError
// while enough of it is left to raise, unwind and add the traceback entries
// on the way out: a recursion that passes only through C (a module name
// rebound to a function that calls back into the module) ends in
// RecursionError, never in a crash, on any thread.
#pragma once

#include "frame/interpreter.hpp"

namespace frame {

class NestedCall {
public:
    // Enters one level; when refused, RecursionError is set and the object
    // is false.
    NestedCall() noexcept;
    ~NestedCall();
    NestedCall(const NestedCall&) = delete;
    NestedCall& operator=(const NestedCall&) = delete;

    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace frame
