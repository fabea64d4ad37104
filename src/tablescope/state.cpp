#include "tablescope/state.hpp"

#include "frame/module.hpp"
#include "tablescope/pins.hpp"

namespace tablescope {

Tuples tuples;

namespace {
// Constant tuples, made once before the body runs.
int make_constants() noexcept {
    if (!tuples.init_defaults) {
        tuples.init_defaults = PyTuple_Pack(2, t::dot.ptr(), t::db_cache_pkl.ptr());
        if (!tuples.init_defaults) return -1;
    }
    return 0;
}
}  // namespace

}  // namespace tablescope

const frame::ModuleInfo frame::module_info = {
    .short_name = "tablescope",
    .full_name = "orveksdk.tablescope",
    .uses_coroutines = false,
    .make_constants = tablescope::make_constants,
    .body = tablescope::body,
    .pin = tablescope::pins::pin_library_objects,
};

FRAME_MODULE_INIT(tablescope)
