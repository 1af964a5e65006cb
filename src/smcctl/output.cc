#include "smcctl/output.h"

#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>

namespace smcd::smcctl {
namespace {

using nlohmann::json;

struct Column {
    std::string title;
    std::string key;
};

std::string cell(const json& record, const std::string& key) {
    const auto it = record.find(key);
    if (it == record.end()) return "";
    if (it->is_string()) return it->get<std::string>();
    if (it->is_boolean()) return it->get<bool>() ? "yes" : "no";
    return it->dump();
}

std::string table(const json& records, const std::vector<Column>& columns) {
    std::vector<std::size_t> widths;
    for (const auto& column : columns) widths.push_back(column.title.size());
    for (const auto& record : records)
        for (std::size_t i = 0; i < columns.size(); ++i)
            widths[i] = std::max(widths[i], cell(record, columns[i].key).size());
    std::ostringstream out;
    auto row = [&](auto value) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const std::string text = value(i);
            out << text;
            if (i + 1 < columns.size()) out << std::string(widths[i] - text.size() + 2, ' ');
        }
        out << '\n';
    };
    row([&](std::size_t i) { return columns[i].title; });
    for (const auto& record : records) row([&](std::size_t i) { return cell(record, columns[i].key); });
    return out.str();
}

}  // namespace

std::string statusJSON(const client::Status& status) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["success"] = status.success;
    object["message"] = status.message ? nlohmann::ordered_json(*status.message) : nlohmann::ordered_json(nullptr);
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string countJSON(const client::Count& count) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["count"] = count.count;
    object["message"] = count.message;
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string statusText(const client::Status& status) {
    if (status.success) return "ok\n";
    return (status.message ? *status.message : std::string("failed")) + "\n";
}

std::string recordTable(Records kind, const std::string& data) {
    const json records = json::parse(data, nullptr, false);
    if (!records.is_array()) return data + "\n";
    switch (kind) {
        case Records::fans:
            if (records.empty()) return "no fans\n";
            return table(records, {{"FAN", "index"}, {"MIN RPM", "minRPM"}, {"MAX RPM", "maxRPM"},
                                   {"CURRENT RPM", "currentRPM"}, {"CONTROLLABLE", "controllable"}});
        case Records::maintenance:
            if (records.empty()) return "no tasks\n";
            return table(records, {{"TASK", "id"}, {"OK", "ok"}, {"EXIT", "exit"}, {"OUTPUT", "output"}});
        case Records::removal:
            if (records.empty()) return "no paths\n";
            return table(records, {{"REMOVED", "removed"}, {"PATH", "path"}, {"PROBLEM", "problem"}});
        case Records::measurement:
            if (records.empty()) return "no paths\n";
            return table(records, {{"BYTES", "bytes"}, {"FILES", "fileCount"}, {"REFUSED", "refused"}, {"PATH", "path"}});
    }
    return data + "\n";
}

}  // namespace smcd::smcctl
