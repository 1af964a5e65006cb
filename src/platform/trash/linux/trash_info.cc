#include "platform/trash/linux/trash_info.h"

#include <climits>

namespace smcd::platform::trash {
namespace {

bool staysUnescaped(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')':
        case '/':
            return true;
        default:
            return false;
    }
}

// Longest prefix of `text` of at most `limit` bytes that does not split a
// UTF-8 sequence (continuation bytes are 10xxxxxx).
std::string_view cutAtCharacterBoundary(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace

std::string percentEncodedPath(std::string_view path) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (staysUnescaped(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHexDigits[c >> 4]);
            out.push_back(kHexDigits[c & 0x0F]);
        }
    }
    return out;
}

std::string trashInfoRecord(std::string_view path, std::time_t deletedAt) {
    std::tm local{};
    localtime_r(&deletedAt, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::string record = "[Trash Info]\nPath=";
    record += percentEncodedPath(path);
    record += "\nDeletionDate=";
    record += date;
    record += '\n';
    return record;
}

std::string trashEntryName(std::string_view leaf, std::string_view tag) {
    const std::size_t budget = NAME_MAX - kInfoSuffix.size();
    // The extension is the part from the last "." that is not the first
    // character; hidden names and names without one are numbered at the end.
    std::string_view stem = leaf;
    std::string_view extension;
    if (const auto dot = leaf.rfind('.'); dot != std::string_view::npos && dot > 0) {
        stem = leaf.substr(0, dot);
        extension = leaf.substr(dot);
    }
    std::string number;
    if (!tag.empty()) number = "." + std::string(tag);
    if (extension.size() + number.size() >= budget) {
        // An absurdly long extension: keep the number, drop the split.
        stem = leaf;
        extension = {};
    }
    const std::size_t room = budget - extension.size() - number.size();
    std::string name(cutAtCharacterBoundary(stem, room));
    if (name.empty()) name = "item";  // a name made only of broken bytes
    name += number;
    name += extension;
    return name;
}

}  // namespace smcd::platform::trash
