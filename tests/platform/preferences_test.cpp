#include "platform/preferences.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/system_root.h"
#include "support/checks.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using qvtest::modeOf;

namespace fs = std::filesystem;
using platform::Preferences;
using testing::HasSubstr;
using testing::Not;

constexpr const char* kDomain = "com.tessaly.Quorvel";

class PreferencesTest : public testing::Test {
  protected:
    void SetUp() override {
        qvtest::useRoot(root_.str());
        Preferences::resetCacheForTesting();
        Preferences::setErrorReporter([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            errors_.push_back(line);
        });
    }
    void TearDown() override {
        Preferences::setErrorReporter(nullptr);
        Preferences::resetCacheForTesting();
        qvtest::restoreScratchRoot();
    }

    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    fs::path file() const { return root_ / "Library/Preferences/com.tessaly.Quorvel.plist"; }

    // Writes the domain file the way another program (or macOS) would.
    void writeDomainWithLibplist(plist_t dict) {
        char* xml = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(dict, &xml, &length);
        plist_free(dict);
        qvtest::writeFile(file(), std::string(xml, length));
        plist_to_xml_free(xml);
    }

    qvtest::TempDir root_;
    std::mutex mutex_;
    std::vector<std::string> errors_;
};

// The file's dictionary as libplist reads it; the caller frees it.
plist_t readDict(const fs::path& path) {
    const std::string bytes = qvtest::readFile(path);
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &node);
    return node;
}

TEST_F(PreferencesTest, ValuesPersistAcrossANewProcessAndRemovalDeletesTheKey) {
    EXPECT_EQ(Preferences::pathForDomain(kDomain), file().string());
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), std::nullopt);

    Preferences::setValue("identifier", "abc-123", kDomain);
    Preferences::setValue("token", "t0k", kDomain);
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "abc-123");
    EXPECT_EQ(modeOf(file().parent_path()), 0755u);
    EXPECT_EQ(modeOf(file()), 0644u);

    Preferences::resetCacheForTesting();
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "abc-123");
    EXPECT_EQ(Preferences::copyString("token", kDomain), "t0k");

    Preferences::setValue("token", std::nullopt, kDomain);
    EXPECT_EQ(Preferences::copyValue("token", kDomain), std::nullopt);
    Preferences::resetCacheForTesting();
    EXPECT_EQ(Preferences::copyValue("token", kDomain), std::nullopt);
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "abc-123");
    EXPECT_THAT(qvtest::readFile(file()), Not(HasSubstr("token")));
    EXPECT_TRUE(errors().empty());
}

TEST_F(PreferencesTest, OutsideChangesAreSeenAfterSynchronizeAndKeptByLaterWrites) {
    Preferences::setValue("mine", "1", kDomain);
    ASSERT_EQ(Preferences::copyString("mine", kDomain), "1");

    plist_t outside = plist_new_dict();
    plist_dict_set_item(outside, "mine", plist_new_string("changed"));
    plist_dict_set_item(outside, "theirs", plist_new_string("added"));
    writeDomainWithLibplist(outside);

    EXPECT_TRUE(Preferences::synchronize(kDomain));
    EXPECT_EQ(Preferences::copyString("mine", kDomain), "changed");

    plist_t again = plist_new_dict();
    plist_dict_set_item(again, "later", plist_new_string("x"));
    writeDomainWithLibplist(again);
    Preferences::setValue("mine", "2", kDomain);
    Preferences::resetCacheForTesting();
    EXPECT_EQ(Preferences::copyString("later", kDomain), "x");
    EXPECT_EQ(Preferences::copyString("mine", kDomain), "2");
}

TEST_F(PreferencesTest, ConcurrentWritersOfDistinctKeysLoseNothing) {
    constexpr int kKeys = 200;
    std::latch start(2);
    auto writer = [&](const std::string& prefix) {
        start.arrive_and_wait();
        for (int i = 0; i < kKeys; ++i) {
            Preferences::setValue(prefix + std::to_string(i), "v" + std::to_string(i), kDomain);
        }
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();

    Preferences::resetCacheForTesting();
    for (int i = 0; i < kKeys; ++i) {
        EXPECT_EQ(Preferences::copyString("a" + std::to_string(i), kDomain),
                  "v" + std::to_string(i));
        EXPECT_EQ(Preferences::copyString("b" + std::to_string(i), kDomain),
                  "v" + std::to_string(i));
    }
    EXPECT_TRUE(errors().empty());
    for (const auto& entry : fs::directory_iterator(file().parent_path())) {
        EXPECT_EQ(entry.path(), file()) << "left behind";
    }
}

// A writer killed at any moment leaves the domain file as it was before or
// after the write it was in: never missing, empty or half-written.
TEST_F(PreferencesTest, AWriterKilledAtAnyMomentLeavesTheOldOrTheNewFile) {
    // Two contents of very different sizes, so a torn write would show.
    const std::string values[] = {"cmp-1", std::string(512 * 1024, 'v')};
    std::string contents[2];
    for (int i : {1, 0}) {
        Preferences::setValue("computerId", values[i], kDomain);
        contents[i] = qvtest::readFile(file());
    }
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 30; ++round) {
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (int i = 1;; i ^= 1)
                Preferences::setValue("computerId", values[i], kDomain);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 60000));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        const std::string now = qvtest::readFile(file());
        ASSERT_TRUE(now == contents[0] || now == contents[1])
            << "round " << round << ": " << now.size() << " bytes";
    }
    Preferences::resetCacheForTesting();
    const auto stored = Preferences::copyString("computerId", kDomain);
    EXPECT_TRUE(stored == values[0] || stored == values[1]);
}

class PreferencesCorruptFileTest : public PreferencesTest,
                                   public testing::WithParamInterface<std::string> {};

TEST_P(PreferencesCorruptFileTest, FileIsMovedAsideReportedAndTheDomainStartsEmpty) {
    const std::string corrupt = GetParam();
    const fs::path aside = file().string() + ".corrupt";
    qvtest::writeFile(file(), corrupt);
    qvtest::writeFile(aside, "an older corrupt file");

    EXPECT_EQ(Preferences::copyString("identifier", kDomain), std::nullopt);

    ASSERT_EQ(errors().size(), 1u);
    EXPECT_THAT(errors()[0], HasSubstr(file().string()));
    EXPECT_EQ(qvtest::readFile(aside), corrupt);
    EXPECT_FALSE(platform::fileExists(file().string()));

    Preferences::setValue("identifier", "fresh", kDomain);
    Preferences::resetCacheForTesting();
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "fresh");
    EXPECT_EQ(errors().size(), 1u);
}

struct CorruptCase {
    const char* name;
    std::string content;
};

const CorruptCase kCorruptCases[] = {
    {"TornXml",
     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
     "\t<key>identifier</key>\n\t<str"},
    {"NotAPlist", "identifier=abc\n"},
    {"ZeroLength", ""},
    {"TopLevelArray", "<plist version=\"1.0\"><array><string>x</string></array></plist>"},
};

std::string corruptCaseName(const testing::TestParamInfo<std::string>& info) {
    return kCorruptCases[info.index].name;
}

INSTANTIATE_TEST_SUITE_P(Preferences, PreferencesCorruptFileTest,
                         testing::Values(kCorruptCases[0].content, kCorruptCases[1].content,
                                         kCorruptCases[2].content, kCorruptCases[3].content),
                         corruptCaseName);

TEST_F(PreferencesTest, ACorruptFileMetByAWriteIsReplacedByTheNewValue) {
    qvtest::writeFile(file(), "garbage");
    Preferences::setValue("identifier", "abc", kDomain);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(qvtest::readFile(file().string() + ".corrupt"), "garbage");
    Preferences::resetCacheForTesting();
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "abc");
}

TEST_F(PreferencesTest, TheDefaultReporterWritesTheLineToStderr) {
    Preferences::setErrorReporter(nullptr);
    qvtest::writeFile(file(), "not a plist");
    testing::internal::CaptureStderr();
    (void)Preferences::copyValue("identifier", kDomain);
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_THAT(output, HasSubstr(file().string()));
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1);
}

TEST_F(PreferencesTest, ValuesOfOtherTypesReadAsNotAStringAndSurviveOtherWrites) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "count", plist_new_uint(static_cast<std::uint64_t>(-5)));
    plist_dict_set_item(dict, "enabled", plist_new_bool(1));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("one"));
    plist_array_append_item(list, plist_new_uint(2));
    plist_dict_set_item(dict, "list", list);
    plist_dict_set_item(dict, "blob", plist_new_data("\x01\x00\x02", 3));
    plist_dict_set_item(dict, "when", plist_new_date(700000000, 0));
    writeDomainWithLibplist(dict);

    EXPECT_EQ(Preferences::copyString("count", kDomain), std::nullopt);
    auto count = Preferences::copyValue("count", kDomain);
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(std::get<std::int64_t>(count->value), -5);
    auto enabled = Preferences::copyValue("enabled", kDomain);
    ASSERT_TRUE(enabled.has_value());
    EXPECT_EQ(std::get<bool>(enabled->value), true);
    for (const char* key : {"list", "blob", "when"}) {
        auto value = Preferences::copyValue(key, kDomain);
        ASSERT_TRUE(value.has_value()) << key;
        EXPECT_TRUE(std::holds_alternative<platform::PreferenceValue::Other>(value->value)) << key;
        EXPECT_EQ(value->asString(), std::nullopt) << key;
    }

    Preferences::setValue("identifier", "abc", kDomain);

    plist_t after = readDict(file());
    ASSERT_NE(after, nullptr);
    std::uint64_t number = 0;
    plist_get_uint_val(plist_dict_get_item(after, "count"), &number);
    EXPECT_EQ(static_cast<std::int64_t>(number), -5);
    plist_t keptList = plist_dict_get_item(after, "list");
    ASSERT_EQ(plist_get_node_type(keptList), PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(keptList), 2u);
    EXPECT_STREQ(plist_get_string_ptr(plist_array_get_item(keptList, 0), nullptr), "one");
    std::uint64_t blobLength = 0;
    const char* blob = plist_get_data_ptr(plist_dict_get_item(after, "blob"), &blobLength);
    EXPECT_EQ(std::string(blob, blobLength), std::string("\x01\x00\x02", 3));
    std::int32_t seconds = 0;
    std::int32_t micros = 0;
    plist_get_date_val(plist_dict_get_item(after, "when"), &seconds, &micros);
    EXPECT_EQ(seconds, 700000000);
    EXPECT_STREQ(plist_get_string_ptr(plist_dict_get_item(after, "identifier"), nullptr), "abc");
    plist_free(after);
}

TEST_F(PreferencesTest, AFailedWriteIsReportedKeptAndRetriedBySynchronize) {
    // A file where the Preferences folder belongs makes every write fail, even as root.
    qvtest::writeFile(root_ / "Library/Preferences", "in the way");

    Preferences::setValue("identifier", "abc", kDomain);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_THAT(errors()[0], HasSubstr((root_ / "Library/Preferences").string()));
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "abc");
    EXPECT_FALSE(Preferences::synchronize(kDomain));

    fs::remove(root_ / "Library/Preferences");
    EXPECT_TRUE(Preferences::synchronize(kDomain));
    Preferences::resetCacheForTesting();
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "abc");
}

}  // namespace
