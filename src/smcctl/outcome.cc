#include "smcctl/outcome.h"

#include <nlohmann/json.hpp>

namespace smcd::smcctl {
namespace {

using platform::ipc::Data;
using platform::ipc::WireValue;

bool recordSaysFailure(const nlohmann::json& record) {
    auto is = [&](const char* key, bool value) {
        const auto it = record.find(key);
        return it != record.end() && it->is_boolean() && it->get<bool>() == value;
    };
    return is("removed", false) || is("refused", true) || is("ok", false);
}

std::string dumped(const nlohmann::json& json) { return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

bool replySaysFailure(const std::vector<WireValue>& values) {
    if (values.empty()) return false;
    // Status (success, message), boolean, and count (count, message) replies.
    if (const bool* flag = std::get_if<bool>(&values[0])) return !*flag;
    if (const std::int64_t* count = std::get_if<std::int64_t>(&values[0])) return *count <= 0;
    if (const Data* data = std::get_if<Data>(&values[0])) {
        const auto records = nlohmann::json::parse(data->bytes, nullptr, false);
        if (!records.is_array()) return false;
        for (const auto& record : records)
            if (record.is_object() && recordSaysFailure(record)) return true;
    }
    return false;
}

std::string shownReply(const Request& request, const std::vector<WireValue>& values, bool json) {
    switch (request.shown) {
        case Shown::text: {
            std::string text = std::get<std::string>(values[0]);  // a listing or the version, as is
            if (text.empty() || text.back() != '\n') text += '\n';
            return text;
        }
        case Shown::records: {
            const std::string& data = std::get<Data>(values[0]).bytes;
            return json ? data + "\n" : recordTable(request.records, data);
        }
        case Shown::status: {
            client::Status status{std::get<bool>(values[0]), std::nullopt};
            if (const auto* message = std::get_if<std::string>(&values[1])) status.message = *message;
            return json ? statusJSON(status) + "\n" : statusText(status);
        }
        case Shown::boolean: return std::get<bool>(values[0]) ? "true\n" : "false\n";
        case Shown::count: {
            const client::Count count{std::get<std::int64_t>(values[0]), std::get<std::string>(values[1])};
            return json ? countJSON(count) + "\n" : std::to_string(count.count) + " removed: " + count.message + "\n";
        }
        case Shown::values: break;
    }
    // `call`: the reply block's values as the wire carries them.
    nlohmann::json array = nlohmann::json::array();
    for (const auto& value : values) array.push_back(platform::ipc::encodeValue(value));
    return dumped(array) + "\n";
}

}  // namespace smcd::smcctl
