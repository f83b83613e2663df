#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: once
# plain, once with the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
    local dir="$1"; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR="$werror" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== plain build =="
run_suite build
echo "== sanitized build =="
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan -DQV_SANITIZE=ON
