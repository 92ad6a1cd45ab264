// The one error value of the core: a message, and a result type that holds
// either a value or that error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace kestrel {

// What kind of failure an error is, so that callers can tell a refused input
// from a request that would take more work or memory than we allow.
enum class ErrorKind : std::uint8_t {
    refused,   // the input is wrong
    argument,  // a parameter of the call is out of range, whatever the input
    limit,     // the input is fine, but the work it asks for is above a limit
};

struct StructureError {
    std::string message;
    ErrorKind kind = ErrorKind::refused;
    // The line of the text where the fault lies, counted from 1; 0 when the
    // fault has no one line (or the reader does not track lines).
    std::uint64_t line = 0;
    // The operating system's error number when it refused a file, else 0.
    int os_error = 0;
    // The parameter of the call that would mend the failure ("cell"), or
    // null. The message leaves the advice out: each caller words it in its
    // own terms (a keyword argument, a command-line flag).
    const char* parameter = nullptr;
};

inline StructureError fail(std::string message) {
    return StructureError{std::move(message)};
}

inline StructureError fail_at_line(std::uint64_t line, std::string message) {
    return StructureError{std::move(message), ErrorKind::refused, line};
}

inline StructureError fail_needing(const char* parameter, std::string message) {
    StructureError error{std::move(message)};
    error.parameter = parameter;
    return error;
}

inline StructureError fail_argument(std::string message) {
    return StructureError{std::move(message), ErrorKind::argument};
}

inline StructureError fail_limit(std::string message) {
    return StructureError{std::move(message), ErrorKind::limit};
}

// The same error with `prefix` before its message ("data block 'x': ").
inline StructureError prefixed(StructureError error, const std::string& prefix) {
    error.message.insert(0, prefix);
    return error;
}

// The same error, placed on `line` unless it already names one.
inline StructureError at_line(StructureError error, std::uint64_t line) {
    if (error.line == 0) error.line = line;
    return error;
}

// A value or a StructureError. Operations of the core return this instead of
// throwing, so the binding layer sees every failure as data it can map once.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(StructureError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const StructureError& error() const { return std::get<1>(state_); }
    StructureError&& take_error() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, StructureError> state_;
};

// For operations that produce nothing but may fail.
struct Ok {};

}  // namespace kestrel
