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

std::size_t heapBytes(const std::vector<Value>& values) {
    std::size_t bytes = 0;
    for (const Value& value : values) {
        if (const auto* text = std::get_if<std::string>(&value)) bytes += text->size();
        if (const auto* data = std::get_if<Data>(&value)) bytes += data->bytes.size();
        if (const auto* texts = std::get_if<std::vector<std::string>>(&value))
            for (const std::string& element : *texts) bytes += sizeof element + element.size();
    }
    return bytes;
}

}  // namespace smcd::protocol
