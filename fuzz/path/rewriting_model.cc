#include "rewriting_model.h"

#include <vector>

namespace smcd::fuzz {
namespace {

bool replaceFirst(std::string& text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return false;
    text.replace(at, from.size(), to);
    return true;
}

// "/name/../" -> "/" and a final "/name/.." -> "/", for the first name that
// is not itself "..".
bool dropOneParentStep(std::string& text) {
    for (std::size_t start = 0; start < text.size(); ++start) {
        if (text[start] != '/') continue;
        const std::size_t end = text.find('/', start + 1);
        if (end == std::string::npos) return false;
        const std::string_view name = std::string_view(text).substr(start + 1, end - start - 1);
        if (name.empty() || name == "..") continue;
        if (text.compare(end, 4, "/../") == 0) {
            text.replace(start, end + 4 - start, "/");
            return true;
        }
        if (end + 3 == text.size() && text.compare(end, 3, "/..") == 0) {
            text.replace(start, std::string::npos, "/");
            return true;
        }
    }
    return false;
}

bool rewriteOnce(std::string& text) {
    if (replaceFirst(text, "//", "/")) return true;
    if (replaceFirst(text, "/./", "/")) return true;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "/.") == 0) {
        text.pop_back();
        return true;
    }
    if (text.compare(0, 4, "/../") == 0) {
        text.erase(0, 3);
        return true;
    }
    if (text == "/..") {
        text = "/";
        return true;
    }
    if (dropOneParentStep(text)) return true;
    if (text.size() > 1 && text.back() == '/') {
        text.pop_back();
        return true;
    }
    return false;
}

std::string relativeForm(std::string_view path) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string_view name = path.substr(start, i - start);
        start = i + 1;
        if (name.empty() || name == ".") continue;
        if (!out.empty()) out.push_back('/');
        out.append(name);
    }
    return out.empty() ? "." : out;
}

}  // namespace

std::string standardizedByRewriting(std::string_view original, const ModelLookups& lookups) {
    std::string path(original);
    if (!path.empty() && path.front() == '~') {
        const std::size_t slash = path.find('/');
        const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        if (const auto home = lookups.home(user)) path = *home + (slash == std::string::npos ? "" : path.substr(slash));
    }
    if (path.empty()) return path;
    if (path.front() != '/') return relativeForm(path);
    while (rewriteOnce(path)) {
    }
    constexpr std::string_view kPrivate = "/private/";
    if (path.size() > kPrivate.size() && path.compare(0, kPrivate.size(), kPrivate) == 0) {
        std::string shorter = path.substr(kPrivate.size() - 1);
        if (lookups.exists(shorter)) return shorter;
    }
    return path;
}

bool isLexicallyClean(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    if (path == "/") return true;
    if (path.back() == '/') return false;
    std::size_t start = 1;
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string_view name = path.substr(start, i - start);
        if (name.empty() || name == "." || name == "..") return false;
        start = i + 1;
    }
    return true;
}

}  // namespace smcd::fuzz
