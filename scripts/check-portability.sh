#!/usr/bin/env bash
# Keeps the operating system behind src/platform/: fails when a file under src/
# or tools/ outside src/platform/ includes a Linux-only header or names a /proc
# path, and prints each offending line as FILE:LINE: TEXT. The tests may use
# whatever the build machine offers and are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."

# #include of a header only Linux has: sys/inotify.h, sys/epoll.h, linux/...,
# sys/prctl.h, sys/sysinfo.h, and the other Linux-only descriptors
# (sys/eventfd.h, sys/signalfd.h, sys/timerfd.h, sys/fanotify.h).
linux_header='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](linux/[^>"]*|sys/(inotify|epoll|prctl|sysinfo|eventfd|signalfd|timerfd|fanotify)\.h)[>"]'
# /proc as a path of its own: "/proc", '/proc', /proc/self/..., not /usr/process.
proc_path='(^|[^[:alnum:]_.-])/proc([/"'\''[:space:]]|$)'

files=()
while IFS= read -r -d '' file; do
    files+=("$file")
done < <(find src tools -path src/platform -prune -o -type f -print0 | sort -z)

if [ "${#files[@]}" -eq 0 ]; then
    echo "check-portability: no files found under src/ or tools/" >&2
    exit 2
fi

# scan TITLE PATTERN: prints the matching lines under TITLE; false when none.
scan() {
    local found rc=0
    found=$(grep -nHIE -- "$2" "${files[@]}") || rc=$?
    if [ "$rc" -gt 1 ]; then
        echo "check-portability: grep failed ($rc)" >&2
        exit 2
    fi
    [ "$rc" -eq 0 ] || return 1
    echo "$1"
    printf '%s\n' "$found"
}

status=0
scan "Linux-only headers outside src/platform/:" "$linux_header" && status=1
scan "/proc paths outside src/platform/:" "$proc_path" && status=1

if [ "$status" -eq 0 ]; then
    echo "check-portability: ${#files[@]} files under src/ and tools/ outside src/platform/: no Linux-only header, no /proc path"
else
    echo "check-portability: FAILED: move what these lines need behind a seam in src/platform/"
fi
exit "$status"
