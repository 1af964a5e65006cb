// libFuzzer target for reading a launchd job's label. The first byte picks
// the mode:
//  - even: the rest is a document as found on disk, padded to 1048576 or
//    1048577 bytes when bit 1 is set. Parsing never crashes; the file read
//    answers as the bytes do up to 1048576 bytes and nothing beyond, closing
//    what it opened;
//  - odd: the rest picks a label from fragments; a dictionary holding it,
//    written in XML and in binary form, yields exactly that label.
// Either way a label that passes the label check is 1 to 255 characters of
// [A-Za-z0-9._-].
#include <plist/plist.h>

#include "launchd/plist_inspection.h"
#include "platform/plist/property_list.h"
#include "launchd/launchd_shape.h"
#include "support/fuzz_input.h"

namespace {

using smcd::fuzz::violated;

void checkLabelShape(const std::optional<std::string>& label) {
    constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-";
    if (label && smcd::launchd::isValidLaunchdLabel(*label) &&
        (label->empty() || label->size() > 255 || label->find_first_not_of(kAlphabet) != std::string::npos))
        violated("a valid label is 1 to 255 characters of the label alphabet", *label);
}

// One scratch file per process, removed when it exits.
void checkDocumentOnDisk(const std::string& document) {
    static const auto file = std::filesystem::temp_directory_path() / ("plist_fuzz." + std::to_string(::getpid()));
    [[maybe_unused]] static const int removedAtExit = std::atexit([] { ::unlink(file.c_str()); });
    const auto label = smcd::platform::dictionaryText(document, "Label");
    checkLabelShape(label);
    if (!(std::ofstream(file, std::ios::binary | std::ios::trunc) << document)) violated("the scratch file takes the document");
    const std::size_t descriptors = smcd::fuzz::openDescriptors();
    const auto fromFile = smcd::launchd::plistLabel(file.string());
    if (smcd::fuzz::openDescriptors() != descriptors) violated("reading a property list closes what it opened");
    if (fromFile != (document.empty() || document.size() > 1048576 ? std::nullopt : label))
        violated("the file answers as its bytes do, up to 1048576 bytes");
}

void checkWrittenLabel(std::string_view picks) {
    // Markup characters, both normal forms of one letter, a character
    // outside the BMP, white space, and runs of the label alphabet.
    constexpr std::string_view kFragments[] = {"a", "Z", "0", ".", "-", "_", " ", "&", "<", ">", "\"", "]]>", "&amp;",
                                               "\xC3\xA9", "e\xCC\x81", "\xF0\x9F\x98\x80", "\t", "com.example.", "x"};
    std::string label;
    for (const char pick : picks) label += kFragments[static_cast<std::uint8_t>(pick) % std::size(kFragments)];
    checkLabelShape(label);
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Label", plist_new_string(label.c_str()));
    for (const bool binary : {false, true}) {
        char* bytes = nullptr;
        std::uint32_t length = 0;
        binary ? plist_to_bin(root, &bytes, &length) : plist_to_xml(root, &bytes, &length);
        if (bytes == nullptr) violated("libplist writes what it built");
        const std::string document(bytes, length);
        std::free(bytes);
        if (smcd::platform::dictionaryText(document, "Label") != label) violated("a written label reads back as written", label);
    }
    plist_free(root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 1) {
        checkWrittenLabel(rest);
        return 0;
    }
    if ((data[0] & 2) != 0) rest.resize(1048576 + (data[0] >> 2) % 2, '\n');
    checkDocumentOnDisk(rest);
    return 0;
}
