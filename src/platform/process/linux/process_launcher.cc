#include "platform/process/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "common/io.h"
#include "common/unique_fd.h"
#include "platform/process/linux/spawn_object.h"

namespace smcd::platform {
namespace {

Unexpected<LaunchFailure> failure(const ChildInvocation& invocation, int code, std::string_view what) {
    std::string text = "Couldn't launch ";
    text += invocation.executable.empty() ? std::string("(no executable)") : invocation.executable;
    text += ": ";
    text += what.empty() ? std::system_category().message(code) : std::string(what);
    return unexpected(LaunchFailure{code, std::move(text)});
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// A C string cannot carry a NUL: passing such an argument on would silently
// run a shorter command than the one asked for.
bool anyHoldsNul(const ChildInvocation& invocation) {
    return holdsNul(invocation.executable) || std::ranges::any_of(invocation.arguments, holdsNul) ||
           std::ranges::any_of(invocation.environment, holdsNul);
}

// Signals start at their defaults and unblocked whatever the daemon did with
// them (an ignored SIGPIPE would otherwise survive the exec).
int prepareAttributes(SpawnAttributes& attributes) {
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    if (int rc = ::posix_spawnattr_setsigdefault(attributes.get(), &all)) return rc;
    if (int rc = ::posix_spawnattr_setsigmask(attributes.get(), &none)) return rc;
    const short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    return ::posix_spawnattr_setflags(attributes.get(), flags);
}

std::string readToEnd(int fd) {
    std::string bytes;
    std::array<char, 65536> buffer;
    for (;;) {
        const auto n = io::readSome(fd, buffer.data(), buffer.size());
        if (!n || *n == 0) return bytes;
        bytes.append(buffer.data(), *n);
    }
}

std::int32_t waitForExit(pid_t pid) {
    int raw = 0;
    for (;;) {
        const pid_t rc = ::waitpid(pid, &raw, 0);
        if (rc == pid) break;
        if (rc < 0 && errno == EINTR) continue;
        return kUnobservedExitStatus;
    }
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return WTERMSIG(raw);
    return kUnobservedExitStatus;
}

}  // namespace

Expected<ProcessExit, LaunchFailure> runToExit(const ChildInvocation& invocation) {
    if (invocation.executable.empty() || invocation.executable.front() != '/') {
        return failure(invocation, ENOENT, "the executable must be named by an absolute path");
    }
    if (anyHoldsNul(invocation)) return failure(invocation, EINVAL, "an argument holds a NUL character");

    SpawnAttributes attributes;
    if (attributes.initError()) return failure(invocation, attributes.initError(), {});
    if (int rc = prepareAttributes(attributes)) return failure(invocation, rc, {});
    SpawnFileActions actions;
    if (actions.initError()) return failure(invocation, actions.initError(), {});

    const bool capturing = invocation.output == OutputRoute::capture || invocation.error == OutputRoute::capture;
    UniqueFd pipeRead;
    UniqueFd pipeWrite;
    if (capturing) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return failure(invocation, errno, {});
        pipeRead.reset(ends[0]);
        pipeWrite.reset(ends[1]);
    }

    // Each discarded stream gets a null-device handle of its own. Every
    // descriptor here is close-on-exec; dup2 in the child clears that flag
    // only on the copy that lands on 1 or 2.
    UniqueFd nullForOutput;
    UniqueFd nullForError;
    auto route = [&](OutputRoute r, int target, UniqueFd& nullHandle) -> int {
        switch (r) {
            case OutputRoute::inherit:
                return 0;
            case OutputRoute::capture:
                return ::posix_spawn_file_actions_adddup2(actions.get(), pipeWrite.get(), target);
            case OutputRoute::discard:
                nullHandle.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
                if (!nullHandle) return errno;
                return ::posix_spawn_file_actions_adddup2(actions.get(), nullHandle.get(), target);
        }
        return EINVAL;
    };
    if (int rc = route(invocation.output, STDOUT_FILENO, nullForOutput)) return failure(invocation, rc, {});
    if (int rc = route(invocation.error, STDERR_FILENO, nullForError)) return failure(invocation, rc, {});

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Close-on-exec covers what the daemon opens itself; this also covers a
    // descriptor some library or the process's parent left inheritable.
    if (int rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1)) {
        return failure(invocation, rc, {});
    }
#endif

    std::vector<char*> argv;
    argv.reserve(invocation.arguments.size() + 2);
    argv.push_back(const_cast<char*>(invocation.executable.c_str()));
    for (const std::string& argument : invocation.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(invocation.environment.size() + 1);
    for (const std::string& entry : invocation.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    if (int rc = ::posix_spawn(&pid, invocation.executable.c_str(), actions.get(), attributes.get(), argv.data(),
                               envp.data())) {
        return failure(invocation, rc, {});
    }

    // Our copy of the write end must go before reading, or end of file never
    // comes; the pipe is drained before the wait so a chatty child never
    // blocks on a full pipe while we wait for it.
    pipeWrite.reset();
    nullForOutput.reset();
    nullForError.reset();
    ProcessExit exit;
    if (capturing) exit.captured = readToEnd(pipeRead.get());
    pipeRead.reset();
    exit.status = waitForExit(pid);
    return exit;
}

}  // namespace smcd::platform
