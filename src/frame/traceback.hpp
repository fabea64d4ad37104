// Traceback entries: each failing step of a body adds one, the way the
// interpreter adds a Python frame.
#pragma once

#include "frame/state.hpp"

#include <source_location>

namespace frame {

// Adds one entry to the traceback of the pending exception: a frame of an
// empty code object named `name` at `file`:`line`, with `globals` (the
// running body's unless given). `name` and `file` are texts that live for
// the process.
void add_traceback(const char* name, const char* file, int line,
                   PyObject* globals = running_globals()) noexcept;

// What a failed step returns: null for object results, -1 for status results.
struct Failed {
    operator PyObject*() const noexcept { return nullptr; }
    operator Ref() const noexcept { return Ref(); }
    operator int() const noexcept { return -1; }
};

// The traceback identity of code that is not a body of the statement layer
// (an awaiting coroutine body written by hand): `fail()` adds the entry at
// the line where it is written.
struct Where {
    const char* name;

    Failed fail(std::source_location at = std::source_location::current()) const noexcept {
        add_traceback(name, at.file_name(), static_cast<int>(at.line()));
        return {};
    }
};

}  // namespace frame
