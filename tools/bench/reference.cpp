// qv-bench-reference: the least an agent built on libcurl costs, measured by
// scripts/bench.sh beside the daemon.
//
//   qv-bench-reference idle
//       libcurl initialised (curl_global_init, a multi handle and an easy
//       handle), then asleep until killed.
//   qv-bench-reference fetch URL COUNT INTERVAL_MS
//       COUNT GETs of URL on one easy handle (the connection reused), one
//       every INTERVAL_MS, with the User-Agent "qv-bench-reference"; prints
//       "request <microseconds>" for each and "requests <count that got a
//       2xx>" at the end.

#include <curl/curl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

int idle() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURLM* multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    if (multi == nullptr || easy == nullptr)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}

int fetch(const char* url, long count, long intervalMs) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return 1;
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Tells its requests apart from the daemon's in the simulator's record.
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "qv-bench-reference");
    long succeeded = 0;
    auto next = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(intervalMs);
        const auto start = std::chrono::steady_clock::now();
        const CURLcode code = curl_easy_perform(easy);
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (code == CURLE_OK && status >= 200 && status < 300)
            ++succeeded;
        std::printf("request %lld\n", static_cast<long long>(took.count()));
    }
    std::printf("requests %ld\n", succeeded);
    curl_easy_cleanup(easy);
    curl_global_cleanup();
    return succeeded == count ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: qv-bench-reference idle\n"
                 "       qv-bench-reference fetch URL COUNT INTERVAL_MS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "idle") == 0)
        return idle();
    if (argc == 5 && std::strcmp(argv[1], "fetch") == 0)
        return fetch(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    return usage();
}
