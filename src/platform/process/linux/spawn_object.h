#pragma once

#include <spawn.h>

namespace smcd::platform {

// The spawn attribute and file-action objects own allocations of their own;
// this keeps each released on every way out.
template <class Object, int (*Init)(Object*), int (*Destroy)(Object*)>
class SpawnObject {
public:
    SpawnObject() { error_ = Init(&object_); }
    ~SpawnObject() {
        if (error_ == 0) Destroy(&object_);
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    int initError() const { return error_; }
    Object* get() { return &object_; }

private:
    Object object_{};
    int error_ = 0;
};

using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;
using SpawnFileActions =
    SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;

}  // namespace smcd::platform
