#!/usr/bin/env bash
# Keeps the operating system behind src/platform/ and the tests buildable on a
# Mac. Over the files under src/ outside src/platform/linux/, tools/ and tests/ (but
# tests/shims/, which stand for macOS's own tools), it fails when a line
#   - includes a Linux-only header or names a /proc path;
#   - calls what only Linux has (pipe2, getrandom, accept4, inotify_*, eventfd,
#     renameat2, SOCK_CLOEXEC, MSG_NOSIGNAL, TCP_QUICKACK, std::jthread,
#     pthread_setname_np with a thread argument) outside an `#if` on __linux__;
#   - runs a GNU-only command in a test (sed -i, stat -c, setpriv, prlimit,
#     timeout N);
# and prints each offending line as FILE:LINE: TEXT. A line that carries the
# marker "linux-only:" (in a comment, with the reason) is allowed: it is the
# Linux branch of a choice made at run time, such as `uname`.
set -euo pipefail
cd "$(dirname "$0")/.."

# #include of a header only Linux has: sys/inotify.h, sys/epoll.h, linux/...,
# sys/prctl.h, sys/sysinfo.h, and the other Linux-only descriptors
# (sys/eventfd.h, sys/signalfd.h, sys/timerfd.h, sys/fanotify.h).
linux_header='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](linux/[^>"]*|sys/(inotify|epoll|prctl|sysinfo|eventfd|signalfd|timerfd|fanotify)\.h)[>"]'
# /proc as a path of its own: "/proc", '/proc', /proc/self/..., not /usr/process.
proc_path='(^|[^[:alnum:]_.-])/proc([/"'\''[:space:]]|$)'
linux_call='(^|[^[:alnum:]_])(pipe2|getrandom|accept4|inotify_[[:alnum:]_]+|eventfd|renameat2|SOCK_CLOEXEC|MSG_NOSIGNAL|TCP_QUICKACK|jthread)([^[:alnum:]_]|$)|pthread_setname_np[[:space:]]*\([^,;]*,'
gnu_command='(^|[^[:alnum:]_-])(sed -i|stat -c|setpriv|prlimit|timeout [0-9])'

files=()
while IFS= read -r -d '' file; do
    files+=("$file")
done < <(find src tools tests -path src/platform/linux -prune -o -path tests/shims -prune -o \
    -type f -print0 | sort -z)

if [ "${#files[@]}" -eq 0 ]; then
    echo "check-portability: no files found under src/, tools/ or tests/" >&2
    exit 2
fi
sources=()
tests=()
for file in "${files[@]}"; do
    case "$file" in *.c | *.cc | *.cpp | *.h | *.hpp | *.mm) sources+=("$file") ;; esac
    case "$file" in tests/*) tests+=("$file") ;; esac
done

# report TITLE LINES: prints non-empty LINES under TITLE; false when empty.
report() {
    [ -n "$2" ] || return 1
    echo "$1"
    printf '%s\n' "$2"
}

# grep_lines PATTERN FILE...: FILE:LINE: TEXT of each match without the marker.
grep_lines() {
    local pattern="$1" found rc=0
    shift
    found=$(grep -nHIE -- "$pattern" "$@") || rc=$?
    if [ "$rc" -gt 1 ]; then
        echo "check-portability: grep failed ($rc)" >&2
        exit 2
    fi
    printf '%s\n' "$found" | grep -v 'linux-only:' || true
}

# outside_linux_blocks PATTERN FILE...: the lines matching PATTERN outside an
# #if/#ifdef whose condition names __linux__, or an #ifdef of the Linux-only
# flag itself (its #else part, the fallback, counts as outside), comments
# skipped.
outside_linux_blocks() {
    pattern="$1" awk '
        BEGIN { pattern = ENVIRON["pattern"] }
        FNR == 1 { depth = 0; split("", linux) }
        /^[[:space:]]*#[[:space:]]*if/ {
            depth++
            linux[depth] = $0 !~ /!|ifndef/ && ($0 ~ /__linux__/ ||
                $0 ~ /ifdef[[:space:]]+(SOCK_CLOEXEC|MSG_NOSIGNAL|TCP_QUICKACK)/)
            next
        }
        /^[[:space:]]*#[[:space:]]*(else|elif)/ { linux[depth] = 0; next }
        /^[[:space:]]*#[[:space:]]*endif/ { if (depth > 0) depth--; next }
        /^[[:space:]]*(\/\/|\/?\*)/ || /linux-only:/ { next }
        $0 ~ pattern {
            inside = 0
            for (i = 1; i <= depth; i++) if (linux[i]) inside = 1
            if (!inside) print FILENAME ":" FNR ": " $0
        }' "${@:2}"
}

headers=$(grep_lines "$linux_header" "${files[@]}")
scripts=()
for file in "${files[@]}"; do
    case " ${sources[*]} " in *" $file "*) ;; *) scripts+=("$file") ;; esac
done
proc=$(outside_linux_blocks "$proc_path" "${sources[@]}")
[ "${#scripts[@]}" -eq 0 ] || proc+=$(grep_lines "$proc_path" "${scripts[@]}")
calls=$(outside_linux_blocks "$linux_call" "${sources[@]}")
commands=""
[ "${#tests[@]}" -eq 0 ] || commands=$(grep_lines "$gnu_command" "${tests[@]}")

status=0
report "Linux-only headers outside src/platform/linux/:" "$headers" && status=1
report "/proc paths outside src/platform/linux/ and #if __linux__ blocks:" "$proc" && status=1
report "Linux-only calls outside src/platform/linux/ and #if __linux__ blocks:" "$calls" && status=1
report "GNU-only commands in tests:" "$commands" && status=1

if [ "$status" -eq 0 ]; then
    echo "check-portability: ${#files[@]} files under src/ outside src/platform/linux/, tools/ and tests/: no Linux-only header, /proc path, call or GNU-only command"
else
    echo "check-portability: FAILED: move what these lines need behind a seam in src/platform/, behind #if defined(__linux__) with a fallback, or choose by uname"
fi
exit "$status"
