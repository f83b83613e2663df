// What a local user can plant for the root daemon, with the real binary: an
// entry at "/tmp/qvconfig" or "/tmp/qvupdate.trigger" made by an unprivileged
// user (a link, a FIFO, a file of their own) or by no installer (a second hard
// link, a folder) is never followed nor trusted; folders get their modes
// whatever the umask; a closed standard output does not end the daemon.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>

#include <chrono>

#include "support/checks.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

using qvtest::kProduct;

const std::string kSecret = "/private/secret";

// The sandbox made reachable for "nobody", with a /tmp anyone may write to,
// and a root-only file that a planted link would make the daemon read.
void openToOthers(qvtest::Sandbox& box) {
    ::chmod(box.root().c_str(), 0755);
    ::chmod(box.path("/tmp").c_str(), 01777);
    box.writeFile(kSecret, "ROOT-ONLY\\nSECRET\\nDATA", 0600);
}

void asNobody(const std::string& command) {
    int status = -1;
    ::waitpid(qvtest::spawnAsNobody({"/bin/sh", "-c", command}, "/dev/null"), &status, 0);
    ASSERT_EQ(status, 0) << command;
}

// How each entry is planted at the path (%s) and the reason logged for it.
struct Plant {
    const char* name;
    std::string command;  // run by nobody unless it starts with "root:"
    const char* reason;
};

std::vector<Plant> plants(qvtest::Sandbox& box) {
    const std::string secret = box.path(kSecret);
    return {
        {"link", "ln -s " + secret + " %s", "it is a symbolic link"},
        {"link to /dev/zero", "ln -s /dev/zero %s", "it is a symbolic link"},
        {"fifo", "mkfifo %s", "it is not a regular file"},
        {"foreign owner", "printf \"A\\\\nB\\\\nC\" > %s; chmod 600 %s",
         "it is owned by user 65534"},
        {"group writable", "root:echo x > %s; chmod 664 %s", "it is writable by group or others"},
        // A copy of the secret of its own per path, so that each entry has two links.
        {"hard link", "root:cp " + secret + " %s.original; ln %s.original %s",
         "it has 2 hard links"},
        {"folder", "root:mkdir -p %s/inside", "it is not a regular file"},
        {"too large", "root:head -c 70000 /dev/zero > %s", "it is larger than 65536 bytes"},
    };
}

void plant(const Plant& p, const std::string& path) {
    std::string command = p.command;
    for (auto at = command.find("%s"); at != std::string::npos; at = command.find("%s"))
        command.replace(at, 2, path);
    if (command.starts_with("root:"))
        qvtest::sh(command.substr(5));
    else
        asNobody(command);
}

// Each entry is planted at both paths at once.
TEST(LocalAttacks, PlantedInstallerConfigurationAndUpdateTriggerAreNotFollowedReadOrTrusted) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    openToOthers(box);
    for (const auto& p : plants(box)) {
        SCOPED_TRACE(p.name);
        plant(p, box.path("/tmp/qvconfig"));
        plant(p, box.path("/tmp/qvupdate.trigger"));
        box.startDaemon(api.baseUrl());
        // The trigger is read once the daemon holds a token.
        ASSERT_TRUE(box.waitForLog(std::string(" removed (") + p.reason + ")", 10s))
            << box.textLog();
        box.stopDaemon();
        const std::string log = box.textLog();
        EXPECT_NE(log.find(std::string("ERROR Installer configuration file ignored: ") + p.reason),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("SECRET"), std::string::npos);
        EXPECT_EQ(log.find("Contents of QVConfig"), std::string::npos);
        EXPECT_FALSE(box.exists("/tmp/qvconfig"));
        EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));
        EXPECT_EQ(box.readFile(kSecret), "ROOT-ONLY\\nSECRET\\nDATA");
        const auto registration = api.requestsTo("POST", "/computers/mac").back();
        EXPECT_EQ(json::parse(registration["body"].get<std::string>())["licenseKey"], "");
        std::filesystem::remove(box.path("/Library/Preferences/com.tessaly.Quorvel.plist"));
        std::filesystem::remove(box.path(kProduct + "/logs/TotalLog.log"));
    }
    EXPECT_TRUE(api.state()["agentUpdateRequests"].is_null()) << api.state();

    // A trusted trigger whose package line names a file outside the temp folder.
    box.writeFile("/tmp/qvupdate.trigger", "upd-1\n" + box.path(kSecret), 0600);
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(api.waitForRequest("POST", "/agentUpdateRequests/upd-1/status")) << box.textLog();
    EXPECT_TRUE(box.exists(kSecret));
}

// A local user who races folders into the trigger's path, as fast as it can,
// cannot block an update: the trigger is swapped in whatever is there.
TEST(LocalAttacks, FoldersRacedIntoTheTriggerPathDoNotBlockAnUpdate) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    openToOthers(box);
    api.setState(
        {{"pendingActions",
          json::array({{{"type", "updateAgent"}, {"value", "upd-1"}, {"display", "2"}}})}});
    box.writeFile("/Library/Addigy/go-agent", "#!/bin/sh\necho agent-1\n", 0755);
    box.installShim("installer", "/usr/sbin/installer");
    const pid_t planter =
        qvtest::spawnAsNobody({"/bin/bash", "-c",
                               "while [ $SECONDS -lt 30 ]; do mkdir -p '" +
                                   box.path("/tmp/qvupdate.trigger") + "/x' 2>/dev/null; done"},
                              box.path("/planter.out"));
    ASSERT_TRUE(qvtest::eventually([&] { return box.exists("/tmp/qvupdate.trigger/x"); }));
    box.startDaemon(api.baseUrl());
    const bool installed = api.waitForRequest("POST", "/computers/pendingActions/completed", 30s);
    ::kill(planter, SIGKILL);
    box.stopDaemon();
    ASSERT_TRUE(installed) << box.textLog();
    EXPECT_TRUE(box.readFile("/tmp/qvupdate.trigger").starts_with("upd-1\n"));
    for (const auto& entry : std::filesystem::directory_iterator(box.path("/tmp")))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".qvupdate")) << entry.path();
}

TEST(LocalAttacks, FoldersGetTheirModesUnderAnyUmaskAndAClosedStdoutIsSurvived) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY\\nACME\\nHQ");
    const mode_t saved = ::umask(0);
    // Standard output is a pipe whose reader is gone at once.
    auto env = box.daemonEnvironment(api.baseUrl());
    env["QVD"] = QV_DAEMON_BINARY;
    qvtest::spawnProcess("/bin/bash",
                         {"-c",
                          "\"$QVD\" > >(true) & sleep 6; kill -0 $! && echo running > "
                          "\"$QV_ROOT/rc\"; kill $!; wait $!"},
                         env, box.path("/out"));
    ::umask(saved);
    ASSERT_TRUE(box.waitForLog("INFO Triggers folder exists.", 10s)) << box.textLog();
    EXPECT_EQ(qvtest::modeOf(box.path(kProduct + "/Triggers")), 0755u);
    EXPECT_EQ(qvtest::modeOf(box.path(kProduct + "/logs")), 0755u);
    EXPECT_EQ(qvtest::modeOf(box.path(kProduct + "/temp")), 0700u);
    ASSERT_TRUE(qvtest::eventually([&] { return box.exists("/rc"); }));
    EXPECT_EQ(box.readFile("/rc"), "running\n");  // not ended by SIGPIPE
}

}  // namespace
