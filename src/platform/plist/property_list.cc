#include "platform/plist/property_list.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>

namespace smcd::platform {
namespace {

struct NodeRelease {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<std::remove_pointer_t<plist_t>, NodeRelease>;

}  // namespace

std::optional<std::string> dictionaryText(std::string_view document, std::string_view key) {
    if (document.empty() || document.size() > kMaxPropertyListBytes) return std::nullopt;
    // libplist looks keys up as C strings; a key with a NUL would match a
    // shorter one.
    if (key.find('\0') != std::string_view::npos) return std::nullopt;

    plist_t parsed = nullptr;
    plist_from_memory(document.data(), static_cast<std::uint32_t>(document.size()), &parsed);
    const Node root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

    const plist_t value = plist_dict_get_item(root.get(), std::string(key).c_str());
    if (!value || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace smcd::platform
