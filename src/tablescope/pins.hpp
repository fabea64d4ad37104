// What the fast paths of orveksdk.tablescope check: the library objects the
// statements they stand in for dispatch through (frame/pins.hpp). Declared,
// defined and pinned here only.
#pragma once

#include "frame/pins.hpp"

namespace tablescope::pins {

// The percent-encoding of the credentials stands in for
// `from urllib.parse import quote` and `quote(text, safe="")`.
//
// What the import would give: the standard library's quote while
// sys.modules holds its urllib.parse, as at import (the module's namespace
// and the classes quote uses unchanged); null otherwise.
frame::Handle quote_as_imported() noexcept;
// Whether `quote` is that function, its module as at import.
bool is_standard_quote(frame::Handle quote) noexcept;

// The read of a table in prepare_data stands in for
// `pd.read_sql_table(table_name, connection)` (table_reader.hpp): it runs
// pandas' read_sql_table with SQLDatabase.read_table and SQLTable.read
// written out, and has the PyMySQL connection read the SELECT's rows into
// columns (row_capture.hpp). Only releases the reader was compared with
// qualify (pins.cpp lists them).

// How _convert_arrays_to_dataframe makes the frame of its arrays: pandas
// 2.2 from a dict of them, then setting the columns; 3.1 with
// DataFrame._from_arrays.
enum class FrameAssembly { from_dict, from_arrays };

// pandas' side, pinned at import.
struct Pandas {
    frame::Handle sql_names;       // pandas.io.sql's namespace, which its functions read
    frame::Handle numpy_empty;     // numpy.empty
    FrameAssembly assembly;
    // The datetime64 type pandas infers for a column of datetime objects,
    // as the dtype's text ("M8[ns]", "M8[us]"), and its counts per
    // microsecond; null and 0 when it infers neither.
    frame::Handle datetime_dtype;
    long per_microsecond;
};
// pandas' side when `pd` is pandas as at import, its read_sql_table and
// everything that function runs unchanged; null otherwise.
const Pandas* pandas_as_at_import(frame::Handle pd) noexcept;

// The driver's side: SQLAlchemy's connection and MySQL dialect, PyMySQL's
// connection, result and packet classes, its converters and SQLAlchemy's
// float processor. Pinned when first asked for, since SQLAlchemy imports
// PyMySQL and its dialect only once an engine is made.
struct Driver {
    frame::Handle connections_names;    // pymysql.connections' namespace: err, CR, DEBUG as its code reads them
    frame::Handle mysql_result;         // MySQLResult
    frame::Handle read_rowdata_packet;  // MySQLResult._read_rowdata_packet
    frame::Handle read_query_result;    // Connection._read_query_result
    frame::Handle mysql_packet;         // MysqlPacket
    frame::Handle decimal;              // decimal.Decimal, as the converters map DECIMAL
    frame::Handle convert_datetime, convert_date;  // pymysql.converters'
    frame::Handle to_float;             // sqlalchemy.engine.processors.to_float
    // PyMySQL 1.1 sets the socket's timeout before every read; 1.2 before
    // a packet, when it changed.
    bool timeout_per_read;
};
// The driver's side and, in `raw`, the PyMySQL connection under
// `connection` (a SQLAlchemy Connection), when the connection reads as
// the statements would have it read: the classes as pinned, no event
// listener and no echo on the SQLAlchemy side, nothing of PyMySQL's
// reading replaced on the connection itself. Null otherwise (an exception
// pending only when a look failed as looks do not).
const Driver* driver_of(frame::Handle connection, frame::Ref& raw) noexcept;

// Pins what is pinned at import; 0, or -1 with an exception pending.
int pin_library_objects() noexcept;

}  // namespace tablescope::pins
