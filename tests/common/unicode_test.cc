#include "common/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace smcd::unicode {
namespace {

const std::string kComposed = "caf\xC3\xA9";     // café, é as one scalar
const std::string kDecomposed = "cafe\xCC\x81";  // e + combining acute: one character
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Unicode, CountsValidatesRepairsAndLowercases) {
    for (const auto& [text, characters] : {std::pair{kDecomposed, 4u}, {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", 1u},
                                           {"\r\n", 1u}, {"", 0u}, {"a\xFF", 2u}})
        EXPECT_EQ(characterCount(text), characters) << text;
    // Each maximal invalid subsequence becomes one replacement character.
    for (const auto& [bytes, repaired] : {std::pair{kComposed, kComposed}, {"a\xC3", "a" + kReplacement},
                                          {"\xE2\x82x", kReplacement + "x"}, {"\xF0\x9F\x91", kReplacement},
                                          {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // surrogate
                                          {"\xC0\xAF", kReplacement + kReplacement},                     // overlong
                                          {"\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement}}) {
        EXPECT_EQ(isValidUtf8(bytes), bytes == repaired) << bytes;
        EXPECT_EQ(validUtf8Lossy(bytes), repaired);
    }
    EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
    EXPECT_EQ(lowercased("COM.Apple.X\xC3\x89"), "com.apple.x\xC3\xA9");
}

}  // namespace
}  // namespace smcd::unicode
