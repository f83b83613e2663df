// Product paths under the system root, and their rendering in command lines.

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/system_root.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

class SystemRootTest : public ::testing::Test {
  protected:
    void TearDown() override { qvtest::restoreScratchRoot(); }
};

TEST_F(SystemRootTest, RootSlashLeavesPathsAndCommandLinesUnchanged) {
    platform::SystemRoot::set("/");
    EXPECT_EQ(platform::SystemRoot::resolve("/tmp/qvconfig"), "/tmp/qvconfig");
    EXPECT_EQ(platform::SystemRoot::forCommandLine("/tmp/qvconfig"), "/tmp/qvconfig");
    // A path with a space is quoted even at "/": it would split otherwise.
    EXPECT_EQ(platform::SystemRoot::forCommandLine("/Library/Application Support/x"),
              "'/Library/Application Support/x'");
}

TEST_F(SystemRootTest, SandboxRootPrefixesAndQuotesOnlyWhenNeeded) {
    platform::SystemRoot::set("/tmp/box/");
    EXPECT_EQ(platform::SystemRoot::resolve("/tmp/qvconfig"), "/tmp/box/tmp/qvconfig");
    EXPECT_EQ(platform::SystemRoot::resolve("relative"), "relative");
    EXPECT_EQ(platform::SystemRoot::forCommandLine("/tmp/qvconfig"), "/tmp/box/tmp/qvconfig");
    platform::SystemRoot::set("/tmp/it's a box");
    EXPECT_EQ(platform::SystemRoot::forCommandLine("/tmp/x"), "'/tmp/it'\\''s a box/tmp/x'");
}

TEST_F(SystemRootTest, QuotedPathsSurviveBash) {
    for (const std::string word : {"plain", "two words", "it's", "$HOME", "a\"b", "`x`", "*"}) {
        auto result = platform::runProcess(
            "/bin/bash", {"-c", "printf %s " + platform::shellQuoteIfNeeded(word)});
        EXPECT_EQ(result.output, word);
    }
}

TEST(Sha256, KnownDigestsAndStreamingOfAFileLargerThanOneChunk) {
    platform::Sha256 empty;
    EXPECT_EQ(platform::toLowerHex(empty.finish()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    qvtest::TempDir dir;
    qvtest::writeFile(dir / "abc", "abc");
    EXPECT_EQ(platform::sha256OfFile((dir / "abc").string()).hex,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 1 MiB of 'a' spans many read chunks; the digest must equal the one-shot digest.
    const std::string big(1 << 20, 'a');
    qvtest::writeFile(dir / "big", big);
    platform::Sha256 oneShot;
    oneShot.update(big);
    EXPECT_EQ(platform::sha256OfFile((dir / "big").string()).hex,
              platform::toLowerHex(oneShot.finish()));
    auto missing = platform::sha256OfFile((dir / "missing").string());
    EXPECT_FALSE(missing.hex);
    EXPECT_NE(missing.error.find("missing"), std::string::npos);
}

}  // namespace
