#pragma once
// The process's peak resident set so far (VmHWM on Linux), in KiB.

#include <sys/resource.h>

namespace bench {

inline long peakRssKib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
#ifdef __APPLE__
    return usage.ru_maxrss / 1024;  // bytes there
#else
    return usage.ru_maxrss;
#endif
}

}  // namespace bench
