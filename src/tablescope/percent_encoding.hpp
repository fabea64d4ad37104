// The fast path of construction: the credentials percent-encoded here, as
// urllib.parse.quote(text, safe="") encodes them.
#pragma once

#include "frame/handle.hpp"

namespace tablescope::percent_encoding {

// `from urllib.parse import quote`: the standard library's function, read
// in place while it is as at import (pins.hpp); null without an exception
// when the import statement is to run.
frame::Ref imported_quote() noexcept;

// quote(text, safe="") for an exact str, while `quote` is the standard
// library's: UTF-8 (strict), A-Z a-z 0-9 _ . - ~ kept, every other byte as
// upper-case %XX, an empty text itself. Null without an exception when the
// call is to run (another quote, or a text quote refuses).
frame::Ref encoded(frame::Handle quote, frame::Handle text) noexcept;

}  // namespace tablescope::percent_encoding
