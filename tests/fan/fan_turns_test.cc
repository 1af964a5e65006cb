// The order in which fan requests and hand-backs get the engine.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fan/fan_turns.h"
#include "support/process.h"

namespace smcd {
namespace {

// Each step joins the queue (once it is seen waiting or served) and, in its
// turn, notes its name.
struct Queue {
    void request(std::uint32_t uid, std::string name) {
        add([this, uid, name] {
            const auto turn = turns.forUser(uid);
            note(name);
        });
    }
    void handBack(std::string name) {
        add([this, name] {
            if (const auto turn = turns.first()) note(name);
        });
    }
    std::vector<std::string> served() {
        for (auto& thread : threads) thread.join();
        threads.clear();
        const std::lock_guard guard(mutex);
        return std::exchange(order, {});
    }

    FanTurns turns;

private:
    template <class Step>
    void add(Step step) {
        const std::size_t before = turns.waiting() + finished;
        threads.emplace_back([this, step] {
            step();
            ++finished;
        });
        EXPECT_TRUE(test::eventually([&] { return turns.waiting() + finished == before + 1; }));
    }
    void note(const std::string& name) {
        const std::lock_guard guard(mutex);
        order.push_back(name);
    }

    std::mutex mutex;
    std::vector<std::string> order;
    std::vector<std::thread> threads;
    std::atomic<std::size_t> finished{0};
};

TEST(FanTurns, EachWaitsBehindOneRequestPerOtherUserAndHandBacksGoFirst) {
    Queue queue;
    {
        const auto running = queue.turns.forUser(501);
        queue.request(501, "ann 2");
        queue.request(501, "ann 3");
        queue.request(502, "bob 1");
        queue.request(0, "root 1");
        queue.request(502, "bob 2");
        queue.handBack("hand-back");
    }
    EXPECT_EQ(queue.served(), (std::vector<std::string>{"hand-back", "bob 1", "root 1", "ann 2", "bob 2", "ann 3"}));

    // Shut, requests wait and hand-backs do not.
    queue.turns.shut(true);
    queue.request(501, "request");
    queue.handBack("hand-back");
    queue.turns.shut(false);
    EXPECT_EQ(queue.served(), (std::vector<std::string>{"hand-back", "request"}));

    // Closed in a turn, no hand-back runs after it.
    {
        const auto last = queue.turns.first();
        ASSERT_TRUE(last);
        queue.handBack("too late");
        queue.turns.close();
    }
    EXPECT_EQ(queue.served(), std::vector<std::string>{});
    EXPECT_FALSE(queue.turns.first());
}

}  // namespace
}  // namespace smcd
