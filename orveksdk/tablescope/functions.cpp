// The methods of MySQLDatabaseTableScope. Each step is the Python statement
// in the comment above it; a failing step adds the method's traceback entry
// at its own line.
#include "frame/function.hpp"
#include "frame/ops.hpp"
#include "orveksdk/tablescope/state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tablescope {

using frame::call;
using frame::call_method;
using frame::format_field;
using frame::getattr;
using frame::global;
using frame::join_text;
using frame::Ref;
using frame::setattr;
using frame::steal;

namespace {

// logging.<level>(message)
int log(const frame::Name& level, PyObject* message) {
    Ref logging = global(n::logging);                                      if (!logging) return -1;
    Ref write = getattr(logging, level);                                   if (!write) return -1;
    Ref written = call(write, {message});                                  if (!written) return -1;
    return 0;
}

// logging.error(f"{prefix}{e}")
int log_error(PyObject* prefix, PyObject* e) {
    Ref text = format_field(e);                                            if (!text) return -1;
    Ref message = join_text({prefix, text});                               if (!message) return -1;
    return log(n::error, message);
}

// raise ConnectionError("Database connection not established.")
void raise_not_established() {
    Ref connection_error = global(n::ConnectionError);                     if (!connection_error) return;
    Ref exc = steal(PyObject_Call(connection_error, tuples.not_established, nullptr));
    if (!exc) return;
    frame::raise(exc);
}

// {quote(f"{value}", safe="")} as an f-string field: a credential
// percent-encoded for the URL, so that "@", ":", "/" or "%" in it stay part
// of it instead of changing which host, port or database the URL names.
// quote may be rebound to anything: its result is formatted as any field is.
Ref quoted(PyObject* quote, PyObject* value) {
    Ref text = format_field(value);                                        if (!text) return {};
    PyObject* args[] = {text, frame::state.empty_text};
    Ref result = steal(PyObject_Vectorcall(quote, args, 1, tuples.safe_kwnames));
    if (!result) return {};
    return format_field(result);
}

// Whether `text` is a host the URL reads as one: a host name or IPv4
// address (letters, digits, ".", "-", "_"), or an IPv6 address in brackets,
// optionally followed by ":port". Anything else could carry URL structure
// ("/other?local_infile=1") past the host.
bool is_url_host(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto is_alnum = [](Py_UCS4 c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    auto is_hex = [](Py_UCS4 c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    Py_ssize_t i = 0;
    if (n > 0 && at(0) == '[') {
        for (i = 1; i < n && (is_hex(at(i)) || at(i) == ':' || at(i) == '.'); i++) {}
        if (i == 1 || i >= n || at(i) != ']') return false;
        i++;
    } else {
        if (n == 0 || !is_alnum(at(0))) return false;
        for (; i < n && (is_alnum(at(i)) || at(i) == '.' || at(i) == '-' || at(i) == '_'); i++) {}
    }
    if (i == n) return true;
    if (at(i) != ':' || n - i - 1 < 1 || n - i - 1 > 5) return false;
    long port = 0;
    for (i++; i < n; i++) {
        if (at(i) < '0' || at(i) > '9') return false;
        port = port * 10 + static_cast<long>(at(i) - '0');
    }
    return port <= 65535;
}

// Whether a database name holds "?", "#" or "/", which the URL reads as
// the start of its query, fragment or path.
bool names_url_structure(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '?' || c == '#' || c == '/') return true;
    }
    return false;
}

// Raises ValueError(prefix + text).
void refuse_value(PyObject* prefix, PyObject* text) {
    Ref message = join_text({prefix, text});
    if (message) PyErr_SetObject(PyExc_ValueError, message);
}

// The name tag of a table's DataFrame, kept where it survives pickling and
// never taken for a column: the instance attribute `name` (set past the
// DataFrame's own __setattr__, which would overwrite a column called
// "name") and its copy in df.attrs["name"].
int tag(PyObject* df, PyObject* table_name) {
    if (PyObject_GenericSetAttr(df, n::name, table_name) < 0)             return -1;
    Ref attrs = getattr(df, n::attrs);                                     if (!attrs) return -1;
    return frame::setitem(attrs, t::name, table_name);
}

// A cached list gets its DataFrames' tags back from their attrs.
int restore_tags(PyObject* loaded) {
    if (!PyList_CheckExact(loaded)) return 0;
    Ref pd = global(n::pd);                                                if (!pd) return -1;
    Ref DataFrame = getattr(pd, n::DataFrame);                  if (!DataFrame) return -1;
    return frame::for_each(loaded, [&](PyObject* df) -> int {
        int is_frame = PyObject_IsInstance(df, DataFrame);                 if (is_frame <= 0) return is_frame;
        Ref attrs = getattr(df, n::attrs);                                 if (!attrs) return -1;
        if (!PyDict_Check(attrs.get())) return 0;
        PyObject* table_name = PyDict_GetItemWithError(attrs, t::name);
        if (!table_name) return PyErr_Occurred() ? -1 : 0;
        Ref keep = frame::borrow(table_name);
        return PyObject_GenericSetAttr(df, n::name, keep);
    });
}

// The except clause `except <type> as e:` taking the pending exception;
// `matched` is 1, 0 (the exception is pending again, unchanged), or -1 when
// evaluating the clause failed.
int matches(frame::Handler& handler, PyObject* type) {
    if (!PyExceptionClass_Check(type) && !PyTuple_Check(type)) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    if (PyErr_GivenExceptionMatches(handler.exception(), type)) return 1;
    handler.reraise();
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// def __init__(self, username, password, host, database, cache_path=".", cache_file="db_cache.pkl"):

PyObject* init(PyObject*, PyObject* const* args);
constexpr const char* init_vars[] = {"self", "username", "password", "host", "database",
                                     "cache_path", "cache_file"};
frame::FunctionDef init_def{
    .name = "__init__", .qualname = "MySQLDatabaseTableScope.__init__", .entry = init,
    .argcount = 7, .required = 5, .varnames = init_vars, .line = __LINE__};

PyObject* init(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{"orveksdk.tablescope.MySQLDatabaseTableScope.__init__"};
    PyObject* self = args[0];
    PyObject* username = args[1];
    PyObject* password = args[2];
    PyObject* host = args[3];
    PyObject* database = args[4];
    PyObject* cache_path = args[5];
    PyObject* cache_file = args[6];

    // if not all([username, password, host, database]):
    Ref parameters = frame::make_list({username, password, host, database});
    if (!parameters)                                                       return here.fail();
    Ref given = call(b_all, {parameters});                                 if (!given) return here.fail();
    int all_given = frame::truth(given);                                   if (all_given < 0) return here.fail();
    if (!all_given) {
        //     raise ValueError("All connection parameters must be provided and not None.")
        Ref exc = steal(PyObject_Call(b_ValueError, tuples.missing_parameters, nullptr));
        if (exc) frame::raise(exc);
        return here.fail();
    }

    // from urllib.parse import quote
    Ref parse = frame::import_for_from(n::urllib_parse, tuples.quote_fromlist);
    if (!parse)                                                            return here.fail();
    Ref quote = frame::import_from(parse, n::quote);                       if (!quote) return here.fail();
    // self.connection_string = f"mysql+pymysql://{quote(username)}:{quote(password)}@{host}/{database}"
    Ref user_text = quoted(quote, username);                               if (!user_text) return here.fail();
    Ref password_text = quoted(quote, password);                           if (!password_text) return here.fail();
    Ref host_text = format_field(host);                                    if (!host_text) return here.fail();
    Ref database_text = format_field(database);                            if (!database_text) return here.fail();
    // Host and database go into the URL as they are: refuse what the URL
    // would read as structure (query options such as local_infile, another
    // database) rather than let a caller's text reconfigure the driver.
    if (!is_url_host(host_text)) {
        refuse_value(t::bad_host, host_text);
        return here.fail();
    }
    if (names_url_structure(database_text)) {
        refuse_value(t::bad_database, database_text);
        return here.fail();
    }
    Ref url = join_text({t::url_scheme, user_text, t::colon, password_text, t::at, host_text,
                         t::slash, database_text});
    if (!url)                                                              return here.fail();
    if (setattr(self, n::connection_string, url) < 0)                      return here.fail();
    // self.engine = None
    if (setattr(self, n::engine, Py_None) < 0)                             return here.fail();
    // self.cache_path = cache_path
    if (setattr(self, n::cache_path, cache_path) < 0)                      return here.fail();
    // self.cache_file = cache_file
    if (setattr(self, n::cache_file, cache_file) < 0)                      return here.fail();

    // logging.basicConfig(level=logging.INFO)
    Ref logging = global(n::logging);                                      if (!logging) return here.fail();
    Ref basic_config = getattr(logging, n::basicConfig);                   if (!basic_config) return here.fail();
    logging = global(n::logging);                                          if (!logging) return here.fail();
    Ref info = getattr(logging, n::INFO);                                  if (!info) return here.fail();
    Ref kwargs = frame::make_dict({{n::level, info}});                     if (!kwargs) return here.fail();
    Ref configured = frame::call_dict(basic_config, frame::state.empty_tuple, kwargs);
    if (!configured)                                                       return here.fail();
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// def connect(self):

PyObject* connect(PyObject*, PyObject* const* args);
constexpr const char* connect_vars[] = {"self", "conn", "e"};
frame::FunctionDef connect_def{
    .name = "connect", .qualname = "MySQLDatabaseTableScope.connect", .entry = connect,
    .argcount = 1, .required = 1, .varnames = connect_vars, .line = __LINE__};

// An engine keeps its pooled connections open, and engines live in
// reference cycles: dropped without dispose(), each one held a connection
// to the server until the next full garbage collection, and repeated
// connect() calls ran the server out of connections. A replaced engine
// still works for whoever else holds it; dispose() only closes the
// connections idle in its pool.
int dispose_replaced(PyObject* previous, PyObject* current) {
    if (!previous || previous == Py_None || previous == current) return 0;
    Ref dispose;
    int found = frame::lookup_optional(previous, n::dispose.obj(), &dispose);
    if (found <= 0) return found;
    Ref done = call(dispose, {});                                          if (!done) return -1;
    return 0;
}

PyObject* connect(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{"orveksdk.tablescope.MySQLDatabaseTableScope.connect"};
    PyObject* self = args[0];

    // try:
    int connected = [&]() -> int {
        // self.engine = create_engine(self.connection_string)
        Ref create_engine = global(n::create_engine);                      if (!create_engine) return here.fail();
        Ref url = getattr(self, n::connection_string);                     if (!url) return here.fail();
        Ref engine = call(create_engine, {url});                           if (!engine) return here.fail();
        Ref previous;
        if (frame::lookup_optional(self, n::engine.obj(), &previous) < 0)  return here.fail();
        if (setattr(self, n::engine, engine) < 0)                          return here.fail();
        // previous.dispose(), for the engine just replaced
        if (dispose_replaced(previous, engine) < 0)                        return here.fail();
        // with self.engine.connect() as conn: pass
        engine = getattr(self, n::engine);                                 if (!engine) return here.fail();
        Ref manager = call_method(engine, n::connect);                     if (!manager) return here.fail();
        frame::With with{here};
        Ref conn = with.enter(manager);                                    if (!conn) return here.fail();
        if (with.leave(true) < 0)                                          return -1;
        // logging.info("Successfully connected to the database.")
        if (log(n::info, t::connected) < 0)                                return here.fail();
        return 0;
    }();
    if (connected == 0) Py_RETURN_NONE;

    // except SQLAlchemyError as e:
    frame::Handler handler;
    Ref sqlalchemy_error = global(n::SQLAlchemyError);                     if (!sqlalchemy_error) return here.fail();
    int matched = matches(handler, sqlalchemy_error);                      if (matched < 0) return here.fail();
    if (!matched) return nullptr;
    PyObject* e = handler.exception();
    //     logging.error(f"Error connecting to the database: {e}")
    if (log_error(t::connect_error, e) < 0)                                return here.fail();
    //     raise
    handler.reraise();
    return here.fail();
}

// ---------------------------------------------------------------------------
// def prepare_data(self):

PyObject* prepare_data(PyObject*, PyObject* const* args);
constexpr const char* prepare_data_vars[] = {"self", "cache_full_path", "file", "e", "dataframes",
                                             "connection", "inspector", "table_name", "df"};
frame::FunctionDef prepare_data_def{
    .name = "prepare_data", .qualname = "MySQLDatabaseTableScope.prepare_data",
    .entry = prepare_data, .argcount = 1, .required = 1, .varnames = prepare_data_vars,
    .line = __LINE__};

// The cache file is replaced whole, never written in place: the tables
// are pickled into a new file beside it, flushed and synced, then renamed
// over it. A reader sees the old file or the new one, never a part; a write
// that fails leaves the old file as it was and no new file behind; a
// symbolic link or a FIFO at the path is replaced, not written through.
class CacheWriter {
public:
    ~CacheWriter() {
        if (fd_ >= 0) close(fd_);
        if (temporary_) {
            // Keeps whatever exception is pending.
            PyObject* exc = PyErr_GetRaisedException();
            unlink(PyBytes_AS_STRING(temporary_.get()));
            PyErr_SetRaisedException(exc);
        }
    }

    // Creates the new file; its descriptor, or -1 with OSError naming the
    // cache path.
    int create(PyObject* cache_full_path) {
        path_ = cache_full_path;
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(cache_full_path, &encoded)) return -1;
        target_ = steal(encoded);
        for (int attempt = 0; attempt < 100; attempt++) {
            Ref name = steal(PyBytes_FromFormat("%s.%ld-%d.tmp", PyBytes_AS_STRING(target_.get()),
                                                static_cast<long>(getpid()), ++counter_));
            if (!name) return -1;
            int fd = open(PyBytes_AS_STRING(name.get()),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd >= 0) {
                temporary_ = std::move(name);
                fd_ = fd;
                return fd;
            }
            if (errno != EEXIST) break;
        }
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
        return -1;
    }

    // The file object has taken over the descriptor.
    void handed_over() { fd_ = -1; }

    // fsync of the written file, then the rename over the cache path.
    int commit(int fd) {
        if (fsync(fd) < 0 ||
            rename(PyBytes_AS_STRING(temporary_.get()), PyBytes_AS_STRING(target_.get())) < 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
            return -1;
        }
        temporary_.reset();
        return 0;
    }

private:
    PyObject* path_ = nullptr;
    Ref target_, temporary_;
    int fd_ = -1;
    static inline int counter_ = 0;
};

// Only a regular file is loaded: anything else but a directory (which open()
// refuses as it always has) is a cache that cannot be loaded, rather than,
// for a FIFO, a read that blocks for ever.
int refuse_irregular_cache(PyObject* cache_full_path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(cache_full_path, &encoded)) return -1;
    Ref target = steal(encoded);
    struct stat st;
    if (stat(PyBytes_AS_STRING(target.get()), &st) < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, cache_full_path);
        return -1;
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return 0;
    PyErr_Format(PyExc_ValueError, "not a regular file: %R", cache_full_path);
    return -1;
}

PyObject* prepare_data(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{"orveksdk.tablescope.MySQLDatabaseTableScope.prepare_data"};
    PyObject* self = args[0];

    // cache_full_path = os.path.join(self.cache_path, self.cache_file)
    Ref os = global(n::os);                                                if (!os) return here.fail();
    Ref path = getattr(os, n::path);                                       if (!path) return here.fail();
    Ref join = getattr(path, n::join);                                     if (!join) return here.fail();
    Ref cache_path = getattr(self, n::cache_path);                         if (!cache_path) return here.fail();
    Ref cache_file = getattr(self, n::cache_file);                         if (!cache_file) return here.fail();
    Ref cache_full_path = call(join, {cache_path, cache_file});            if (!cache_full_path) return here.fail();

    // if os.path.exists(cache_full_path):
    os = global(n::os);                                                    if (!os) return here.fail();
    path = getattr(os, n::path);                                           if (!path) return here.fail();
    Ref exists = call_method(path, n::exists, {cache_full_path});          if (!exists) return here.fail();
    int cached = frame::truth(exists);                                     if (cached < 0) return here.fail();
    if (cached) {
        //     try:
        Ref loaded;
        int read = [&]() -> int {
            //         (a regular file only)
            if (refuse_irregular_cache(cache_full_path) < 0)               return here.fail();
            //         with open(cache_full_path, "rb") as file:
            Ref manager = call(b_open, {cache_full_path, t::rb});          if (!manager) return here.fail();
            frame::With with{here};
            Ref file = with.enter(manager);                                if (!file) return here.fail();
            int block = [&]() -> int {
                //             return pickle.load(file)   (with the tags given back)
                Ref pickle = global(n::pickle);                            if (!pickle) return here.fail();
                loaded = call_method(pickle, n::load, {file});             if (!loaded) return here.fail();
                if (restore_tags(loaded) < 0)                              return here.fail();
                return 0;
            }();
            if (block < 0) loaded = Ref();
            if (with.leave(block == 0) < 0)                                return -1;
            return 0;
        }();
        if (read == 0 && loaded) return loaded.release();
        if (read < 0) {
            //     except Exception as e:
            frame::Handler handler;
            int matched = matches(handler, PyExc_Exception);
            if (!matched) return nullptr;
            PyObject* e = handler.exception();
            //         logging.error(f"Error loading cache: {e}")
            if (log_error(t::cache_error, e) < 0)                          return here.fail();
        }
    }

    // if not self.engine:
    Ref engine = getattr(self, n::engine);                                 if (!engine) return here.fail();
    int has_engine = frame::truth(engine);                                 if (has_engine < 0) return here.fail();
    if (!has_engine) {
        //     raise ConnectionError("Database connection not established.")
        raise_not_established();
        return here.fail();
    }

    // dataframes = []
    Ref dataframes = steal(PyList_New(0));                                 if (!dataframes) return here.fail();

    // try:
    int fetched = [&]() -> int {
        //     with self.engine.connect() as connection:
        Ref engine = getattr(self, n::engine);                             if (!engine) return here.fail();
        Ref manager = call_method(engine, n::connect);                     if (!manager) return here.fail();
        frame::With with{here};
        Ref connection = with.enter(manager);                              if (!connection) return here.fail();
        int block = [&]() -> int {
            //         inspector = inspect(self.engine)
            Ref inspect = global(n::inspect);                              if (!inspect) return here.fail();
            Ref engine = getattr(self, n::engine);                         if (!engine) return here.fail();
            Ref inspector = call(inspect, {engine});                       if (!inspector) return here.fail();
            //         for table_name in inspector.get_table_names():
            Ref names = call_method(inspector, n::get_table_names);        if (!names) return here.fail();
            return frame::for_in(here, names, [&](PyObject* table_name) -> int {
                //             df = pd.read_sql_table(table_name, connection)
                Ref pd = global(n::pd);                                    if (!pd) return here.fail();
                Ref df = call_method(pd, n::read_sql_table, {table_name, connection});
                if (!df)                                                   return here.fail();
                //             df.name = table_name   (a tag that is no column and survives pickling)
                if (tag(df, table_name) < 0)                               return here.fail();
                //             dataframes.append(df)
                if (PyList_Append(dataframes, df) < 0)                     return here.fail();
                return 0;
            });
        }();
        if (with.leave(block == 0) < 0)                                    return -1;

        //     with open(<a new file beside cache_full_path>, "wb") as file:
        CacheWriter cache;
        int fd = cache.create(cache_full_path);                            if (fd < 0) return here.fail();
        Ref descriptor = steal(PyLong_FromLong(fd));                       if (!descriptor) return here.fail();
        Ref writer = call(b_open, {descriptor, t::wb});                    if (!writer) return here.fail();
        cache.handed_over();
        frame::With write{here};
        Ref file = write.enter(writer);                                    if (!file) return here.fail();
        int dumped = [&]() -> int {
            //         pickle.dump(dataframes, file)
            Ref pickle = global(n::pickle);                                if (!pickle) return here.fail();
            Ref done = call_method(pickle, n::dump, {dataframes, file});   if (!done) return here.fail();
            //         file.flush()
            Ref flushed = call_method(file, n::flush);                     if (!flushed) return here.fail();
            //         os.fsync(file.fileno()); os.replace(<new file>, cache_full_path)
            if (cache.commit(fd) < 0)                                      return here.fail();
            return 0;
        }();
        if (write.leave(dumped == 0) < 0)                                  return -1;
        return 0;
    }();
    //     return dataframes
    if (fetched == 0) return dataframes.release();

    // except Exception as e:
    frame::Handler handler;
    int matched = matches(handler, PyExc_Exception);
    if (!matched) return nullptr;
    PyObject* e = handler.exception();
    //     logging.error(f"Error fetching tables: {e}")
    if (log_error(t::fetch_error, e) < 0)                                  return here.fail();
    //     raise
    handler.reraise();
    return here.fail();
}

// ---------------------------------------------------------------------------
// def print_table_schemas(self):

PyObject* print_table_schemas(PyObject*, PyObject* const* args);
constexpr const char* print_table_schemas_vars[] = {"self", "inspector", "table_name", "column", "e"};
frame::FunctionDef print_table_schemas_def{
    .name = "print_table_schemas", .qualname = "MySQLDatabaseTableScope.print_table_schemas",
    .entry = print_table_schemas, .argcount = 1, .required = 1,
    .varnames = print_table_schemas_vars, .line = __LINE__};

PyObject* print_table_schemas(PyObject*, PyObject* const* args) {
    static constexpr frame::Where here{
        "orveksdk.tablescope.MySQLDatabaseTableScope.print_table_schemas"};
    PyObject* self = args[0];

    // if not self.engine:
    Ref engine = getattr(self, n::engine);                                 if (!engine) return here.fail();
    int has_engine = frame::truth(engine);                                 if (has_engine < 0) return here.fail();
    if (!has_engine) {
        //     raise ConnectionError("Database connection not established.")
        raise_not_established();
        return here.fail();
    }

    // try:
    int reported = [&]() -> int {
        //     inspector = inspect(self.engine)
        Ref inspect = global(n::inspect);                                  if (!inspect) return here.fail();
        Ref engine = getattr(self, n::engine);                             if (!engine) return here.fail();
        Ref inspector = call(inspect, {engine});                           if (!inspector) return here.fail();
        //     for table_name in inspector.get_table_names():
        Ref names = call_method(inspector, n::get_table_names);            if (!names) return here.fail();
        return frame::for_in(here, names, [&](PyObject* table_name) -> int {
            //         print(f"Table: {table_name}")
            Ref name_text = format_field(table_name);                      if (!name_text) return here.fail();
            Ref header = join_text({t::table_header, name_text});          if (!header) return here.fail();
            Ref printed = call(b_print, {header});                         if (!printed) return here.fail();
            //         for column in inspector.get_columns(table_name):
            Ref columns = call_method(inspector, n::get_columns, {table_name});
            if (!columns)                                                  return here.fail();
            return frame::for_in(here, columns, [&](PyObject* column) -> int {
                //             print(f"  {column['name']}: {column['type']}")
                Ref name = frame::getitem(column, t::name);                if (!name) return here.fail();
                Ref name_text = format_field(name);                        if (!name_text) return here.fail();
                Ref type = frame::getitem(column, t::type);                if (!type) return here.fail();
                Ref type_text = format_field(type);                        if (!type_text) return here.fail();
                Ref line = join_text({t::indent, name_text, t::colon_space, type_text});
                if (!line)                                                 return here.fail();
                Ref printed = call(b_print, {line});                       if (!printed) return here.fail();
                return 0;
            });
        });
    }();
    if (reported == 0) Py_RETURN_NONE;

    // except Exception as e:
    frame::Handler handler;
    int matched = matches(handler, PyExc_Exception);
    if (!matched) return nullptr;
    PyObject* e = handler.exception();
    //     logging.error(f"Error fetching table schemas: {e}")
    if (log_error(t::schema_error, e) < 0)                                 return here.fail();
    //     raise
    handler.reraise();
    return here.fail();
}

}  // namespace tablescope
