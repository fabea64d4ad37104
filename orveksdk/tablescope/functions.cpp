// The methods of MySQLDatabaseTableScope, each statement below the Python
// statement it implements.
#include "orveksdk/tablescope/state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tablescope {

using frame::fstring;
using frame::global;
using frame::Handle;
using frame::kw;
using frame::Ref;
using frame::steal;

namespace {

// Whether `text` is a host the URL reads as one: a host name or IPv4
// address (letters, digits, ".", "-", "_"), or an IPv6 address in brackets,
// optionally followed by ":port". Anything else could carry URL structure
// ("/other?local_infile=1") past the host.
bool is_url_host(PyObject* text) noexcept {
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
bool names_url_structure(PyObject* text) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '?' || c == '#' || c == '/') return true;
    }
    return false;
}

// The name tag of a table's DataFrame, kept where it survives pickling and
// never taken for a column: the instance attribute `name` (set past the
// DataFrame's own __setattr__, which would overwrite a column called
// "name") and its copy in df.attrs["name"].
int tag(Handle df, Handle table_name) noexcept {
    if (!frame::ready(df, table_name)) return -1;
    if (PyObject_GenericSetAttr(df.ptr(), n::name.ptr(), table_name.ptr()) < 0) return -1;
    return frame::setitem(df.attr(n::attrs).value(), t::name, table_name);
}

// A cached list gets its DataFrames' tags back from their attrs.
int restore_tags(Handle loaded) noexcept {
    if (!frame::ready(loaded)) return -1;
    if (!PyList_CheckExact(loaded.ptr())) return 0;
    Ref DataFrame = global(n::pd).attr(n::DataFrame);
    if (!DataFrame) return -1;
    Ref it = frame::steal(PyObject_GetIter(loaded.ptr()));
    if (!it) return -1;
    while (Ref df = frame::steal(PyIter_Next(it.ptr()))) {
        int is_frame = PyObject_IsInstance(df.ptr(), DataFrame.ptr());
        if (is_frame < 0) return -1;
        if (!is_frame) continue;
        Ref attrs = df.attr(n::attrs);
        if (!attrs) return -1;
        if (!PyDict_Check(attrs.ptr())) continue;
        Ref table_name = frame::borrow(PyDict_GetItemWithError(attrs.ptr(), t::name.ptr()));
        if (!table_name) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        if (PyObject_GenericSetAttr(df.ptr(), n::name.ptr(), table_name.ptr()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

// Pins urllib.parse and its quote when they are the standard library's, for
// the fast path of construction.
int pin_fast_path_objects() noexcept {
    Ref parse = steal(PyImport_GetModule(n::urllib_parse.ptr()));
    pin::urllib_parse.set(parse);
    pin::quote.set_if_from(parse.attr(n::quote), "urllib.parse", "quote");
    PyErr_Clear();
    return 0;
}

namespace {

// quote(text, safe=""): UTF-8 (strict), A-Z a-z 0-9 _ . - ~ kept, every
// other byte as upper-case %XX; an empty text is itself. Null without an
// exception when the text cannot be encoded (quote raises for it).
Ref percent_encoded(Handle text) noexcept {
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return frame::borrow(text);
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    auto safe = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-' || c == '~';
    };
    Py_ssize_t length = 0;
    for (Py_ssize_t i = 0; i < size; i++) length += safe(static_cast<unsigned char>(bytes[i])) ? 1 : 3;
    Ref result = steal(PyUnicode_New(length, 127));
    if (!result) return {};
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.ptr());
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < size; i++) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (safe(c)) {
            *out++ = c;
        } else {
            *out++ = '%';
            *out++ = static_cast<Py_UCS1>(kHex[c >> 4]);
            *out++ = static_cast<Py_UCS1>(kHex[c & 15]);
        }
    }
    return result;
}

// `from urllib.parse import quote`, read in place while sys.modules holds
// the standard library's urllib.parse with its own quote: the import then
// does nothing but read the function. Null without an exception when the
// import statement is to run.
Ref imported_quote() noexcept {
    Ref parse = steal(PyImport_GetModule(n::urllib_parse.ptr()));
    PyObject* quote = parse && pin::urllib_parse.is(parse) && PyModule_CheckExact(parse.ptr())
                          ? PyDict_GetItemWithError(PyModule_GetDict(parse.ptr()), n::quote.ptr())
                          : nullptr;
    PyErr_Clear();
    return pin::quote.is(quote) ? frame::borrow(quote) : Ref();
}

// quote(text, safe=""): percent-encoded here when `quote` is the standard
// library's and the text can be encoded; called otherwise.
Ref quoted(Handle quote, Handle text) noexcept {
    if (!frame::ready(quote, text)) return {};
    if (pin::quote.is(quote))
        if (Ref encoded = percent_encoded(text)) return encoded;
    if (PyErr_Occurred()) return {};
    return quote({text, kw(n::safe, t::empty)});
}

}  // namespace

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
    Ref quote = imported_quote();
    if (!quote) {
        SET(quote, frame::from_import_value(n::urllib_parse, n::quote));
    }
    // self.connection_string = f"mysql+pymysql://{quote(username)}:{quote(password)}@{host}/{database}"
    // The credentials are percent-encoded (quote(..., safe="")), so that "@",
    // ":", "/" or "%" in them stay part of them instead of changing which
    // host, port or database the URL names; host and database go in as they
    // are, and are refused when the URL would read them as structure (query
    // options such as local_infile, another database).
    LET(user_text, fstring({quoted(quote, fstring({username}))}));
    LET(password_text, fstring({quoted(quote, fstring({password}))}));
    LET(host_text, fstring({host}));
    LET(database_text, fstring({database}));
    if (!is_url_host(host_text.ptr())) {
        RAISE(Handle(PyExc_ValueError)(fstring({t::bad_host, host_text})));
    }
    if (names_url_structure(database_text.ptr())) {
        RAISE(Handle(PyExc_ValueError)(fstring({t::bad_database, database_text})));
    }
    DO(frame::setattr(self, n::connection_string,
                      fstring({t::url_scheme, user_text, t::colon, password_text, t::at, host_text,
                               t::slash, database_text})));
    // self.engine = None
    DO(frame::setattr(self, n::engine, Py_None));
    // self.cache_path = cache_path
    DO(frame::setattr(self, n::cache_path, cache_path));
    // self.cache_file = cache_file
    DO(frame::setattr(self, n::cache_file, cache_file));
    // logging.basicConfig(level=logging.INFO)
    DO(global(n::logging).attr(n::basicConfig).call_kw({global(n::logging).attr(n::INFO)}, kw_level));
}

// ---------------------------------------------------------------------------
// def connect(self):

namespace {
// An engine keeps its pooled connections open, and engines live in
// reference cycles: dropped without dispose(), each one held a connection
// to the server until the next full garbage collection, and repeated
// connect() calls ran the server out of connections. A replaced engine
// still works for whoever else holds it; dispose() only closes the
// connections idle in its pool.
int dispose_replaced(Handle previous, Handle current) noexcept {
    if (PyErr_Occurred()) return -1;
    if (!previous || previous.ptr() == Py_None || previous.ptr() == current.ptr()) return 0;
    Ref dispose;
    int found = frame::lookup_optional(previous, n::dispose, &dispose);
    if (found <= 0) return found;
    return dispose() ? 0 : -1;
}

// The engine an instance holds before connect() replaces it: null when it
// has none (its attribute deleted), with no exception set.
int previous_engine(Handle self, Ref* previous) noexcept {
    return frame::lookup_optional(self, n::engine, previous) < 0 ? -1 : 0;
}

}  // namespace

DEF(connect, {.qualname = "MySQLDatabaseTableScope.connect", .argcount = 1,
              .varnames = {"self", "conn", "e"}}) {
    Handle self = here.arg(0);

    // try:
    TRY {
        // self.engine = create_engine(self.connection_string)
        LET(engine, global(n::create_engine)(self.attr(n::connection_string)));
        Ref previous;
        DO(previous_engine(self, &previous));
        DO(frame::setattr(self, n::engine, engine));
        // previous.dispose(), for the engine just replaced
        DO(dispose_replaced(previous, engine));
        // with self.engine.connect() as conn:
        WITH(conn, self.attr(n::engine).attr(n::connect)()) {
            // pass
        } END_WITH;
        // logging.info("Successfully connected to the database.")
        DO(global(n::logging).attr(n::info)(t::connected));
    } EXCEPT(e, global(n::SQLAlchemyError)) {
        // logging.error(f"Error connecting to the database: {e}")
        DO(global(n::logging).attr(n::error)(fstring({t::connect_error, e})));
        // raise
        RERAISE(e);
    }
}

// ---------------------------------------------------------------------------
// def prepare_data(self):

namespace {
// The cache file is replaced whole, never written in place: the tables
// are pickled into a new file beside it, flushed and synced, then renamed
// over it. A reader sees the old file or the new one, never a part; a write
// that fails leaves the old file as it was and no new file behind; a
// symbolic link or a FIFO at the path is replaced, not written through.
class CacheWriter {
public:
    CacheWriter() noexcept = default;
    CacheWriter(const CacheWriter&) = delete;
    CacheWriter& operator=(const CacheWriter&) = delete;
    ~CacheWriter() {
        if (fd_ >= 0) close(fd_);
        if (temporary_) {
            // Keeps whatever exception is pending.
            PyObject* exc = PyErr_GetRaisedException();
            unlink(PyBytes_AS_STRING(temporary_.ptr()));
            PyErr_SetRaisedException(exc);
        }
    }

    // Creates the new file; its descriptor as an int, or null with OSError
    // naming the cache path.
    Ref create(Handle cache_full_path) noexcept {
        if (!frame::ready(cache_full_path)) return {};
        path_ = cache_full_path.ptr();
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path_, &encoded)) return {};
        target_ = steal(encoded);
        for (int attempt = 0; attempt < 100; attempt++) {
            Ref name = steal(PyBytes_FromFormat("%s.%ld-%d.tmp", PyBytes_AS_STRING(target_.ptr()),
                                                static_cast<long>(getpid()), ++counter_));
            if (!name) return {};
            int fd = open(PyBytes_AS_STRING(name.ptr()),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd >= 0) {
                temporary_ = std::move(name);
                fd_ = fd;
                return frame::steal(PyLong_FromLong(fd));
            }
            if (errno != EEXIST) break;
        }
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
        return {};
    }

    // The file object has taken over the descriptor.
    void handed_over() noexcept {
        written_ = fd_;
        fd_ = -1;
    }

    // fsync of the written file, then the rename over the cache path.
    int commit() noexcept {
        if (fsync(written_) < 0 ||
            rename(PyBytes_AS_STRING(temporary_.ptr()), PyBytes_AS_STRING(target_.ptr())) < 0) {
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
    int written_ = -1;
    static inline int counter_ = 0;
};

// Only a regular file is loaded: anything else but a directory (which open()
// refuses as it always has) is a cache that cannot be loaded, rather than,
// for a FIFO, a read that blocks for ever.
int refuse_irregular_cache(Handle path) noexcept {
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

}  // namespace

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
            // with open(cache_full_path, "rb") as file:   (a regular file only)
            DO(refuse_irregular_cache(cache_full_path));
            WITH(file, b_open({cache_full_path, t::rb})) {
                // return pickle.load(file)   (with the tables' tags given back)
                LET(loaded, global(n::pickle).attr(n::load)(file));
                DO(restore_tags(loaded));
                RETURN(loaded);
            } END_WITH;
        } EXCEPT(e, PyExc_Exception) {
            // logging.error(f"Error loading cache: {e}")
            DO(global(n::logging).attr(n::error)(fstring({t::cache_error, e})));
        }
    }

    // if not self.engine:
    IF_NOT (self.attr(n::engine)) {
        // raise ConnectionError("Database connection not established.")
        RAISE(global(n::ConnectionError)(t::not_established));
    }
    // dataframes = []
    LET(dataframes, frame::list({}));
    // try:
    TRY {
        // with self.engine.connect() as connection:
        WITH(connection, self.attr(n::engine).attr(n::connect)()) {
            // inspector = inspect(self.engine)
            LET(inspector, global(n::inspect)(self.attr(n::engine)));
            // for table_name in inspector.get_table_names():
            FOR(table_name, inspector.attr(n::get_table_names)()) {
                // df = pd.read_sql_table(table_name, connection)
                LET(df, global(n::pd).attr(n::read_sql_table)({table_name, connection}));
                // df.name = table_name   (a tag that is no column and survives pickling)
                DO(tag(df, table_name));
                // dataframes.append(df)
                DO(frame::append(dataframes, df));
            }
        } END_WITH;
        // with open(<a new file beside cache_full_path>, "wb") as file:
        CacheWriter cache;
        LET(descriptor, cache.create(cache_full_path));
        LET(writer, b_open({descriptor, t::wb}));
        cache.handed_over();
        WITH(file, writer) {
            // pickle.dump(dataframes, file)
            DO(global(n::pickle).attr(n::dump)({dataframes, file}));
            // file.flush()
            DO(file.attr(n::flush)());
            // os.fsync(file.fileno()); os.replace(<new file>, cache_full_path)
            DO(cache.commit());
        } END_WITH;
        // return dataframes
        RETURN(dataframes);
    } EXCEPT(e, PyExc_Exception) {
        // logging.error(f"Error fetching tables: {e}")
        DO(global(n::logging).attr(n::error)(fstring({t::fetch_error, e})));
        // raise
        RERAISE(e);
    }
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
        RAISE(global(n::ConnectionError)(t::not_established));
    }
    // try:
    TRY {
        // inspector = inspect(self.engine)
        LET(inspector, global(n::inspect)(self.attr(n::engine)));
        // for table_name in inspector.get_table_names():
        FOR(table_name, inspector.attr(n::get_table_names)()) {
            // print(f"Table: {table_name}")
            DO(b_print(fstring({t::table_header, table_name})));
            // for column in inspector.get_columns(table_name):
            FOR(column, inspector.attr(n::get_columns)(table_name)) {
                // print(f"  {column['name']}: {column['type']}")
                DO(b_print(fstring({t::indent, column[t::name], t::colon_space, column[t::type]})));
            }
        }
    } EXCEPT(e, PyExc_Exception) {
        // logging.error(f"Error fetching table schemas: {e}")
        DO(global(n::logging).attr(n::error)(fstring({t::schema_error, e})));
        // raise
        RERAISE(e);
    }
}

}  // namespace tablescope
