// qv-bench-download URL: downloads URL as the daemon downloads an agent update
// (App::Core::AgentUpdates::downloadAgentUpdate: the framework's file download
// on the shared HTTP session) into the product's temp folder under QV_ROOT and
// prints
//   result seconds=<s> bytes=<n> peakBeforeKib=<n> peakAfterKib=<n> path=<file>
// the path last, as it may hold spaces. The caller removes the file.

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "daemon/core/app_core.h"
#include "peak_rss.h"
#include "platform/http_session.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qv-bench-download URL\n");
        return 2;
    }
    using namespace QVAgentLaunchDaemon;
    // The log and the HTTP session exist before a running daemon downloads.
    App::Core::Logging::WriteLine("Benchmark: downloading " + std::string(argv[1]));
    platform::HttpSession::shared();
    const long before = bench::peakRssKib();
    try {
        const auto start = std::chrono::steady_clock::now();
        const std::string path = App::Core::AgentUpdates::downloadAgentUpdate(argv[1]);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const long after = bench::peakRssKib();
        std::printf("result seconds=%.6f bytes=%llu peakBeforeKib=%ld peakAfterKib=%ld path=%s\n",
                    took.count(), static_cast<unsigned long long>(std::filesystem::file_size(path)),
                    before, after, path.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qv-bench-download: %s\n", error.what());
        return 1;
    }
}
