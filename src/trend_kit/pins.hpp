// What the fast paths of orveksdk.trend_kit check: the library objects the
// statements they stand in for dispatch through, pinned when the module
// body has bound its names (frame/pins.hpp). Declared, defined and pinned
// here only.
#pragma once

#include "frame/pins.hpp"

namespace trend_kit::pins {

// conv_date's answer for an ISO date stands in for
// parser.parse(dt).strftime("%Y-%m-%d"): dateutil's parse with its default
// parser, and whatever the parser's code reads.
bool parse_as_at_import(frame::Handle parser) noexcept;

// The day counts of ts_forecast stand in for iterating a datetime64 Series,
// subtracting pd.Timestamp("1970-01-01") or the element before, and reading
// the Timedelta's days.
bool pandas_as_at_import(frame::Handle pd) noexcept;
// Timestamp and Timedelta alone, for (dates[i + 1] - dates[i]).days.
bool timestamps_as_at_import() noexcept;
// The classes a Series and what it holds are checked against (pinned
// classes, unchanged, compared with `is_type_of`).
extern frame::ClassPin series, datetime_array, range_index;

// Pins everything above; 0, or -1 with an exception pending.
int pin_library_objects() noexcept;

}  // namespace trend_kit::pins
