// Module state of orveksdk.tablescope: its identifiers, texts, tuples and
// cached builtins, all made once at import.
#pragma once

#include "frame/body.hpp"

namespace tablescope {

// Identifiers: module, attribute, keyword and global names.
namespace n {
using frame::Name;
inline Name sqlalchemy{"sqlalchemy"}, inspect{"inspect"}, pd{"pd"}, pandas{"pandas"};
inline Name os{"os"}, pickle{"pickle"}, logging{"logging"};
inline Name datetime{"datetime"}, timedelta{"timedelta"};
inline Name create_engine{"create_engine"}, sqlalchemy_exc{"sqlalchemy.exc"};
inline Name SQLAlchemyError{"SQLAlchemyError"};
inline Name MySQLDatabaseTableScope{"MySQLDatabaseTableScope"}, test{"__test__"};
inline Name basicConfig{"basicConfig"}, INFO{"INFO"}, level{"level"}, format{"format"};
inline Name info{"info"}, error{"error"}, dispose{"dispose"};
inline Name connect{"connect"};
inline Name connection_string{"connection_string"}, engine{"engine"};
inline Name cache_path{"cache_path"}, cache_file{"cache_file"};
inline Name path{"path"}, join{"join"}, exists{"exists"}, load{"load"}, dump{"dump"};
inline Name get_table_names{"get_table_names"}, get_columns{"get_columns"};
inline Name read_sql_table{"read_sql_table"}, name{"name"}, attrs{"attrs"}, DataFrame{"DataFrame"};
inline Name ConnectionError{"ConnectionError"}, urllib_parse{"urllib.parse"}, quote{"quote"};
inline Name flush{"flush"}, safe{"safe"};
// What the table reader's files read of pandas, SQLAlchemy and PyMySQL.
inline Name SQLTable{"SQLTable"}, convert_arrays{"_convert_arrays_to_dataframe"};
inline Name convert_object_array{"convert_object_array"}, dtype{"dtype"}, dtype_backend{"dtype_backend"};
inline Name coerce_float{"coerce_float"}, dialect{"dialect"}, converters{"converters"};
inline Name read_query_result{"_read_query_result"}, read_rowdata_packet{"_read_rowdata_packet"};
inline Name read_packet{"_read_packet"}, read{"read"}, rfile{"_rfile"}, sock{"_sock"};
inline Name all{"all"}, ValueError{"ValueError"}, open{"open"}, print{"print"}, Exception{"Exception"};
}  // namespace n

// Text constants.
namespace t {
using frame::Text;
inline Text dot{"."};
inline Text db_cache_pkl{"db_cache.pkl"};
inline Text missing_parameters{"All connection parameters must be provided and not None."};
inline Text url_scheme{"mysql+pymysql://"}, colon{":"}, at{"@"}, slash{"/"};
inline Text bad_host{"host must be a host name, an IPv4 address or a bracketed IPv6 address, "
                     "optionally followed by :port, got "};
inline Text bad_database{"database name must not contain '?', '#' or '/', got "};
inline Text connected{"Successfully connected to the database."};
inline Text connect_error{"Error connecting to the database: "};
inline Text cache_error{"Error loading cache: "};
inline Text fetch_error{"Error fetching tables: "};
inline Text rb{"rb"}, wb{"wb"};
inline Text not_established{"Database connection not established."};
inline Text table_header{"Table: "}, indent{"  "}, colon_space{": "};
inline Text name{"name"}, type{"type"}, empty{""};
inline Text schema_error{"Error fetching table schemas: "};
inline Text log_format{"%(asctime)s - %(levelname)s - %(message)s"};
inline Text class_qualname{"MySQLDatabaseTableScope"};
inline Text numpy{"numpy"}, object{"object"};  // pandas' dtype_backend, a dtype
}  // namespace t

// Builtins cached at import, in this order: all, ValueError, open and
// print, then Exception, which the except clauses take.
inline frame::Builtin b_all{n::all}, b_ValueError{n::ValueError}, b_open{n::open},
    b_print{n::print}, b_Exception{n::Exception};

// Keyword names of calls whose keywords are fixed.
inline frame::Keywords kw_level{n::level}, kw_level_format{n::level, n::format};

// Constant tuples (made by make_constants).
struct Tuples {
    PyObject* init_defaults;    // (".", "db_cache.pkl")
};
extern Tuples tuples;

frame::Flow body(frame::Body& here) noexcept;

}  // namespace tablescope
