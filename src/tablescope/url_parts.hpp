// What the connection URL may hold as host and database: the URL reads
// anything else as its own structure.
#pragma once

#include "frame/handle.hpp"

namespace tablescope::url_parts {

// Whether `text` is a host the URL reads as one: a host name or IPv4
// address (letters, digits, ".", "-", "_"), or an IPv6 address in brackets,
// optionally followed by ":port". Anything else could carry URL structure
// ("/other?local_infile=1") past the host. False for anything but text.
bool is_url_host(frame::Handle text) noexcept;

// Whether a database name holds "?", "#" or "/", which the URL reads as
// the start of its query, fragment or path.
bool names_url_structure(frame::Handle text) noexcept;

}  // namespace tablescope::url_parts
