#include "launchd/launchd_domain.h"

namespace smcd::launchd {

std::string Domain::target() const {
    if (kind_ == Kind::system) return "system";
    return "gui/" + std::to_string(uid_);
}

std::string Domain::serviceTarget(std::string_view label) const {
    std::string service = target();
    service += '/';
    service += label;
    return service;
}

}  // namespace smcd::launchd
