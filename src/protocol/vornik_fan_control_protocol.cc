#include "protocol/vornik_fan_control_protocol.h"

#include <vector>

namespace smcd::protocol {
namespace {

template <Method method>
MethodSignature signatureOf() {
    using Traits = MethodTraits<method>;
    auto arguments = []<class... A>(std::tuple<A...>*) { return std::vector<ValueType>{kArgumentType<A>...}; };
    const auto& reply = ReplyKind<typename Traits::Reply>::kTypes;
    return {Traits::selector, arguments(static_cast<typename Traits::Arguments*>(nullptr)),
            std::vector<ValueType>(reply.begin(), reply.end())};
}

}  // namespace

const Interface& vornikFanControlInterface() {
    static const Interface interface({
#define SMCD_METHOD_SIGNATURE(name, service, selector, Reply, ...) signatureOf<Method::name>(),
        SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_METHOD_SIGNATURE)
#undef SMCD_METHOD_SIGNATURE
    });
    return interface;
}

}  // namespace smcd::protocol
