#pragma once

// The one way a function inside the daemon says it can fail: a value or a
// typed error, never both, never neither. (std::expected arrives with C++23;
// this is the part of it the daemon needs.) Booleans and messages belong to
// the IPC boundary only.

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace smcd {

template <class E>
class Unexpected {
public:
    explicit Unexpected(E error) : error_(std::move(error)) {}
    E& error() & { return error_; }
    E&& error() && { return std::move(error_); }

private:
    E error_;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <class T, class E>
class [[nodiscard]] Expected {
public:
    template <class U = T>
        requires std::is_constructible_v<T, U&&>
    Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    Expected(Unexpected<E> error) : state_(std::in_place_index<1>, std::move(error).error()) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

    // Equal when both hold equal values or both equal errors.
    bool operator==(const Expected&) const = default;

private:
    std::variant<T, E> state_;
};

// Success carries nothing; only the error is worth keeping.
template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    Expected(Unexpected<E> error) : error_(std::move(error).error()) {}

    bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }

    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace smcd
