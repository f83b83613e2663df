#include "platform/time.h"

#include <stdlib.h>

#include <cstdio>
#include <ctime>
#include <thread>

namespace platform {

std::int64_t SystemClock::nowUnixMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

void SystemSleeper::sleepFor(std::chrono::milliseconds duration) {
    if (duration.count() <= 0)
        return;
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

SystemSleeper& SystemSleeper::instance() {
    static SystemSleeper sleeper;
    return sleeper;
}

namespace {

// arc4random_buf (glibc 2.36, macOS) draws from the kernel's source and
// cannot fail.
std::uint64_t randomWord() {
    std::uint64_t word = 0;
    ::arc4random_buf(&word, sizeof word);
    return word;
}

}  // namespace

std::int64_t SecureRandom::uniform(std::int64_t low, std::int64_t high) {
    if (high <= low)
        return low;
    // span - 1 fits an unsigned 64-bit word even for the full signed range.
    const std::uint64_t spanMinusOne =
        static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    std::uint64_t draw = 0;
    if (spanMinusOne == UINT64_MAX) {
        draw = randomWord();
    } else {
        const std::uint64_t span = spanMinusOne + 1;
        // Reject the incomplete top block (2^64 mod span values) so every
        // residue is equally likely.
        const std::uint64_t usable = UINT64_MAX - ((UINT64_MAX % span) + 1) % span;
        do {
            draw = randomWord();
        } while (draw > usable);
        draw %= span;
    }
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + draw);
}

SecureRandom& SecureRandom::instance() {
    static SecureRandom random;
    return random;
}

std::string formatTime(std::chrono::system_clock::time_point time, TimeFormat format) {
    using namespace std::chrono;
    const auto millis =
        static_cast<int>(duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000);
    const std::time_t seconds = system_clock::to_time_t(time);
    std::tm t{};
    if (format == TimeFormat::localHourAndMinute)
        localtime_r(&seconds, &t);
    else
        gmtime_r(&seconds, &t);
    char text[96] = "";
    switch (format) {
        case TimeFormat::compactUtcMilliseconds:
            std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%03d", t.tm_year + 1900,
                          t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, millis);
            break;
        case TimeFormat::isoUtcMilliseconds:
            std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                          t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                          millis);
            break;
        case TimeFormat::isoUtcSeconds:
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
            break;
        case TimeFormat::localHourAndMinute:
            std::snprintf(text, sizeof text, "%d:%d", t.tm_hour, t.tm_min);
            break;
    }
    return text;
}

}  // namespace platform
