// Names and imports, as the statements of a body see them.
#pragma once

#include "frame/constants.hpp"

#include <initializer_list>

namespace frame {

// A module-level name: the running body's globals (with the stored hash),
// then the builtins module, then NameError.
Ref global(const Name& name) noexcept;

// Binds `value` under `name` in the running body's globals; -1 when
// `value` is null (its step failed) or binding fails.
int bind(const Name& name, Handle value) noexcept;

// `import a`: the module in sys.modules unless it is still initialising,
// otherwise the interpreter's import.
Ref import(const Name& module) noexcept;

// `import a as b` (and `import a`, as `import_as(a, a)`).
int import_as(const Name& module, const Name& as) noexcept;

// `from module import a, b`: the interpreter's import with the names as
// fromlist, then each name read in order and bound under itself.
int from_import(const Name& module, std::initializer_list<const Name*> names) noexcept;

// `from module import name` inside a function: the value, bound by the
// caller as a local.
Ref from_import_value(const Name& module, const Name& name) noexcept;

}  // namespace frame
