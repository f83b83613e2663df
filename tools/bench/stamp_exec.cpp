// qv-bench-stamp-exec FILE PROGRAM [ARGUMENT...]: writes the monotonic clock, in
// nanoseconds, to FILE and then becomes PROGRAM. The start-up benchmark takes
// this as the moment the program started and the simulator's record of the
// first request (on the same clock) as the other end.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: qv-bench-stamp-exec FILE PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    // Taken with the file open: only its one small write comes after.
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    std::fprintf(out, "%lld\n", static_cast<long long>(now));
    std::fclose(out);
    ::execv(argv[2], argv + 2);
    std::fprintf(stderr, "qv-bench-stamp-exec: cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
