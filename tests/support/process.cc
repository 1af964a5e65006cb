#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/unique_fd.h"
#include "support/temp_dir.h"

namespace smcd::test {
namespace {

// The group tests run other users in, as macOS gives its users.
constexpr gid_t kStaffGroup = 20;

// The child's errno to the parent, which is waiting for exec to succeed.
[[noreturn]] void reportAndExit(int fd) {
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(fd, &error, sizeof(error));
    ::_exit(EXIT_FAILURE);
}

int decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, SpawnOptions options) : output_(std::make_unique<TempDir>()) {
    // Everything the child needs is made here: between fork and exec only
    // async-signal-safe calls are allowed.
    const UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const UniqueFd out(::open((*output_ / "out").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    const UniqueFd err(::open((*output_ / "err").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    int ends[2];
    if (!in || !out || !err || ::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot prepare a child");
    const UniqueFd execFailed(ends[0]);
    UniqueFd reportEnd(ends[1]);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<char*> env;
    for (auto& e : options.environment) env.push_back(e.data());
    env.push_back(nullptr);
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int three = options.descriptorThree.value_or(-1);
        if (three >= 0 && three <= STDERR_FILENO) three = ::fcntl(three, F_DUPFD_CLOEXEC, 3);
        ::dup2(in.get(), STDIN_FILENO);
        ::dup2(out.get(), STDOUT_FILENO);
        ::dup2(err.get(), STDERR_FILENO);
        if (three == 3) ::fcntl(3, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
        if (three >= 0 && three != 3) ::dup2(three, 3);
        // Signals start at their defaults and unblocked, whatever the test did.
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int number = 1; number < NSIG; ++number) ::sigaction(number, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Another user's identity first: changing it clears the death signal.
        // Raw system calls change this thread's credentials only, and it is the
        // child's only thread.
        if (options.uid &&
            (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setresgid, kStaffGroup, kStaffGroup, kStaffGroup) != 0 ||
             ::syscall(SYS_setresuid, *options.uid, *options.uid, *options.uid) != 0)) {
            reportAndExit(reportEnd.get());
        }
        // The child ends with the test process, however that ends (an abort, a
        // SIGKILL from a time-out): nothing a suite started outlives it.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(EXIT_FAILURE);
        ::execve(args[0], args.data(), env.data());
        reportAndExit(reportEnd.get());
    }
    reportEnd.reset();
    int error = 0;
    if (::read(execFailed.get(), &error, sizeof(error)) == static_cast<ssize_t>(sizeof(error))) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_), output_(std::move(other.output_)) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
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

std::string ChildProcess::standardOutput() const { return readFile(*output_ / "out"); }
std::string ChildProcess::standardError() const { return readFile(*output_ / "err"); }

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
