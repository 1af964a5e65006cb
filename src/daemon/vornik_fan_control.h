#pragma once

// The VornikFanControl protocol as the daemon implements it: one pure virtual
// member per row of the method list, taking that row's arguments and its
// reply block. Every method does its work synchronously and calls its reply
// exactly once; failures travel inside the reply.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ipc/connection.h"
#include "protocol/vornik_fan_control_protocol.h"

namespace smcd {

using protocol::BoolReply;
using protocol::CountReply;
using protocol::DataReply;
using protocol::Paths;
using protocol::StatusReply;
using protocol::TextReply;

// Declares a row's member: `void service(arguments..., Reply reply)`.
#define SMCD_VORNIK_FAN_CONTROL_MEMBER(name, service, selector, Reply, ...) \
    void service(__VA_ARGS__ __VA_OPT__(, ) Reply reply)

class VornikFanControl {
public:
    virtual ~VornikFanControl() = default;
#define SMCD_PURE_VIRTUAL(...) virtual SMCD_VORNIK_FAN_CONTROL_MEMBER(__VA_ARGS__) = 0;
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_PURE_VIRTUAL)
#undef SMCD_PURE_VIRTUAL
};

// The exported object a connection delivers decoded calls to: unpacks the
// arguments of each method and packs its reply.
std::shared_ptr<platform::ipc::ExportedObject> exportedObject(std::shared_ptr<VornikFanControl> service);

}  // namespace smcd
