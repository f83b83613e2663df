// Serial queues, groups and detached tasks.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsItemsOneAtATimeInOrderOnItsOwnThread) {
    platform::SerialQueue queue("test.serial");
    std::vector<int> order;
    std::atomic<int> concurrent{0};
    bool overlapped = false;
    for (int i = 0; i < 100; ++i) {
        queue.async([&, i] {
            if (++concurrent > 1)
                overlapped = true;
            EXPECT_TRUE(queue.isCurrent());
            order.push_back(i);
            --concurrent;
        });
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DelayedItemsRunWhenDueAndImmediateOnesOvertakeThem) {
    platform::SerialQueue queue("test.delayed");
    std::mutex mutex;
    std::vector<std::string> order;
    platform::DispatchGroup group;
    group.enter();
    const auto started = std::chrono::steady_clock::now();
    queue.asyncAfter(150ms, [&] {
        std::lock_guard lock(mutex);
        order.push_back("late");
        group.leave();
    });
    queue.asyncAfter(50ms, [&] {
        std::lock_guard lock(mutex);
        order.push_back("soon");
    });
    queue.async([&] {
        std::lock_guard lock(mutex);
        order.push_back("now");
    });
    group.wait();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<std::string>{"now", "soon", "late"}));
}

TEST(DispatchGroup, WaitReturnsOnlyAfterEveryLeave) {
    platform::DispatchGroup group;
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i) {
        group.enter();
        std::thread([&] {
            std::this_thread::sleep_for(20ms);
            ++done;
            group.leave();
        }).detach();
    }
    group.wait();
    EXPECT_EQ(done.load(), 4);
}

TEST(Tasks, WaitIdleSeesEveryDetachedTaskFinishEvenOneThatThrows) {
    std::atomic<int> finished{0};
    for (int i = 0; i < 10; ++i) {
        platform::Tasks::detach([&] {
            std::this_thread::sleep_for(10ms);
            ++finished;
        });
    }
    platform::Tasks::detach([] { throw std::runtime_error("a task's own failure"); });
    ASSERT_TRUE(platform::Tasks::waitIdle(5s));
    EXPECT_EQ(finished.load(), 10);
    EXPECT_EQ(platform::Tasks::running(), 0u);
}

}  // namespace
