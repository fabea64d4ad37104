// Class statements.
#pragma once

#include "frame/constants.hpp"

namespace frame {

// A class statement with bases: evaluates PEP 560 base resolution, the
// metaclass choice and __prepare__, and fills __module__, __qualname__,
// __doc__ and __orig_bases__ into the namespace. The class body stores its
// results with store(); create() calls the metaclass.
class ClassStatement {
public:
    // 0, or -1 with an exception set (a null operand included).
    int begin(Handle name, Handle qualname, Handle bases, Handle doc) noexcept;
    int store(Handle key, Handle value) noexcept;
    // The class: the metaclass called with (name, resolved bases, namespace).
    Ref create() noexcept;

private:
    Ref name_, bases_, metaclass_, ns_;
};

// A class statement without bases and without a docstring: a plain
// dictionary namespace with __module__ and __qualname__, created by
// calling `type`.
class PlainClassStatement {
public:
    int begin(Handle name, Handle qualname) noexcept;
    int store(Handle key, Handle value) noexcept;
    Ref create() noexcept;

private:
    Ref name_, ns_;
};

}  // namespace frame
