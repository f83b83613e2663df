// Enrollment: the installer configuration's fields split as the installer's
// own awk command splits them, and the registration and login that follow.

#include "daemon/enrollment/enrollment.h"
#include "daemon/core/shell.h"
#include "unit/world.h"

namespace {

using namespace QVAgentLaunchDaemon;
using platform::Json;

TEST(InstallerConfiguration, FieldsSplitInProcessAsTheInstallersAwkCommandSplitsThem) {
    qvtest::TempDir dir;
    const std::string file = dir.str() + "/qvconfig";
    for (const std::string content :
         {"KEY\\nACME\\nHQ", "K1\\nC1\\nL1\nK2\\nC2\\nL2\n", "", "\n\n", "only-key",
          "  K \\n C \\n L  \n", "K\\n\\nL\\nextra", "\\nC", "a\\\\nb\\n\\c\\nd",
          "K\\nC\r\nK2\\nC2\r\n", "\nK\\nC\\nL", "\xff\\nC"}) {
        qvtest::writeFile(file, content);
        const auto fields = splitInstallerConfiguration(content);
        const std::optional<std::string>* got[] = {&fields.licenseKey, &fields.companyName,
                                                   &fields.locationName};
        for (int n = 1; n <= 3; ++n) {
            const auto awk = shell("cat '" + file + R"(' | awk 'BEGIN{FS="\\\\n"} {print $)" +
                                   std::to_string(n) + "}'");
            EXPECT_EQ(*got[n - 1], awk) << "field " << n << " of \"" << content << "\"";
        }
    }
}

using Enrollment = qvtest::World;

TEST_F(Enrollment, RegistersWithTheMachinesFactsAndLogsInUnderAnIdentifierMadeSafeForUrls) {
    put("/tmp/qvconfig", "KEY\\nACME Zürich\\nHQ");
    api.setState({{"nextComputerId", "cmp 9"}});
    const auto log = qvtest::logEntriesOf([] { registerComputer(); });
    EXPECT_TRUE(qvtest::inOrder(log, {"INFO Computer ID saved to state",
                                      "INFO Registration Complete!", "INFO Login Complete!"}));
    // clang-format off
    const Json data = {{"machineName", "Sandbox Mac"},
        {"serialNumber", "9A3B1C2D-4E5F-4A6B-8C7D-0E1F2A3B4C5D"},
        {"operatingSystem", {{"name", "macOS"}, {"version", "14.5"}, {"build", "23F79"}}}};
    const auto requests = api.requests();
    EXPECT_EQ(requests.at(0)["body"], Json({{"platform", "mac"}, {"licenseKey", "KEY"},
        {"companyName", "ACME Zürich"}, {"locationName", "HQ"},
        {"machineId", "5E6F7A8B-9C0D-4E1F-A2B3-C4D5E6F7A8B9"}, {"data", data}}).dump());
    // clang-format on
    EXPECT_EQ(requests.at(1)["target"], "/computers/cmp%209/login");
    EXPECT_EQ(requests.at(1)["body"], Json({{"platform", "mac"}, {"data", data}}).dump());
}

}  // namespace
