#include "common/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace smcd::unicode {
namespace {

const std::string kComposed = "caf\xC3\xA9";     // café, é as one scalar
const std::string kDecomposed = "cafe\xCC\x81";  // café, e + combining acute
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Unicode, CanonicalEquivalenceIgnoresCompositionButNotCase) {
    EXPECT_TRUE(canonicallyEqual(kComposed, kDecomposed));
    EXPECT_TRUE(hasCanonicalPrefix(kDecomposed + "/x", kComposed + "/"));
    EXPECT_TRUE(canonicallyEqual("\xFF", "\xFF")) << "invalid bytes equal only themselves";
    EXPECT_FALSE(canonicallyEqual("\xFF", "\xFE") || canonicallyEqual("Cafe", "cafe") || canonicallyEqual(kComposed, "cafe"));
}

TEST(Unicode, CountsValidatesRepairsLowercasesAndTrims) {
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
    for (const auto& [text, trimmed] : {std::pair{"\n\n  x \t\r\n", "x"}, {"\xC2\xA0x\xE2\x80\xA8", "x"}, {"\n \n", ""},
                                        {"a b", "a b"}})
        EXPECT_EQ(trimWhitespaceAndNewlines(text), trimmed);
}

}  // namespace
}  // namespace smcd::unicode
