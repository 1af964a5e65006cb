#pragma once

// What every engine test shares: the sandbox, a canary directory outside the
// root whose bytes must never change, and a count of this process's open
// descriptors that must be the same when the test ends as when it began.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "removal/planted_files.h"
#include "removal/safe_removal.h"
#include "support/descriptors.h"
#include "support/temp_dir.h"

namespace smcd::test {

class EngineTest : public ::testing::Test {
protected:
    static constexpr const char* kRoot = "/Library/Caches";

    void SetUp() override;
    void TearDown() override;

    // A directory under the root, planted for this test.
    std::string victim(const std::string& name);
    // The canary's full path for a name inside it.
    std::string canary(const std::string& name = "") const;

    NoDescriptorLeak noLeak_;
    PlantedFiles planted;

private:
    std::string canaryDir_;
    std::map<std::string, std::string> canaryBefore_;
};

}  // namespace smcd::test

namespace smcd::removal {

// The engine's outcome as "nothing went wrong" or the one failure, so that a
// case reads EXPECT_EQ(remove(...), std::nullopt) or a Failure.
inline std::optional<Failure> outcome(const Expected<void, Failure>& result) {
    if (result) return std::nullopt;
    return result.error();
}
inline bool operator==(const Expected<void, Failure>& result, std::nullopt_t) { return result.has_value(); }
inline bool operator==(const Expected<void, Failure>& result, const Failure& failure) {
    return !result && result.error() == failure;
}
inline void PrintTo(const Failure& failure, std::ostream* out) { *out << describe(failure); }

// The engine for a root peer: whose walk it is matters to the pools' tests alone.
inline Expected<void, Failure> remove(std::string_view path, std::string_view below) { return removal::remove(path, below, 0); }
inline void PrintTo(const Expected<void, Failure>& result, std::ostream* out) {
    *out << (result ? std::string("completed") : describe(result.error()));
}

}  // namespace smcd::removal
namespace smcd {
template <class T, class E>
void PrintTo(const Expected<T, E>& result, std::ostream* out) {
    if (result) *out << ::testing::PrintToString(*result);
    else *out << "error " << ::testing::PrintToString(result.error());
}
}  // namespace smcd
