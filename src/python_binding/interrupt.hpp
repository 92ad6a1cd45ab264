// Long calls that Ctrl-C can stop. The work runs on a helper thread with
// the interpreter lock released; the calling thread waits for it in short
// slices and, between slices, takes the lock just long enough to let the
// interpreter run its signal handlers. When a handler raises (SIGINT's
// raises KeyboardInterrupt) the work is asked to stop through its
// std::stop_token, the calling thread waits for it to end, and the
// handler's exception is what the call raises.
#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <type_traits>

#include "python_binding/python.hpp"

namespace kestrel::py {

namespace interrupt_detail {

// Runs body(stop) on a helper thread (on the calling thread, lock still
// released, if no thread can be started) and returns once it has ended.
// Returns false with a Python exception set when a signal handler raised;
// a C++ exception of the body is rethrown here, with the lock held, unless
// a signal handler's exception is already set.
// `tick`, when set, is called with the lock held after each slice; it
// returns false with a Python exception set to stop the work like a signal.
bool run_released(const std::function<void(std::stop_token)>& body, const std::function<bool()>& tick = {});

// Runs body(stop) on the calling thread with the lock released; a C++
// exception of the body is rethrown with the lock held again.
void run_released_here(const std::function<void(std::stop_token)>& body);

}  // namespace interrupt_detail

// Calls work(stop) without the interpreter lock and returns its result, or
// nothing when a signal handler raised (its exception is then set). The
// work must touch no Python object, and should return soon after a stop is
// requested; whatever it returns then is dropped. Work known to be `brief`
// (microseconds) runs on the calling thread instead: starting the helper
// thread would cost more than the work, and a signal arriving meanwhile is
// handled as soon as the call returns.
template <class Work>
std::optional<std::invoke_result_t<Work&, std::stop_token>> run_interruptible(Work&& work, bool brief = false) {
    std::optional<std::invoke_result_t<Work&, std::stop_token>> out;
    const auto body = [&](std::stop_token stop) { out.emplace(work(stop)); };
    if (brief) {
        interrupt_detail::run_released_here(body);
        return out;
    }
    if (!interrupt_detail::run_released(body)) return std::nullopt;
    return out;
}

// The same, calling tick() with the lock held between slices (every 50 ms):
// a way to report progress from Python while the work runs.
template <class Work>
std::optional<std::invoke_result_t<Work&, std::stop_token>> run_interruptible(Work&& work,
                                                                              const std::function<bool()>& tick) {
    std::optional<std::invoke_result_t<Work&, std::stop_token>> out;
    if (!interrupt_detail::run_released([&](std::stop_token stop) { out.emplace(work(stop)); }, tick))
        return std::nullopt;
    return out;
}

}  // namespace kestrel::py
