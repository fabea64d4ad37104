// ts_forecast's fast paths: the day counts of a datetime64 Series, read
// from its values in one pass instead of a Timestamp and a Timedelta per
// element.
#pragma once

#include "frame/handle.hpp"

namespace trend_kit::day_counts {

// [(date - pd.Timestamp("1970-01-01")).days for date in dates]
frame::Ref since_epoch(frame::Handle dates) noexcept;

// [(dates[i + 1] - dates[i]).days for i in range(len(dates) - 1)]
frame::Ref intervals(frame::Handle dates) noexcept;

// Each gives a new list of ints, exactly the statement's, when it can prove
// the statement gives it: `dates` is exactly a pandas Series of naive
// datetime64 values (s, ms, us or ns) without NaT, each within the range
// of nanoseconds since 1970 (so no unit the subtraction converts to can
// overflow), the classes and module attributes the statement dispatches
// through are as at import (pins.hpp), and, for the intervals, its labels
// are the positions 0 to n - 1 and no difference leaves int64. Otherwise
// null without an exception (the statement runs), or null with the
// exception a look met that no look expects (the statement fails with it).

}  // namespace trend_kit::day_counts
