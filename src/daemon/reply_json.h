#pragma once

// Turns a list of reply records into reply data: one compact JSON array, keys
// in each record's own order, absent optionals left out. A list that cannot
// be encoded (a text that is not valid UTF-8) becomes "[]".

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace smcd {

template <class Record>
std::string replyJSON(const std::vector<Record>& records) {
    try {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const Record& record : records) array.push_back(record);
        return array.dump();
    } catch (const nlohmann::json::exception&) {
        return "[]";
    }
}

}  // namespace smcd
