// Requests on different connections run at the same time and share the
// Trash: simultaneous items of one name must each get an entry of their own.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "platform/trash/linux/freedesktop_trash.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using smcd::test::readFile;
using smcd::test::TempDir;
using smcd::test::writeFile;

TEST(TrashConcurrency, SimultaneousItemsOfOneNameNeverShareOrOverwriteAnEntry) {
    constexpr int kThreads = 8;
    TempDir home;
    TempDir work;
    smcd::platform::FreedesktopTrash trash(home.path(), ::geteuid());
    const int perThread = std::getenv("SMCD_STRESS") ? 200 : 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i), parentPath = work / ("t" + id);
                fs::create_directories(parentPath + "/Some.app");
                writeFile(parentPath + "/Some.app/id", id);
                smcd::UniqueFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (!trash.moveToTrash(parent.get(), "Some.app", "")) ++failures;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);

    // Every item is there once, under a name whose record points back at it.
    std::set<std::string> ids;
    const std::string files = home / ".local/share/Trash/files";
    for (const auto& entry : fs::directory_iterator(files)) {
        const std::string name = entry.path().filename();
        const std::string id = readFile(entry.path().string() + "/id");
        ids.insert(id);
        const std::string record = readFile(home / (".local/share/Trash/info/" + name + ".trashinfo"));
        EXPECT_NE(record.find("/t" + id + "/Some.app\n"), std::string::npos) << name << " " << record;
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * perThread));
}

}  // namespace
