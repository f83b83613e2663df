#include "platform/time.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>
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

std::uint64_t randomWord() {
    std::uint64_t word = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&word);
    std::size_t filled = 0;
    while (filled < sizeof word) {
        ssize_t n = getrandom(bytes + filled, sizeof word - filled, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<std::size_t>(n);
    }
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

}  // namespace platform
