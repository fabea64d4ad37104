#include "tablescope/table_reader.hpp"

#include "frame/lookup.hpp"
#include "frame/statement.hpp"
#include "tablescope/pins.hpp"
#include "tablescope/row_capture.hpp"
#include "tablescope/state.hpp"

namespace tablescope::table_reader {

using frame::fstring;
using frame::Handle;
using frame::kw;
using frame::Ref;

namespace {

frame::Name n_pandasSQL_builder{"pandasSQL_builder"}, n_schema{"schema"}, n_need_transaction{"need_transaction"},
    n_has_table{"has_table"}, n_meta{"meta"}, n_reflect{"reflect"}, n_bind{"bind"}, n_con{"con"}, n_only{"only"},
    n_views{"views"}, n_index{"index"}, n_select{"select"}, n_table{"table"},
    n_columns{"columns"}, n_pd_sql{"pd_sql"}, n_execute{"execute"}, n_keys{"keys"},
    n_frame{"frame"}, n_harmonize_columns{"_harmonize_columns"},
    n_parse_dates{"parse_dates"}, n_from_arrays{"_from_arrays"}, n_verify_integrity{"verify_integrity"};
frame::Text t_table{"Table "}, t_not_found{" not found"};

// pandas' side of the read running now (pins.hpp).
const pins::Pandas* running = nullptr;

// A global of pandas.io.sql, as its functions read it.
Ref sql_global(Handle name) noexcept {
    if (PyErr_Occurred()) return {};
    PyObject* value = PyDict_GetItemWithError(running->sql_names.ptr(), name.ptr());
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return frame::borrow(value);
}

// _convert_arrays_to_dataframe(data, columns, coerce_float=True,
// dtype_backend="numpy") for rows read into `columns`: the arrays
// convert_object_array would give for them, made into a frame as pandas
// makes it. Null without an exception when there are no such rows.
Ref frame_of_columns(text_columns::Columns* columns, Handle column_names) noexcept {
    if (!columns || columns->rows() == 0) return {};
    const Ref convert = sql_global(n::convert_object_array);
    if (!convert) return {};
    Ref arrays = columns->arrays({running->numpy_empty, convert, running->datetime_dtype, running->per_microsecond});
    const std::size_t rows = columns->rows();
    columns->clear();
    Ref data_frame = sql_global(n::DataFrame);
    if (!arrays || !data_frame) return {};
    if (running->assembly == pins::FrameAssembly::from_dict) {
        // df = DataFrame(dict(zip(list(range(len(columns))), arrays)))
        Ref by_position = frame::steal(PyDict_New());
        if (!by_position) return {};
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(arrays.ptr()); j++) {
            Ref key = frame::steal(PyLong_FromSsize_t(j));
            if (!key || PyDict_SetItem(by_position.ptr(), key.ptr(), PyList_GET_ITEM(arrays.ptr(), j)) < 0) return {};
        }
        Ref df = data_frame(by_position);
        // df.columns = columns
        if (frame::setattr(df, n_columns, column_names) < 0) return {};
        return df;
    }
    // DataFrame._from_arrays(arrays, columns=columns, index=range(idx_len), verify_integrity=False)
    Ref count = frame::steal(PyLong_FromSize_t(rows));
    Ref index = count ? frame::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type), count.ptr())) : Ref();
    return data_frame.attr(n_from_arrays)(
        {arrays, kw(n_columns, column_names), kw(n_index, index), kw(n_verify_integrity, frame::False)});
}

// pandas.read_sql_table(table_name, con), as pandas runs it with its
// defaults: schema, index_col, parse_dates, columns and chunksize None,
// coerce_float True, dtype_backend "numpy" (which check_dtype_backend
// accepts without a look). SQLDatabase.read_table and SQLTable.read are
// written out where they are called.
frame::Flow read_sql_table(frame::Body& here) noexcept {
    Handle table_name = here.arg(0);
    Handle con = here.arg(1);
    Ref table_read;

    // with pandasSQL_builder(con, schema=schema, need_transaction=True) as pandas_sql:
    WITH (pandas_sql, sql_global(n_pandasSQL_builder)({con, kw(n_schema, frame::None),
                                                       kw(n_need_transaction, frame::True)})) {
        // if not pandas_sql.has_table(table_name):
        IF_NOT (pandas_sql.attr(n_has_table)(table_name)) {
            // raise ValueError(f"Table {table_name} not found")
            RAISE(b_ValueError(fstring({t_table, table_name, t_not_found})));
        }
        // table = pandas_sql.read_table(table_name, ...):
        //     self.meta.reflect(bind=self.con, only=[table_name], views=True)
        DO(pandas_sql.attr(n_meta).attr(n_reflect)({kw(n_bind, pandas_sql.attr(n_con)),
                                                    kw(n_only, frame::list({table_name})), kw(n_views, frame::True)}));
        //     table = SQLTable(table_name, self, index=index_col, schema=schema)
        LET(table, sql_global(n::SQLTable)({table_name, pandas_sql, kw(n_index, frame::None), kw(n_schema, frame::None)}));
        //     (chunksize is None: self.returns_generator stays False)
        //     return table.read(self.exit_stack, ...):
        //         from sqlalchemy import select
        LET(select, frame::from_import_value(n::sqlalchemy, n_select));
        //         sql_select = select(self.table)
        LET(sql_select, select(table.attr(n_table)));
        //         result = self.pd_sql.execute(sql_select)
        //           (its rows read into columns while the driver reads as pinned)
        row_capture::Capture capture;
        LET(result, capture.during(con, table.attr(n_table).attr(n_columns), [&] {
            return table.attr(n_pd_sql).attr(n_execute)(sql_select);
        }));
        //         column_names = result.keys()
        LET(column_names, result.attr(n_keys)());
        //         data = result.fetchall()
        //           (a row the driver read short fails as SQLAlchemy 2.0 fails on it)
        LET(data, capture.fetchall(result));
        //         self.frame = _convert_arrays_to_dataframe(data, column_names, coerce_float, dtype_backend)
        //           (of the columns, when the rows were read into columns)
        DO(frame::setattr(table, n_frame, frame::fast_or(frame_of_columns(capture.columns(), column_names), [&] {
            return sql_global(n::convert_arrays)({data, column_names, frame::True, t::numpy});
        })));
        //         self._harmonize_columns(parse_dates=parse_dates, dtype_backend=dtype_backend)
        DO(table.attr(n_harmonize_columns)({kw(n_parse_dates, frame::None), kw(n::dtype_backend, t::numpy)}));
        //         (self.index is None)
        //         return self.frame
        SET(table_read, table.attr(n_frame));
    } END_WITH;
    // if table is not None:
    IF (frame::is_not(table_read, frame::None)) {
        // return table
        RETURN(table_read);
    }
    // raise ValueError(f"Table {table_name} not found", con)
    RAISE(b_ValueError({fstring({t_table, table_name, t_not_found}), con}));
}

}  // namespace

Ref read(Handle pd, Handle table_name, Handle connection) noexcept {
    const pins::Pandas* pandas = pins::pandas_as_at_import(pd);
    if (!pandas) return {};
    const int possible = row_capture::Capture::possible(connection);
    if (possible <= 0) return {};
    running = pandas;
    PyObject* args[] = {table_name.ptr(), connection.ptr()};
    frame::Body here{"read_sql_table", args};
    return frame::steal(here.finish(read_sql_table(here)));
}

}  // namespace tablescope::table_reader
