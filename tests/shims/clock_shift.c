/* A wall clock the tests can set back or forward while a process runs.
 *
 * Preloaded into a process (LD_PRELOAD=<path of libqv_clock_shift.so>), it
 * shifts what clock_gettime(CLOCK_REALTIME, CLOCK_REALTIME_COARSE),
 * gettimeofday and time return by a number of seconds read from the file named
 * by QV_TEST_CLOCK_OFFSET_FILE ("-86400": one day back), read again at every
 * call, so a test moves the clock mid-run by rewriting that file. No variable,
 * no file or no number there: no shift. The monotonic clocks are never shifted,
 * as a real clock correction leaves them alone.
 *
 * The real functions are found with dlsym(RTLD_NEXT), so a sanitizer's own
 * interceptors still run behind this one. The library is built without
 * sanitizer instrumentation: it is also preloaded into the uninstrumented
 * tools the process starts. An address-sanitized process needs
 * ASAN_OPTIONS=verify_asan_link_order=0 to accept a library ahead of its
 * runtime.
 *
 * CMake target qv_clock_shift; tests find it through QV_CLOCK_SHIFT_LIBRARY.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#ifndef CLOCK_REALTIME_COARSE /* Linux's only */
#define CLOCK_REALTIME_COARSE CLOCK_REALTIME
#endif

/* The next definition of `name`, looked up once (racing threads find the same). */
static void* realFunction(void** slot, const char* name) {
    void* found = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, found, __ATOMIC_RELEASE);
    }
    return found;
}

/* The shift in seconds; errno is left as the caller had it. */
static long long offsetSeconds(void) {
    const char* path = getenv("QV_TEST_CLOCK_OFFSET_FILE");
    if (path == NULL)
        return 0;
    const int saved = errno;
    long long offset = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char text[32];
        const ssize_t length = read(fd, text, sizeof text - 1);
        close(fd);
        if (length > 0) {
            text[length] = '\0';
            offset = strtoll(text, NULL, 10);
        }
    }
    errno = saved;
    return offset;
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    static void* slot;
    int (*real)(clockid_t, struct timespec*) =
        (int (*)(clockid_t, struct timespec*))realFunction(&slot, "clock_gettime");
    const int result = real(clock, now);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        now->tv_sec += (time_t)offsetSeconds();
    return result;
}

int gettimeofday(struct timeval* restrict now, void* restrict zone) {
    static void* slot;
    int (*real)(struct timeval* restrict, void* restrict) =
        (int (*)(struct timeval* restrict, void* restrict))realFunction(&slot, "gettimeofday");
    const int result = real(now, zone);
    if (result == 0)
        now->tv_sec += (time_t)offsetSeconds();
    return result;
}

time_t time(time_t* out) {
    static void* slot;
    time_t (*real)(time_t*) = (time_t(*)(time_t*))realFunction(&slot, "time");
    const time_t now = real(NULL) + (time_t)offsetSeconds();
    if (out != NULL)
        *out = now;
    return now;
}
