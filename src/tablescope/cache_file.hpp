// The cache file: replaced whole, never written in place, and loaded only
// when it is a regular file.
#pragma once

#include "frame/handle.hpp"

namespace tablescope::cache_file {

// Only a regular file is loaded: anything else but a directory (which
// open() refuses as it always has) is a cache that cannot be loaded -- for
// a FIFO, rather than a read that blocks for ever. 0, or -1 with ValueError
// (or the OSError of looking).
int refuse_irregular(frame::Handle cache_full_path) noexcept;

// The tables are pickled into a new file beside the cache file, flushed and
// synced, then renamed over it. A reader sees the old file or the new one,
// never a part; a write that fails leaves the old file as it was and no new
// file behind; a symbolic link or a FIFO at the path is replaced, not
// written through.
class Replacement {
public:
    Replacement() noexcept = default;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement();

    // Creates the new file (<cache file>.<pid>-<n>.tmp, exclusively): its
    // descriptor as an int, or null with OSError naming the cache path.
    frame::Ref create(frame::Handle cache_full_path) noexcept;
    // The file object `open` made of the descriptor, which takes it over.
    frame::Ref opened(frame::Ref file) noexcept;
    // fsync of the written file, then the rename over the cache path; 0,
    // or -1 with OSError.
    int commit() noexcept;

private:
    PyObject* path_ = nullptr;
    frame::Ref target_, temporary_;
    int fd_ = -1;
    int written_ = -1;
    static inline int counter_ = 0;
};

}  // namespace tablescope::cache_file
