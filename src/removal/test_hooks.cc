#include "removal/test_hooks.h"

#ifdef SMCD_TEST_HOOKS

#include <array>
#include <mutex>

namespace smcd::removal::hooks {
namespace {

constexpr std::size_t kPointCount = static_cast<std::size_t>(Point::betweenUnlinkAndOpen) + 1;

struct Registry {
    std::mutex lock;
    std::array<Callback, kPointCount> callbacks;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

void install(Point point, Callback callback) {
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.callbacks[static_cast<std::size_t>(point)] = std::move(callback);
}

void clearAll() {
    Registry& r = registry();
    const std::lock_guard<std::mutex> guard(r.lock);
    for (Callback& callback : r.callbacks) callback = nullptr;
}

void fire(const Site& site) {
    Callback callback;
    {
        Registry& r = registry();
        const std::lock_guard<std::mutex> guard(r.lock);
        callback = r.callbacks[static_cast<std::size_t>(site.point)];
    }
    // Called unlocked, so the callback may install or remove hooks itself.
    if (callback) callback(site);
}

}  // namespace smcd::removal::hooks

#endif
