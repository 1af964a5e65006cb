#include "daemon/vornik_fan_control.h"

#include <tuple>
#include <utility>

#include "platform/memory/return_freed_memory.h"

namespace smcd {
namespace {

using platform::ipc::ReplyHandler;
using protocol::Value;
using protocol::Method;
using protocol::MethodTraits;
using protocol::ReplyKind;

// Roughly what a list of values holds on the heap.
std::size_t footprint(const std::vector<Value>& values) {
    std::size_t bytes = 0;
    for (const Value& value : values) {
        if (const auto* text = std::get_if<std::string>(&value)) bytes += text->size();
        if (const auto* data = std::get_if<protocol::Data>(&value)) bytes += data->bytes.size();
        if (const auto* texts = std::get_if<std::vector<std::string>>(&value))
            for (const std::string& element : *texts) bytes += sizeof element + element.size();
    }
    return bytes;
}

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
    ReturnFreedMemory afterwards{footprint(arguments)};
    auto block = ReplyKind<typename Traits::Reply>::sender([&reply, &afterwards](std::vector<Value> values) {
        afterwards.bytes += footprint(values);
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
