#include "platform/plist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

namespace {

using platform::PlistArray;
using platform::PlistDict;
using platform::PlistValue;

// A typed rendering, so a bool that came back as an integer (or a lost
// element) shows up in the comparison and in the failure message.
std::string describe(const PlistValue& value) {
    std::ostringstream out;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                out << "str(" << v << ")";
            } else if constexpr (std::is_same_v<T, bool>) {
                out << "bool(" << v << ")";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out << "int(" << v << ")";
            } else if constexpr (std::is_same_v<T, double>) {
                out.precision(17);
                out << "real(" << v << ")";
            } else if constexpr (std::is_same_v<T, PlistArray>) {
                out << "[";
                for (const auto& item : v)
                    out << describe(item) << ",";
                out << "]";
            } else {
                out << "{";
                for (const auto& [key, item] : v)
                    out << key << ":" << describe(item) << ",";
                out << "}";
            }
        },
        value.value);
    return out.str();
}

PlistValue everyType() {
    return PlistDict{
        {"string", "a<b>&\"c' \xC3\xA9t\xC3\xA9"},
        {"empty", ""},
        {"yes", true},
        {"no", false},
        {"zero", 0},
        {"negative", -5},
        {"min", std::numeric_limits<std::int64_t>::min()},
        {"max", std::numeric_limits<std::int64_t>::max()},
        {"real", 0.1},
        {"tiny", -2.5e-10},
        {"list", PlistArray{"one", 2, PlistDict{{"inner", PlistArray{true, -1.5}}}, PlistArray{}}},
        {"nested", PlistDict{{"deeper", PlistDict{{"k", "v"}}}, {"none", PlistDict{}}}},
    };
}

TEST(PlistTest, XmlRoundTripKeepsEveryTypeAndValue) {
    const PlistValue original = everyType();
    const std::string xml = platform::plistToXml(original);
    auto back = platform::plistFromBytes(xml);
    ASSERT_TRUE(back.has_value()) << xml;
    EXPECT_EQ(describe(*back), describe(original));
}

TEST(PlistTest, XmlUsesRealBooleanAndSignedIntegerElements) {
    const std::string xml =
        platform::plistToXml(PlistDict{{"yes", true}, {"no", false}, {"negative", -5}});
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist", 0), 0u)
        << xml;
    EXPECT_NE(xml.find("<key>yes</key>\n\t<true/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<key>no</key>\n\t<false/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<integer>-5</integer>"), std::string::npos) << xml;
}

TEST(PlistTest, ReadsBinaryPropertyLists) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "negative", plist_new_uint(static_cast<std::uint64_t>(-5)));
    plist_dict_set_item(dict, "flag", plist_new_bool(1));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("x"));
    plist_array_append_item(list, plist_new_real(1.25));
    plist_dict_set_item(dict, "list", list);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    plist_free(dict);
    ASSERT_NE(bin, nullptr);
    const std::string bytes(bin, length);
    std::free(bin);

    ASSERT_EQ(bytes.rfind("bplist00", 0), 0u);
    auto back = platform::plistFromBytes(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(describe(*back), "{flag:bool(1),list:[str(x),real(1.25),],negative:int(-5),}");
}

TEST(PlistTest, NonPlistBytesAreAbsent) {
    const std::string valid = platform::plistToXml(everyType());
    for (const std::string& garbage : {
             std::string(),
             std::string("hello"),
             std::string("\0\0\0", 3),
             std::string("bplist00"),
             std::string("bplist00\xff\xff\xff\xff"),
             valid.substr(0, valid.size() / 2),  // torn write
             std::string("<plist version=\"1.0\"><dict><key>a</key>"),
         }) {
        EXPECT_EQ(platform::plistFromBytes(garbage), std::nullopt) << garbage;
    }
}

TEST(PlistTest, MangledInputNeverCrashes) {
    const std::string xml = platform::plistToXml(everyType());
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    plist_free(node);
    const std::string binary(bin, length);
    std::free(bin);

    std::mt19937 random(12345);
    for (int i = 0; i < 3000; ++i) {
        std::string bytes = (i % 2 == 0) ? xml : binary;
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int f = 0; f < flips; ++f)
            bytes[random() % bytes.size()] = static_cast<char>(random());
        if (i % 3 == 0)
            bytes.resize(random() % bytes.size());
        (void)platform::plistFromBytes(bytes);  // may parse or not; must not crash
    }
}

TEST(PlistTest, DatesAndDataCannotBeRepresentedAndReadAsAbsent) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "when", plist_new_date(100, 0));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    plist_free(dict);
    const std::string text(xml, length);
    plist_to_xml_free(xml);
    EXPECT_EQ(platform::plistFromBytes(text), std::nullopt);
}

TEST(PlistTest, WritePlistFileWritesXmlWithTheMode) {
    qvtest::TempDir dir;
    const std::string path = (dir / "com.example.agent.plist").string();
    const PlistValue root = PlistDict{{"Label", "com.example.agent"}, {"RunAtLoad", true}};
    ASSERT_EQ(platform::writePlistFile(path, root, 0600), std::nullopt);
    EXPECT_EQ(qvtest::readFile(path), platform::plistToXml(root));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    auto error = platform::writePlistFile((dir / "missing" / "x.plist").string(), root);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("missing/x.plist"), std::string::npos) << *error;
}

}  // namespace
