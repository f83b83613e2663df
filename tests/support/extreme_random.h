#pragma once
// A random source for backoff and jitter tests: it answers the low or the high
// end of each requested range and records the ranges asked for.

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/time.h"

namespace qvtest {

class ExtremeRandom : public platform::RandomSource {
  public:
    explicit ExtremeRandom(bool high) : high_(high) {}
    std::int64_t uniform(std::int64_t low, std::int64_t high) override {
        ranges.emplace_back(low, high);
        return high_ ? high : low;
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;

  private:
    bool high_;
};

}  // namespace qvtest
