// Making sure a thread can throw when memory has run out.
#pragma once

#include <exception>

namespace kestrel {

// The C++ runtime keeps its per-thread exception state in thread-local
// storage that, in a module loaded at run time, is allocated on the thread's
// first throw. If that first throw is the std::bad_alloc of an exhausted
// heap, the allocation fails too and the C library aborts the process
// ("cannot allocate memory for thread-local data"). Touching the state once
// on entry, while memory is still there, allocates it up front; afterwards
// this is a plain thread-local read.
inline void prepare_thread_for_exceptions() noexcept {
    // The runtime declares the call pure; a discarded result would let the
    // compiler drop it.
    volatile int touched = std::uncaught_exceptions();
    static_cast<void>(touched);
}

}  // namespace kestrel
