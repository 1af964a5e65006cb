// libFuzzer target for property-list label extraction. The first byte picks
// the mode:
//  - even: the rest is a document as found on disk. Extraction answers the
//    same twice, never answers for a key with a NUL in it, and reading the
//    same bytes from a file (launchd screening's path) answers the same,
//    closing every descriptor it opened.
//  - odd: the rest describes a property list (top-level kind and entries
//    with fuzzer-chosen keys, kinds and texts), which is written in XML and
//    in binary form. Extraction from either must answer exactly the text that
//    the description puts under "Label" at the top level, and nothing when
//    there is none, when it is not text, or when the top is no dictionary.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <plist/plist.h>

#include "support/fuzz_input.h"
#include "common/unique_fd.h"
#include "launchd/plist_inspection.h"
#include "platform/plist/property_list.h"

namespace {

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "plist_fuzz: invariant broken: %s\n", invariant);
    std::abort();
}

using smcd::fuzz::openDescriptors;

// One scratch file per process, removed at exit.
class ScratchFile {
public:
    ScratchFile() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/plist_fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) violated("a scratch folder can be made");
        directory_ = pattern;
        path_ = directory_ + "/job.plist";
    }
    ~ScratchFile() {
        ::unlink(path_.c_str());
        ::rmdir(directory_.c_str());
    }
    const std::string& write(std::string_view bytes) {
        smcd::UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd || !smcd::fuzz::writeAll(fd.get(), bytes)) violated("the scratch file can be written");
        return path_;
    }

private:
    std::string directory_;
    std::string path_;
};

ScratchFile& scratch() {
    static ScratchFile file;
    return file;
}

void checkRawDocument(std::string_view document) {
    const auto label = smcd::platform::dictionaryText(document, "Label");
    if (smcd::platform::dictionaryText(document, "Label") != label) violated("extraction is deterministic");
    if (smcd::platform::dictionaryText(document, std::string_view("Label\0x", 7)))
        violated("a key holding a NUL matches nothing");

    const std::size_t before = openDescriptors();
    const auto fromFile = smcd::PrivilegedLaunchd::plistLabel(scratch().write(document));
    if (openDescriptors() != before) violated("reading a property list closes what it opened");
    const bool readable = !document.empty() && document.size() <= smcd::PrivilegedLaunchd::kMaxPlistBytes;
    if (fromFile != (readable ? label : std::nullopt)) violated("the file on disk answers as its bytes do");
}

// Consumes the description byte by byte; running out just ends it.
using Description = smcd::fuzz::ByteReader;

// Fragments that stress the writers and readers: markup characters, both
// normal forms of one letter, a character outside the BMP, white space.
constexpr std::string_view kFragments[] = {
    "a", "Z", "0", ".", "-", "_", " ", "&", "<", ">", "\"", "'", "]]>", "&amp;",
    "\xC3\xA9", "e\xCC\x81", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\t", "\n", "com.example.", "Label",
};

std::string textFrom(Description& description) {
    std::string text;
    const std::size_t length = description.next() % 24;
    for (std::size_t i = 0; i < length; ++i) text += kFragments[description.next() % std::size(kFragments)];
    return text;
}

constexpr std::string_view kKeys[] = {
    "Label", "label", "LABEL", "Label ", "Labe", "L\xC3\xA4" "bel", "Program", "ProgramArguments", "RunAtLoad", "",
};

enum class Kind { text, data, number, boolean, array, dictionary };

struct NodeRelease {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<std::remove_pointer_t<plist_t>, NodeRelease>;

// Builds one value and says what "Label" would find if this were it.
plist_t valueFrom(Description& description, Kind kind, std::optional<std::string>& asText) {
    asText.reset();
    switch (kind) {
        case Kind::text: {
            std::string text = textFrom(description);
            asText = text;
            return plist_new_string(text.c_str());
        }
        case Kind::data: {
            const std::string bytes = textFrom(description);
            return plist_new_data(bytes.data(), bytes.size());
        }
        case Kind::number: return plist_new_uint(description.next());
        case Kind::boolean: return plist_new_bool(description.next() & 1);
        case Kind::array: {
            plist_t array = plist_new_array();
            plist_array_append_item(array, plist_new_string(textFrom(description).c_str()));
            return array;
        }
        case Kind::dictionary: {
            // A label one level down is not the job's label.
            plist_t nested = plist_new_dict();
            plist_dict_set_item(nested, "Label", plist_new_string(textFrom(description).c_str()));
            return nested;
        }
    }
    return plist_new_bool(0);
}

std::string serialized(plist_t root, bool binary) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    if (binary) {
        plist_to_bin(root, &bytes, &length);
    } else {
        plist_to_xml(root, &bytes, &length);
    }
    if (bytes == nullptr) violated("libplist writes what it built");
    std::string document(bytes, length);
    std::free(bytes);
    return document;
}

void checkDescribedDocument(Description description) {
    const std::uint8_t top = description.next() % 4;
    std::optional<std::string> expected;
    Node root;
    if (top == 0 || top == 1) {
        root.reset(plist_new_dict());
        std::map<std::string, std::optional<std::string>> model;
        for (int entries = 0; entries < 12 && !description.done(); ++entries) {
            const std::string key(kKeys[description.next() % std::size(kKeys)]);
            const auto kind = static_cast<Kind>(description.next() % 6);
            std::optional<std::string> asText;
            plist_dict_set_item(root.get(), key.c_str(), valueFrom(description, kind, asText));
            model[key] = asText;  // a key set again replaces its value
        }
        if (const auto it = model.find("Label"); it != model.end()) expected = it->second;
    } else if (top == 2) {
        root.reset(plist_new_array());
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "Label", plist_new_string(textFrom(description).c_str()));
        plist_array_append_item(root.get(), entry);
    } else {
        root.reset(plist_new_string(textFrom(description).c_str()));
    }

    for (const bool binary : {false, true}) {
        const std::string document = serialized(root.get(), binary);
        if (smcd::platform::dictionaryText(document, "Label") != expected)
            violated(binary ? "a binary document yields exactly its top-level text label"
                            : "an XML document yields exactly its top-level text label");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        checkRawDocument(rest);
    } else {
        checkDescribedDocument(Description(rest));
    }
    return 0;
}
