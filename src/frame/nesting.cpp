#include "frame/nesting.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// The binary wheels admit glibc 2.28. glibc 2.32 gave pthread_getattr_np a
// new version and 2.34 moved both functions into libc under another; the
// original versions, bound here, are the same code and in every glibc.
#if defined(__GLIBC__) && defined(__x86_64__)
#define FRAME_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__GLIBC__) && defined(__aarch64__)
#define FRAME_GLIBC_BASE "GLIBC_2.17"
#endif
#ifdef FRAME_GLIBC_BASE
__asm__(".symver pthread_getattr_np, pthread_getattr_np@" FRAME_GLIBC_BASE);
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@" FRAME_GLIBC_BASE);
#endif

namespace frame {

namespace {

// The running thread's stack, read once per thread: calls are refused
// from `floor` down to `low`, its lowest address. A pointer outside the
// stack (code run on a stack of its own making) is not checked.
struct Stack {
    std::uintptr_t low = 0;
    std::uintptr_t floor = 0;
    bool read = false;
};
thread_local Stack stack;

// What is kept back: a quarter of the stack, at least 64 KiB and at most
// 256 KiB, and never more than half. Enough for the refusal, the unwinding
// and whatever C code the innermost body calls before its next call of the
// frame would be checked.
std::size_t reserve_for(std::size_t size) noexcept {
    std::size_t reserve = size / 4;
    if (reserve < 64 * 1024) reserve = 64 * 1024;
    if (reserve > 256 * 1024) reserve = 256 * 1024;
    if (reserve > size / 2) reserve = size / 2;
    return reserve;
}

[[gnu::cold, gnu::noinline]] void read_stack() noexcept {
    stack.read = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (failed || !low || !size) return;
    stack.low = reinterpret_cast<std::uintptr_t>(low);
    stack.floor = stack.low + reserve_for(size);
}

bool stack_left() noexcept {
    if (!stack.read) [[unlikely]]
        read_stack();
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here >= stack.floor || here < stack.low;
}

[[gnu::cold, gnu::noinline]] void refuse() noexcept {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
}

}  // namespace

NestedCall::NestedCall() noexcept : entered_(false) {
    if (!stack_left()) [[unlikely]] {
        refuse();
        return;
    }
    entered_ = Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

NestedCall::~NestedCall() {
    if (entered_) Py_LeaveRecursiveCall();
}

}  // namespace frame
