// Serial queues, groups and detached tasks, and the event sources that run
// on them, watching real files and folders changed the way tools change them.

#include "platform/dispatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/failure_reporter.h"
#include "platform/fs_events.h"
#include "support/checks.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
namespace Event = platform::FileSystemEvent;

TEST(Dispatch, QueuesRunInOrderDelayedItemsWhenDueTasksAreCountedAndFileEventsArriveByKind) {
    std::vector<int> order;
    std::atomic<int> running{0};
    bool alone = true;
    {
        platform::SerialQueue queue("test.serial");
        queue.asyncAfter(1h, [&] { order.push_back(-1); });  // dropped with the queue
        for (int i = 0; i < 100; ++i) {
            queue.async([&, i] {
                alone &= ++running == 1 && queue.isCurrent();
                order.push_back(i), --running;
            });
        }
    }  // the destructor still runs what was queued
    EXPECT_TRUE(alone && order.size() == 100 && std::is_sorted(order.begin(), order.end()));

    platform::SerialQueue queue("test.delayed");
    platform::DispatchGroup late;
    std::vector<std::string> delayed;
    late.enter();
    queue.asyncAfter(100ms, [&] { delayed.push_back("late"), late.leave(); });
    queue.asyncAfter(30ms, [&] { delayed.push_back("soon"); });
    queue.async([&] { delayed.push_back("now"); });
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("work"); }), std::runtime_error);
    late.wait();
    EXPECT_EQ(delayed, (std::vector<std::string>{"now", "soon", "late"}));

    // What escapes a task, or a reader that stops, goes to the installed reporter.
    std::mutex reportedMutex;
    std::string reported;
    platform::setFailureReporter([&](const std::string& line) {
        std::lock_guard lock(reportedMutex);
        reported += line + "\n";
    });
    auto wasReported = [&](const std::string& line) {
        std::lock_guard lock(reportedMutex);
        return reported.find(line + "\n") != std::string::npos;
    };
    std::atomic<int> finished{0};
    for (int i = 0; i < 10; ++i)
        platform::Tasks::detach([&] { std::this_thread::sleep_for(10ms), ++finished; });
    platform::Tasks::detach([] { throw std::runtime_error("a task's own failure"); }, "qv-t");
    ASSERT_TRUE(platform::Tasks::waitIdle(5s));
    EXPECT_TRUE(finished == 10 && platform::Tasks::running() == 0) << finished;
    EXPECT_TRUE(wasReported("Unexpected error: a task's own failure (task qv-t)")) << reported;

    // File-system events, each change made the way people and tools make it.
    qvtest::TempDir dir;
    // An editor (or sed's in-place edit) writes a new file and renames it over the old one:
    // the watched file is gone.
    for (const auto& [watched, command, events] :
         std::initializer_list<std::tuple<const char*, const char*, unsigned>>{
             {"f", "echo a=2 >> f", Event::write},
             {"f", "sed s/a/b/ f > f.new && mv f.new f", Event::remove},
             {"f", "mv f f.old", Event::rename},
             {"d", "touch d/uninstall.trigger", Event::write},
             {"d", "rm -rf d", Event::write | Event::remove}}) {
        SCOPED_TRACE(command);
        qvtest::sh("cd " + dir.str() + " && rm -rf * && echo a=1 > f && mkdir d && touch d/old");
        std::atomic<unsigned> seen{0};
        platform::FileSystemObjectSource source(
            platform::EventDescriptor::open((dir / watched).string()),
            Event::write | Event::remove | Event::rename, queue);
        source.setEventHandler([&] { seen |= source.data(); });
        source.resume();
        source.resume();  // a second resume starts no second reader
        qvtest::sh("cd " + dir.str() + " && " + command);
        EXPECT_TRUE(qvtest::eventually([&, want = events] { return seen == want; }, 3s)) << seen;
    }
    // A descriptor whose reading fails (here, one that became a folder's):
    // reported once, and the owner told, instead of a reader spinning or
    // ending in silence.
    {
        auto failing = platform::EventDescriptor::open(dir.str());
        const int folder = ::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_EQ(::dup3(folder, failing->number(), O_CLOEXEC), failing->number());
        ::close(folder);
        std::atomic<unsigned> seen{0};
        platform::FileSystemObjectSource source(failing, Event::write, queue);
        source.setEventHandler([&] { seen |= source.data(); });
        source.resume();
        EXPECT_TRUE(qvtest::eventually([&] { return seen == Event::failed; }, 3s)) << seen;
        EXPECT_TRUE(wasReported("Unexpected error: read failed: Is a directory (file events of " +
                                dir.str() + ")"))
            << reported;
    }
    platform::setFailureReporter({});

    // Closed once: the old source's cancel handler, running after a restart that closed its
    // descriptor and opened a new one (maybe under the same number), leaves the new one open.
    std::filesystem::create_directory_symlink(dir.path(), dir / "link");  // never followed
    EXPECT_EQ(platform::EventDescriptor::openForEntry((dir / "link").string(), "a"), nullptr);
    auto first = platform::EventDescriptor::open((dir / "f").string());
    EXPECT_TRUE(first->close());
    auto second = platform::EventDescriptor::open((dir / "f").string());
    EXPECT_FALSE(first->close());
    EXPECT_NE(::fcntl(second->number(), F_GETFD), -1);
}

// A queue's owner released by the queue's own work: the queue cannot join its
// thread, so the process stops, saying why.
TEST(DispatchDeathTest, AQueueDestroyedOnItsOwnThreadAbortsWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* queue = new platform::SerialQueue("test.self", "qv-self");
            queue->async([queue] { delete queue; });
            std::this_thread::sleep_for(10s);
        },
        "SerialQueue test\\.self \\(thread qv-self\\) destroyed on its own thread");
}

}  // namespace
