// The rows of a result set in MySQL's text protocol, read into one column
// per result column: each value what PyMySQL's converter and then
// SQLAlchemy's processor make of its text, kept as a number where pandas
// ends with a number, and handed to pandas as the arrays its
// convert_object_array would give for those values.
#pragma once

#include "frame/handle.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tablescope::text_columns {

// What a column's values are read as: the conversion of each value's
// text that the driver and SQLAlchemy apply.
enum class Kind : std::uint8_t {
    integer,   // int(text)
    real,      // float(text), or float(Decimal(text)): the same double
    datetime,  // convert_datetime(text)
    date,      // convert_date(text)
    text,      // text.decode(encoding)
    bytes,     // the bytes themselves
};

// Growable storage of plain values on the interpreter's raw allocator
// (which tracemalloc sees). A failed growth sets MemoryError.
template <typename T>
class Values {
public:
    Values() noexcept = default;
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() { PyMem_RawFree(data_); }

    bool push(T value) noexcept {
        if (size_ == capacity_ && !grow(size_ + 1)) return false;
        data_[size_++] = value;
        return true;
    }
    bool append(const T* values, std::size_t count) noexcept {
        if (size_ + count > capacity_ && !grow(size_ + count)) return false;
        std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
        return true;
    }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    T operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& back() noexcept { return data_[size_ - 1]; }
    void truncate(std::size_t size) noexcept { size_ = size; }
    void release() noexcept {
        PyMem_RawFree(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    bool grow(std::size_t needed) noexcept {
        std::size_t capacity = capacity_ ? capacity_ : 1024;
        while (capacity < needed) capacity *= 2;
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        void* grown = PyMem_RawRealloc(data_, capacity * sizeof(T));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

class Column;

// What pandas makes of the columns: numpy.empty and
// convert_object_array, and the datetime64 type it infers for datetimes
// (its text, and its counts per microsecond; null and 0 for none).
struct Conversion {
    frame::Handle numpy_empty;
    frame::Handle convert_object_array;
    frame::Handle datetime_dtype;
    long per_microsecond;
};

class Columns {
public:
    Columns() noexcept = default;
    Columns(const Columns&) = delete;
    Columns& operator=(const Columns&) = delete;
    ~Columns();

    // Makes `count` columns, each then defined; 0, or -1 with the
    // exception pending.
    int start(Py_ssize_t count) noexcept;
    // Defines column `j`: `encoding` is a text column's codec name (a str),
    // `processor` what SQLAlchemy passes each value through (None or its
    // to_float). 0, or -1 with the exception pending.
    int define(Py_ssize_t j, Kind kind, frame::Handle encoding, frame::Handle processor) noexcept;
    Py_ssize_t count() const noexcept { return count_; }
    std::size_t rows() const noexcept { return rows_; }

    // Reads one row from its packet's payload: 1 when every value was
    // read, 0 when the row holds a value not in its column's plain form
    // (nothing of the row is kept: the driver reads it), -1 with the
    // exception pending (out of memory).
    int read_row(const unsigned char* payload, std::size_t length) noexcept;
    // Keeps a row the driver read (a tuple, short when the packet was), each
    // value passed through its column's processor as SQLAlchemy does; a
    // missing value is None, as pandas pads a short row. 0; 1, nothing of
    // the row kept, when a processor raised (its exception pending); or -1.
    int keep_row(frame::Handle values) noexcept;

    // The list of the columns' arrays, exactly what convert_object_array
    // gives for the columns of the rows' values; each column's storage is
    // let go of as its array is made. Null with the exception pending on
    // failure.
    frame::Ref arrays(const Conversion& conversion) noexcept;

    // Lets go of every column.
    void clear() noexcept;

private:
    Column* columns_ = nullptr;
    Py_ssize_t count_ = 0;
    std::size_t rows_ = 0;
};

}  // namespace tablescope::text_columns
