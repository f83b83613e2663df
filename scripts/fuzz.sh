#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang, QV_FUZZ=ON) and runs
# each for SECONDS seconds (default 20) on a scratch copy of its seed corpus.
# Prints the executions per target; exits non-zero when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
targets=(fuzz_configuration fuzz_debug_conf fuzz_update_trigger fuzz_installer_configuration)

# clang and its libFuzzer/sanitizer runtimes are needed only here.
scripts/setup.sh clang libclang-rt-dev

build=build-fuzz
started=$(date +%s)
CC=clang CXX=clang++ cmake -S . -B "$build" -DQV_FUZZ=ON -DQV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}" >"$build/build.log" 2>&1 ||
    { tail -n 40 "$build/build.log"; exit 1; }
echo "build: $(($(date +%s) - started)) s"

failed=0
for target in "${targets[@]}"; do
    work="$build/fuzz-run/$target"
    rm -rf "$work" && mkdir -p "$work/artifacts"
    cp -r "tests/fuzz/corpus/$target" "$work/corpus"
    status=0
    timeout $((seconds + 60)) "$build/tests/fuzz/$target" "$work/corpus" \
        -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -n 1)
    echo "$target: ${runs:-?} executions"
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "$target FAILED (exit $status); log: $work/log"
        grep -m 5 -E "ERROR|SUMMARY|runtime error|uncaught" "$work/log" || true
        for input in "$work"/artifacts/*; do
            if [ -f "$input" ]; then
                echo "  $input: $(head -c 256 "$input" | od -An -tx1 | tr -d ' \n')"
            fi
        done
    fi
done
exit "$failed"
