// The one error value of the core: a message, and a result type that holds
// either a value or that error.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kestrel {

struct StructureError {
    std::string message;
};

inline StructureError fail(std::string message) {
    return StructureError{std::move(message)};
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
