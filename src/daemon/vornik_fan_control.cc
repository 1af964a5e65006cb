#include "daemon/vornik_fan_control.h"

#include <tuple>
#include <utility>

#include "common/limits.h"
#include "platform/log/daemon_log.h"
#include "platform/log/request_log_lines.h"
#include "platform/memory/return_freed_memory.h"

namespace smcd {
namespace {

using platform::ipc::ReplyHandler;
using protocol::Value;
using protocol::Method;
using protocol::MethodTraits;
using protocol::ReplyKind;

// Hands the freed memory of a large request back to the system once the
// request is over, its reply sent and its arguments gone, whichever way it ends.
struct ReturnFreedMemory {
    std::size_t bytes = 0;
    ~ReturnFreedMemory() {
        if (bytes >= platform::kReturnMemoryAfterBytes) platform::returnFreedMemory();
    }
};

// Calls `member` with the call's arguments, each taken out of the wire value
// the connection has already checked against the method's types, and a reply
// block that packs what it is given for the wire.
template <Method method, class Member>
void dispatch(VornikFanControl& service, Member member, std::vector<Value>& arguments,
              const ReplyHandler& reply) {
    using Traits = MethodTraits<method>;
    // However many items the request names, it writes a bounded number of lines.
    const platform::RequestLogLines lines(daemonLog(), Traits::selector, limits::kLogLinesPerRequest);
    ReturnFreedMemory afterwards{protocol::heapBytes(arguments)};
    auto block = ReplyKind<typename Traits::Reply>::sender([&reply, &afterwards](std::vector<Value> values) {
        afterwards.bytes += protocol::heapBytes(values);
        reply(std::move(values));
    });
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (service.*member)(std::move(std::get<std::tuple_element_t<I, typename Traits::Arguments>>(arguments[I]))...,
                          std::move(block));
    }(std::make_index_sequence<std::tuple_size_v<typename Traits::Arguments>>{});
}

class Export final : public platform::ipc::ExportedObject {
public:
    explicit Export(std::shared_ptr<VornikFanControl> service) : service_(std::move(service)) {}

    void invoke(std::size_t method, std::vector<Value> arguments, const ReplyHandler& reply) override {
        switch (static_cast<Method>(method)) {
#define SMCD_DISPATCH(name, service, selector, Reply, ...) \
    case Method::name: return dispatch<Method::name>(*service_, &VornikFanControl::service, arguments, reply);
            SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_DISPATCH)
#undef SMCD_DISPATCH
        }
    }

private:
    std::shared_ptr<VornikFanControl> service_;
};

}  // namespace

std::shared_ptr<platform::ipc::ExportedObject> exportedObject(std::shared_ptr<VornikFanControl> service) {
    return std::make_shared<Export>(std::move(service));
}

}  // namespace smcd
