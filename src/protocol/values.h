#pragma once

// The values the VornikFanControl protocol's methods take and reply with, and
// the shape of a method as a transport checks it: what NSXPC takes from the
// Objective-C protocol, and what the Linux stand-in's wire carries.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace smcd::protocol {

enum class ValueType { int64, boolean, text, optionalText, data, textArray };

// Bytes that are data, not text (NSData beside NSString).
struct Data {
    std::string bytes;
    bool operator==(const Data&) const = default;
};

// nil (an absent text), boolean, signed 64-bit integer, text, data, array of text.
using Value = std::variant<std::nullptr_t, bool, std::int64_t, std::string, Data, std::vector<std::string>>;

bool valueMatches(const Value& value, ValueType type);

// Roughly what a list of values holds on the heap: its texts and data.
std::size_t heapBytes(const std::vector<Value>& values);

struct MethodSignature {
    std::string_view selector;
    std::vector<ValueType> arguments;
    std::vector<ValueType> reply;
};

// The list of methods one side exports, in declaration order; a method's
// position is its number.
class Interface {
public:
    explicit Interface(std::vector<MethodSignature> methods) : methods_(std::move(methods)) {}
    const std::vector<MethodSignature>& methods() const { return methods_; }
    std::optional<std::size_t> find(std::string_view selector) const;

private:
    std::vector<MethodSignature> methods_;
};

}  // namespace smcd::protocol
