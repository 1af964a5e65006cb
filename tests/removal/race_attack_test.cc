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

// Swaps directories of the upper two levels of a 3-wide tree, where a swap
// redirects the most, until destroyed. The constructor returns once the
// first swap has happened, so that every round is raced.
class Attacker {
public:
    Attacker(const std::string& victim, const std::string& linkTarget, unsigned seed) {
        thread_ = std::thread([=, this] { run(victim, linkTarget, seed); });
        while (swaps_.load() == 0) std::this_thread::yield();
    }
    ~Attacker() {
        stop_.store(true);
        thread_.join();
    }

private:
    void run(const std::string& victim, const std::string& target, unsigned seed) {
        std::mt19937 random(seed);
        while (!stop_.load()) {
            const int upper = random() % 12;  // d0..d2, each alone or with one of its d0..d2
            const std::string path = victim + "/d" + std::to_string(upper / 4) +
                                     (upper % 4 == 3 ? "" : "/d" + std::to_string(upper % 4));
            const std::string parked = path + ".parked";
            if (::rename(path.c_str(), parked.c_str()) != 0) continue;  // already removed
            // Two of three swaps plant a link; the rest only move a
            // directory (perhaps one the remover holds open) away and back.
            const bool linked = random() % 3 != 0 && ::symlink(target.c_str(), path.c_str()) == 0;
            swaps_.fetch_add(1);
            // Sleeping rather than spinning keeps the swap in place for the
            // remover to run into even when the machine is busy.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            struct stat status {};
            if (linked && ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) ::unlink(path.c_str());
            ::rename(parked.c_str(), path.c_str());
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> swaps_{0};
    std::thread thread_;
};

class RaceAttack : public test::EngineTest {};

TEST_F(RaceAttack, TheEngineNeverTouchesTheCanary) {
    const std::string victimPath = victim("race") + "/victim";
    std::map<std::string, int> outcomes;
    for (int round = 0; round < rounds() && !HasFailure(); ++round) {
        test::buildTree(victimPath, 3, 4);
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
    }
    std::string summary;
    for (const auto& [outcome, count] : outcomes) summary += outcome + " x" + std::to_string(count) + "; ";
    std::printf("engine outcomes over %d rounds: %s\n", rounds(), summary.c_str());
}

}  // namespace
}  // namespace smcd::SafeRemoval
