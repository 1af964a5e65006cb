#include "platform/plist/property_list.h"

#include <plist/plist.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace smcd::platform {
namespace {

std::string xmlDocument(const std::string& dictBody) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" + dictBody + "\n</plist>\n";
}

// The binary form as the platform writes it, made by libplist's writer.
std::string binaryDocument(plist_t root) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string document(bytes, length);
    std::free(bytes);
    plist_free(root);
    return document;
}

TEST(PropertyList, ReadsTextFromXmlAndBinaryDictionaries) {
    const std::string xml = xmlDocument(
        "<dict><key>ProgramArguments</key><array><string>/usr/local/bin/x</string></array>"
        "<key>Label</key><string>com.example.job</string><key>RunAtLoad</key><true/></dict>");
    EXPECT_EQ(dictionaryText(xml, "Label"), "com.example.job");
    EXPECT_EQ(dictionaryText(xml, "Program"), std::nullopt);

    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Label", plist_new_string("com.example.bin"));
    plist_dict_set_item(dict, "KeepAlive", plist_new_bool(1));
    const std::string binary = binaryDocument(dict);
    ASSERT_TRUE(binary.starts_with("bplist00"));
    EXPECT_EQ(dictionaryText(binary, "Label"), "com.example.bin");
}

TEST(PropertyList, AnythingButADictionaryWithTextGivesNothing) {
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("Label"));
    const std::string documents[] = {
        "",
        "not a property list",
        xmlDocument("<dict><key>Label</key><integer>7</integer></dict>"),
        xmlDocument("<dict><key>Label</key><array><string>com.example.job</string></array></dict>"),
        xmlDocument("<dict><key>Labels</key><string>com.example.job</string></dict>"),
        xmlDocument("<array><string>Label</string><string>com.example.job</string></array>"),
        xmlDocument("<string>com.example.job</string>"),
        xmlDocument("<dict><key>Label</key><string>com.example.job</string>"),  // unterminated
        binaryDocument(array),
        "bplist00\x01\x02\x03",
    };
    for (const auto& document : documents) {
        EXPECT_EQ(dictionaryText(document, "Label"), std::nullopt) << document;
    }
    EXPECT_EQ(dictionaryText(xmlDocument("<dict><key>Label</key><string>x</string></dict>"),
                             std::string_view("Label\0zz", 8)),
              std::nullopt);
}

}  // namespace
}  // namespace smcd::platform
