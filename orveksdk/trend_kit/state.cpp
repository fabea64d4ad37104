#include "orveksdk/trend_kit/state.hpp"

namespace trend_kit {

Tuples tuples;

// Execute step 10: constant tuples and the functions' code objects.
int make_constants() {
    if (!tuples.async_refusal) {
        tuples.async_refusal = Py_BuildValue("(s)", "TrendKit does not support async");
        tuples.timestamp = PyTuple_Pack(1, t::timestamp.obj());
        tuples.epoch_date = PyTuple_Pack(3, static_cast<PyObject*>(year_1970),
                                         static_cast<PyObject*>(one), static_cast<PyObject*>(one));
        if (!tuples.async_refusal || !tuples.timestamp || !tuples.epoch_date) return -1;
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
