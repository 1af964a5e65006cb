#include "platform/path/path_components.h"

namespace smcd::platform {

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    if (path.empty()) return components;
    if (path.front() == '/') components.emplace_back("/");
    std::size_t position = 0;
    bool sawName = false;
    while (position < path.size()) {
        const std::size_t slash = path.find('/', position);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > position) {
            components.emplace_back(path.substr(position, end - position));
            sawName = true;
        }
        if (slash == std::string_view::npos) break;
        position = slash + 1;
    }
    if (sawName && path.back() == '/') components.emplace_back("/");
    return components;
}

std::string deletingLastPathComponent(std::string_view path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    path = path.substr(0, end);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    std::size_t parentEnd = slash;
    while (parentEnd > 0 && path[parentEnd - 1] == '/') --parentEnd;
    if (parentEnd == 0) return "/";
    return std::string(path.substr(0, parentEnd));
}

}  // namespace smcd::platform
