// conv_date's fast path: a "YYYY-MM-DD" text answers itself.
#pragma once

#include "frame/handle.hpp"

namespace trend_kit::iso_date {

// What parser.parse(dt).strftime("%Y-%m-%d") gives, for an exact str of a
// valid date "YYYY-MM-DD" (ASCII digits, a year from 1000: strftime writes
// smaller years unpadded) while parse is dateutil's with its default
// parser, as at import (pins.hpp): a new text equal to dt. Null without an
// exception for anything else.
frame::Ref answer(frame::Handle dt) noexcept;

}  // namespace trend_kit::iso_date
