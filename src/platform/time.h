#pragma once
// Time and randomness as seams: code that waits or draws takes these, so
// tests drive it with a fake clock and a scripted random source.

#include <chrono>
#include <cstdint>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::int64_t nowUnixMilliseconds() = 0;  // wall clock
};

class Sleeper {
  public:
    virtual ~Sleeper() = default;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};

class RandomSource {
  public:
    virtual ~RandomSource() = default;
    // Uniform in [low, high], both included; low <= high.
    virtual std::int64_t uniform(std::int64_t low, std::int64_t high) = 0;
};

class SystemClock final : public Clock {
  public:
    std::int64_t nowUnixMilliseconds() override;
    static SystemClock& instance();
};

// Sleeps on the monotonic clock towards a deadline of now + duration.
class SystemSleeper final : public Sleeper {
  public:
    void sleepFor(std::chrono::milliseconds duration) override;
    static SystemSleeper& instance();
};

// The kernel's cryptographically secure source (getrandom), drawn without
// modulo bias by rejection.
class SecureRandom final : public RandomSource {
  public:
    std::int64_t uniform(std::int64_t low, std::int64_t high) override;
    static SecureRandom& instance();
};

}  // namespace platform
