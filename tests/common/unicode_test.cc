#include "common/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace smcd::unicode {
namespace {

const std::string kComposed = "caf\xC3\xA9";     // café, é as one scalar
const std::string kDecomposed = "cafe\xCC\x81";  // café, e + combining acute

TEST(Unicode, CanonicalEquivalenceIgnoresCompositionButNotCase) {
    EXPECT_TRUE(canonicallyEqual(kComposed, kDecomposed));
    EXPECT_FALSE(canonicallyEqual("Cafe", "cafe"));
    EXPECT_FALSE(canonicallyEqual(kComposed, "cafe"));
    EXPECT_TRUE(hasCanonicalPrefix(kDecomposed + "/x", kComposed + "/"));
    // Invalid bytes equal only themselves.
    EXPECT_TRUE(canonicallyEqual("\xFF", "\xFF"));
    EXPECT_FALSE(canonicallyEqual("\xFF", "\xFE"));
}

TEST(Unicode, CountsUserPerceivedCharacters) {
    EXPECT_EQ(characterCount(kDecomposed), 4u);
    EXPECT_EQ(characterCount("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), 1u);  // ZWJ sequence
    EXPECT_EQ(characterCount("\r\n"), 1u);
    EXPECT_EQ(characterCount(""), 0u);
    EXPECT_EQ(characterCount("a\xFF"), 2u);
}

TEST(Unicode, ValidatesUtf8) {
    EXPECT_TRUE(isValidUtf8(kComposed));
    EXPECT_FALSE(isValidUtf8("\xC3"));              // truncated
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong
    EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
}

TEST(Unicode, ReplacesEachMaximalInvalidSubsequenceOnce) {
    const std::string kReplacement = "\xEF\xBF\xBD";
    for (const auto& [bytes, expected] : std::vector<std::pair<std::string, std::string>>{
             {kComposed, kComposed},
             {"\xFF", kReplacement},
             {"a\xC3", "a" + kReplacement},                                 // truncated at the end
             {"\xE2\x82x", kReplacement + "x"},                            // truncated in the middle
             {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // surrogate: no valid prefix
             {"\xC0\xAF", kReplacement + kReplacement},                     // overlong
             {"\xF0\x9F\x91", kReplacement},                              // three of four
             {"\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement},  // above U+10FFFF
         }) {
        const std::string lossy = validUtf8Lossy(bytes);
        EXPECT_EQ(lossy, expected);
        EXPECT_TRUE(isValidUtf8(lossy));
    }
}

TEST(Unicode, LowercasesBeyondAscii) {
    EXPECT_EQ(lowercased("COM.Apple.X"), "com.apple.x");
    EXPECT_EQ(lowercased("\xC3\x89"), "\xC3\xA9");  // É -> é
}

TEST(Unicode, TrimsUnicodeWhitespaceAndNewlines) {
    EXPECT_EQ(trimWhitespaceAndNewlines("\n\n  x \t\r\n"), "x");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xC2\xA0x\xE2\x80\xA8"), "x");  // NBSP, line separator
    EXPECT_EQ(trimWhitespaceAndNewlines("\n \n"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("a b"), "a b");
}

}  // namespace
}  // namespace smcd::unicode
