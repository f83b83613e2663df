// What the daemon keeps on disk: files replaced atomically with an exact mode,
// whole appended lines, folders, SHA-256 digests, property lists in and out,
// the preferences domain (other programs' edits, concurrent and failed writes,
// corrupt files), and product paths under the system root.

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "platform/failure_reporter.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/preferences.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/system_root.h"
#include "support/checks.h"
#include "support/log_capture.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using platform::PlistArray;
using platform::PlistDict;
using platform::Preferences;
using qvtest::modeOf;
using qvtest::readFile;
constexpr const char* kDomain = "com.tessaly.Quorvel";

// A fresh folder, which is also the system root, under the daemon's umask of
// 022: a mode wider than 0755 (or than mkstemp's 0600) can only come from the
// code under test. No preferences domain is cached for a new root; the error
// lines preferences report are collected.
class Storage : public testing::Test {
  protected:
    Storage() {
        qvtest::useRoot(dir_.str());
        platform::setFailureReporter([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            errors_ += line + "\n";
        });
    }
    ~Storage() override {
        platform::setFailureReporter(nullptr);
        qvtest::restoreScratchRoot();
        ::umask(saved_);
    }
    std::string at(const std::string& name) const { return (dir_ / name).string(); }
    // The preferences value as a new process reads it.
    static std::optional<std::string> stored(const std::string& key) {
        Preferences::resetCacheForTesting();
        return Preferences::copyString(key, kDomain);
    }

    const mode_t saved_ = ::umask(022);
    qvtest::TempDir dir_;
    const std::string folder_ = at("Library/Preferences"),
                      file_ = folder_ + "/" + kDomain + ".plist";
    std::mutex mutex_;
    std::string errors_;
};

// A property list holding a dictionary with these entries.
std::string plist(const std::string& entries) {
    return "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>";
}

TEST_F(Storage, FilesAreReplacedWholeWithTheirModeFoldersMadeExactlyAndFilesReadWhole) {
    qvtest::writeFile(at("settings"), "old content that is longer than the new one");
    for (auto [text, mode] : {std::pair<std::string, mode_t>{{"new\0bin", 7}, 0664}, {"", 0600}}) {
        ASSERT_TRUE(platform::writeFileAtomically(at("settings"), text, mode).ok());
        EXPECT_TRUE(readFile(at("settings")) == text && modeOf(at("settings")) == mode);
    }
    // A failed write names the file; one failing at the rename (a non-empty folder in the
    // way) leaves no temporary file behind.
    qvtest::writeFile(at("occupied/inside"), "keep");
    for (const char* path : {"absent/file", "occupied"})
        EXPECT_NE(platform::writeFileAtomically(at(path), "x").error().find(at(path) + ": "),
                  std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2);

    const std::string big(100000, 'x');  // more than one of the chunks files are read in
    qvtest::writeFile(at("big"), big);
    ASSERT_TRUE(platform::createDirectories(at("a/b/c/"), 0775).ok());
    ASSERT_TRUE(platform::createDirectories(at("a/b/c"), 0700).ok());  // existing ones stay
    EXPECT_TRUE(modeOf(at("a")) == 0775 && modeOf(at("a/b/c")) == 0775);
    EXPECT_EQ(platform::createDirectories(at("big/sub")).error(),
              "cannot create folder " + at("big") + ": Not a directory");
    EXPECT_TRUE(platform::readFile(at("big")).valueOr("") == big);
    EXPECT_TRUE(platform::readFile(at("missing")).failed());
    EXPECT_TRUE(platform::readFile(dir_.str()).failed());  // a folder is not a file
    std::filesystem::create_symlink(at("nowhere"), at("dangling"));
    EXPECT_TRUE(platform::fileExists(at("dangling")) && !platform::fileExists(at("nowhere")));

    EXPECT_EQ(platform::sha256OfFile(at("big")).hex,  // as `sha256sum` gives it
              "d69e68988157833272305aaf21f453c800346e8a3640db6578e260215542e5d4");
}

TEST_F(Storage, PropertyListsAreWrittenAsXmlAndReadFromXmlOrBinaryButNotFromGarbage) {
    const platform::PlistValue everyType = PlistDict{
        {"strings", PlistArray{"a<b>&\"c' \xC3\xA9t\xC3\xA9", ""}},
        {"flags", PlistArray{true, false}},
        {"numbers", PlistArray{-5, INT64_MIN, INT64_MAX, 0.1, -2.5e-10}},
        {"nested", PlistDict{{"list", PlistArray{"one", PlistDict{{"k", "v"}}, PlistArray{}}},
                             {"none", PlistDict{}}}}};
    ASSERT_TRUE(platform::writePlistFile(at("agent.plist"), everyType, 0640).ok());
    const std::string xml = readFile(at("agent.plist"));
    EXPECT_EQ(modeOf(at("agent.plist")), 0640u);
    for (const char* part : {"<true/>", "<false/>", "<integer>-5</integer>"})
        EXPECT_NE(xml.find(part), std::string::npos) << part;

    plist_t node = nullptr;  // the same tree in the binary format, as macOS tools write it
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    const std::string binary(bin, length);
    plist_free(node), std::free(bin);
    EXPECT_EQ(platform::plistToXml(platform::plistFromBytes(xml).value_or("(refused)")), xml);
    EXPECT_EQ(platform::plistToXml(platform::plistFromBytes(binary).value_or("(refused)")), xml);
    for (std::string bytes :
         {"", "hello", "bplist00\xff\xff\xff\xff", "<plist><dict><key>a</key>",
          "<plist><dict><key>d</key><date>2023-03-07T20:26:40Z</date></dict></plist>"})
        EXPECT_EQ(platform::plistFromBytes(bytes), std::nullopt) << bytes;
    EXPECT_EQ(platform::plistFromBytes(xml.substr(0, xml.size() / 2)), std::nullopt);  // torn
    const std::string nulInKey(  // a binary list whose only key is "a" and a NUL
        "bplist00\xD1\x01\x02\x62\x00\x61\x00\x00\x51v\x08\x0B\x10\0\0\0\0\0\0\x01\x01"
        "\0\0\0\0\0\0\0\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x12",
        53);
    EXPECT_EQ(platform::plistFromBytes(nulInKey), std::nullopt);
}

TEST_F(Storage, PreferencesReplaceTheFileKeepOthersEditsAndTypesAndSurviveCorruptOrFailedWrites) {
    (void)Preferences::setValue("token", "t0k", kDomain);
    EXPECT_TRUE(modeOf(folder_) == 0755 && modeOf(file_) == 0644);
    struct stat before = {}, after = {};
    ::stat(file_.c_str(), &before);
    (void)Preferences::setValue("token", std::nullopt, kDomain);
    EXPECT_EQ(stored("token"), std::nullopt);
    // A new file renamed over the old one: a writer dying half-way leaves the old file whole.
    EXPECT_TRUE(::stat(file_.c_str(), &after) == 0 && after.st_ino != before.st_ino);

    // Another program's edit is seen after synchronize, and kept by our next write.
    qvtest::writeFile(file_, plist("<key>identifier</key><string>changed</string>"));
    EXPECT_TRUE(Preferences::synchronize(kDomain));
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "changed");
    qvtest::writeFile(file_, plist("<key>theirs</key><string>x</string>"));
    (void)Preferences::setValue("mine", "2", kDomain);
    EXPECT_TRUE(stored("theirs") == "x" && stored("mine") == "2");

    // Values of other types read as not a string and come back character for character.
    const std::string others =
        "<key>count</key>\n\t<integer>-5</integer>\n\t<key>enabled</key>\n\t<true/>\n\t"
        "<key>ratio</key>\n\t<real>0.5</real>\n\t<key>list</key>\n\t<array>\n\t\t"
        "<string>one</string>\n\t</array>\n\t<key>blob</key>\n\t<data>\n\tAQAC\n\t"
        "</data>\n\t<key>when</key>\n\t<date>2023-03-07T20:26:40Z</date>";
    qvtest::writeFile(file_, plist(others));
    auto value = [](const char* key) { return Preferences::copyValue(key, kDomain)->value; };
    EXPECT_TRUE(Preferences::synchronize(kDomain));
    EXPECT_TRUE(std::get<std::int64_t>(value("count")) == -5 && std::get<bool>(value("enabled")) &&
                std::get<double>(value("ratio")) == 0.5);
    for (const char* key : {"list", "blob", "when"})
        EXPECT_TRUE(std::holds_alternative<platform::PreferenceValue::Other>(value(key))) << key;
    EXPECT_EQ(Preferences::copyString("count", kDomain), std::nullopt);
    (void)Preferences::setValue("identifier", "abc", kDomain);
    EXPECT_TRUE(stored("identifier") == "abc" && readFile(file_).find(others) != std::string::npos)
        << readFile(file_);

    // A corrupt file is moved aside, reported once, and the domain starts empty.

    const std::string aside = file_ + ".corrupt",
                      moved = "; moved it to " + aside + " and started the domain empty\n";
    for (const auto& [corrupt, reason] : std::initializer_list<std::pair<std::string, std::string>>{
             {"", "is empty"},
             {plist("<key>identifier</key><str"), "is not a property list"},  // torn
             {"<plist version=\"1.0\"><array/></plist>",
              "does not hold a dictionary at its top level"}}) {
        SCOPED_TRACE(corrupt);
        errors_.clear();
        qvtest::writeFile(file_, corrupt);
        qvtest::writeFile(aside, "an older corrupt file");
        EXPECT_EQ(stored("identifier"), std::nullopt);
        EXPECT_TRUE(!std::filesystem::exists(file_) && readFile(aside) == corrupt);
        (void)Preferences::setValue("identifier", "fresh", kDomain);
        EXPECT_EQ(stored("identifier"), "fresh");
        EXPECT_EQ(errors_, "Preferences file " + file_ + " " + reason + moved);
    }
    // A file where the Preferences folder belongs makes every write fail, even as root.
    std::filesystem::remove_all(folder_);
    qvtest::writeFile(folder_, "in the way");
    errors_.clear();
    (void)Preferences::setValue("identifier", "kept", kDomain);
    EXPECT_EQ(errors_,
              "Cannot write preferences: cannot create folder " + folder_ + ": Not a directory\n");
    EXPECT_EQ(Preferences::copyString("identifier", kDomain), "kept");
    EXPECT_FALSE(Preferences::synchronize(kDomain));
    std::filesystem::remove(folder_);
    EXPECT_TRUE(Preferences::synchronize(kDomain));
    EXPECT_EQ(stored("identifier"), "kept");

    platform::setFailureReporter(nullptr);  // without a reporter the line goes to stderr, whole
    qvtest::writeFile(file_, "not a plist");
    EXPECT_EQ(qvtest::stderrOf([] { EXPECT_EQ(stored("identifier"), std::nullopt); }),
              "Preferences file " + file_ + " is not a property list" + moved);
}

// Threads appending to one log and writing one preferences domain at once lose
// and tear nothing.
TEST_F(Storage, ConcurrentWritersLoseNothing) {
    auto writer = [this](char c) {  // long lines: a split write would show as a torn one
        for (int i = 0; i < 50; ++i) {
            EXPECT_TRUE(platform::appendToFile(at("log"), std::string(300, c) + "\n").ok());
            (void)Preferences::setValue(c + std::to_string(i), "v", kDomain);
        }
    };
    std::vector<std::thread> writers;
    for (const char c : {'a', 'b', 'c', 'd'})
        writers.emplace_back(writer, c);
    for (auto& thread : writers)
        thread.join();
    const std::string log = readFile(at("log"));
    EXPECT_TRUE(log.size() == 200u * 301 && modeOf(at("log")) == 0644u) << log.size();
    Preferences::resetCacheForTesting();  // read back as a new process would
    for (char c = 'a'; c < 'e'; ++c) {
        EXPECT_EQ(qvtest::countOf(log, std::string(300, c) + "\n"), 50) << c;
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(Preferences::copyString(c + std::to_string(i), kDomain), "v") << c << i;
    }
}

TEST(SystemRoot, ProductPathsResolveUnderTheRootAndAreQuotedForBashOnlyWhenNeeded) {
    using platform::SystemRoot;
    for (const auto& [root, path, resolved, quoted] :
         std::initializer_list<std::array<std::string, 4>>{
             {"/", "/tmp/qvconfig", "/tmp/qvconfig", "/tmp/qvconfig"},
             {"", "/A B/x", "/A B/x", "'/A B/x'"},
             {"/tmp/box/", "/tmp/x", "/tmp/box/tmp/x", "/tmp/box/tmp/x"},
             {"/tmp/box", "rel", "rel", "rel"},
             {"/tmp/box", "", "", "''"},
             {"/tmp/it's", "/x", "/tmp/it's/x", "'/tmp/it'\\''s/x'"}}) {
        SystemRoot::set(root);
        EXPECT_EQ(SystemRoot::resolve(path), resolved);
        EXPECT_EQ(SystemRoot::forCommandLine(path), quoted);
    }
    qvtest::restoreScratchRoot();
    for (const std::string word : {"plain", "two words", "it's", "$HOME", "a\"b", "`x`", "*"}) {
        const auto command = "printf %s " + platform::shellQuoteIfNeeded(word);
        EXPECT_EQ(platform::runProcess("/bin/bash", {"-c", command}).output, word);
    }
}

}  // namespace
