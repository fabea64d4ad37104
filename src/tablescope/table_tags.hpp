// The name tag of a table's DataFrame.
#pragma once

#include "frame/handle.hpp"

namespace tablescope::table_tags {

// df.name = table_name, kept where it survives pickling and is never taken
// for a column: the instance attribute `name`, set past the DataFrame's own
// __setattr__ (which would overwrite a column called "name"), and its copy
// in df.attrs["name"]. 0, or -1 with the exception pending.
int tag(frame::Handle df, frame::Handle table_name) noexcept;

// A list loaded from the cache gets each DataFrame's tag back from its
// attrs (pickling keeps attrs, not instance attributes). `DataFrame` is
// pandas' class, as the module names it. 0, or -1.
int restore(frame::Handle loaded, frame::Handle DataFrame) noexcept;

}  // namespace tablescope::table_tags
