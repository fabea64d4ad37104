#include "orveksdk/trend_kit/state.hpp"

namespace trend_kit {

using frame::Ref;

Tuples tuples;

// Execute step 10: constant tuples and the functions' code objects.
int make_constants() {
    if (!tuples.async_refusal) {
        tuples.async_refusal = Py_BuildValue("(s)", "TrendKit does not support async");
        tuples.timestamp = PyTuple_Pack(1, t::timestamp.obj());
        tuples.epoch_date = PyTuple_Pack(3, static_cast<PyObject*>(year_1970),
                                         static_cast<PyObject*>(one), static_cast<PyObject*>(one));
        Ref start = frame::steal(PyLong_FromLong(9)), stop = frame::steal(PyLong_FromLong(-2));
        if (!start || !stop) return -1;
        tuples.decimal_digits = PySlice_New(start, stop, nullptr);
        if (!tuples.async_refusal || !tuples.timestamp || !tuples.epoch_date ||
            !tuples.decimal_digits)
            return -1;
    }
    for (frame::FunctionDef* def : {&run_def, &arun_def, &conv_date_def, &ts_forecast_def})
        if (frame::prepare_function(*def) < 0) return -1;
    return 0;
}

}  // namespace trend_kit

const frame::ModuleInfo frame::module_info = {
    .short_name = "trend_kit",
    .full_name = "orveksdk.trend_kit",
    .init_name = "init orveksdk.trend_kit",
    .uses_coroutines = true,
    .make_constants = trend_kit::make_constants,
    .body = trend_kit::body,
};

FRAME_MODULE_INIT(trend_kit)
