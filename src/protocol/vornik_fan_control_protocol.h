#pragma once

// The VornikFanControl protocol as both ends see it, derived from the one
// method list: the Method numbering, each method's selector, argument and
// reply types, and the interface table a connection checks calls against.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "protocol/method_list.h"
#include "protocol/reply_kinds.h"

namespace smcd::protocol {

// Methods by their position in the method list; the wire names them by selector.
enum class Method : std::size_t {
#define SMCD_METHOD_ENUM(name, service, selector, Reply, ...) name,
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_METHOD_ENUM)
#undef SMCD_METHOD_ENUM
};

inline constexpr std::size_t kMethodCount = 0
#define SMCD_METHOD_COUNT(name, service, selector, Reply, ...) +1
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_METHOD_COUNT)
#undef SMCD_METHOD_COUNT
    ;

constexpr std::size_t numberOf(Method method) { return static_cast<std::size_t>(method); }

// Selector, argument types and reply kind of one method.
template <Method>
struct MethodTraits;

#define SMCD_METHOD_TRAITS(name, service, selector_, ReplyType, ...) \
    template <>                                                       \
    struct MethodTraits<Method::name> {                               \
        static constexpr std::string_view selector = selector_;       \
        using Arguments = std::tuple<__VA_ARGS__>;                    \
        using Reply = ReplyType;                                      \
    };
SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_METHOD_TRAITS)
#undef SMCD_METHOD_TRAITS

// Clients that were built against the published numbering keep calling the
// right method only while every method keeps its number (1-based, as
// published); moving a row of the list fails here.
static_assert(kMethodCount == 17);
static_assert(numberOf(Method::capabilities) + 1 == 1 && numberOf(Method::setFan) + 1 == 2 &&
              numberOf(Method::resetAllToAuto) + 1 == 3 && numberOf(Method::ping) + 1 == 4 &&
              numberOf(Method::runMaintenance) + 1 == 5 && numberOf(Method::dumpBackgroundItems) + 1 == 6 &&
              numberOf(Method::terminateForUpdate) + 1 == 7 && numberOf(Method::removeAppBundles) + 1 == 8 &&
              numberOf(Method::removeSupportPaths) + 1 == 9 && numberOf(Method::setLaunchdItem) + 1 == 10 &&
              numberOf(Method::measurePrivilegedPaths) + 1 == 11 && numberOf(Method::deleteLocalSnapshots) + 1 == 12 &&
              numberOf(Method::removeSystemCachePaths) + 1 == 13 && numberOf(Method::removeSystemLogPaths) + 1 == 14 &&
              numberOf(Method::removeGPUShaderCachePaths) + 1 == 15 &&
              numberOf(Method::removeRosettaCachePaths) + 1 == 16 &&
              numberOf(Method::systemNetworkConnections) + 1 == 17);
// A selector names its method's arguments, one label per colon before the
// reply block's.
static_assert([] {
    bool consistent = true;
    auto colons = [](std::string_view selector) {
        std::size_t n = 0;
        for (char c : selector) n += c == ':';
        return n;
    };
#define SMCD_METHOD_ARITY(name, service, selector, Reply, ...) \
    consistent = consistent && colons(selector) == std::tuple_size_v<MethodTraits<Method::name>::Arguments> + 1;
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_METHOD_ARITY)
#undef SMCD_METHOD_ARITY
    return consistent;
}());

// The table a connection decodes calls and replies against.
const Interface& vornikFanControlInterface();

}  // namespace smcd::protocol

namespace smcd {
using protocol::vornikFanControlInterface;
}  // namespace smcd
