#include "tablescope/pins.hpp"

#include <cstring>

#include "frame/lookup.hpp"
#include "tablescope/state.hpp"

namespace tablescope::pins {

using frame::Handle;
using frame::Ref;

namespace {

// The releases the table reader has been compared with, statement for
// statement and frame for frame, by the differential tests (the pins of
// constraints*.txt). Any other release takes the statements.
constexpr const char* kPandasReleases[] = {"2.2.3", "3.1.2"};
constexpr const char* kSQLAlchemyReleases[] = {"2.0.36", "2.1.10"};
constexpr const char* kPyMySQLReleases[] = {"1.1.1", "1.2.4"};

// ---------------------------------------------------------------------------
// from urllib.parse import quote; quote(text, safe="")

frame::Pin urllib_parse;            // sys.modules["urllib.parse"]
frame::DictPin urllib_parse_names;  // what quote reads of its namespace: quote_from_bytes and the rest
frame::Pin quote;                   // urllib.parse.quote
frame::ClassPin quoter;             // urllib.parse._Quoter, what quote's byte quoter is

frame::Name n_quoter{"_Quoter"};

// ---------------------------------------------------------------------------
// pd.read_sql_table(table_name, connection)

frame::Pin pandas;                   // the module bound as `pd`
frame::Pin pandas_sql;               // pandas.io.sql
frame::DictPin pandas_sql_names;     // its namespace, functions' code included
frame::Pin read_sql_table;           // pandas.read_sql_table
frame::ClassPin sql_database, sql_table;
// The functions the reader writes out: each the library's own.
frame::Pin read_table, table_read, convert_arrays;
frame::Pin numpy_empty;
frame::Pin datetime_dtype;           // what pandas infers for datetimes, as text
long per_microsecond = 0;
FrameAssembly assembly = FrameAssembly::from_dict;

frame::Name n_version{"__version__"}, n_io_sql{"pandas.io.sql"}, n_SQLDatabase{"SQLDatabase"},
    n_read_table{"read_table"}, n_np{"np"}, n_empty{"empty"}, n_array{"array"}, n_str{"str"};
frame::Text t_ns{"<M8[ns]"}, t_us{"<M8[us]"},
    t_m8_ns{"M8[ns]"}, t_m8_us{"M8[us]"};

// ---------------------------------------------------------------------------
// The driver under SQLAlchemy's connection

frame::Pin tried;                    // the pymysql.connections last pinned from
frame::Pin connections;              // pymysql.connections
frame::DictPin connections_names;
frame::DictPin converters_names;     // pymysql.converters'
frame::ClassPin connection_class, result_class, packet_class;
frame::ClassPin sa_connection, dialect_class;
frame::Pin read_rowdata_packet, read_query_result;
// Functions of PyMySQL's reading the reader writes out, replaces or relies
// on, each the library's own.
constexpr int kReadingFunctions = 8;
frame::Pin reading[kReadingFunctions];
frame::Pin decimal, convert_datetime, convert_date, to_float, buffered_reader;
bool timeout_per_read = false;

frame::Name n_pymysql{"pymysql"}, n_connections{"pymysql.connections"}, n_VERSION_STRING{"VERSION_STRING"},
    n_Connection{"Connection"}, n_MySQLResult{"MySQLResult"}, n_MysqlPacket{"MysqlPacket"},
    n_Decimal{"Decimal"}, n_convert_datetime{"convert_datetime"},
    n_convert_date{"convert_date"}, n_DEBUG{"DEBUG"}, n_engine_base{"sqlalchemy.engine.base"},
    n_dialect_module{"sqlalchemy.dialects.mysql.pymysql"}, n_MySQLDialect_pymysql{"MySQLDialect_pymysql"},
    n_processors{"sqlalchemy.engine.processors"}, n_to_float{"to_float"}, n_io{"_io"},
    n_BufferedReader{"BufferedReader"}, n_has_events{"_has_events"}, n_echo{"_echo"},
    n_dbapi_connection_held{"_dbapi_connection"},
    n_dbapi_connection{"dbapi_connection"}, n_client_flag{"client_flag"}, n_read_bytes{"_read_bytes"};

// CLIENT.DEPRECATE_EOF: PyMySQL never asks for it, and the reader expects
// the EOF packets it would replace.
constexpr long kDeprecateEof = 1L << 24;

// A value read while pinning; null (nothing pinned from it) when reading
// failed as a look may.
Ref looked(Ref value, bool& failed) noexcept {
    if (!value && !frame::look_declined()) failed = true;
    return value;
}

// `names[key]` of a namespace, or null (nothing pending) when absent.
Ref entry(Handle names, Handle key) noexcept {
    if (!names) return {};
    return frame::borrow(PyDict_GetItemWithError(names.ptr(), key.ptr()));
}

// The attribute dictionary of a class (a new reference), or null.
Ref class_dict(Handle cls) noexcept {
    if (!cls || !PyType_Check(cls.ptr())) return {};
    return frame::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.ptr())));
}

// Whether `release` (a str) is among `releases`.
template <std::size_t N>
bool among(Handle release, const char* const (&releases)[N]) noexcept {
    if (!release || !PyUnicode_Check(release.ptr())) return false;
    const char* text = PyUnicode_AsUTF8(release.ptr());
    if (!text) {
        PyErr_Clear();
        return false;
    }
    for (const char* r : releases)
        if (std::strcmp(text, r) == 0) return true;
    return false;
}

// A module by its name in sys.modules (a new reference), or null, an
// exception pending only when sys.modules itself failed.
Ref loaded(Handle name) noexcept { return frame::steal(PyImport_GetModule(name.ptr())); }

int pin_quote() noexcept {
    Ref module = loaded(n::urllib_parse);
    if (!module) return PyErr_Occurred() ? -1 : 0;
    urllib_parse.set_module(module, "urllib.parse");
    if (!urllib_parse) return 0;
    PyObject* names = PyModule_GetDict(module.ptr());  // borrowed
    if (quote.set_if_from(entry(names, n::quote), "urllib.parse", "quote") < 0 ||
        quoter.set_class(entry(names, n_quoter), "urllib.parse", "_Quoter") < 0 ||
        urllib_parse_names.set_read_by(names, quote) < 0)
        return -1;
    return PyErr_Occurred() ? -1 : 0;
}

// What convert_object_array makes of a column of datetimes: the dtype of
// [datetime(2000, 1, 1, 0, 0, 0, 1), None] as pandas converts it.
int pin_datetime_inference(Handle names, Handle np) noexcept {
    Ref convert = entry(names, n::convert_object_array);
    Ref datetime_class = loaded(n::datetime);
    Ref datetime_type = datetime_class ? datetime_class.attr(n::datetime).value() : Ref();
    if (!convert || !datetime_type) return PyErr_Occurred() ? -1 : 0;
    Ref zero = frame::steal(PyLong_FromLong(0)), one = frame::steal(PyLong_FromLong(1)),
        year = frame::steal(PyLong_FromLong(2000));
    Ref sample = datetime_type({year, one, one, zero, zero, zero, one});
    Ref column = np.attr(n_array)({frame::list({sample, frame::None}), frame::kw(n::dtype, t::object)});
    Ref converted = convert({frame::list({column}), frame::kw(n::dtype, frame::None),
                             frame::kw(n::coerce_float, frame::True), frame::kw(n::dtype_backend, t::numpy)});
    Ref first = converted ? converted[frame::steal(PyLong_FromLong(0))] : Ref();
    Ref text = first ? first.attr(n::dtype).attr(n_str).value() : Ref();
    if (!text) return -1;
    const int ns = PyObject_RichCompareBool(text.ptr(), t_ns.ptr(), Py_EQ);
    const int us = ns == 0 ? PyObject_RichCompareBool(text.ptr(), t_us.ptr(), Py_EQ) : 0;
    if (ns < 0 || us < 0) return -1;
    if (ns) datetime_dtype.set(t_m8_ns), per_microsecond = 1000;
    else if (us) datetime_dtype.set(t_m8_us), per_microsecond = 1;
    return 0;
}

int pin_pandas() noexcept {
    Ref pd = frame::global(n::pd);
    Ref sa = frame::global(n::sqlalchemy);
    if (!pd || !sa) return -1;
    bool failed = false;
    Ref release = looked(pd.attr(n_version).value(), failed);
    Ref sa_release = looked(sa.attr(n_version).value(), failed);
    if (failed) return -1;
    if (!among(release, kPandasReleases) || !among(sa_release, kSQLAlchemyReleases)) return 0;
    Ref sql = loaded(n_io_sql);
    if (!sql) return PyErr_Occurred() ? -1 : 0;
    pandas_sql.set_module(sql, "pandas.io.sql");
    if (!pandas_sql) return 0;
    Handle names = PyModule_GetDict(sql.ptr());  // borrowed
    Ref database = entry(names, n_SQLDatabase), table = entry(names, n::SQLTable);
    Ref database_names = class_dict(database), table_names = class_dict(table);
    Ref np = entry(names, n_np);
    Ref numpy_names = np && PyModule_Check(np.ptr()) ? frame::borrow(PyModule_GetDict(np.ptr())) : Ref();
    if (PyErr_Occurred()) return -1;
    if (!database_names || !table_names || !numpy_names) return 0;
    if (read_sql_table.set_if_from(entry(names, n::read_sql_table), "pandas", "read_sql_table") < 0 ||
        convert_arrays.set_if_from(entry(names, n::convert_arrays), "pandas.io.sql",
                                   "_convert_arrays_to_dataframe") < 0 ||
        read_table.set_if_from(entry(database_names, n_read_table), "pandas.io.sql", "SQLDatabase.read_table") < 0 ||
        table_read.set_if_from(entry(table_names, n::read), "pandas.io.sql", "SQLTable.read") < 0 ||
        numpy_empty.set_if_from(entry(numpy_names, n_empty), "numpy", "empty") < 0 ||
        sql_database.set_class(database, "pandas.io.sql", "SQLDatabase") < 0 ||
        sql_table.set_class(table, "pandas.io.sql", "SQLTable") < 0 || pandas_sql_names.set_dict(names) < 0 ||
        pin_datetime_inference(names, np) < 0)
        return -1;
    assembly = std::strcmp(PyUnicode_AsUTF8(release.ptr()), "2.2.3") == 0 ? FrameAssembly::from_dict
                                                                          : FrameAssembly::from_arrays;
    // Pinned last: `pandas` set means everything above was looked at.
    pandas.set_module(pd, "pandas");
    return 0;
}

// Pins a function of a class's namespace into `pin` when it is the
// library's own.
int pin_function(frame::Pin& pin, Handle names, const char* name, const char* module,
                 const char* qualname) noexcept {
    Ref key = frame::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    return pin.set_if_from(entry(names, key), module, qualname);
}

int pin_driver() noexcept {
    Ref module = loaded(n_connections);
    Ref pymysql = loaded(n_pymysql);
    Ref base = loaded(n_engine_base), dialect_module = loaded(n_dialect_module);
    Ref processors = loaded(n_processors), io = loaded(n_io);
    if (!module || !pymysql || !base || !dialect_module || !processors || !io)
        return PyErr_Occurred() ? -1 : 0;
    if (tried.is(module)) return 0;
    tried.set(module);
    bool failed = false;
    Ref release = looked(pymysql.attr(n_VERSION_STRING).value(), failed);
    if (failed) return -1;
    if (!among(release, kPyMySQLReleases) || !PyModule_CheckExact(module.ptr())) return 0;
    Handle names = PyModule_GetDict(module.ptr());  // borrowed
    Ref converters = entry(names, n::converters);
    Ref converter_names =
        converters && PyModule_CheckExact(converters.ptr()) ? frame::borrow(PyModule_GetDict(converters.ptr())) : Ref();
    Ref connection = entry(names, n_Connection), result = entry(names, n_MySQLResult);
    Ref connection_names = class_dict(connection), result_names = class_dict(result);
    Ref debug = entry(names, n_DEBUG);
    if (PyErr_Occurred()) return -1;
    if (!converter_names || !connection_names || !result_names || debug.ptr() != Py_False) return 0;
    struct Reading {
        Handle names;
        const char* name;
        const char* qualname;
    } functions[kReadingFunctions] = {
        {connection_names, "_read_query_result", "Connection._read_query_result"},
        {connection_names, "_read_packet", "Connection._read_packet"},
        {connection_names, "_read_bytes", "Connection._read_bytes"},
        {result_names, "read", "MySQLResult.read"},
        {result_names, "_read_result_packet", "MySQLResult._read_result_packet"},
        {result_names, "_get_descriptions", "MySQLResult._get_descriptions"},
        {result_names, "_read_rowdata_packet", "MySQLResult._read_rowdata_packet"},
        {result_names, "_read_row_from_packet", "MySQLResult._read_row_from_packet"},
    };
    for (int i = 0; i < kReadingFunctions; i++)
        if (pin_function(reading[i], functions[i].names, functions[i].name, "pymysql.connections",
                         functions[i].qualname) < 0)
            return -1;
    if (reading[0]) read_query_result.set(reading[0]);
    if (reading[6]) read_rowdata_packet.set(reading[6]);
    if (connection_class.set_class(connection, "pymysql.connections", "Connection") < 0 ||
        result_class.set_class(result, "pymysql.connections", "MySQLResult") < 0 ||
        packet_class.set_class(entry(names, n_MysqlPacket), "pymysql.protocol", "MysqlPacket") < 0 ||
        decimal.set_if_from(entry(converter_names, n_Decimal), "decimal", "Decimal") < 0 ||
        convert_datetime.set_if_from(entry(converter_names, n_convert_datetime), "pymysql.converters",
                                     "convert_datetime") < 0 ||
        convert_date.set_if_from(entry(converter_names, n_convert_date), "pymysql.converters", "convert_date") < 0 ||
        sa_connection.set_class(looked(base.attr(n_Connection).value(), failed), "sqlalchemy.engine.base",
                                "Connection") < 0 ||
        dialect_class.set_class(looked(dialect_module.attr(n_MySQLDialect_pymysql).value(), failed),
                                "sqlalchemy.dialects.mysql.pymysql", "MySQLDialect_pymysql") < 0 ||
        to_float.set_if_from(looked(processors.attr(n_to_float).value(), failed), "sqlalchemy", "to_float") < 0 ||
        buffered_reader.set_if_from(looked(io.attr(n_BufferedReader).value(), failed), "_io",
                                    "BufferedReader") < 0 ||
        failed)
        return -1;
    timeout_per_read = std::strcmp(PyUnicode_AsUTF8(release.ptr()), "1.1.1") == 0;
    if (connections_names.set_dict(names) < 0 || converters_names.set_dict(converter_names) < 0) return -1;
    // Pinned last: `connections` set means everything above was looked at.
    connections.set_module(module, "pymysql.connections");
    return 0;
}

// Whether `obj.name` is False: the default of a flag SQLAlchemy sets when
// a listener or echo is added.
bool is_false(Handle obj, Handle name) noexcept {
    Ref value = frame::steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
    if (!value) frame::look_declined();
    return value.ptr() == Py_False;
}

// Whether the instance `obj` has an attribute `name` of its own.
bool has_own(Handle obj, Handle name) noexcept {
    Ref dict = frame::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
    const int found = dict ? PyDict_Contains(dict.ptr(), name.ptr()) : -1;
    if (found < 0) PyErr_Clear();
    return found != 0;
}

}  // namespace

Handle quote_as_imported() noexcept {
    Ref module = loaded(n::urllib_parse);
    if (!module) {
        PyErr_Clear();
        return {};
    }
    if (!urllib_parse.is(module) || !PyModule_CheckExact(module.ptr())) return {};
    // What the import reads: the module's own `quote`.
    PyObject* current = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), n::quote.ptr());
    if (!current) PyErr_Clear();
    return is_standard_quote(current) ? Handle(quote) : Handle();
}

bool is_standard_quote(Handle current) noexcept {
    return quote.is(current) && urllib_parse_names.unchanged() && quoter.unchanged();
}

namespace {
// What the checks below answer with (at namespace scope: a local static
// would need a guard from the C++ runtime).
Pandas pandas_answer;
Driver driver_answer;
}  // namespace

const Pandas* pandas_as_at_import(Handle pd) noexcept {
    Pandas& answer = pandas_answer;
    if (!pandas.is(pd) || !PyModule_CheckExact(pd.ptr())) return nullptr;
    // pd.read_sql_table, as the statement reads it: the module's own attribute.
    PyObject* function = PyDict_GetItemWithError(PyModule_GetDict(pd.ptr()), n::read_sql_table.ptr());
    if (!function) PyErr_Clear();
    if (!read_sql_table.is(function) || !read_table || !table_read || !convert_arrays || !numpy_empty)
        return nullptr;
    if (!pandas_sql_names.unchanged() || !sql_database.unchanged() || !sql_table.unchanged()) return nullptr;
    // np.empty, as the arrays are made.
    Ref np = entry(pandas_sql_names, n_np);
    PyObject* empty = np ? PyDict_GetItemWithError(PyModule_GetDict(np.ptr()), n_empty.ptr()) : nullptr;
    if (!empty) PyErr_Clear();
    if (!numpy_empty.is(empty)) return nullptr;
    answer = Pandas{pandas_sql_names, numpy_empty, assembly, datetime_dtype, per_microsecond};
    return &answer;
}

const Driver* driver_of(Handle connection, Ref& raw) noexcept {
    Driver& answer = driver_answer;
    if (!connections && pin_driver() < 0) return nullptr;
    if (!connections || !sa_connection.is_type_of(connection)) return nullptr;
    for (const frame::Pin& pin : reading)
        if (!pin) return nullptr;
    if (!connections_names.unchanged() || !converters_names.unchanged() || !result_class.unchanged() ||
        !packet_class.unchanged() || !decimal || !convert_datetime || !convert_date || !to_float ||
        !buffered_reader)
        return nullptr;
    // SQLAlchemy's side: nobody listening, nothing echoed; the statements
    // then see only what SQLAlchemy does with the rows, which the reader
    // does as it would.
    if (!is_false(connection, n_has_events) || !is_false(connection, n_echo)) return nullptr;
    Ref engine = frame::steal(PyObject_GetAttr(connection.ptr(), n::engine.ptr()));
    Ref dialect = frame::steal(PyObject_GetAttr(connection.ptr(), n::dialect.ptr()));
    if (!engine || !dialect) return frame::look_declined(), nullptr;
    if (!is_false(engine, n_has_events) || !dialect_class.is_type_of(dialect) || !is_false(dialect, n_has_events))
        return nullptr;
    // The PyMySQL connection the statement reads through.
    Ref fairy = frame::steal(PyObject_GetAttr(connection.ptr(), n_dbapi_connection_held.ptr()));
    Ref driver = fairy && fairy.ptr() != Py_None
                     ? frame::steal(PyObject_GetAttr(fairy.ptr(), n_dbapi_connection.ptr()))
                     : Ref();
    if (!driver) return frame::look_declined(), nullptr;
    if (!connection_class.is_type_of(driver) || has_own(driver, n::read_query_result) ||
        has_own(driver, n::read_packet) || has_own(driver, n_read_bytes))
        return nullptr;
    Ref rfile = frame::steal(PyObject_GetAttr(driver.ptr(), n::rfile.ptr()));
    Ref sock = frame::steal(PyObject_GetAttr(driver.ptr(), n::sock.ptr()));
    Ref flags = frame::steal(PyObject_GetAttr(driver.ptr(), n_client_flag.ptr()));
    if (!rfile || !sock || !flags) return frame::look_declined(), nullptr;
    if (!buffered_reader.is(reinterpret_cast<PyObject*>(Py_TYPE(rfile.ptr()))) || sock.ptr() == Py_None ||
        !PyLong_CheckExact(flags.ptr()))
        return nullptr;
    const long client_flags = PyLong_AsLong(flags.ptr());
    if (client_flags == -1 && PyErr_Occurred()) return PyErr_Clear(), nullptr;
    if (client_flags & kDeprecateEof) return nullptr;
    raw = std::move(driver);
    answer = Driver{connections_names, result_class, read_rowdata_packet, read_query_result,
                    packet_class,      decimal,      convert_datetime,    convert_date,
                    to_float,          timeout_per_read};
    return &answer;
}

int pin_library_objects() noexcept {
    if (pin_quote() < 0 || pin_pandas() < 0) return -1;
    return 0;
}

}  // namespace tablescope::pins
