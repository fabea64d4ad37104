#include "tablescope/row_capture.hpp"

#include <cerrno>
#include <new>

#include "frame/statement.hpp"
#include "tablescope/pins.hpp"
#include "tablescope/state.hpp"

namespace tablescope::row_capture {

using frame::Handle;
using frame::Ref;
using text_columns::Kind;

namespace {

frame::Name n_fetchall{"fetchall"}, n_unbuffered{"unbuffered"}, n_result{"_result"}, n_server_status{"server_status"},
    n_affected_rows{"affected_rows"}, n_fields{"fields"}, n_type_code{"type_code"}, n_type{"type"}, n_cached_result_processor{"_cached_result_processor"},
    n_next_seq_id{"_next_seq_id"}, n_settimeout{"settimeout"},
    n_read_timeout{"_read_timeout"}, n_current_timeout{"_current_timeout"}, n_peek{"peek"},
    n_force_close{"_force_close"}, n_errno{"errno"}, n_err{"err"}, n_OperationalError{"OperationalError"},
    n_CR{"CR"}, n_CR_SERVER_LOST{"CR_SERVER_LOST"}, n_check_packet_is_eof{"_check_packet_is_eof"}, n_connection{"connection"}, n_rows{"rows"},
    n_read_row_from_packet{"_read_row_from_packet"}, n_encoding{"encoding"};
frame::Text t_lost{"Lost connection to MySQL server during query"},
    t_lost_during{"Lost connection to MySQL server during query ("}, t_close{")"};

constexpr std::size_t kMaxPacket = 0xFFFFFF;  // a payload this long continues in the next packet

// What the stand-ins work with, owned by a capsule that each stand-in
// holds as its `self`.
struct State {
    pins::Driver driver{};
    Ref raw;            // the PyMySQL connection
    Ref dialect;        // SQLAlchemy's, for the columns' processors
    Ref table_columns;  // the SQLAlchemy Table's columns
    Ref result;         // the MySQLResult being read
    text_columns::Columns columns;
    bool read = false;  // the rows are in `columns`
    // Some column's values go through a processor: SQLAlchemy then makes
    // each row by passing every value through its column's.
    bool processed = false;
    // Rows the columns cannot stand for, handed to SQLAlchemy as the
    // driver read them, for it to make (a list, or null): the row it fails
    // to make, when `failing`, or else the rows shorter than the
    // description.
    Ref handed;
    bool failing = false;
    bool short_row = false;  // failing on a row shorter than the description
    std::size_t skipped = 0;  // rows read but not kept, once failing
};

constexpr const char* kCapsule = "orveksdk.tablescope.row_capture";

State* state_of(PyObject* capsule) noexcept {
    return static_cast<State*>(PyCapsule_GetPointer(capsule, kCapsule));
}

// The state lives in the interpreter's memory (operator new would tie the
// module to the C++ runtime library).
void free_state(PyObject* capsule) noexcept {
    State* state = state_of(capsule);
    state->~State();
    PyMem_Free(state);
}

// Removes `obj.name` from the instance's own attributes when it is a
// stand-in made with `capsule`, keeping any exception pending.
void take_off(Handle obj, Handle name, Handle capsule) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    Ref dict = obj ? frame::steal(PyObject_GenericGetDict(obj.ptr(), nullptr)) : Ref();
    PyObject* value = dict ? PyDict_GetItemWithError(dict.ptr(), name.ptr()) : nullptr;
    if (value && PyCFunction_Check(value) && PyCFunction_GET_SELF(value) == capsule.ptr())
        PyDict_DelItem(dict.ptr(), name.ptr());
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

bool is_text(Handle value, const char* text) noexcept {
    return value && PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// ---------------------------------------------------------------------------
// Which columns are read, and as what.

// The kind a column is read as, from the driver's (encoding, converter)
// and SQLAlchemy's processor; false when none reads it exactly.
bool kind_of(const pins::Driver& driver, Handle encoding, Handle converter, Handle processor, Kind& kind) noexcept {
    const bool none = processor.ptr() == Py_None;
    if (converter.ptr() == Py_None) {
        // through: the text decoded, or the bytes of a binary column.
        kind = encoding.ptr() == Py_None ? Kind::bytes : Kind::text;
        return none && (kind == Kind::bytes || PyUnicode_CheckExact(encoding.ptr()));
    }
    if (!is_text(encoding, "ascii")) return false;
    PyObject* c = converter.ptr();
    if (c == reinterpret_cast<PyObject*>(&PyLong_Type) && none) kind = Kind::integer;
    else if (c == reinterpret_cast<PyObject*>(&PyFloat_Type) && (none || processor.ptr() == driver.to_float.ptr()))
        kind = Kind::real;
    else if (c == driver.decimal.ptr() && processor.ptr() == driver.to_float.ptr()) kind = Kind::real;
    else if (c == driver.convert_datetime.ptr() && none) kind = Kind::datetime;
    else if (c == driver.convert_date.ptr() && none) kind = Kind::date;
    else return false;
    return true;
}

// Sets up the columns for `result`, whose descriptions are read: 1 when
// every column is read into columns, 0 when not, -1 with an exception.
int plan(State& state) noexcept {
    Handle result = state.result;
    Ref fields = result.attr(n_fields);
    Ref converters = result.attr(n::converters);
    if (!fields || !converters) return -1;
    Handle columns = state.table_columns;
    if (!PyList_CheckExact(fields.ptr()) || !PyList_CheckExact(converters.ptr()) || !PyTuple_CheckExact(columns.ptr()))
        return 0;
    const Py_ssize_t n = PyList_GET_SIZE(fields.ptr());
    if (n == 0 || n != PyList_GET_SIZE(converters.ptr()) || n != PyTuple_GET_SIZE(columns.ptr())) return 0;
    if (state.columns.start(n) < 0) return -1;
    for (Py_ssize_t j = 0; j < n; j++) {
        Handle field = PyList_GET_ITEM(fields.ptr(), j);
        Handle column = PyTuple_GET_ITEM(columns.ptr(), j);
        Handle pair = PyList_GET_ITEM(converters.ptr(), j);
        // The result is the SELECT's: the table's columns, in order.
        Ref field_name = field.attr(n::name);
        Ref column_name = column.attr(n::name);
        if (!field_name || !column_name) return -1;
        if (!PyUnicode_Check(field_name.ptr()) || !PyUnicode_Check(column_name.ptr())) return 0;
        const int same = PyUnicode_Compare(field_name.ptr(), column_name.ptr());
        if (same == -1 && PyErr_Occurred()) return -1;
        if (same != 0 || !PyTuple_CheckExact(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) return 0;
        // What SQLAlchemy passes the column's values through, as it finds
        // it for the cursor's description.
        Ref type_code = field.attr(n_type_code);
        Ref processor = type_code ? column.attr(n_type).attr(n_cached_result_processor)({state.dialect, type_code})
                                  : Ref();
        if (!processor) return -1;
        Kind kind;
        Handle encoding = PyTuple_GET_ITEM(pair.ptr(), 0);
        if (!kind_of(state.driver, encoding, PyTuple_GET_ITEM(pair.ptr(), 1), processor, kind)) return 0;
        if (state.columns.define(j, kind, encoding, processor) < 0) return -1;
        if (processor.ptr() != Py_None) state.processed = true;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The connection's stream, read as Connection._read_bytes reads it.

class Stream {
public:
    explicit Stream(State& state) noexcept : state_(state), raw_(state.raw) {}
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    // The sequence number goes back to the connection however the read ends.
    ~Stream() {
        if (started_) sync();
    }

    // Takes the stream and the next sequence number; false with an exception.
    bool start() noexcept {
        rfile_ = raw_.attr(n::rfile);
        Ref number = raw_.attr(n_next_seq_id);
        if (!rfile_ || !number) return false;
        seq = PyLong_Check(number.ptr()) ? PyLong_AsLong(number.ptr()) : -1;
        if (seq < 0 || seq > 255) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "the connection's sequence number is not a byte");
            return false;
        }
        started_ = true;
        return true;
    }

    // The bytes the stream holds, reading the socket once when it holds
    // none (b"" at its end); null with the error PyMySQL raises for the read.
    Ref peek() noexcept {
        for (;;) {
            if (!set_timeout()) return {};
            Ref chunk = rfile_.attr(n_peek)();
            if (chunk) {
                if (PyBytes_CheckExact(chunk.ptr())) return chunk;
                PyErr_SetString(PyExc_SystemError, "the stream's peek gave no bytes object");
                return {};
            }
            const bool os_error = PyErr_ExceptionMatches(PyExc_OSError);
            frame::Handler e;  // except OSError as e: / except BaseException:
            if (os_error) {
                // if e.errno == errno.EINTR: continue
                Ref number = e.attr(n_errno);
                if (!number) return {};
                const long code = PyLong_Check(number.ptr()) ? PyLong_AsLong(number.ptr()) : 0;
                if (code == -1 && PyErr_Occurred()) return {};
                if (code == EINTR) continue;
            }
            // self._force_close()
            if (!raw_.attr(n_force_close)()) return {};
            if (!os_error) {
                // raise
                e.restore();
                return {};
            }
            // raise err.OperationalError(CR.CR_SERVER_LOST, f"Lost connection to MySQL server during query ({e})")
            raise_lost(frame::fstring({t_lost_during, e, t_close}));
            return {};
        }
    }

    // Takes `n` bytes a peek gave from the stream; false with an exception.
    bool consume(std::size_t n) noexcept {
        Ref size = frame::steal(PyLong_FromSize_t(n));
        Ref taken = size ? rfile_.attr(n::read)(size) : Ref();
        if (!taken) return false;
        if (!PyBytes_CheckExact(taken.ptr()) || static_cast<std::size_t>(PyBytes_GET_SIZE(taken.ptr())) != n)
            return lost();
        return true;
    }

    // consume(), after a row's reading failed: PyMySQL had taken the
    // packet before reading it. The row's exception stays the one pending.
    int consume_failed(std::size_t n) noexcept {
        PyObject* error = PyErr_GetRaisedException();
        if (!consume(n)) PyErr_Clear();
        PyErr_SetRaisedException(error);
        return -1;
    }

    // The stream ended inside a packet: as _read_bytes after a short read.
    bool lost() noexcept {
        // self._force_close()
        if (!raw_.attr(n_force_close)()) return false;
        // raise err.OperationalError(CR.CR_SERVER_LOST, "Lost connection to MySQL server during query")
        raise_lost(frame::borrow(t_lost));
        return false;
    }

    // The connection's own _read_packet, at a packet's start.
    Ref read_packet() noexcept {
        if (!sync()) return {};
        Ref packet = raw_.attr(n::read_packet)();
        if (!packet) return {};
        Ref number = raw_.attr(n_next_seq_id);
        if (!number) return {};
        seq = PyLong_AsLong(number.ptr());
        if (seq == -1 && PyErr_Occurred()) return {};
        return packet;
    }

    long seq = 0;

private:
    // The socket's timeout, set as PyMySQL sets it before reading.
    bool set_timeout() noexcept {
        Ref timeout = raw_.attr(n_read_timeout);
        if (!timeout) return false;
        if (!state_.driver.timeout_per_read) {
            // if self._current_timeout != self._read_timeout:
            Ref current = raw_.attr(n_current_timeout);
            if (!current) return false;
            const int same = PyObject_RichCompareBool(current.ptr(), timeout.ptr(), Py_EQ);
            if (same < 0) return false;
            if (same) return true;
        }
        // self._sock.settimeout(self._read_timeout)
        if (!raw_.attr(n::sock).attr(n_settimeout)(timeout)) return false;
        // self._current_timeout = self._read_timeout
        return state_.driver.timeout_per_read || frame::setattr(raw_, n_current_timeout, timeout) == 0;
    }

    void raise_lost(Ref message) noexcept {
        Ref err = frame::borrow(PyDict_GetItemWithError(state_.driver.connections_names.ptr(), n_err.ptr()));
        Ref cr = frame::borrow(PyDict_GetItemWithError(state_.driver.connections_names.ptr(), n_CR.ptr()));
        if (!err || !cr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "pymysql.connections lost err or CR");
            return;
        }
        Ref error = err.attr(n_OperationalError)({cr.attr(n_CR_SERVER_LOST), message});
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    }

    // self._next_seq_id = seq (an exception pending stays pending)
    bool sync() noexcept {
        PyObject* pending = PyErr_GetRaisedException();
        Ref number = frame::steal(PyLong_FromLong(seq));
        const bool done = number && frame::setattr(raw_, n_next_seq_id, number) == 0;
        if (pending) {
            PyErr_Clear();
            PyErr_SetRaisedException(pending);
        }
        return done;
    }

    State& state_;
    Handle raw_;
    Ref rfile_;
    bool started_ = false;
};

// A row packet's payload begun in one chunk and ended in a later one.
class Pending {
public:
    bool active() const noexcept { return active_; }
    std::size_t missing() const noexcept { return length_ - bytes_.size(); }
    bool begin(std::size_t length, const unsigned char* data, std::size_t n) noexcept {
        active_ = true;
        length_ = length;
        bytes_.truncate(0);
        return bytes_.append(data, n);
    }
    bool add(const unsigned char* data, std::size_t n) noexcept { return bytes_.append(data, n); }
    bool complete() const noexcept { return bytes_.size() == length_; }
    const unsigned char* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    void end() noexcept {
        active_ = false;
        bytes_.release();
    }

private:
    text_columns::Values<unsigned char> bytes_;
    std::size_t length_ = 0;
    bool active_ = false;
};

// Hands `values` to SQLAlchemy; 0, or -1 with an exception.
int hand(State& state, Handle values) noexcept {
    if (!state.handed) state.handed = frame::steal(PyList_New(0));
    return state.handed ? frame::append(state.handed, values) : -1;
}

// From this row on, SQLAlchemy fails at fetchall: on `values`, handed to
// it, or (null) on a row the reader refuses itself; 0, or -1.
int fail_on(State& state, Handle values) noexcept {
    state.failing = true;
    state.handed.reset();
    state.skipped++;
    return values ? hand(state, values) : 0;
}

// Keeps the row of a packet the driver read: 0, or -1 with an exception.
//
// The driver reads every row before SQLAlchemy makes any, so a row that
// SQLAlchemy fails to make fails the read only at fetchall, with
// SQLAlchemy's own exception, after the driver has read the rest: such a
// row is handed to SQLAlchemy to fail on, and the stream read on.
int keep_driver_row(State& state, Handle packet) noexcept {
    // rows.append(self._read_row_from_packet(packet))
    Ref values = state.result.attr(n_read_row_from_packet)(packet);
    if (!values) return -1;
    if (state.failing) {
        state.skipped++;  // SQLAlchemy stops before this row
        return 0;
    }
    if (PyTuple_Check(values.ptr()) && PyTuple_GET_SIZE(values.ptr()) < state.columns.count()) {
        // A row whose packet ended before its last values: SQLAlchemy
        // cannot pass it through processors; without any, pandas pads it
        // with None (unless every row is short, kept for that case).
        if (state.processed) {
            state.short_row = true;
            return fail_on(state, {});
        }
        if (hand(state, values) < 0) return -1;
    }
    const int kept = state.columns.keep_row(values);
    if (kept != 1) return kept;
    // A processor raised on one of the values.
    PyErr_Clear();
    return fail_on(state, values);
}

// One row packet's payload: read into the columns or, when it is not one of
// plain values, by the result's own reading. 0, or -1 with an exception.
int take_row(State& state, const unsigned char* payload, std::size_t length) noexcept {
    const int read = state.columns.read_row(payload, length);
    if (read != 0) return read < 0 ? -1 : 0;
    // packet = MysqlPacket(bytes(buff), self.encoding)
    Ref data = frame::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload),
                                                      static_cast<Py_ssize_t>(length)));
    Ref packet = data ? state.driver.mysql_packet({data, state.raw.attr(n_encoding)}) : Ref();
    return packet ? keep_driver_row(state, packet) : -1;
}

// MySQLResult._read_rowdata_packet, the rows into the columns.
int read_rows(State& state) noexcept {
    Stream stream(state);
    if (!stream.start()) return -1;
    Pending pending;
    for (;;) {
        Ref chunk = stream.peek();
        if (!chunk) return -1;
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(chunk.ptr()));
        const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(chunk.ptr()));
        if (size == 0 && pending.active()) return stream.lost() ? 0 : -1;
        std::size_t used = 0;
        bool by_driver = size == 0;
        if (pending.active()) {
            used = pending.missing() < size ? pending.missing() : size;
            if (!pending.add(data, used)) return -1;
            if (pending.complete()) {
                const int taken = take_row(state, pending.data(), pending.size());
                pending.end();
                if (taken < 0) return stream.consume_failed(used);
            }
        }
        while (!pending.active() && used < size) {
            const unsigned char* at = data + used;
            const std::size_t left = size - used;
            // A header and the payload's first byte tell a row packet from
            // the others, which the driver reads.
            if (left < 5) {
                by_driver = true;
                break;
            }
            const std::size_t length = at[0] | static_cast<std::size_t>(at[1]) << 8 | static_cast<std::size_t>(at[2]) << 16;
            if (at[3] != stream.seq || length == 0 || length >= kMaxPacket || at[4] == 0xFF ||
                (at[4] == 0xFE && length < 9)) {
                by_driver = true;
                break;
            }
            stream.seq = (stream.seq + 1) & 0xFF;
            if (length <= left - 4) {
                used += 4 + length;
                if (take_row(state, at + 4, length) < 0) return stream.consume_failed(used);
            } else {
                if (!pending.begin(length, at + 4, left - 4)) return -1;
                used = size;
            }
        }
        if (used && !stream.consume(used)) return -1;
        if (!by_driver) continue;
        // packet = self.connection._read_packet()
        Ref packet = stream.read_packet();
        if (!packet) return -1;
        // if self._check_packet_is_eof(packet):
        const int end = frame::truth(state.result.attr(n_check_packet_is_eof)(packet));
        if (end < 0) return -1;
        if (end) {
            // self.connection = None
            return frame::setattr(state.result, n_connection, frame::None);
        }
        if (keep_driver_row(state, packet) < 0) return -1;
    }
}

// ---------------------------------------------------------------------------
// The stand-ins.

// MySQLResult._read_rowdata_packet of the result the capture made.
PyObject* read_rowdata_packet(PyObject* capsule, PyObject*) noexcept {
    State* state = state_of(capsule);
    if (!state || !state->result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "the row reader has no result to read");
        return nullptr;
    }
    const int planned = plan(*state);
    if (planned < 0) return nullptr;
    if (planned == 0) {
        state->columns.clear();
        return PyObject_CallOneArg(state->driver.read_rowdata_packet.ptr(), state->result.ptr());
    }
    if (read_rows(*state) < 0) {
        state->columns.clear();
        return nullptr;
    }
    // The rows go to SQLAlchemy in the columns, or as the driver read them
    // when SQLAlchemy fails on one, or when every row is short.
    const std::size_t kept = state->columns.rows();
    Handle handed = state->handed;
    const bool in_columns = !state->failing && !(handed && static_cast<std::size_t>(PyList_GET_SIZE(handed.ptr())) == kept);
    // self.affected_rows = len(rows)
    Ref count = frame::steal(PyLong_FromSize_t(kept + state->skipped));
    // self.rows = tuple(rows)
    Ref rows = in_columns || !handed ? frame::steal(PyTuple_New(0)) : frame::steal(PyList_AsTuple(handed.ptr()));
    if (!count || !rows || frame::setattr(state->result, n_affected_rows, count) < 0 ||
        frame::setattr(state->result, n_rows, rows) < 0)
        return nullptr;
    state->read = in_columns;
    if (!in_columns) state->columns.clear();
    Py_RETURN_NONE;
}

PyMethodDef read_rowdata_packet_def = {"_read_rowdata_packet", read_rowdata_packet, METH_NOARGS, nullptr};

// Connection._read_query_result, for one query.
PyObject* read_query_result(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    State* state = state_of(capsule);
    if (!state) return nullptr;
    Handle raw = state->raw;
    take_off(raw, n::read_query_result, capsule);
    // (unbuffered=False) alone is read into columns; anything else is the
    // driver's.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    int unbuffered = 0;
    if (nargs + nkw > 1 ||
        (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "unbuffered") != 0))
        unbuffered = 1;
    else if (nargs + nkw == 1)
        unbuffered = PyObject_IsTrue(args[0]);
    if (unbuffered < 0) return nullptr;
    if (unbuffered) {
        PyObject* call[frame::kMaxArgs + 1];
        if (nargs + nkw > frame::kMaxArgs) return PyErr_SetString(PyExc_TypeError, "too many arguments"), nullptr;
        call[0] = raw.ptr();
        for (Py_ssize_t i = 0; i < nargs + nkw; i++) call[i + 1] = args[i];
        return PyObject_Vectorcall(state->driver.read_query_result.ptr(), call, static_cast<size_t>(nargs + 1),
                                   kwnames);
    }
    // self._result = None
    if (frame::setattr(raw, n_result, frame::None) < 0) return nullptr;
    // result = MySQLResult(self)
    Ref result = state->driver.mysql_result(raw);
    if (!result) return nullptr;
    // (its rows read into columns)
    Ref rows = frame::steal(PyCFunction_New(&read_rowdata_packet_def, capsule));
    if (!rows || frame::setattr(result, n::read_rowdata_packet, rows) < 0) return nullptr;
    state->result = result;
    // result.read()
    Ref read = result.attr(n::read)();
    take_off(result, n::read_rowdata_packet, capsule);
    state->result.reset();
    if (!read) return nullptr;
    // self._result = result
    if (frame::setattr(raw, n_result, result) < 0) return nullptr;
    // if result.server_status is not None:
    Ref status = result.attr(n_server_status);
    if (!status) return nullptr;
    if (status.ptr() != Py_None) {
        // self.server_status = result.server_status
        if (frame::setattr(raw, n_server_status, status) < 0) return nullptr;
    }
    // return result.affected_rows
    return result.attr(n_affected_rows).value().release();
}

PyMethodDef read_query_result_def = {
    "_read_query_result",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read_query_result)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

int Capture::possible(Handle connection) noexcept {
    Ref raw;
    const pins::Driver* driver = pins::driver_of(connection, raw);
    if (!driver) return PyErr_Occurred() ? -1 : 0;
    return 1;
}

int Capture::arm(Handle connection, Handle columns) noexcept {
    disarm();
    Ref raw;
    const pins::Driver* driver = pins::driver_of(connection, raw);
    if (!driver) return PyErr_Occurred() ? -1 : 0;
    Ref dialect = connection.attr(n::dialect);
    Ref column_tuple = columns ? frame::steal(PySequence_Tuple(columns.ptr())) : Ref();
    if (!dialect || !column_tuple) return -1;
    void* memory = PyMem_Malloc(sizeof(State));
    if (!memory) {
        PyErr_NoMemory();
        return -1;
    }
    auto* state = new (memory) State;
    state->driver = *driver;
    state->raw = std::move(raw);
    state->dialect = std::move(dialect);
    state->table_columns = std::move(column_tuple);
    Ref capsule = frame::steal(PyCapsule_New(state, kCapsule, free_state));
    if (!capsule) {
        state->~State();
        PyMem_Free(state);
        return -1;
    }
    Ref stand_in = frame::steal(PyCFunction_New(&read_query_result_def, capsule.ptr()));
    if (!stand_in || frame::setattr(state->raw, n::read_query_result, stand_in) < 0) return -1;
    state_ = std::move(capsule);
    stand_in_ = std::move(stand_in);
    return 0;
}

void Capture::disarm() noexcept {
    if (!stand_in_) return;
    if (State* state = state_of(state_.ptr())) take_off(state->raw, n::read_query_result, state_);
    stand_in_.reset();
}

Ref Capture::fetchall(Handle result) noexcept {
    Ref rows = result.attr(n_fetchall)();
    State* state = state_ ? state_of(state_.ptr()) : nullptr;
    if (rows && state && state->short_row) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return {};
    }
    return rows;
}

text_columns::Columns* Capture::columns() noexcept {
    State* state = state_ ? state_of(state_.ptr()) : nullptr;
    return state && state->read ? &state->columns : nullptr;
}

}  // namespace tablescope::row_capture
