// Event sources on real files and folders, changed the way people and tools
// change them.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/fs_events.h"
#include "support/checks.h"
#include "support/temp_dir.h"

namespace {

using qvtest::sh;

using namespace std::chrono_literals;
namespace Event = platform::FileSystemEvent;
constexpr unsigned kAll = Event::write | Event::remove | Event::rename;

struct Recorder {
    std::atomic<unsigned> seen{0};
    bool waitFor(unsigned events, std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while ((seen.load() & events) != events) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

std::unique_ptr<platform::FileSystemObjectSource> watch(
    const std::shared_ptr<platform::EventDescriptor>& descriptor, platform::SerialQueue& queue,
    Recorder& recorder) {
    auto source = std::make_unique<platform::FileSystemObjectSource>(descriptor, kAll, queue);
    auto* raw = source.get();
    source->setEventHandler([raw, &recorder] { recorder.seen |= raw->data(); });
    source->resume();
    return source;
}

TEST(FileSystemEvents, FileWriteDeleteAndRenameAsToolsMakeThem) {
    qvtest::TempDir dir;
    const auto file = (dir / "debug.conf").string();
    qvtest::writeFile(file, "a=1\n");
    EXPECT_EQ(platform::EventDescriptor::open((dir / "missing").string()), nullptr);
    platform::SerialQueue queue("test");

    Recorder written;
    auto source = watch(platform::EventDescriptor::open(file), queue, written);
    sh("echo 'a=2' >> '" + file + "'");
    EXPECT_TRUE(written.waitFor(Event::write));
    EXPECT_EQ(written.seen & (Event::remove | Event::rename), 0u);
    source->cancel();

    Recorder edited;  // sed -i writes a new file and renames it over the old one
    source = watch(platform::EventDescriptor::open(file), queue, edited);
    sh("sed -i 's/a=2/a=3/' '" + file + "'");
    EXPECT_TRUE(edited.waitFor(Event::remove));
    source->cancel();

    Recorder moved;
    source = watch(platform::EventDescriptor::open(file), queue, moved);
    sh("mv '" + file + "' '" + file + ".old'");
    EXPECT_TRUE(moved.waitFor(Event::rename));
    source->cancel();
}

TEST(FileSystemEvents, FolderEntriesCreatedRemovedOrMovedAreWrites) {
    qvtest::TempDir dir;
    const auto folder = (dir / "Triggers").string();
    std::filesystem::create_directories(folder);
    std::filesystem::create_directory_symlink(folder, dir / "link");  // never followed:
    EXPECT_EQ(platform::EventDescriptor::openForEntry((dir / "link").string(), "a"), nullptr);
    platform::SerialQueue queue("test");
    Recorder created;
    auto source = watch(platform::EventDescriptor::open(folder), queue, created);
    sh("touch '" + folder + "/uninstall.trigger'");
    EXPECT_TRUE(created.waitFor(Event::write));
    source->cancel();

    Recorder removed;
    source = watch(platform::EventDescriptor::open(folder), queue, removed);
    sh("rm -rf '" + folder + "'");
    EXPECT_TRUE(removed.waitFor(Event::write | Event::remove));
}

TEST(FileSystemEvents, LateCancelHandlerNeverClosesTheNewerDescriptor) {
    qvtest::TempDir dir;
    const auto file = (dir / "debug.conf").string();
    qvtest::writeFile(file, "a=1\n");
    platform::SerialQueue queue("test");
    std::mutex gate;
    std::unique_lock held(gate);
    queue.async([&] { std::lock_guard wait(gate); });  // keeps the cancel handler pending

    auto first = platform::EventDescriptor::open(file);
    Recorder unused;
    auto source = watch(first, queue, unused);
    std::atomic<int> closedByHandler{0};
    source->setCancelHandler([first, &closedByHandler] { closedByHandler += first->close(); });
    source->cancel();
    EXPECT_TRUE(first->close());  // the restart closes the old descriptor itself...
    auto second = platform::EventDescriptor::open(file);  // ...and may get the same number
    Recorder events;
    auto newer = watch(second, queue, events);
    held.unlock();
    queue.sync([] {});
    EXPECT_EQ(closedByHandler, 0);
    EXPECT_NE(::fcntl(second->number(), F_GETFD), -1);
    sh("echo 'a=2' >> '" + file + "'");
    EXPECT_TRUE(events.waitFor(Event::write));
    EXPECT_FALSE(first->close());
}

}  // namespace
