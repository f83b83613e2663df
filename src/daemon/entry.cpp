// QVAgentLaunchDaemon: the root launch daemon of the Quorvel agent.

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstring>
#include <iostream>

#include "daemon/core/app_core.h"
#include "daemon/main_task.h"
#include "daemon/status.h"
#include "platform/failure_reporter.h"

namespace {

constexpr const char* kHelp = R"(Usage: QVAgentLaunchDaemon [--version | --help | --status [--json]]

Runs the Quorvel agent's launch daemon: enrolls the computer, provisions the
MDM agent and the Support App, then fetches configuration and reports state
for the life of the process. Without arguments it runs as the daemon.

  --status         prints whether the computer is enrolled (computer id, agent
                   id, admin portal), whether diagnostics are on and this run's
                   diagnostic log, whether an agent update is in progress, and
                   the last configuration fetch, check-in and error of the text
                   log; read-only, safe while the daemon runs. Exit status 0
                   when enrolled, 1 when not
  --status --json  the same as one JSON object (absent values null)

Environment, read once at start:
  QV_ROOT                   system root under which every product path resolves (default /)
  QV_API_BASE_URL           sets all four API base URLs
  QV_ADMIN_PORTAL_BASE_URL  admin-portal base URL (after QV_API_BASE_URL)
  QV_CHECKIN_BASE_URL       check-in base URL (login, configuration)
  QV_REALTIME_BASE_URL      realtime base URL (state, pending actions, MDM agent, uninstall)
  QV_DEPLOYMENT_BASE_URL    deployment base URL (registration)
  QV_CA_FILE                extra PEM CA bundle trusted for TLS (verification is always on)
  QV_REQUEST_TIMEOUT_S      request time-out without progress, in seconds (default 60);
                            an answer also ends after twice this in all
  QV_DOWNLOAD_TIMEOUT_S     limit of a download in all, in seconds (default 1800)
)";

}  // namespace

int main(int argc, char** argv) {
    using namespace QVAgentLaunchDaemon;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << App::Core::Metadata::version() << "\n";
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kHelp;
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--status") == 0) {
        if (argc == 2 || (argc == 3 && std::strcmp(argv[2], "--json") == 0))
            return runStatusCommand(argc == 3);
        std::cerr << "QVAgentLaunchDaemon: --status takes only --json\n\n" << kHelp;
        return 2;
    }
    if (argc > 1) {
        std::cerr << "QVAgentLaunchDaemon: unknown argument '" << argv[1] << "'\n\n" << kHelp;
        return 2;
    }

    // Modes of what the daemon creates never depend on the umask it inherited,
    // and a closed standard output is an error to write to, not a death.
    ::umask(022);
    std::signal(SIGPIPE, SIG_IGN);
    platform::setFailureReporter(
        [](const std::string& line) { App::Core::Logging::WriteError(line); });
    startDaemon();
    for (;;)
        pause();  // the dispatch main loop: the process ends when launchd stops it
}
