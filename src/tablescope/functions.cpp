// The methods of MySQLDatabaseTableScope, each statement below the Python
// statement it implements. The helpers they call are in files of their
// own: the URL's parts (url_parts.*), the credentials' fast
// percent-encoding (percent_encoding.*), the read of a table
// (table_reader.*), the DataFrames' name tags (table_tags.*) and the cache
// file (cache_file.*).
#include "tablescope/cache_file.hpp"
#include "tablescope/percent_encoding.hpp"
#include "tablescope/state.hpp"
#include "tablescope/table_reader.hpp"
#include "tablescope/table_tags.hpp"
#include "tablescope/url_parts.hpp"

namespace tablescope {

using frame::fstring;
using frame::global;
using frame::Handle;
using frame::kw;
using frame::Ref;

// ---------------------------------------------------------------------------
// def __init__(self, username, password, host, database, cache_path=".", cache_file="db_cache.pkl"):

DEF(init, {.qualname = "MySQLDatabaseTableScope.__init__", .argcount = 7, .required = 5,
           .varnames = {"self", "username", "password", "host", "database", "cache_path",
                        "cache_file"}}) {
    Handle self = here.arg(0);
    Handle username = here.arg(1);
    Handle password = here.arg(2);
    Handle host = here.arg(3);
    Handle database = here.arg(4);
    Handle cache_path = here.arg(5);
    Handle cache_file = here.arg(6);

    // if not all([username, password, host, database]):
    IF_NOT (b_all(frame::list({username, password, host, database}))) {
        // raise ValueError("All connection parameters must be provided and not None.")
        RAISE(b_ValueError(t::missing_parameters));
    }
    // from urllib.parse import quote   (read in place while it is the standard library's)
    LET(quote, frame::fast_or(percent_encoding::imported_quote(), [&] {
        return frame::from_import_value(n::urllib_parse, n::quote);
    }));
    // The credentials are percent-encoded, so that "@", ":", "/" or "%" in
    // them stay part of them instead of changing which host, port or
    // database the URL names; host and database go in as they are, and are
    // refused when the URL would read them as structure (query options such
    // as local_infile, another database).
    // (quote(text, safe=""), encoded in place while quote is the standard library's)
    auto quoted = [&](Handle text) {
        return frame::fast_or(percent_encoding::encoded(quote, text),
                              [&] { return quote({text, kw(n::safe, t::empty)}); });
    };
    // user_text = quote(f"{username}", safe="")
    LET(user_text, quoted(fstring({username})));
    // password_text = quote(f"{password}", safe="")
    LET(password_text, quoted(fstring({password})));
    // host_text = f"{host}"
    LET(host_text, fstring({host}));
    // database_text = f"{database}"
    LET(database_text, fstring({database}));
    // if not _is_url_host(host_text):
    IF_NOT (url_parts::is_url_host(host_text)) {
        // raise ValueError(f"host must be a host name, ..., got {host_text}")
        RAISE(b_ValueError(fstring({t::bad_host, host_text})));
    }
    // if _names_url_structure(database_text):
    IF (url_parts::names_url_structure(database_text)) {
        // raise ValueError(f"database name must not contain '?', '#' or '/', got {database_text}")
        RAISE(b_ValueError(fstring({t::bad_database, database_text})));
    }
    // self.connection_string = f"mysql+pymysql://{user_text}:{password_text}@{host_text}/{database_text}"
    DO(frame::setattr(self, n::connection_string,
                      fstring({t::url_scheme, user_text, t::colon, password_text, t::at, host_text,
                               t::slash, database_text})));
    // self.engine = None
    DO(frame::setattr(self, n::engine, frame::None));
    // self.cache_path = cache_path
    DO(frame::setattr(self, n::cache_path, cache_path));
    // self.cache_file = cache_file
    DO(frame::setattr(self, n::cache_file, cache_file));
    // logging.basicConfig(level=logging.INFO)
    DO(global(n::logging).attr(n::basicConfig).call_kw({global(n::logging).attr(n::INFO)}, kw_level));
    RETURN_NONE;
}

// ---------------------------------------------------------------------------
// def connect(self):

DEF(connect, {.qualname = "MySQLDatabaseTableScope.connect", .argcount = 1,
              .varnames = {"self", "conn", "e"}}) {
    Handle self = here.arg(0);

    // try:
    TRY {
        // previous = getattr(self, "engine", None)
        LET(previous, frame::getattr(self, n::engine, frame::None));
        // self.engine = create_engine(self.connection_string)
        DO(frame::setattr(self, n::engine, global(n::create_engine)(self.attr(n::connection_string))));
        // An engine keeps its pooled connections open, and engines live in
        // reference cycles: one dropped without dispose() held a connection
        // to the server until the next full collection, and repeated
        // connect() calls ran the server out of connections. The replaced
        // engine still works for whoever holds it; dispose() closes only
        // the connections idle in its pool.
        // if previous is not None and previous is not self.engine and hasattr(previous, "dispose"):
        IF (frame::and_(frame::is_not(previous, frame::None), [&] {
                return frame::and_(frame::is_not(previous, self.attr(n::engine)),
                                   [&] { return frame::hasattr(previous, n::dispose); });
            })) {
            // previous.dispose()
            DO(previous.attr(n::dispose)());
        }
        // with self.engine.connect() as conn:
        WITH (conn, self.attr(n::engine).attr(n::connect)()) {
            // pass
        } END_WITH;
        // logging.info("Successfully connected to the database.")
        DO(global(n::logging).attr(n::info)(t::connected));
    // except SQLAlchemyError as e:
    } EXCEPT (e, global(n::SQLAlchemyError)) {
        // logging.error(f"Error connecting to the database: {e}")
        DO(global(n::logging).attr(n::error)(fstring({t::connect_error, e})));
        // raise
        RERAISE(e);
    } END_TRY;
    RETURN_NONE;
}

// ---------------------------------------------------------------------------
// def prepare_data(self):

DEF(prepare_data, {.qualname = "MySQLDatabaseTableScope.prepare_data", .argcount = 1,
                   .varnames = {"self", "cache_full_path", "file", "e", "dataframes", "connection",
                                "inspector", "table_name", "df"}}) {
    Handle self = here.arg(0);

    // cache_full_path = os.path.join(self.cache_path, self.cache_file)
    LET(cache_full_path, global(n::os).attr(n::path).attr(n::join)({self.attr(n::cache_path),
                                                                   self.attr(n::cache_file)}));
    // if os.path.exists(cache_full_path):
    IF (global(n::os).attr(n::path).attr(n::exists)(cache_full_path)) {
        // try:
        TRY {
            // _refuse_irregular(cache_full_path)   (only a regular file is loaded: ValueError)
            DO(cache_file::refuse_irregular(cache_full_path));
            // with open(cache_full_path, "rb") as file:
            WITH (file, b_open({cache_full_path, t::rb})) {
                // loaded = pickle.load(file)
                LET(loaded, global(n::pickle).attr(n::load)(file));
                // _restore_tags(loaded)   (each DataFrame's name, from its attrs)
                DO(table_tags::restore(loaded, global(n::pd).attr(n::DataFrame)));
                // return loaded
                RETURN(loaded);
            } END_WITH;
        // except Exception as e:
        } EXCEPT (e, b_Exception) {
            // logging.error(f"Error loading cache: {e}")
            DO(global(n::logging).attr(n::error)(fstring({t::cache_error, e})));
        } END_TRY;
    }

    // if not self.engine:
    IF_NOT (self.attr(n::engine)) {
        // raise ConnectionError("Database connection not established.")
        //   (ConnectionError looked up at each call as a module-level name)
        RAISE(global(n::ConnectionError)(t::not_established));
    }
    // dataframes = []
    LET(dataframes, frame::list({}));
    // try:
    TRY {
        // with self.engine.connect() as connection:
        WITH (connection, self.attr(n::engine).attr(n::connect)()) {
            // inspector = inspect(self.engine)
            LET(inspector, global(n::inspect)(self.attr(n::engine)));
            // for table_name in inspector.get_table_names():
            FOR (table_name, inspector.attr(n::get_table_names)()) {
                // df = pd.read_sql_table(table_name, connection)
                //   (its rows read into columns while pandas and the driver are as pinned)
                LET(df, frame::fast_or(table_reader::read(global(n::pd), table_name, connection), [&] {
                    return global(n::pd).attr(n::read_sql_table)({table_name, connection});
                }));
                // _tag(df, table_name)   (df.name = table_name, kept where pickling keeps it)
                DO(table_tags::tag(df, table_name));
                // dataframes.append(df)
                DO(frame::append(dataframes, df));
            }
        } END_WITH;
        // (the cache file is replaced whole: written beside it, then renamed over it)
        cache_file::Replacement cache;
        // descriptor = _create_beside(cache_full_path)
        LET(descriptor, cache.create(cache_full_path));
        // with open(descriptor, "wb") as file:
        WITH (file, cache.opened(b_open({descriptor, t::wb}))) {
            // pickle.dump(dataframes, file)
            DO(global(n::pickle).attr(n::dump)({dataframes, file}));
            // file.flush()
            DO(file.attr(n::flush)());
            // _replace(file, cache_full_path)   (fsync, then the rename)
            DO(cache.commit());
        } END_WITH;
        // return dataframes
        RETURN(dataframes);
    // except Exception as e:
    } EXCEPT (e, b_Exception) {
        // logging.error(f"Error fetching tables: {e}")
        DO(global(n::logging).attr(n::error)(fstring({t::fetch_error, e})));
        // raise
        RERAISE(e);
    } END_TRY;
    // (not reached: both blocks return or raise)
    RETURN_NONE;
}

// ---------------------------------------------------------------------------
// def print_table_schemas(self):

DEF(print_table_schemas, {.qualname = "MySQLDatabaseTableScope.print_table_schemas",
                          .argcount = 1,
                          .varnames = {"self", "inspector", "table_name", "column", "e"}}) {
    Handle self = here.arg(0);

    // if not self.engine:
    IF_NOT (self.attr(n::engine)) {
        // raise ConnectionError("Database connection not established.")
        //   (ConnectionError looked up at each call as a module-level name)
        RAISE(global(n::ConnectionError)(t::not_established));
    }
    // try:
    TRY {
        // inspector = inspect(self.engine)
        LET(inspector, global(n::inspect)(self.attr(n::engine)));
        // for table_name in inspector.get_table_names():
        FOR (table_name, inspector.attr(n::get_table_names)()) {
            // print(f"Table: {table_name}")
            DO(b_print(fstring({t::table_header, table_name})));
            // for column in inspector.get_columns(table_name):
            FOR (column, inspector.attr(n::get_columns)(table_name)) {
                // print(f"  {column['name']}: {column['type']}")
                DO(b_print(fstring({t::indent, column[t::name], t::colon_space, column[t::type]})));
            }
        }
    // except Exception as e:
    } EXCEPT (e, b_Exception) {
        // logging.error(f"Error fetching table schemas: {e}")
        DO(global(n::logging).attr(n::error)(fstring({t::schema_error, e})));
        // raise
        RERAISE(e);
    } END_TRY;
    RETURN_NONE;
}

}  // namespace tablescope
