// fleet-sim: the load a fleet of agents puts on the Quorvel API. Every agent
// runs the daemon's own configuration and state workers (jitter, backoff,
// check-in rule, the kernel's random source), stepped once per virtual second
// against a model of the server, in three scenarios: a steady fleet, a mass
// reboot, and a ten-minute outage with its recovery.
//
//   fleet-sim [--agents N] [--reboot-hours H] [--csv DIR]
//
// N agents (default 10,000); the mass reboot is followed for H hours (default 3).
// With --csv, DIR/<scenario>.csv holds the requests of every second and
// DIR/<scenario>-per-minute.csv those of every minute.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fleet.h"
#include "platform/system_root.h"

namespace {

using fleetsim::Fleet;
using fleetsim::Kind;
using fleetsim::Traffic;

constexpr std::int64_t kHour = 3600;
constexpr const char* kKindNames[] = {"configuration", "check-in", "state"};

struct Scenario {
    std::string name;  // names its CSV files
    std::string title;
    std::vector<std::int64_t> starts;
    std::int64_t seconds;
    fleetsim::Outage outage;
    std::int64_t measuredFrom;  // the headline figures cover measuredFrom..seconds
};

std::vector<std::int64_t> startsSpreadOverAnHour(std::int64_t agents,
                                                 platform::RandomSource& random) {
    std::vector<std::int64_t> starts(static_cast<std::size_t>(agents));
    for (auto& start : starts)
        start = random.uniform(0, kHour - 1);
    return starts;
}

std::vector<Scenario> scenarios(std::int64_t agents, std::int64_t rebootHours,
                                platform::RandomSource& random) {
    return {
        {"steady",
         "(a) steady: agents started at random over the first hour",
         startsSpreadOverAnHour(agents, random),
         3 * kHour,
         {},
         kHour},
        {"mass-reboot",
         "(b) mass reboot: every agent started in the same second",
         std::vector<std::int64_t>(static_cast<std::size_t>(agents), 0),
         rebootHours * kHour,
         {},
         0},
        {"outage",
         "(c) outage: started over the first hour; from 2:00:00 to 2:10:00 the configuration "
         "answer does not decode",
         startsSpreadOverAnHour(agents, random),
         4 * kHour,
         {2 * kHour, 2 * kHour + 600},
         kHour},
    };
}

std::string clock(std::int64_t second) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(second / 3600),
                  static_cast<long long>(second / 60 % 60), static_cast<long long>(second % 60));
    return text;
}

std::int64_t total(const std::array<std::int64_t, fleetsim::kKinds>& counts) {
    return counts[0] + counts[1] + counts[2];
}

// Requests of one kind (kKinds: all of them) in each second of the run.
std::vector<std::int64_t> series(const Traffic& traffic, int kind) {
    std::vector<std::int64_t> values;
    values.reserve(traffic.perSecond.size());
    for (const auto& counts : traffic.perSecond)
        values.push_back(kind == fleetsim::kKinds ? total(counts) : counts[kind]);
    return values;
}

// Mean and peak per second and per whole minute of [from, to), minutes
// counted from the start of the run.
struct Figures {
    std::int64_t requests = 0;
    double meanPerSecond = 0;
    std::int64_t peakPerSecond = 0;
    double meanPerMinute = 0;
    std::int64_t peakPerMinute = 0;
};

Figures figures(const std::vector<std::int64_t>& perSecond, std::int64_t from, std::int64_t to) {
    Figures f;
    std::int64_t minute = 0;
    for (std::int64_t second = from; second < to; ++second) {
        const std::int64_t count = perSecond[static_cast<std::size_t>(second)];
        f.requests += count;
        f.peakPerSecond = std::max(f.peakPerSecond, count);
        minute += count;
        if (second % 60 == 59 || second == to - 1) {
            f.peakPerMinute = std::max(f.peakPerMinute, minute);
            minute = 0;
        }
    }
    f.meanPerSecond = static_cast<double>(f.requests) / static_cast<double>(to - from);
    f.meanPerMinute = f.meanPerSecond * 60;
    return f;
}

double ratio(double peak, double mean) {
    return mean > 0 ? peak / mean : 0;
}

void printFigures(const char* label, const Figures& f) {
    std::printf("  %-14s %8.1f %8lld %9.2f %10.1f %9lld %9.2f\n", label, f.meanPerSecond,
                static_cast<long long>(f.peakPerSecond),
                ratio(static_cast<double>(f.peakPerSecond), f.meanPerSecond), f.meanPerMinute,
                static_cast<long long>(f.peakPerMinute),
                ratio(static_cast<double>(f.peakPerMinute), f.meanPerMinute));
}

// How long after the outage the agents had a decoded configuration again.
void printRecovery(const Scenario& scenario, const Fleet& fleet) {
    std::vector<std::int64_t> waits;
    for (const auto& agent : fleet.agents()) {
        if (agent.configuredAfterOutage >= 0)
            waits.push_back(agent.configuredAfterOutage - scenario.outage.end);
    }
    if (waits.empty())
        return;
    std::sort(waits.begin(), waits.end());
    const auto after = [&](double share) {
        return clock(
            waits[static_cast<std::size_t>(share * static_cast<double>(waits.size() - 1))]);
    };
    const std::size_t missing = fleet.agents().size() - waits.size();
    const std::string last = missing == 0
                                 ? "all after " + clock(waits.back())
                                 : std::to_string(missing) + " still without one at the end";
    std::printf(
        "  after the outage, agents with a configuration again: half after %s, 90%% after "
        "%s, 99%% after %s, %s\n",
        after(0.5).c_str(), after(0.9).c_str(), after(0.99).c_str(), last.c_str());
}

void printSummary(const Scenario& scenario, const Fleet& fleet, double runSeconds) {
    const Traffic& traffic = fleet.traffic();
    std::printf("\n%s\n", scenario.title.c_str());
    std::printf("  from %s to %s:\n", clock(scenario.measuredFrom).c_str(),
                clock(scenario.seconds).c_str());
    std::printf("  %-14s %8s %8s %9s %10s %9s %9s\n", "", "mean/s", "peak/s", "peak/mean",
                "mean/min", "peak/min", "peak/mean");
    for (int kind = 0; kind < fleetsim::kKinds; ++kind)
        printFigures(kKindNames[kind],
                     figures(series(traffic, kind), scenario.measuredFrom, scenario.seconds));
    const auto all = series(traffic, fleetsim::kKinds);
    printFigures("all requests", figures(all, scenario.measuredFrom, scenario.seconds));

    std::printf("  %-20s %10s %8s %8s %9s\n", "each hour", "requests", "mean/s", "peak/s",
                "peak/min");
    for (std::int64_t from = 0; from < scenario.seconds; from += kHour) {
        const Figures f = figures(all, from, from + kHour);
        std::printf(
            "  %-20s %10lld %8.1f %8lld %9lld\n", (clock(from) + "-" + clock(from + kHour)).c_str(),
            static_cast<long long>(f.requests), f.meanPerSecond,
            static_cast<long long>(f.peakPerSecond), static_cast<long long>(f.peakPerMinute));
    }
    if (scenario.outage.end > 0)
        printRecovery(scenario, fleet);
    std::printf("  simulated %s of %zu agents in %.1f s\n", clock(scenario.seconds).c_str(),
                fleet.agents().size(), runSeconds);
}

void writeCsv(const std::filesystem::path& folder, const Scenario& scenario,
              const Traffic& traffic) {
    std::ofstream seconds(folder / (scenario.name + ".csv"));
    std::ofstream minutes(folder / (scenario.name + "-per-minute.csv"));
    seconds << "second,requests,configuration,check_in,state\n";
    minutes << "minute,requests,configuration,check_in,state\n";
    std::array<std::int64_t, fleetsim::kKinds> minute{};
    for (std::size_t second = 0; second < traffic.perSecond.size(); ++second) {
        const auto& counts = traffic.perSecond[second];
        seconds << second << ',' << total(counts) << ',' << counts[0] << ',' << counts[1] << ','
                << counts[2] << '\n';
        for (int kind = 0; kind < fleetsim::kKinds; ++kind)
            minute[kind] += counts[kind];
        if (second % 60 == 59) {
            minutes << second / 60 << ',' << total(minute) << ',' << minute[0] << ',' << minute[1]
                    << ',' << minute[2] << '\n';
            minute = {};
        }
    }
    if (!seconds || !minutes)
        throw std::runtime_error("cannot write the CSV files in " + folder.string());
}

// The daemon's text log, which the worker writes the first failure of each
// series to, lives under a scratch root for the length of the run.
class ScratchRoot {
  public:
    ScratchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fleet-sim.XXXXXX");
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a scratch folder");
        path_ = pattern;
        platform::SystemRoot::set(path_);
    }
    ~ScratchRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

  private:
    std::string path_;
};

// The text log also copies its lines to standard output: while the fleet runs
// they go to /dev/null, so standard output holds only the summary.
class QuietStandardOutput {
  public:
    QuietStandardOutput() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0)
            throw std::runtime_error("cannot set standard output aside");
        close(null);
    }
    ~QuietStandardOutput() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietStandardOutput(const QuietStandardOutput&) = delete;
    QuietStandardOutput& operator=(const QuietStandardOutput&) = delete;

  private:
    int saved_ = -1;
};

// A whole number from 1 to `most`, or 0 when the text is not one.
std::int64_t parseCount(const char* text, std::int64_t most) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    return (end != text && *end == '\0' && errno == 0 && value >= 1 && value <= most) ? value : 0;
}

int usage() {
    std::cerr << "usage: fleet-sim [--agents N] [--reboot-hours H] [--csv DIR]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::int64_t agents = 10000;
    std::int64_t rebootHours = 3;
    std::optional<std::filesystem::path> csvFolder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--agents" && i + 1 < argc) {
            if ((agents = parseCount(argv[++i], 10'000'000)) == 0)
                return usage();
        } else if (arg == "--reboot-hours" && i + 1 < argc) {
            if ((rebootHours = parseCount(argv[++i], 1000)) == 0)
                return usage();
        } else if (arg == "--csv" && i + 1 < argc) {
            csvFolder = argv[++i];
        } else {
            return usage();
        }
    }
    try {
        if (csvFolder)
            std::filesystem::create_directories(*csvFolder);
        ScratchRoot scratch;
        fleetsim::applyProductionConfiguration();
        auto& random = platform::SecureRandom::instance();

        std::printf(
            "%lld agents, each running the daemon's configuration and state workers in\n"
            "1-second virtual ticks. The server counts configuration fetches (retries\n"
            "included), check-ins (after a decoded configuration, when one is due) and\n"
            "state reports; minutes are whole minutes of the run.\n",
            static_cast<long long>(agents));
        for (const auto& scenario : scenarios(agents, rebootHours, random)) {
            Fleet fleet(scenario.starts, scenario.seconds, scenario.outage, random);
            const auto began = std::chrono::steady_clock::now();
            {
                QuietStandardOutput quiet;
                fleet.run();
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
            printSummary(scenario, fleet, took.count());
            if (csvFolder)
                writeCsv(*csvFolder, scenario, fleet.traffic());
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "fleet-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
