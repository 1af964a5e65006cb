#include "protocol/values.h"

namespace smcd::protocol {

bool valueMatches(const Value& value, ValueType type) {
    switch (type) {
        case ValueType::int64: return std::holds_alternative<std::int64_t>(value);
        case ValueType::boolean: return std::holds_alternative<bool>(value);
        case ValueType::text: return std::holds_alternative<std::string>(value);
        case ValueType::optionalText:
            return std::holds_alternative<std::string>(value) || std::holds_alternative<std::nullptr_t>(value);
        case ValueType::data: return std::holds_alternative<Data>(value);
        case ValueType::textArray: return std::holds_alternative<std::vector<std::string>>(value);
    }
    return false;
}

std::optional<std::size_t> Interface::find(std::string_view selector) const {
    for (std::size_t i = 0; i < methods_.size(); ++i)
        if (methods_[i].selector == selector) return i;
    return std::nullopt;
}

}  // namespace smcd::protocol
