#pragma once
// Time and randomness as seams: code that waits or draws takes these, so
// tests drive it with a fake clock and a scripted random source.

#include <chrono>
#include <cstdint>
#include <string>

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

// The system's cryptographically secure source (arc4random_buf), drawn
// without modulo bias by rejection.
class SecureRandom final : public RandomSource {
  public:
    std::int64_t uniform(std::int64_t low, std::int64_t high) override;
    static SecureRandom& instance();
};

// The renderings of a point in time the product writes.
enum class TimeFormat {
    compactUtcMilliseconds,  // "20261206T205100.123" (UTC): names a run's diagnostic log
    isoUtcMilliseconds,      // "2026-12-06T20:51:00.123Z": starts a text-log entry
    isoUtcSeconds,           // "2026-12-06T20:51:00Z": starts a diagnostic-log entry
    localHourAndMinute,      // "9:5" (local time, no padding)
};

std::string formatTime(std::chrono::system_clock::time_point time, TimeFormat format);

}  // namespace platform
