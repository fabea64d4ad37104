#include "orveksdk/trend_kit/state.hpp"

#include "frame/module.hpp"

namespace trend_kit {

using frame::Ref;

Tuples tuples;

// Constant tuples, made once before the body runs.
int make_constants() noexcept {
    if (!tuples.decimal_digits) {
        Ref start = frame::steal(PyLong_FromLong(9)), stop = frame::steal(PyLong_FromLong(-2));
        if (!start || !stop) return -1;
        tuples.decimal_digits = PySlice_New(start.ptr(), stop.ptr(), nullptr);
        if (!tuples.decimal_digits) return -1;
    }
    return 0;
}

}  // namespace trend_kit

const frame::ModuleInfo frame::module_info = {
    .short_name = "trend_kit",
    .full_name = "orveksdk.trend_kit",
    .uses_coroutines = true,
    .make_constants = trend_kit::make_constants,
    .body = trend_kit::body,
};

FRAME_MODULE_INIT(trend_kit)
