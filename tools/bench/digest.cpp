// qv-bench-digest FILE DIGEST: times the update package check the daemon runs
// (verifyFileHash: SHA-256 of the file, streamed, against DIGEST) and prints
//   result seconds=<s> match=<true|false> peakBeforeKib=<n> peakAfterKib=<n>
// The check logs like the daemon's, under QV_ROOT.

#include <chrono>
#include <cstdio>

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"
#include "peak_rss.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qv-bench-digest FILE DIGEST\n");
        return 2;
    }
    using namespace QVAgentLaunchDaemon;
    // The log is opened first, as it is in a running daemon.
    App::Core::Logging::WriteLine("Benchmark: verifying the digest of " + std::string(argv[1]));
    const long before = bench::peakRssKib();
    const auto start = std::chrono::steady_clock::now();
    const bool match = verifyFileHash(argv[1], argv[2]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const long after = bench::peakRssKib();
    std::printf("result seconds=%.6f match=%s peakBeforeKib=%ld peakAfterKib=%ld\n", took.count(),
                match ? "true" : "false", before, after);
    return match ? 0 : 1;
}
