#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace smcd::launchd {

// The launchd domain a screened job is changed in: the system domain, or the
// graphical session of one user.
class Domain {
public:
    enum class Kind { gui, system };

    static Domain gui(uid_t uid) { return Domain(Kind::gui, uid); }
    static Domain system() { return Domain(Kind::system, 0); }

    Kind kind() const { return kind_; }
    uid_t uid() const { return uid_; }  // meaningful for gui only

    // "system" or "gui/<uid>".
    std::string target() const;
    // target, "/", label.
    std::string serviceTarget(std::string_view label) const;

    bool operator==(const Domain& other) const {
        return kind_ == other.kind_ && (kind_ == Kind::system || uid_ == other.uid_);
    }

private:
    Domain(Kind kind, uid_t uid) : kind_(kind), uid_(uid) {}
    Kind kind_;
    uid_t uid_;
};

}  // namespace smcd::launchd
