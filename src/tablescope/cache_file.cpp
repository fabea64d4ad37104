#include "tablescope/cache_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tablescope::cache_file {

using frame::Handle;
using frame::Ref;
using frame::steal;

int refuse_irregular(Handle path) noexcept {
    if (!frame::ready(path)) return -1;
    PyObject* cache_full_path = path.ptr();
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(cache_full_path, &encoded)) return -1;
    Ref target = steal(encoded);
    // statx, not stat: glibc exports stat() itself only since 2.33, statx
    // since 2.28, the oldest glibc the binary wheels are built for.
    struct statx st;
    if (statx(AT_FDCWD, PyBytes_AS_STRING(target.ptr()), AT_STATX_SYNC_AS_STAT, STATX_TYPE, &st) < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, cache_full_path);
        return -1;
    }
    if (S_ISREG(st.stx_mode) || S_ISDIR(st.stx_mode)) return 0;
    PyErr_Format(PyExc_ValueError, "not a regular file: %R", cache_full_path);
    return -1;
}

Replacement::~Replacement() {
    if (fd_ >= 0) close(fd_);
    if (temporary_) {
        // Keeps whatever exception is pending.
        PyObject* exc = PyErr_GetRaisedException();
        unlink(PyBytes_AS_STRING(temporary_.ptr()));
        PyErr_SetRaisedException(exc);
    }
}

Ref Replacement::create(Handle cache_full_path) noexcept {
    if (!frame::ready(cache_full_path)) return {};
    path_ = cache_full_path.ptr();
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path_, &encoded)) return {};
    target_ = steal(encoded);
    for (int attempt = 0; attempt < 100; attempt++) {
        Ref name = steal(PyBytes_FromFormat("%s.%ld-%d.tmp", PyBytes_AS_STRING(target_.ptr()),
                                            static_cast<long>(getpid()), ++counter_));
        if (!name) return {};
        int fd = open(PyBytes_AS_STRING(name.ptr()), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      0666);
        if (fd >= 0) {
            temporary_ = std::move(name);
            fd_ = fd;
            return steal(PyLong_FromLong(fd));
        }
        if (errno != EEXIST) break;
    }
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
    return {};
}

Ref Replacement::opened(Ref file) noexcept {
    if (file) {
        written_ = fd_;
        fd_ = -1;
    }
    return file;
}

int Replacement::commit() noexcept {
    if (fsync(written_) < 0 ||
        rename(PyBytes_AS_STRING(temporary_.ptr()), PyBytes_AS_STRING(target_.ptr())) < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
        return -1;
    }
    temporary_.reset();
    return 0;
}

}  // namespace tablescope::cache_file
