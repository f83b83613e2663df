#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/checks.h"
#include "support/temp_dir.h"

namespace {

using qvtest::modeOf;

namespace fs = std::filesystem;

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// Restores the umask a test narrows to prove modes are exact.
class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(previous_); }

  private:
    mode_t previous_;
};

TEST(FilesTest, AtomicWriteReplacesContentWithExactModeAndNoTempFileLeft) {
    qvtest::TempDir dir;
    const std::string target = (dir / "settings.plist").string();
    qvtest::writeFile(target, "old content that is longer than the new one");

    UmaskGuard mask(077);
    ASSERT_EQ(platform::writeFileAtomically(target, std::string("new\0binary", 10), 0644),
              std::nullopt);

    EXPECT_EQ(qvtest::readFile(target), std::string("new\0binary", 10));
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"settings.plist"});

    ASSERT_EQ(platform::writeFileAtomically(target, "", 0600), std::nullopt);
    EXPECT_EQ(qvtest::readFile(target), "");
    EXPECT_EQ(modeOf(target), 0600u);
}

TEST(FilesTest, FailedAtomicWriteNamesThePathAndRemovesItsTempFile) {
    qvtest::TempDir dir;
    const std::string missingFolder = (dir / "absent" / "file").string();
    auto error = platform::writeFileAtomically(missingFolder, "x");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(missingFolder), std::string::npos) << *error;
    EXPECT_NE(error->find("No such file or directory"), std::string::npos) << *error;

    // The rename fails because a non-empty folder occupies the target, after
    // the temporary file was written: it must not stay behind.
    const fs::path occupied = dir / "occupied";
    qvtest::writeFile(occupied / "inside", "keep");
    error = platform::writeFileAtomically(occupied.string(), "x");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(occupied.string()), std::string::npos) << *error;
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"occupied"});
    EXPECT_EQ(qvtest::readFile(occupied / "inside"), "keep");
}

TEST(FilesTest, ConcurrentAppendsKeepEveryLineWhole) {
    qvtest::TempDir dir;
    UmaskGuard mask(022);
    const std::string log = (dir / "diagnostic.log").string();
    constexpr int kThreads = 8;
    constexpr int kLines = 400;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLines; ++n) {
                // Long enough that a split write would show as a torn line.
                std::string line = "t" + std::to_string(t) + " n" + std::to_string(n) + " ";
                line += std::string(300, static_cast<char>('a' + t)) + "\n";
                ASSERT_EQ(platform::appendToFile(log, line), std::nullopt);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::istringstream in(qvtest::readFile(log));
    std::set<std::pair<int, int>> seen;
    std::string line;
    while (std::getline(in, line)) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "t%d n%d ", &t, &n), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        const std::string expected = "t" + std::to_string(t) + " n" + std::to_string(n) + " " +
                                     std::string(300, static_cast<char>('a' + t));
        ASSERT_EQ(line, expected);
        EXPECT_TRUE(seen.emplace(t, n).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
    EXPECT_EQ(modeOf(log), 0644u);
}

TEST(FilesTest, AppendToAMissingFolderNamesThePath) {
    qvtest::TempDir dir;
    const std::string path = (dir / "nope" / "x.log").string();
    auto error = platform::appendToFile(path, "line\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(path), std::string::npos) << *error;
}

TEST(FilesTest, ReadFileReturnsBytesOrAbsent) {
    qvtest::TempDir dir;
    const std::string content("a\0b\nc", 5);
    qvtest::writeFile(dir / "f", content);
    EXPECT_EQ(platform::readFile((dir / "f").string()), content);
    EXPECT_EQ(platform::readFile((dir / "missing").string()), std::nullopt);
    EXPECT_EQ(platform::readFile(dir.str()), std::nullopt);  // a folder is not a file
}

TEST(FilesTest, CreateDirectoriesMakesEveryLevelWithExactMode) {
    qvtest::TempDir dir;
    UmaskGuard mask(077);
    const fs::path deep = dir / "a" / "b" / "c";
    ASSERT_EQ(platform::createDirectories(deep.string() + "/", 0755), std::nullopt);
    EXPECT_EQ(modeOf(dir / "a"), 0755u);
    EXPECT_EQ(modeOf(deep), 0755u);
    // Existing folders are fine and keep their mode.
    ASSERT_EQ(platform::createDirectories(deep.string(), 0700), std::nullopt);
    EXPECT_EQ(modeOf(deep), 0755u);

    qvtest::writeFile(dir / "file", "x");
    const std::string blocked = (dir / "file" / "sub").string();
    auto error = platform::createDirectories(blocked);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find((dir / "file").string()), std::string::npos) << *error;
    EXPECT_NE(error->find("Not a directory"), std::string::npos) << *error;
}

TEST(FilesTest, FileExistsDoesNotFollowAFinalSymlink) {
    qvtest::TempDir dir;
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_TRUE(platform::fileExists((dir / "dangling").string()));
    EXPECT_TRUE(platform::fileExists(dir.str()));
    EXPECT_FALSE(platform::fileExists((dir / "nowhere").string()));
}

}  // namespace
