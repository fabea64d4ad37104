// What the fast path of orveksdk.tablescope checks: the standard library's
// urllib.parse, pinned when the module body has bound its names
// (frame/pins.hpp). Declared, defined and pinned here only.
#pragma once

#include "frame/pins.hpp"

namespace tablescope::pins {

// The percent-encoding of the credentials stands in for
// `from urllib.parse import quote` and `quote(text, safe="")`.
//
// What the import would give: the standard library's quote while
// sys.modules holds its urllib.parse, as at import (the module's namespace
// and the classes quote uses unchanged); null otherwise.
frame::Handle quote_as_imported() noexcept;
// Whether `quote` is that function, its module as at import.
bool is_standard_quote(frame::Handle quote) noexcept;

// Pins everything above; 0, or -1 with an exception pending.
int pin_library_objects() noexcept;

}  // namespace tablescope::pins
