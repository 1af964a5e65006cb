#include "common/unicode.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace smcd::unicode {
namespace {

bool isAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

struct FreeDeleter {
    void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

// Decodes one scalar at text[pos]; returns its length, or 0 when invalid.
std::size_t decode(std::string_view text, std::size_t pos, utf8proc_int32_t& scalar) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + pos;
    const utf8proc_ssize_t n = utf8proc_iterate(bytes, static_cast<utf8proc_ssize_t>(text.size() - pos), &scalar);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool isWhitespaceOrNewline(utf8proc_int32_t c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    if (c == 0x85) return true;
    switch (utf8proc_category(c)) {
        case UTF8PROC_CATEGORY_ZS:
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    utf8proc_int32_t scalar = 0;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t n = decode(bytes, pos, scalar);
        if (n == 0) return false;
        pos += n;
    }
    return true;
}

namespace {

// Length of the longest prefix of text[pos...] that starts a well-formed
// sequence (at least 1): the part one replacement character stands for.
std::size_t maximalInvalidSubpart(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 1;
    }
    std::size_t taken = 1;
    for (; taken < length && pos + taken < text.size(); ++taken) {
        const unsigned char next = byte(pos + taken);
        if (next < low || next > high) break;
        low = 0x80;
        high = 0xBF;
    }
    return taken;
}

}  // namespace

std::string validUtf8Lossy(std::string_view bytes) {
    if (isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    utf8proc_int32_t scalar = 0;
    for (std::size_t pos = 0; pos < bytes.size();) {
        if (const std::size_t n = decode(bytes, pos, scalar); n > 0) {
            out.append(bytes.substr(pos, n));
            pos += n;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
            pos += maximalInvalidSubpart(bytes, pos);
        }
    }
    return out;
}

namespace {
thread_local std::size_t normalizerRuns = 0;
}  // namespace

std::size_t canonicalFormsComputed() { return normalizerRuns; }

std::string canonicalForm(std::string_view text) {
    if (isAscii(text) || !isValidUtf8(text)) return std::string(text);
    ++normalizerRuns;
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                            static_cast<utf8proc_ssize_t>(text.size()), &out,
                                            static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(out);
    if (n < 0) return std::string(text);
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return canonicalForm(a) == canonicalForm(b);
}

bool hasCanonicalPrefix(std::string_view text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) == prefix) return true;
    if (isAscii(text) && isAscii(prefix)) return false;
    const std::string t = canonicalForm(text);
    const std::string p = canonicalForm(prefix);
    return t.compare(0, p.size(), p) == 0;
}

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        utf8proc_int32_t scalar = 0;
        const std::size_t n = decode(text, pos, scalar);
        if (n == 0) {  // an invalid byte stands alone
            ++count;
            previous = -1;
            state = 0;
            ++pos;
            continue;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, scalar, &state)) ++count;
        previous = scalar;
        pos += n;
    }
    return count;
}

bool beginsNewCharacter(std::string_view text) {
    utf8proc_int32_t first = 0;
    if (text.empty() || decode(text, 0, first) == 0) return true;  // an invalid byte stands alone
    utf8proc_int32_t state = 0;
    return utf8proc_grapheme_break_stateful('/', first, &state);
}

std::string lowercased(std::string_view text) {
    if (!isValidUtf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    utf8proc_int32_t scalar = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        pos += decode(text, pos, scalar);
        utf8proc_uint8_t buffer[4];
        const utf8proc_ssize_t n = utf8proc_encode_char(utf8proc_tolower(scalar), buffer);
        out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    return out;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    utf8proc_int32_t scalar = 0;
    while (begin < end) {
        const std::size_t n = decode(text, begin, scalar);
        if (n == 0 || !isWhitespaceOrNewline(scalar)) break;
        begin += n;
    }
    while (end > begin) {
        // Step back to the start of the last scalar.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        const std::size_t n = decode(text, start, scalar);
        if (n != end - start || !isWhitespaceOrNewline(scalar)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace smcd::unicode
