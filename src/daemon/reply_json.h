#pragma once

// Turns reply records into reply data: one compact JSON array, keys in each
// record's own order, absent optionals left out. A list that cannot be
// encoded (a text that is not valid UTF-8) becomes "[]".
//
// Records are written into the reply text one at a time, as they are made:
// a request of a million ids never holds a document tree of its reply, nor
// its records beside their text.

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace smcd {

class ReplyArray {
public:
    // Room for about this much text, so that a long reply is not copied
    // each time it outgrows its buffer; room never written is never resident.
    void reserve(std::size_t bytes) { text_.reserve(bytes); }

    template <class Record>
    void append(const Record& record) {
        if (failed_) return;
        try {
            text_ += text_.empty() ? '[' : ',';
            text_ += nlohmann::ordered_json(record).dump();
        } catch (const nlohmann::json::exception&) {
            failed_ = true;
            std::string().swap(text_);
        }
    }

    // The reply data; "[]" for no records or when one could not be encoded.
    std::string finish() && {
        if (failed_ || text_.empty()) return "[]";
        text_ += ']';
        return std::move(text_);
    }

private:
    std::string text_;
    bool failed_ = false;
};

template <class Record>
std::string replyJSON(const std::vector<Record>& records) {
    ReplyArray array;
    for (const Record& record : records) array.append(record);
    return std::move(array).finish();
}

}  // namespace smcd
