#pragma once

#include <optional>

#include "common/expected.h"

namespace smcd::test {

// What a call told its caller: nothing on success, else its failure.
template <typename T, typename E>
std::optional<E> failureOf(const Expected<T, E>& result) {
    if (result) return std::nullopt;
    return result.error();
}

}  // namespace smcd::test
