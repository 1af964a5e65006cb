// Stand-in for the system tools the daemon runs. Steps come from the file
// "<own path>.plan" when there is one (so a copy placed at /usr/sbin/lsof is
// steered while the daemon picks its arguments), else from the arguments up
// to "--". Steps: "report" (JSON of argv, environment, open descriptors,
// ignored and blocked signals), "record FILE" (append the
// report to FILE), "out TEXT", "err TEXT" (\n and \\ escapes), "fill N" (N
// bytes of 'a'), "exit STATUS", "if N VALUE STEP" (STEP when argv[N] is VALUE).

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

void writeAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) std::exit(120);
        done += static_cast<std::size_t>(n);
    }
}

std::string report(int argc, char** argv) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<int> fds, ignored, blocked;
    DIR* dir = ::opendir("/proc/self/fd");
    for (const dirent* entry; dir && (entry = ::readdir(dir));)
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(dir)) fds.push_back(std::atoi(entry->d_name));
    if (dir) ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    sigset_t mask;
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) ignored.push_back(sig);
        if (sigismember(&mask, sig) == 1) blocked.push_back(sig);
    }
    const nlohmann::json out = {{"argv", std::vector<std::string>(argv, argv + argc)}, {"env", env}, {"fds", fds},
                                {"ignored", ignored}, {"blocked", blocked}};
    return out.dump() + "\n";
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) out += text[i] == '\\' && i + 1 < text.size() && text[++i] == 'n' ? '\n' : text[i];
    return out;
}

std::optional<int> perform(const std::string& step, int argc, char** argv) {
    const auto space = step.find(' ');
    const std::string verb = step.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : step.substr(space + 1);
    if (verb == "report") writeAll(STDOUT_FILENO, report(argc, argv));
    if (verb == "out") writeAll(STDOUT_FILENO, unescaped(rest));
    if (verb == "err") writeAll(STDERR_FILENO, unescaped(rest));
    if (verb == "fill") writeAll(STDOUT_FILENO, std::string(std::stoul(rest), 'a'));
    if (verb == "exit") return std::stoi(rest);
    if (verb == "record") {
        const std::string line = report(argc, argv);  // before the file adds a descriptor
        const int fd = ::open(rest.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return 121;
        writeAll(fd, line);
        ::close(fd);
    }
    if (verb == "if") {
        std::istringstream parts(rest);
        int index = 0;
        std::string value, inner;
        parts >> index >> value >> std::ws;
        std::getline(parts, inner);
        if (index < argc && value == argv[index]) return perform(inner, argc, argv);
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> steps;
    std::ifstream plan(std::filesystem::read_symlink("/proc/self/exe").string() + ".plan");
    const bool planned = plan.is_open();
    for (std::string line; planned && std::getline(plan, line);) steps.push_back(line);
    plan.close();  // its descriptor must not show in a report
    for (int i = 1; !planned && i < argc && std::string(argv[i]) != "--"; ++i) steps.emplace_back(argv[i]);
    for (const auto& step : steps) {
        if (const auto status = perform(step, argc, argv)) return *status;
    }
    return 0;
}
