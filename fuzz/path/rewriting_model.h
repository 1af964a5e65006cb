#pragma once

// A second way to standardize a path, by rewriting the text until nothing
// changes rather than by walking a stack of components, so that the two can
// be held against each other.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace smcd::fuzz {

struct ModelLookups {
    std::function<std::optional<std::string>(std::string_view user)> home;
    std::function<bool(const std::string& path)> exists;
};

std::string standardizedByRewriting(std::string_view path, const ModelLookups& lookups);

// Absolute, and either "/" or names only: no empty, "." or ".." piece and
// no trailing "/".
bool isLexicallyClean(std::string_view path);

}  // namespace smcd::fuzz
