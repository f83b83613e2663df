#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite three times:
# plain, with the address, leak and undefined-behaviour sanitizers, and with
# the thread sanitizer (the two sanitizer sets cannot share one binary).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc 2>/dev/null || echo 2)

# Sanitizer reports go to files in <build>/sanitizer-reports/, so that those of
# the daemon and the simulator the tests start (whose output the tests discard)
# fail the run as well.
reports() { echo "$PWD/$1/sanitizer-reports"; }

run_suite() {
    local dir="$1"; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR="$werror" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    rm -rf "$(reports "$dir")"
    mkdir -p "$(reports "$dir")"
    local status=0
    (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=$?
    if compgen -G "$(reports "$dir")/*" >/dev/null; then
        cat "$(reports "$dir")"/*
        echo "sanitizer reports: $(reports "$dir")" >&2
        status=1
    fi
    return "$status"
}

echo "== plain build =="
run_suite build
echo "== address/leak/undefined-behaviour sanitized build =="
ASAN_OPTIONS="detect_leaks=1 log_path=$(reports build-asan)/asan" \
UBSAN_OPTIONS="print_stacktrace=1 log_path=$(reports build-asan)/ubsan" \
    run_suite build-asan -DQV_SANITIZE=ON
echo "== thread sanitized build =="
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$(reports build-tsan)/tsan" \
    run_suite build-tsan -DQV_TSAN=ON
