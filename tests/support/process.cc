#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "common/unique_fd.h"
#include "support/temp_dir.h"

namespace smcd::test {
namespace {

std::string scratchFile(const char* what) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/smcd-child-" + what + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    UniqueFd fd(::mkostemp(buffer.data(), O_CLOEXEC));
    if (!fd) throw std::runtime_error("mkostemp failed");
    return buffer.data();
}

int decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, SpawnOptions options)
    : outPath_(scratchFile("out")), errPath_(scratchFile("err")) {
    if (options.uid) {
        const std::string id = std::to_string(*options.uid);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=20", "--clear-groups", "--"});
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(), O_WRONLY | O_TRUNC, 0);
    if (options.descriptorThree) posix_spawn_file_actions_adddup2(&actions, *options.descriptorThree, 3);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<char*> env;
    for (auto& e : options.environment) env.push_back(e.data());
    env.push_back(nullptr);
    const int error = ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("posix_spawn " + argv[0] + " failed");
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      outPath_(std::move(other.outPath_)),
      errPath_(std::move(other.errPath_)) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!outPath_.empty()) ::unlink(outPath_.c_str());
    if (!errPath_.empty()) ::unlink(errPath_.c_str());
}

bool ChildProcess::running() {
    if (status_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decode(status);
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    eventually([&] { return !running(); }, limit);
    return status_;
}

void ChildProcess::signal(int number) {
    if (!status_) ::kill(pid_, number);
}

std::string ChildProcess::standardOutput() const { return readFile(outPath_); }
std::string ChildProcess::standardError() const { return readFile(errPath_); }

Finished run(std::vector<std::string> argv, SpawnOptions options) {
    ChildProcess child(std::move(argv), std::move(options));
    const auto status = child.wait(std::chrono::seconds(30));
    return {status.value_or(-1), child.standardOutput(), child.standardError()};
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace smcd::test
