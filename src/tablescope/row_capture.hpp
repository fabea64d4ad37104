// The SELECT's rows read straight into columns on the statements' own
// connection.
//
// Armed on the PyMySQL connection under a SQLAlchemy Connection, the
// capture stands in for the connection's next `_read_query_result`: the
// result is made and read as PyMySQL reads it, its header and column
// descriptions included, with one difference: the result's
// `_read_rowdata_packet` reads the rows from the connection's buffered
// stream into text_columns' columns instead of a tuple per row, when every
// column is of a kind they read exactly (decided from the descriptions,
// the converters and SQLAlchemy's processors, before the first row).
// Otherwise, and for an unbuffered query, PyMySQL's own code runs.
//
// Every byte is taken from the stream as PyMySQL takes it: rows lying
// whole in the stream's buffer are read in place; any other packet (the
// end of the rows, an error, a row split across reads or over 16 MB, a
// sequence number out of turn) is read by the connection's own
// `_read_packet` at its start, and an odd row by the result's own
// `_read_row_from_packet`. A read that fails fails with PyMySQL's error.
// The result then holds what PyMySQL leaves in it, except its rows (an
// empty tuple): the cursor, and SQLAlchemy's result over it, give none;
// a row SQLAlchemy would fail to make is left to it, or refused at
// fetchall when it would not see the fault.
#pragma once

#include "tablescope/text_columns.hpp"

namespace tablescope::row_capture {

class Capture {
public:
    Capture() noexcept = default;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture() { disarm(); }

    // Whether `connection` (a SQLAlchemy Connection) reads through a PyMySQL
    // connection and libraries as pinned (pins::driver_of): 1, 0, or -1
    // with an exception pending.
    static int possible(frame::Handle connection) noexcept;
    // Arms the PyMySQL connection under `connection` for the next result it
    // reads, whose columns are to be `columns` (the SQLAlchemy Table's
    // columns, in the SELECT's order). Arms nothing when the connection is
    // not as possible() asks. 0, or -1 with an exception pending.
    int arm(frame::Handle connection, frame::Handle columns) noexcept;
    // Takes the stand-in off the connection when no query has taken it
    // (an exception pending stays pending).
    void disarm() noexcept;
    // `call()` (the statement that runs the query) with the connection
    // armed for it: its result, or null with its exception.
    template <typename Call>
    frame::Ref during(frame::Handle connection, frame::Handle columns, Call&& call) noexcept {
        if (arm(connection, columns) < 0) return {};
        frame::Ref result = call();
        disarm();
        return result;
    }
    // The columns the result's rows were read into; null when they were
    // not read into columns.
    text_columns::Columns* columns() noexcept;
    // `result.fetchall()`, failing as SQLAlchemy 2.0 fails to make a row
    // when the driver read one shorter than the result's columns (2.1
    // makes it without looking, reading past the row's values).
    frame::Ref fetchall(frame::Handle result) noexcept;

private:
    frame::Ref state_;     // a capsule owning what the stand-ins work with
    frame::Ref stand_in_;  // the connection's `_read_query_result` while armed
};

}  // namespace tablescope::row_capture
