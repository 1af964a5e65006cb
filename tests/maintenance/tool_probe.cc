// A stand-in for the system tools the daemon runs. It does what its plan
// says: report what it was started with (arguments, environment, open
// descriptors, ignored and blocked signals), write chosen bytes, exit with a
// chosen status or die by a signal. The plan is the file "<own path>.plan"
// when one exists (so a copy placed at /usr/sbin/lsof can be steered while
// the daemon chooses its arguments), otherwise the arguments up to "--", one
// step each. In texts, the escapes \n, \t and \\ stand for a line feed, a tab
// and a backslash.
//
// Steps: "report", "record FILE" (append the report as one JSON line),
// "out TEXT", "err TEXT", "outhex HEX", "fill N" (N bytes of 'a' to standard
// output), "exit STATUS", "raise SIGNAL", and "if N VALUE STEP" (the step
// only when argument N is VALUE).

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) std::exit(120);
        done += static_cast<std::size_t>(n);
    }
}

std::vector<int> openDescriptors() {
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return {-1};
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own) fds.push_back(fd);
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

nlohmann::json report(int argc, char** argv) {
    nlohmann::json out;
    out["argv"] = std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    out["env"] = env;
    out["fds"] = openDescriptors();
    std::vector<int> ignored;
    std::vector<int> blocked;
    sigset_t mask;
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) ignored.push_back(sig);
        if (sigismember(&mask, sig) == 1) blocked.push_back(sig);
    }
    out["ignored"] = ignored;
    std::vector<std::string> links;
    for (int fd = 0; fd <= 2; ++fd) {
        char target[4096];
        const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
        links.emplace_back(n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string());
    }
    out["links"] = links;
    out["blocked"] = blocked;
    return out;
}

std::string ownPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> planSteps(int argc, char** argv) {
    std::ifstream plan(ownPath() + ".plan");
    if (plan) {
        std::vector<std::string> steps;
        for (std::string line; std::getline(plan, line);) {
            if (!line.empty()) steps.push_back(line);
        }
        return steps;
    }
    std::vector<std::string> steps;
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) steps.emplace_back(argv[i]);
    return steps;
}

// Runs one step; returns an exit status when the step ends the probe.
std::optional<int> perform(const std::string& step, int argc, char** argv) {
    const auto space = step.find(' ');
    const std::string verb = step.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : step.substr(space + 1);
    if (verb == "report") {
        writeAll(STDOUT_FILENO, report(argc, argv).dump() + "\n");
    } else if (verb == "record") {
        const std::string line = report(argc, argv).dump() + "\n";
        const int fd = ::open(rest.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return 121;
        writeAll(fd, line);
        ::close(fd);
    } else if (verb == "out") {
        writeAll(STDOUT_FILENO, unescaped(rest));
    } else if (verb == "err") {
        writeAll(STDERR_FILENO, unescaped(rest));
    } else if (verb == "outhex") {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(rest.substr(i, 2), nullptr, 16));
        }
        writeAll(STDOUT_FILENO, bytes);
    } else if (verb == "fill") {
        writeAll(STDOUT_FILENO, std::string(std::stoul(rest), 'a'));
    } else if (verb == "if") {
        std::istringstream words(rest);
        int index = 0;
        std::string value;
        words >> index >> value;
        std::string inner;
        std::getline(words >> std::ws, inner);
        if (index < argc && value == argv[index]) return perform(inner, argc, argv);
    } else if (verb == "exit") {
        return std::stoi(rest);
    } else if (verb == "raise") {
        ::signal(std::stoi(rest), SIG_DFL);
        ::raise(std::stoi(rest));
    } else {
        writeAll(STDERR_FILENO, "tool_probe: unknown step " + step + "\n");
        return 122;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    for (const std::string& step : planSteps(argc, argv)) {
        if (const auto status = perform(step, argc, argv)) return *status;
    }
    return 0;
}
