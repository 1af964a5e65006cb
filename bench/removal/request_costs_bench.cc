// Costs a peer controls through what it sends or has trashed before, each
// against the same work on input it cannot make expensive, in the same run:
//  - screening a path of 80 KB of combining marks in reverse canonical order
//    (refused by its length, before any Unicode work) against 80 KB of ASCII;
//  - moving the 901st to 1,000th item of one name into a Trash against the
//    1st to 100th: finding a free name must not cost more as names fill up.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "common/unique_fd.h"
#include "platform/trash/linux/freedesktop_trash.h"
#include "removal/screening.h"
#include "support/report.h"

namespace {

double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Processor time of the cheapest of five runs: the machine may be shared.
double bestOfFive(const std::function<void()>& work) {
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        const double start = threadSeconds();
        work();
        best = std::min(best, threadSeconds() - start);
    }
    return best;
}

void screeningRow() {
    std::string marks = "/Library/Caches/a";
    for (int i = 0; i < 80 * 1024 / 4; ++i) marks += "\xCC\x81";  // class 230 first,
    for (int i = 0; i < 80 * 1024 / 4; ++i) marks += "\xCC\x96";  // then class 220
    const std::string ascii = "/Library/Caches/a" + std::string(marks.size() - 17, 'a');
    const auto screen = [](const std::string& path) {
        return [path] {
            for (int i = 0; i < 100; ++i)
                static_cast<void>(smcd::removal::screen({path}, smcd::removal::Target::supportFile, 501));
        };
    };
    smcd::bench::printRow({"screening an 80 KB path of marks, x100 (cpu)", bestOfFive(screen(marks)), "s",
                           "an 80 KB ASCII path, x100 (cpu)", bestOfFive(screen(ascii)), "<= 2.0x"});
}

void sameNameRow() {
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() / ("smcd-bench-trash." + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch / "home");
    std::filesystem::create_directories(scratch / "work");
    smcd::platform::FreedesktopTrash trash({{::geteuid(), ::getegid(), {}}, (scratch / "home").string()});
    const smcd::UniqueFd work(::open((scratch / "work").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const char* name = "com.example.app.plist";
    const auto trashHundred = [&] {
        for (int i = 0; i < 100; ++i) {
            smcd::UniqueFd(::openat(work.get(), name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (!trash.moveToTrash(work.get(), name, "")) std::fprintf(stderr, "bench_request_costs: a move failed\n");
        }
    };
    const double first = bestOfFive(trashHundred);  // items 1 to 500, the best hundred
    for (int i = 0; i < 4; ++i) trashHundred();     // up to 900
    const double start = threadSeconds();
    trashHundred();                                  // 901 to 1,000
    const double late = threadSeconds() - start;
    smcd::bench::printRow({"Trash: items 901-1000 of one name (cpu)", late, "s", "items 1-500, best hundred (cpu)", first,
                           "<= 2.0x"});
    std::filesystem::remove_all(scratch);
}

}  // namespace

int main() {
    screeningRow();
    sameNameRow();
    return 0;
}
