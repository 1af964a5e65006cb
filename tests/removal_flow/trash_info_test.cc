#include <climits>
#include <ctime>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "common/unicode.h"
#include "platform/trash/linux/trash_info.h"

namespace {

using smcd::platform::trash::percentEncodedPath;
using smcd::platform::trash::trashEntryName;
using smcd::platform::trash::trashInfoRecord;

TEST(TrashRecord, EscapesEverythingButUnreservedCharactersAndSlashesAndDatesLocally) {
    // "+" is a literal plus in a path, never a space: it must survive a
    // reader that decodes form-style.
    const std::pair<const char*, const char*> cases[] = {
        {"/a b/c%d", "/a%20b/c%25d"}, {"/x+y&z=w?#", "/x%2By%26z%3Dw%3F%23"}, {"/caf\xC3\xA9", "/caf%C3%A9"},
        {"/line\nbreak", "/line%0Abreak"}, {"/Some.app-_.!~*'()", "/Some.app-_.!~*'()"}};
    for (const auto& [path, encoded] : cases) EXPECT_EQ(percentEncodedPath(path), encoded);
    // The record: its group, the escaped path and a local date.
    std::tm when{};
    when.tm_year = 2024 - 1900, when.tm_mon = 1, when.tm_mday = 29, when.tm_hour = 23, when.tm_min = 5, when.tm_sec = 9;
    when.tm_isdst = -1;
    EXPECT_EQ(trashInfoRecord("/Users/ann/a b", std::mktime(&when)),
              "[Trash Info]\nPath=/Users/ann/a%20b\nDeletionDate=2024-02-29T23:05:09\n");
}

TEST(TrashEntryNames, NoTagKeepsTheNameATagMarksTheStem) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"Some.app", "", "Some.app"}, {"Some.app", "2", "Some.2.app"}, {"archive.tar.gz", "3", "archive.tar.3.gz"},
        {"README", "2", "README.2"}, {"trailing.", "2", "trailing.2."},
        {".hidden", "2", ".hidden.2"},  // a leading dot is part of a hidden name, not an extension
    };
    for (const auto& [name, tag, expected] : cases) EXPECT_EQ(trashEntryName(name, tag), expected) << name;
}

TEST(TrashEntryNames, LongNamesAreShortenedSoTheRecordNameStillFitsWithoutSplittingACharacter) {
    const std::size_t budget = NAME_MAX - std::string(".trashinfo").size();
    std::string wide;  // two-byte characters: a cut at an odd byte would leave half of one
    for (int i = 0; i < 200; ++i) wide += "\xC3\xA9";
    for (const char* attempt : {"", "2", "0123456789abcdef"}) {
        EXPECT_LE(trashEntryName(std::string(300, 'x') + ".app", attempt).size(), budget) << attempt;
        EXPECT_TRUE(smcd::unicode::isValidUtf8(trashEntryName(wide, attempt))) << attempt;
        EXPECT_LE(trashEntryName(wide, attempt).size(), budget) << attempt;
    }
    EXPECT_TRUE(trashEntryName(std::string(300, 'x') + ".app", "7").ends_with(".7.app"));
    // An extension too long to keep is cut with the rest.
    const std::string cut = trashEntryName("a." + std::string(400, 'e'), "2");
    EXPECT_LE(cut.size(), budget);
    EXPECT_TRUE(cut.ends_with(".2")) << cut;
}

}  // namespace
