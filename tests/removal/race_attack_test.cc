// An attacker thread keeps swapping directories of the tree being removed
// for links to a canary, and moving directories the remover may already
// hold open. The engine must leave the canary intact in every round.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "removal/engine_fixture.h"
#include "removal/safe_removal.h"

namespace smcd::SafeRemoval {
namespace {

int rounds() {
    const char* stress = std::getenv("SMCD_STRESS");
    return stress != nullptr && std::string(stress) == "1" ? 3000 : 50;
}

constexpr int kWidth = 3;
constexpr int kDepth = 4;

// Directory names of the upper two levels of a tree made by buildTree,
// where a swap redirects the most.
std::vector<std::string> upperDirectories() {
    std::vector<std::string> names;
    for (int i = 0; i < kWidth; ++i)
        for (int j = -1; j < kWidth; ++j)
            names.push_back("d" + std::to_string(i) + (j < 0 ? "" : "/d" + std::to_string(j)));
    return names;
}

// Swaps directories of the victim tree until destroyed; the constructor
// returns once the first swap has happened, so that every round is raced.
class Attacker {
public:
    Attacker(std::string victim, std::string linkTarget, unsigned seed)
        : victim_(std::move(victim)), target_(std::move(linkTarget)) {
        thread_ = std::thread([this, seed] { run(seed); });
        while (swaps_.load() == 0) std::this_thread::yield();
    }
    ~Attacker() {
        stop_.store(true);
        thread_.join();
    }

private:
    void run(unsigned seed) {
        std::mt19937 random(seed);
        while (!stop_.load()) {
            const std::string path = victim_ + "/" + directories_[random() % directories_.size()];
            const std::string parked = path + ".parked";
            if (::rename(path.c_str(), parked.c_str()) != 0) continue;  // already removed
            // Two of three swaps plant a link; the rest only move a
            // directory (perhaps one the remover holds open) away and back.
            const bool linked = random() % 3 != 0 && ::symlink(target_.c_str(), path.c_str()) == 0;
            swaps_.fetch_add(1);
            // Sleeping rather than spinning keeps the swap in place for the
            // remover to run into even when the machine is busy.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            struct stat status {};
            if (linked && ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) ::unlink(path.c_str());
            ::rename(parked.c_str(), path.c_str());
        }
    }

    const std::string victim_, target_;
    const std::vector<std::string> directories_ = upperDirectories();
    std::atomic<bool> stop_{false};
    std::atomic<int> swaps_{0};
    std::thread thread_;
};

class RaceAttack : public test::EngineTest {};

TEST_F(RaceAttack, TheEngineNeverTouchesTheCanary) {
    const std::string victimPath = victim("race") + "/victim";
    std::map<std::string, int> outcomes;
    for (int round = 0; round < rounds(); ++round) {
        test::buildTree(victimPath, kWidth, kDepth);
        std::optional<Failure> result;
        {
            const Attacker attacker(victimPath, canary("tree"), static_cast<unsigned>(round));
            result = outcome(remove(victimPath, kRoot));
        }
        ++outcomes[result ? describe(*result) : "removed"];
        // Only these can come of a tree raced like this: a swapped name, a
        // vanished one, or a directory refilled or replaced before its removal.
        if (result) {
            const bool allowed = result->kind == Failure::Kind::escapedRoot || result->kind == Failure::Kind::notFound ||
                                 *result == Failure::denied(ENOENT) || *result == Failure::denied(ENOTEMPTY) ||
                                 *result == Failure::denied(ENOTDIR);
            EXPECT_TRUE(allowed) << describe(*result);
        }
        // Whatever the attacker left inside the root goes, unraced.
        const std::optional<Failure> cleanup = outcome(remove(victimPath, kRoot));
        EXPECT_TRUE(!cleanup || *cleanup == Failure::notFound()) << (cleanup ? describe(*cleanup) : "");
        expectCanaryIntact();
        if (HasFailure()) break;
    }
    std::string summary;
    for (const auto& [outcome, count] : outcomes) summary += outcome + " x" + std::to_string(count) + "; ";
    std::printf("engine outcomes over %d rounds: %s\n", rounds(), summary.c_str());
}

}  // namespace
}  // namespace smcd::SafeRemoval
