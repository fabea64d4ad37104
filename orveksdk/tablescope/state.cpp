#include "orveksdk/tablescope/state.hpp"

namespace tablescope {

Tuples tuples;

// Execute step 10: constant tuples and the methods' code objects.
int make_constants() {
    if (!tuples.init_defaults) {
        tuples.init_defaults = PyTuple_Pack(2, t::dot.obj(), t::db_cache_pkl.obj());
        tuples.missing_parameters = PyTuple_Pack(1, t::missing_parameters.obj());
        tuples.not_established = PyTuple_Pack(1, t::not_established.obj());
        tuples.quote_fromlist = PyTuple_Pack(1, n::quote.obj());
        tuples.safe_kwnames = PyTuple_Pack(1, n::safe.obj());
        if (!tuples.init_defaults || !tuples.missing_parameters || !tuples.not_established ||
            !tuples.quote_fromlist || !tuples.safe_kwnames)
            return -1;
    }
    for (frame::FunctionDef* def : {&init_def, &connect_def, &prepare_data_def, &print_table_schemas_def})
        if (frame::prepare_function(*def) < 0) return -1;
    return 0;
}

}  // namespace tablescope

const frame::ModuleInfo frame::module_info = {
    .short_name = "tablescope",
    .full_name = "orveksdk.tablescope",
    .init_name = "init orveksdk.tablescope",
    .uses_coroutines = false,
    .make_constants = tablescope::make_constants,
    .body = tablescope::body,
};

FRAME_MODULE_INIT(tablescope)
