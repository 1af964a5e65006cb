#pragma once

// Directory chains far deeper than PATH_MAX or the descriptor limit, built
// relative to descriptors so that no path ever gets long.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/unique_fd.h"

namespace smcd::test {

// top/d/d/.../d, `levels` directories with "bottom" in the deepest and a
// file "side" beside every hundredth. Holds two descriptors at most.
inline void buildChain(const std::string& top, int levels) {
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    UniqueFd current(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(current.valid());
    for (int level = 1; level < levels; ++level) {
        if (level % 100 == 0) {
            UniqueFd file(::openat(current.get(), "side", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_TRUE(file.valid());
        }
        ASSERT_EQ(::mkdirat(current.get(), "d", 0755), 0);
        UniqueFd next(::openat(current.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(next.valid());
        current = std::move(next);
    }
    UniqueFd bottom(::openat(current.get(), "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(bottom.valid());
}

}  // namespace smcd::test
