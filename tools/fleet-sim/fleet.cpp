#include "fleet.h"

#include <stdexcept>

#include "daemon/configuration/configuration.h"
#include "daemon/configuration/retry_interval.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/globals.h"

namespace fleetsim {
namespace {

using namespace QVAgentLaunchDaemon;

// What the API answers today: the configuration the API simulator answers too.
constexpr const char* kProductionConfiguration = R"({"configuration": {
    "computerConfigurationPingIntervalOverride": 270,
    "computerCheckInPingIntervalOverride": 3600,
    "computerStatePingIntervalOverride": 570,
    "globalMaxJitterOverride": 30,
    "retryIntervalDownloadConfigurationMultiplierOverride": 270000,
    "retryIntervalDownloadConfigurationMaxJitterOverride": 30000,
    "retryIntervalDownloadConfigurationMaxBackoffOverride": 3600000,
    "retryIntervalDownloadConfigurationMaxCollisionsOverride": 6,
    "endpoints": {"postCheckIn": {"resourceUrl": "https://api.quorvel.example/computers/checkIn"}},
    "pendingActions": []}})";

// During an outage a proxy answers 200 with its maintenance page. (A refused
// connection or a 5xx status is only logged by the daemon: the worker keeps
// its regular schedule. Only an answer that does not decode is a failure.)
constexpr const char* kMaintenancePage = "<html><body><h1>Down for maintenance</h1></body></html>";

// Virtual second 0 as Unix milliseconds, for the check-in rule.
constexpr std::int64_t kEpochMilliseconds = 1'767'225'600'000;  // 2026-01-01T00:00:00Z

}  // namespace

void applyProductionConfiguration() {
    const auto answer = decodeGetConfiguration(kProductionConfiguration);
    if (answer.failed())
        throw std::logic_error("the production configuration does not decode: " + answer.error());
    applyConfiguration(answer->configuration);
}

Fleet::Fleet(const std::vector<std::int64_t>& startSeconds, std::int64_t seconds, Outage outage,
             platform::RandomSource& random)
    : seconds_(seconds),
      outage_(outage),
      random_(random),
      agents_(startSeconds.size()),
      traffic_(seconds) {
    for (std::size_t i = 0; i < startSeconds.size(); ++i)
        agents_[i].startSecond = startSeconds[i];
    const auto maintenance = decodeGetConfiguration(kMaintenancePage);
    if (maintenance.ok())
        throw std::logic_error("the maintenance page decodes as a configuration");
    decodeFailure_ = "Failed to decode JSON: " + maintenance.error();
}

void Fleet::run() {
    for (now_ = 0; now_ < seconds_; ++now_) {
        for (auto& agent : agents_) {
            if (now_ < agent.startSecond)
                continue;
            if (now_ == agent.startSecond) {
                start(agent);
                continue;
            }
            stepConfiguration(agent);
            agent.state->step();
        }
    }
}

// The two workers' tasks start together after login: the configuration worker
// fetches at its first step, the state worker reports, then steps at once.
void Fleet::start(Agent& agent) {
    agent.configuration.emplace([this, &agent] { fetchConfiguration(agent); }, random_);
    agent.state.emplace([this] { traffic_.count(now_, kState); }, random_);
    stepConfiguration(agent);
    agent.state->begin();
    agent.state->step();
}

// RetryInterval keeps its collision count in a process-wide static, one
// daemon's worth. Every agent steps on this one thread, so each step runs with
// the agent's own count in it and hands it back afterwards.
void Fleet::stepConfiguration(Agent& agent) {
    RetryInterval::getConfigurationCollisionCount = agent.collisionCount;
    agent.configuration->step();
    agent.collisionCount = RetryInterval::getConfigurationCollisionCount;
}

// One GET of the configuration. A decoded answer is followed by a check-in
// when one is due, by the daemon's own rule.
void Fleet::fetchConfiguration(Agent& agent) {
    traffic_.count(now_, kConfiguration);
    if (outage_.covers(now_))
        throw CustomError(decodeFailure_);
    if (agent.configuredAfterOutage < 0 && now_ >= outage_.end)
        agent.configuredAfterOutage = now_;
    const std::int64_t nowMs = kEpochMilliseconds + now_ * 1000;
    if (isCheckInDue(agent.lastCheckedInAt, _computerCheckInWorkerIntervalInMilliseconds.load(),
                     nowMs)) {
        traffic_.count(now_, kCheckIn);
        agent.lastCheckedInAt = nowMs;
    }
}

}  // namespace fleetsim
