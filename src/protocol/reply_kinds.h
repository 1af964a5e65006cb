#pragma once

// What a reply block receives, one type per kind, and how each kind travels
// on the wire. The daemon's service calls the block; a client gets back the
// kind's Value. Data and text are both bytes in C++ but differ on the wire,
// so each kind is a type of its own.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ipc/wire.h"

namespace smcd::protocol {

using Paths = std::vector<std::string>;

// (success, message): the message is nil on success.
struct Status {
    bool success = false;
    std::optional<std::string> message;
};

struct Count {
    std::int64_t count = 0;
    std::string message;
};

struct DataReply : std::function<void(std::string data)> {
    using function::function;
};
struct TextReply : std::function<void(std::string text)> {
    using function::function;
};
struct StatusReply : std::function<void(bool success, std::optional<std::string> message)> {
    using function::function;
};
struct BoolReply : std::function<void(bool value)> {
    using function::function;
};
struct CountReply : std::function<void(std::int64_t count, std::string message)> {
    using function::function;
};

using platform::ipc::Data;
using platform::ipc::WireType;
using platform::ipc::WireValue;
using WireSend = std::function<void(std::vector<WireValue>)>;

// The values of one reply, moved in: a braced list would copy each of them
// (a list's elements are constant) and keep the originals until the reply
// has been sent, which for data of hundreds of megabytes is that much again.
template <class... V>
std::vector<WireValue> wireValues(V&&... values) {
    std::vector<WireValue> list;
    list.reserve(sizeof...(V));
    (list.emplace_back(std::forward<V>(values)), ...);
    return list;
}

// For each kind: its wire types, the block that packs a reply for `send`,
// and the value a client unpacks from wire values already checked against
// those types.
template <class Reply>
struct ReplyKind;

template <>
struct ReplyKind<DataReply> {
    static constexpr std::array kWire{WireType::data};
    using Value = std::string;
    static DataReply sender(WireSend send) {
        return [send = std::move(send)](std::string bytes) { send(wireValues(Data{std::move(bytes)})); };
    }
    static Value unpack(std::vector<WireValue>& v) { return std::move(std::get<Data>(v[0]).bytes); }
};

template <>
struct ReplyKind<TextReply> {
    static constexpr std::array kWire{WireType::text};
    using Value = std::string;
    static TextReply sender(WireSend send) {
        return [send = std::move(send)](std::string text) { send(wireValues(std::move(text))); };
    }
    static Value unpack(std::vector<WireValue>& v) { return std::move(std::get<std::string>(v[0])); }
};

template <>
struct ReplyKind<StatusReply> {
    static constexpr std::array kWire{WireType::boolean, WireType::optionalText};
    using Value = Status;
    static StatusReply sender(WireSend send) {
        return [send = std::move(send)](bool success, std::optional<std::string> message) {
            send(wireValues(success, message ? WireValue(std::move(*message)) : WireValue(nullptr)));
        };
    }
    static Value unpack(std::vector<WireValue>& v) {
        Status status{std::get<bool>(v[0]), std::nullopt};
        if (auto* message = std::get_if<std::string>(&v[1])) status.message = std::move(*message);
        return status;
    }
};

template <>
struct ReplyKind<BoolReply> {
    static constexpr std::array kWire{WireType::boolean};
    using Value = bool;
    static BoolReply sender(WireSend send) {
        return [send = std::move(send)](bool value) { send(wireValues(value)); };
    }
    static Value unpack(std::vector<WireValue>& v) { return std::get<bool>(v[0]); }
};

template <>
struct ReplyKind<CountReply> {
    static constexpr std::array kWire{WireType::int64, WireType::text};
    using Value = Count;
    static CountReply sender(WireSend send) {
        return [send = std::move(send)](std::int64_t count, std::string message) {
            send(wireValues(count, std::move(message)));
        };
    }
    static Value unpack(std::vector<WireValue>& v) {
        return Count{std::get<std::int64_t>(v[0]), std::move(std::get<std::string>(v[1]))};
    }
};

// The wire type of each argument type the protocol uses.
template <class T>
inline constexpr WireType kArgumentWire = [] {
    static_assert(sizeof(T) == 0, "not an argument type of the protocol");
    return WireType::text;
}();
template <>
inline constexpr WireType kArgumentWire<std::int64_t> = WireType::int64;
template <>
inline constexpr WireType kArgumentWire<bool> = WireType::boolean;
template <>
inline constexpr WireType kArgumentWire<std::string> = WireType::text;
template <>
inline constexpr WireType kArgumentWire<Paths> = WireType::textArray;

}  // namespace smcd::protocol
