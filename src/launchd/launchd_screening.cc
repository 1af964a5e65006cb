#include "launchd/launchd_screening.h"

#include "common/unicode.h"
#include "launchd/launchd_shape.h"
#include "launchd/plist_inspection.h"
#include "smcd/product_facts.h"

namespace smcd::launchd {
namespace {

constexpr std::string_view kDaemonsDirectory = "/Library/LaunchDaemons";
constexpr std::string_view kAgentsDirectory = "/Library/LaunchAgents";

std::string_view parentOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

}  // namespace

Outcome resolve(std::string_view plistPath, std::string_view label, uid_t owner) {
    if (!acceptsLaunchdPlist(plistPath, label)) return unexpected(Refusal::shape);
    if (unicode::lowercased(label).starts_with("com.apple.")) return unexpected(Refusal::appleNamespace);
    if (label == product_facts::kServiceName) return unexpected(Refusal::ownService);

    switch (plistOwnership(plistPath)) {
        case Ownership::unusable:
            return unexpected(Refusal::unreadable);
        case Ownership::unsafe:
            return unexpected(Refusal::unsafeOwnership);
        case Ownership::acceptable:
            break;
    }
    const auto fileLabel = plistLabel(plistPath);
    if (!fileLabel) return unexpected(Refusal::unreadable);
    if (*fileLabel != label) return unexpected(Refusal::labelMismatch);

    const std::string_view parent = parentOf(plistPath);
    if (parent == kDaemonsDirectory) return Domain::system();
    if (parent == kAgentsDirectory) return Domain::gui(owner);
    return unexpected(Refusal::shape);
}

}  // namespace smcd::launchd
