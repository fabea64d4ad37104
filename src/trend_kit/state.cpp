#include "trend_kit/state.hpp"

#include "frame/module.hpp"
#include "trend_kit/pins.hpp"

namespace trend_kit {
namespace {
// No constant tuples: every constant is a name, a text or an integer.
int make_constants() noexcept { return 0; }
}  // namespace
}  // namespace trend_kit

const frame::ModuleInfo frame::module_info = {
    .short_name = "trend_kit",
    .full_name = "orveksdk.trend_kit",
    .uses_coroutines = true,
    .make_constants = trend_kit::make_constants,
    .body = trend_kit::body,
    .pin = trend_kit::pins::pin_library_objects,
};

FRAME_MODULE_INIT(trend_kit)
