// prepare_data's read of one table, `pd.read_sql_table(table_name,
// connection)`, with the SELECT's rows read into columns on the same
// connection.
#pragma once

#include "frame/handle.hpp"

namespace tablescope::table_reader {

// pd.read_sql_table(table_name, connection), when `pd` is pandas as at
// import and `connection` reads through PyMySQL as pinned (pins.hpp):
// pandas' own read_sql_table, SQLDatabase.read_table and SQLTable.read
// written out, the SELECT's rows read into columns (row_capture.hpp) and
// the DataFrame made of the columns as pandas makes it of the rows; the
// same frame, the same SQL through SQLAlchemy, the same exceptions.
// Otherwise null without an exception (the statement runs); null with the
// exception pending when the read failed.
frame::Ref read(frame::Handle pd, frame::Handle table_name, frame::Handle connection) noexcept;

}  // namespace tablescope::table_reader
