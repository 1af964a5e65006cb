#pragma once

// Named points inside screening and removal where a test can change the file
// system at exactly the moment an attacker would. Without SMCD_TEST_HOOKS
// (the daemon's build) every point compiles to nothing.

#include <cstddef>
#include <string_view>

#ifdef SMCD_TEST_HOOKS
#include <functional>
#endif

namespace smcd::removal::hooks {

enum class Point {
    afterScreening,           // a request's paths are screened; the resolved check is next
    afterResolvedCheck,       // the resolved check passed; the existence query and the root's re-check are next
    betweenComponents,        // `index` components below the root are open; `name` is opened next
    betweenListingAndUnlink,  // `name` was just read from the directory at `directory`
    betweenUnlinkAndOpen,     // the plain unlink of `name` failed as a directory's would
};

struct Site {
    Point point;
    std::string_view name;   // the path (afterScreening, afterResolvedCheck) or the component or entry name
    std::size_t index = 0;   // betweenComponents: components already open below the root
    int directory = -1;      // the descriptor `name` is relative to, when there is one
};

#ifdef SMCD_TEST_HOOKS

using Callback = std::function<void(const Site&)>;

// One callback per point; installing replaces, an empty callback removes.
void install(Point point, Callback callback);
void clearAll();
void fire(const Site& site);

// Installs for one scope and removes on every way out of it.
class ScopedHook {
public:
    ScopedHook(Point point, Callback callback) : point_(point) { install(point, std::move(callback)); }
    ~ScopedHook() { install(point_, nullptr); }
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;

private:
    Point point_;
};

#define SMCD_REMOVAL_HOOK(...) ::smcd::removal::hooks::fire(::smcd::removal::hooks::Site{__VA_ARGS__})
#else
#define SMCD_REMOVAL_HOOK(...) static_cast<void>(0)
#endif

}  // namespace smcd::removal::hooks
