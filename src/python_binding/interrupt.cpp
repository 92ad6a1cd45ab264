#include "python_binding/interrupt.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "parallel/thread_exceptions.hpp"

namespace kestrel::py::interrupt_detail {
namespace {

// How often the waiting thread asks for signals: short enough that Ctrl-C
// answers well within half a second, long enough to cost nothing.
constexpr std::chrono::milliseconds kSignalSlice{50};

// What the helper thread and the waiting thread share.
struct Handoff {
    std::mutex mutex;
    std::condition_variable finished_signal;
    bool finished = false;     // guarded by `mutex`
    std::exception_ptr error;  // written before `finished`, read after it
};

void run_body(const std::function<void(std::stop_token)>& body, std::stop_token stop, Handoff& handoff) {
    prepare_thread_for_exceptions();
    try {
        body(stop);
    } catch (...) {
        handoff.error = std::current_exception();
    }
    {
        std::lock_guard lock(handoff.mutex);
        handoff.finished = true;
    }
    handoff.finished_signal.notify_all();
}

// Waits one slice; true once the body has finished.
bool wait_slice(Handoff& handoff) {
    std::unique_lock lock(handoff.mutex);
    return handoff.finished_signal.wait_for(lock, kSignalSlice, [&] { return handoff.finished; });
}

}  // namespace

bool run_released(const std::function<void(std::stop_token)>& body, const std::function<bool()>& tick) {
    Handoff handoff;
    std::stop_source stop;
    bool interrupted = false;
    PyThreadState* state = PyEval_SaveThread();
    std::optional<std::jthread> helper;
    try {
        helper.emplace([&] { run_body(body, stop.get_token(), handoff); });
    } catch (const std::system_error&) {
        // No thread to be had (process limits): the work still gets done,
        // on this thread, only without Ctrl-C.
        run_body(body, stop.get_token(), handoff);
    }
    while (!wait_slice(handoff)) {
        PyEval_RestoreThread(state);
        interrupted = PyErr_CheckSignals() != 0 || (tick && !tick());
        state = PyEval_SaveThread();
        if (interrupted) {
            stop.request_stop();
            break;
        }
    }
    // Joined without the lock: after a stop the body may still need a
    // moment to reach its next check.
    helper.reset();
    PyEval_RestoreThread(state);
    if (interrupted) return false;
    if (handoff.error) std::rethrow_exception(handoff.error);
    return true;
}

void run_released_here(const std::function<void(std::stop_token)>& body) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        body(std::stop_token{});
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

}  // namespace kestrel::py::interrupt_detail
