#pragma once

// Turns reply records into reply data: one compact JSON array, keys in each
// record's own order, absent optionals left out. A list that cannot be
// encoded (a text that is not valid UTF-8) becomes "[]".
//
// Records are written into the reply text one at a time, as they are made:
// a request of a million ids never holds a document tree of its reply, nor
// its records beside their text.

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace smcd {

class ReplyArray {
public:
    // Asked for room for this many bytes of text in all, before the text
    // holds more than it was granted; false refuses it.
    using Growth = std::function<bool(std::size_t bytes)>;

    ReplyArray() = default;
    // The text may hold `granted` bytes; past that, `grow` decides. Once it
    // refuses, the text is dropped and nothing more is appended.
    ReplyArray(Growth grow, std::size_t granted) : grow_(std::move(grow)), granted_(granted) {}

    // Room for about this much text, so that a long reply is not copied
    // each time it outgrows its buffer; room never written is never resident.
    void reserve(std::size_t bytes) { text_.reserve(bytes); }

    // False once the text has been refused the room it needed.
    template <class Record>
    bool append(const Record& record) {
        if (refused_) return false;
        if (failed_) return true;
        try {
            text_ += text_.empty() ? '[' : ',';
            text_ += nlohmann::ordered_json(record).dump();
        } catch (const nlohmann::json::exception&) {
            failed_ = true;
            std::string().swap(text_);
        }
        if (grow_ && text_.capacity() > granted_) {
            if (!grow_(text_.capacity())) {
                refused_ = true;
                std::string().swap(text_);
                return false;
            }
            granted_ = text_.capacity();
        }
        return true;
    }

    // Whether the text was refused the room it needed.
    bool refused() const { return refused_; }

    // The reply data; "[]" for no records or when one could not be encoded.
    std::string finish() && {
        if (failed_ || refused_ || text_.empty()) return "[]";
        text_ += ']';
        return std::move(text_);
    }

private:
    std::string text_;
    bool failed_ = false;
    bool refused_ = false;
    Growth grow_;
    std::size_t granted_ = 0;
};

template <class Record>
std::string replyJSON(const std::vector<Record>& records) {
    ReplyArray array;
    for (const Record& record : records) array.append(record);
    return std::move(array).finish();
}

}  // namespace smcd
