#include "frame/state.hpp"

namespace frame {

State state;

namespace {
thread_local PyObject* current_globals = nullptr;

// Registration lists, appended to while the shared library's static objects
// are constructed.
SharedType* types_head = nullptr;
SharedType** types_tail = &types_head;
ExecuteHook* hooks_head = nullptr;
ExecuteHook** hooks_tail = &hooks_head;
}  // namespace

PyObject* running_globals() noexcept { return current_globals ? current_globals : state.dict; }

RunningGlobals::RunningGlobals(PyObject* globals) noexcept : saved_(current_globals) {
    current_globals = globals;
}

RunningGlobals::~RunningGlobals() { current_globals = saved_; }

SharedType::SharedType(const char* key_, PyTypeObject* own_, PyTypeObject* State::*slot_,
                       bool coroutines_only_) noexcept
    : key(key_), own(own_), slot(slot_), coroutines_only(coroutines_only_) {
    *types_tail = this;
    types_tail = &next;
}

SharedType* shared_types_head() noexcept { return types_head; }

ExecuteHook::ExecuteHook(int order_, int (*prepare_)(), void (*forget_)()) noexcept
    : order(order_), prepare(prepare_), forget(forget_) {
    *hooks_tail = this;
    hooks_tail = &next;
}

ExecuteHook* execute_hooks_head() noexcept { return hooks_head; }

int lookup_optional(Handle obj, Handle name, Ref* out) noexcept {
    PyObject* v = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (v) {
        *out = steal(v);
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

}  // namespace frame
