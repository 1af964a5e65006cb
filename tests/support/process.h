#pragma once

// Child processes for tests: optionally as another user, with standard
// output and error captured to files, killed and reaped when the handle goes
// away, and killed by the kernel when the test process dies first.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace smcd::test {

struct SpawnOptions {
    std::optional<uid_t> uid = std::nullopt;  // run as this user (gid 20), without supplementary groups
    std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    std::optional<int> descriptorThree = std::nullopt;  // handed to the child as fd 3 (socket activation)
};

class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, SpawnOptions options = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // The exit status (or 128 + signal), waiting at most `limit`; nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void signal(int number);
    std::string standardOutput() const;
    std::string standardError() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::unique_ptr<TempDir> output_;  // its standard output and error, in files "out" and "err"
};

struct Finished {
    int status;
    std::string out;
    std::string err;
};

// Runs a command to completion (30 s at most).
Finished run(std::vector<std::string> argv, SpawnOptions options = {});

// Polls `condition` every few milliseconds until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace smcd::test
