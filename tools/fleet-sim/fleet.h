#pragma once
// A fleet of agents stepped in virtual time against a model of the API. Each
// agent runs the daemon's own ConfigurationWorker and StateWorker (jitter,
// RetryInterval backoff, the check-in rule); only the network is modelled: a
// fetch is a counted request whose answer decodes or does not.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daemon/configuration/workers.h"
#include "platform/time.h"

namespace fleetsim {

enum Kind { kConfiguration, kCheckIn, kState, kKinds };

// Requests the server received in each virtual second, by kind.
struct Traffic {
    std::vector<std::array<std::int64_t, kKinds>> perSecond;

    explicit Traffic(std::int64_t seconds) : perSecond(static_cast<std::size_t>(seconds)) {}
    void count(std::int64_t second, Kind kind) {
        ++perSecond[static_cast<std::size_t>(second)][kind];
    }
};

// When the configuration answer is an undecodable body: the seconds from
// `start` up to, not including, `end`. Otherwise it is the production
// configuration.
struct Outage {
    std::int64_t start = -1;
    std::int64_t end = -1;
    bool covers(std::int64_t second) const { return second >= start && second < end; }
};

struct Agent {
    std::int64_t startSecond = 0;
    // This agent's own share of the daemon's process-wide state.
    std::int64_t collisionCount = 0;  // RetryInterval's consecutive failures
    std::int64_t lastCheckedInAt = -1;
    std::int64_t configuredAfterOutage = -1;  // virtual second of the first decoded answer then
    std::optional<QVAgentLaunchDaemon::ConfigurationWorker> configuration;
    std::optional<QVAgentLaunchDaemon::StateWorker> state;
};

class Fleet {
  public:
    // Agents start at the given virtual seconds; the run lasts `seconds`.
    Fleet(const std::vector<std::int64_t>& startSeconds, std::int64_t seconds, Outage outage,
          platform::RandomSource& random);
    // The workers' actions hold on to the fleet and its agents.
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Steps every started agent once per virtual second, to the end of the run.
    void run();

    const Traffic& traffic() const { return traffic_; }
    const std::vector<Agent>& agents() const { return agents_; }

  private:
    void start(Agent& agent);
    void stepConfiguration(Agent& agent);
    void fetchConfiguration(Agent& agent);

    std::int64_t seconds_;
    Outage outage_;
    platform::RandomSource& random_;
    std::vector<Agent> agents_;  // never resized: the workers' actions point into it
    Traffic traffic_;
    std::int64_t now_ = 0;
    std::string decodeFailure_;
};

// Decodes the production configuration with the daemon's decoder and applies
// it, as every agent's first answer would: the intervals, the jitter bound and
// the retry settings the workers read.
void applyProductionConfiguration();

}  // namespace fleetsim
