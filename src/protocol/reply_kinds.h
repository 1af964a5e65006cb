#pragma once

// What a reply block receives, one type per kind, and the values each kind
// travels as. The daemon's service calls the block; a client gets back the
// kind's Value. Data and text are both bytes in C++ but differ in transit,
// so each kind is a type of its own.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/values.h"

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

using ValueSend = std::function<void(std::vector<Value>)>;

// The values of one reply, moved in: a braced list would copy each of them
// (a list's elements are constant) and keep the originals until the reply
// has been sent, which for data of hundreds of megabytes is that much again.
template <class... V>
std::vector<Value> valueList(V&&... values) {
    std::vector<Value> list;
    list.reserve(sizeof...(V));
    (list.emplace_back(std::forward<V>(values)), ...);
    return list;
}

// For each kind: its value types, the block that packs a reply for `send`,
// and the value a client unpacks from values already checked against
// those types.
template <class Reply>
struct ReplyKind;

template <>
struct ReplyKind<DataReply> {
    static constexpr std::array kTypes{ValueType::data};
    using Value = std::string;
    static DataReply sender(ValueSend send) {
        return [send = std::move(send)](std::string bytes) { send(valueList(Data{std::move(bytes)})); };
    }
    static Value unpack(std::vector<protocol::Value>& v) { return std::move(std::get<Data>(v[0]).bytes); }
};

template <>
struct ReplyKind<TextReply> {
    static constexpr std::array kTypes{ValueType::text};
    using Value = std::string;
    static TextReply sender(ValueSend send) {
        return [send = std::move(send)](std::string text) { send(valueList(std::move(text))); };
    }
    static Value unpack(std::vector<protocol::Value>& v) { return std::move(std::get<std::string>(v[0])); }
};

template <>
struct ReplyKind<StatusReply> {
    static constexpr std::array kTypes{ValueType::boolean, ValueType::optionalText};
    using Value = Status;
    static StatusReply sender(ValueSend send) {
        return [send = std::move(send)](bool success, std::optional<std::string> message) {
            send(valueList(success, message ? protocol::Value(std::move(*message)) : protocol::Value(nullptr)));
        };
    }
    static Value unpack(std::vector<protocol::Value>& v) {
        Status status{std::get<bool>(v[0]), std::nullopt};
        if (auto* message = std::get_if<std::string>(&v[1])) status.message = std::move(*message);
        return status;
    }
};

template <>
struct ReplyKind<BoolReply> {
    static constexpr std::array kTypes{ValueType::boolean};
    using Value = bool;
    static BoolReply sender(ValueSend send) {
        return [send = std::move(send)](bool value) { send(valueList(value)); };
    }
    static Value unpack(std::vector<protocol::Value>& v) { return std::get<bool>(v[0]); }
};

template <>
struct ReplyKind<CountReply> {
    static constexpr std::array kTypes{ValueType::int64, ValueType::text};
    using Value = Count;
    static CountReply sender(ValueSend send) {
        return [send = std::move(send)](std::int64_t count, std::string message) {
            send(valueList(count, std::move(message)));
        };
    }
    static Value unpack(std::vector<protocol::Value>& v) {
        return Count{std::get<std::int64_t>(v[0]), std::move(std::get<std::string>(v[1]))};
    }
};

// The value type of each argument type the protocol uses.
template <class T>
inline constexpr ValueType kArgumentType = [] {
    static_assert(sizeof(T) == 0, "not an argument type of the protocol");
    return ValueType::text;
}();
template <>
inline constexpr ValueType kArgumentType<std::int64_t> = ValueType::int64;
template <>
inline constexpr ValueType kArgumentType<bool> = ValueType::boolean;
template <>
inline constexpr ValueType kArgumentType<std::string> = ValueType::text;
template <>
inline constexpr ValueType kArgumentType<Paths> = ValueType::textArray;

}  // namespace smcd::protocol
