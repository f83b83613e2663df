#!/usr/bin/env bash
# Installs what is missing, builds (RelWithDebInfo, build/) and runs the
# daemon's benchmarks, each beside a reference measured in the same run on the
# same machine:
#   idle      the enrolled daemon with its default intervals, against the
#             simulator: CPU, wake-ups per thread name, memory, threads and
#             descriptors; reference: a program that initialises libcurl and
#             sleeps (tools/bench/reference.cpp)
#   startup   process start to the first configuration request, already
#             enrolled, nothing to install (median of QV_BENCH_STARTS starts),
#             and the slowest request of a start; reference: a program that
#             initialises libcurl and makes that one request
#   busy      the configuration interval set to 0: requests per second and
#             CPU per request; reference: the same request from plain libcurl
#   digest    verifyFileHash on a file of QV_BENCH_FILE_MIB MiB; reference: sha256sum
#   download  the agent update download of that file from the simulator over
#             loopback; reference: curl -o
# Ends with a Markdown table of every figure (daemon, reference, ratio, goal)
# and the machine it ran on.
#
#   scripts/bench.sh [idle|startup|busy|digest|download]...   (default: all, in this order)
#
# QV_BENCH_IDLE_SECONDS   idle window, default 120
# QV_BENCH_BUSY_SECONDS   busy window, default 60
# QV_BENCH_STARTS         starts measured, default 20
# QV_BENCH_FILE_MIB       size of the digest and download file, default 1024
set -euo pipefail
cd "$(dirname "$0")/.."

all=(idle startup busy digest download)
selected=("$@")
[ ${#selected[@]} -gt 0 ] || selected=("${all[@]}")
for name in "${selected[@]}"; do
    case " ${all[*]} " in
        *" $name "*) ;;
        *) echo "usage: scripts/bench.sh [${all[*]// /|}]..." >&2; exit 2 ;;
    esac
done
idle_seconds="${QV_BENCH_IDLE_SECONDS:-120}"
busy_seconds="${QV_BENCH_BUSY_SECONDS:-60}"
starts="${QV_BENCH_STARTS:-20}"
file_mib="${QV_BENCH_FILE_MIB:-1024}"
bench_started=$(date +%s)

scripts/setup.sh curl
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target QVAgentLaunchDaemon \
    quorvel-api-sim qv-bench-reference qv-bench-stamp-exec qv-bench-digest qv-bench-download \
    >/dev/null

# Sandboxes, logs and the large file live here; the large file is removed once
# the benchmarks have run (or the script ends early), the rest is kept for a
# look afterwards.
work=$(mktemp -d /tmp/qv-bench-XXXXXX)
results="$work/results.jsonl"
: >"$results"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work/files" "${memory:-}"
}
trap cleanup EXIT

# wait_until SECONDS COMMAND...: polls COMMAND every 0.2 s; false when it still
# fails after SECONDS.
wait_until() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}

# record BENCHMARK: reads rows of the table, one JSON array a line (figure,
# daemon, reference, ratio, goal, verdict), adds them to the results and shows
# them.
record() {
    python3 -c '
import json, sys
benchmark, path = sys.argv[1:3]
with open(path, "a") as results:
    for line in sys.stdin:
        figure, daemon, reference, ratio, goal, verdict = row = json.loads(line)
        results.write(json.dumps([benchmark, *row]) + "\n")
        print(f"   {figure:<58} {daemon:>16} {reference:>16} {ratio:>6}  {goal} {verdict}")
' "$1" "$results"
}

# The Python that turns measurements into rows starts with this.
rows_py='
import json, math
def row(figure, daemon, reference="—", ratio="—", goal="", met=None):
    verdict = "" if met is None else ("met" if met else "MISSED")
    print(json.dumps([figure, str(daemon), str(reference), str(ratio), goal, verdict]))
def ratio(daemon, reference):
    finite = math.isfinite(daemon) and math.isfinite(reference)
    return f"{daemon / reference:.2f}" if finite and reference else "—"
'
# report ARGUMENT... <<'PY': runs that Python, after rows_py, with the arguments.
report() { python3 -c "$rows_py$(cat)" "$@"; }

# ---------------------------------------------------------------- sandboxes

# sandbox NAME: a fresh root the daemon enrolls in: an installer configuration
# file for its registration, its own launch job loaded, the MDM agent already
# installed (the go-agent stand-in) and no Support App archive, so a start has
# nothing to install. Prints the root.
sandbox() {
    local root="$work/$1"
    mkdir -p "$root/tmp" "$root/.shim" "$root/Library/LaunchDaemons" "$root/Library/Addigy"
    printf 'BENCH-KEY-1234\\nAcme Corp\\nHeadquarters' >"$root/tmp/qvconfig"
    cat >"$root/Library/LaunchDaemons/com.tessaly.Quorvel.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Label</key><string>com.tessaly.Quorvel</string></dict></plist>
PLIST
    printf 'com.tessaly.Quorvel\n' >"$root/.shim/launchctl.loaded"
    ln -s "$PWD/tests/shims/go-agent" "$root/Library/Addigy/go-agent"
    printf 'bench-agent-1\n' >"$root/.shim/go-agent"
    echo "$root"
}

# start_sim ROOT [ARGUMENT...]: the simulator for that sandbox; sets $api.
start_sim() {
    local root="$1"
    shift
    build/quorvel-api-sim --port-file "$root/sim.port" "$@" >"$root/sim.out" 2>&1 &
    pids+=($!)
    wait_until 10 test -s "$root/sim.port" || { cat "$root/sim.out"; exit 1; }
    api="http://127.0.0.1:$(cat "$root/sim.port")"
}

# admin METHOD PATH [JSON]: the simulator's admin endpoints, JSON out.
admin() {
    python3 - "$api" "$@" <<'PY'
import json, sys, urllib.request
api, method, path = sys.argv[1:4]
data = sys.argv[4].encode() if len(sys.argv) > 4 else None
request = urllib.request.Request(api + path, data=data, method=method)
print(json.dumps(json.load(urllib.request.urlopen(request, timeout=30))))
PY
}

# requests_since N [FILTER]: the requests the simulator recorded after the
# first N, one JSON object a line; FILTER "daemon" or "reference" keeps those
# of one client (by x-client-name / User-Agent).
requests_since() {
    admin GET /_admin/requests | python3 -c '
import json, sys
skip, who = int(sys.argv[1]), sys.argv[2]
for r in json.load(sys.stdin)[skip:]:
    headers = {name.lower(): value for name, value in r["headers"]}
    if who == "daemon" and headers.get("x-client-name") != "mac-agent":
        continue
    if who == "reference" and headers.get("user-agent") != "qv-bench-reference":
        continue
    print(json.dumps(r))
' "$1" "${2:-all}"
}
request_count() { requests_since 0 | wc -l; }
# has_requests N ROUTE...: each "METHOD PATH" arrived after the first N requests.
has_requests() {
    local since="$1" route seen
    shift
    seen=$(requests_since "$since" | python3 -c '
import json, sys
for line in sys.stdin:
    r = json.loads(line)
    print(r["method"], r["path"])')
    for route in "$@"; do grep -qxF -- "$route" <<<"$seen" || return 1; done
}
. scripts/lib/settle.sh  # cwd is the project root

# start_daemon ROOT: the daemon in that sandbox against $api; sets $daemon_pid.
# With a STAMP file as second argument it is started through
# qv-bench-stamp-exec, which writes the monotonic clock just before the exec.
start_daemon() {
    local root="$1" stamp="${2:-}" launcher=()
    [ -z "$stamp" ] || launcher=(build/qv-bench-stamp-exec "$stamp")
    env QV_ROOT="$root" QV_API_BASE_URL="$api" PATH="$PWD/tests/shims:$PATH" \
        "${launcher[@]}" "$PWD/build/QVAgentLaunchDaemon" >>"$root/daemon.out" 2>&1 &
    daemon_pid=$!
    pids+=("$daemon_pid")
}
stop_daemon() {  # SIGTERM, as launchd stops it
    kill "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
}

# enroll ROOT: a first start registers the computer; returns once its first
# configuration fetch and state report have been answered and the requests
# have settled, with the daemon still running.
enroll() {
    start_daemon "$1"
    wait_until 60 has_requests 0 "POST /computers/mac" "GET /computers/configuration" \
        "POST /computers/state" || { echo "the daemon did not enroll:"; tail -20 "$1/daemon.out"; exit 1; }
    settle 2 20
}

# probe PID: what /proc says about the process now, as one JSON line.
probe() {
    python3 - "$1" <<'PY'
import json, os, sys, time
pid = int(sys.argv[1])

def fields(path):
    out = {}
    for line in open(path):
        key, _, value = line.partition(":")
        out[key] = value.strip()
    return out

stat = open(f"/proc/{pid}/stat").read()
after_name = stat[stat.rindex(")") + 2:].split()  # from field 3, the state
status = fields(f"/proc/{pid}/status")
tasks = {}
for tid in os.listdir(f"/proc/{pid}/task"):
    try:
        name = open(f"/proc/{pid}/task/{tid}/comm").read().strip()
        switches = int(fields(f"/proc/{pid}/task/{tid}/status")["voluntary_ctxt_switches"])
    except (FileNotFoundError, ProcessLookupError, KeyError):
        continue  # the thread ended meanwhile
    tasks[tid] = [name, switches]
print(json.dumps({
    "time": time.monotonic(),
    "ticks": int(after_name[11]) + int(after_name[12]),  # utime + stime (fields 14, 15)
    "hz": os.sysconf("SC_CLK_TCK"),
    # The process's CPU-time clock (clock_getcpuclockid): nanoseconds.
    "cpuNs": time.clock_gettime_ns(((~pid) << 3) | 2),
    "rssAnonKib": int(status["RssAnon"].split()[0]),
    "vmRssKib": int(status["VmRSS"].split()[0]),
    "threads": int(status["Threads"]),
    "fds": len(os.listdir(f"/proc/{pid}/fd")),
    "tasks": tasks,
}))
PY
}

# ---------------------------------------------------------------- idle

bench_idle() {
    echo "== idle: ${idle_seconds} s, enrolled, default intervals"
    local root reference_pid before
    root=$(sandbox idle)
    start_sim "$root"
    enroll "$root"
    build/qv-bench-reference idle >"$root/reference.out" 2>&1 &
    reference_pid=$!
    pids+=("$reference_pid")
    wait_until 10 grep -q ready "$root/reference.out"
    before=$(request_count)
    probe "$daemon_pid" >"$root/daemon.0.json"
    probe "$reference_pid" >"$root/reference.0.json"
    sleep "$idle_seconds"
    probe "$daemon_pid" >"$root/daemon.1.json"
    probe "$reference_pid" >"$root/reference.1.json"
    echo "   requests in the window: $(requests_since "$before" | wc -l)"
    stop_daemon
    kill "$reference_pid"
    report "$root" <<'PY' | record idle
import collections, sys
root = sys.argv[1]
load = lambda name: json.load(open(f"{root}/{name}.json"))
d0, d1, r0, r1 = load("daemon.0"), load("daemon.1"), load("reference.0"), load("reference.1")

def seconds(a, b):
    return b["time"] - a["time"]

def cpu_ticks(a, b):  # % of a core
    return 100.0 * (b["ticks"] - a["ticks"]) / a["hz"] / seconds(a, b)

def cpu_clock(a, b):
    return 100.0 * (b["cpuNs"] - a["cpuNs"]) / 1e9 / seconds(a, b)

def wakeups(a, b):
    """Voluntary context switches per second by thread name, of the threads
    alive at the end (one started in the window counts from zero)."""
    names = collections.defaultdict(lambda: [0, 0])
    for tid, (name, switches) in b["tasks"].items():
        names[name][0] += switches - a["tasks"].get(tid, [name, 0])[1]
        names[name][1] += 1
    return {f"{name} ×{n}": total / seconds(a, b) for name, (total, n) in names.items()}

# One tick in 120 s is 0.0083 %: the goal is judged on the CPU-time clock.
d, r = cpu_ticks(d0, d1), cpu_ticks(r0, r1)
row("CPU % of a core (utime+stime, in 10 ms ticks)", f"{d:.4f}", f"{r:.4f}", ratio(d, r))
d, r = cpu_clock(d0, d1), cpu_clock(r0, r1)
row("CPU % of a core (CPU-time clock, ns)", f"{d:.4f}", f"{r:.4f}", ratio(d, r), "≤ 0.005",
    d <= 0.005)
for tid, (name, switches) in sorted(d1["tasks"].items(), key=lambda item: int(item[0])):
    rate = (switches - d0["tasks"].get(tid, [name, 0])[1]) / seconds(d0, d1)
    print(f"   daemon thread {tid} ({name}): {rate:.3f} wake-ups/s", file=sys.stderr)
dper, rper = wakeups(d0, d1), wakeups(r0, r1)
d, r = sum(dper.values()), sum(rper.values())
row("wake-ups per second, all threads", f"{d:.3f}", f"{r:.3f}", ratio(d, r), "≤ 0.05", d <= 0.05)
for name, value in sorted(dper.items(), key=lambda item: -item[1]):
    row(f"wake-ups per second, thread {name}", f"{value:.3f}")
for name, value in sorted(rper.items(), key=lambda item: -item[1]):
    row(f"wake-ups per second, reference thread {name}", "—", f"{value:.3f}")
ended = len(set(d0["tasks"]) - set(d1["tasks"]))
if ended:
    row("threads that ended in the window (their wake-ups not counted)", ended)
d, r = d1["rssAnonKib"], r1["rssAnonKib"]
row("RssAnon, KiB", d, r, ratio(d, r), "≤ 1.5 × reference", d <= 1.5 * r)
row("VmRSS, KiB", d1["vmRssKib"], r1["vmRssKib"], ratio(d1["vmRssKib"], r1["vmRssKib"]))
row("threads, start → end", f"{d0['threads']} → {d1['threads']}",
    f"{r0['threads']} → {r1['threads']}")
row("open descriptors, start → end (growth)", f"{d0['fds']} → {d1['fds']} ({d1['fds'] - d0['fds']:+d})",
    f"{r0['fds']} → {r1['fds']} ({r1['fds'] - r0['fds']:+d})")
PY
}

# ---------------------------------------------------------------- startup

# A start begins when qv-bench-stamp-exec, just before it becomes the program,
# writes the monotonic clock; it reaches the first configuration request when
# the simulator records that request (steadyNs: the same clock, taken once the
# request is read and answered, before the answer is sent). One machine, one
# clock: precise to well under a millisecond.
bench_startup() {
    echo "== startup: ${starts} starts, enrolled, nothing to install"
    local root i since log_from stamp daemon_ms slowest reference_ms reference_request
    root=$(sandbox startup)
    stamp="$root/stamp"
    start_sim "$root"
    enroll "$root"
    stop_daemon
    : >"$root/starts.tsv"
    for i in $(seq "$starts"); do
        # The daemon, until its first configuration fetch and state report are
        # answered and its requests have settled.
        since=$(request_count)
        log_from=$(($(wc -l <"$root/daemon.out") + 1))
        start_daemon "$root" "$stamp"
        sleep 0.5  # nothing polls while the start runs
        wait_until 30 has_requests "$since" "GET /computers/configuration" "POST /computers/state" ||
            { echo "start $i did not fetch its configuration:"; tail -20 "$root/daemon.out"; exit 1; }
        settle 2 10
        stop_daemon
        daemon_ms=$(requests_since "$since" daemon | python3 -c '
import json, sys
stamp = int(open(sys.argv[1]).read())
for line in sys.stdin:
    r = json.loads(line)
    if (r["method"], r["path"]) == ("GET", "/computers/configuration"):
        print("%.3f" % ((r["steadyNs"] - stamp) / 1e6))
        break' "$stamp")
        # The slowest request: a "Making ... request" line of the text log to
        # the next "Status code:" line (time stamps in milliseconds).
        slowest=$(tail -n +"$log_from" "$root/daemon.out" | python3 -c '
import datetime, re, sys
slowest, making = (-1.0, "(none)"), None
for line in sys.stdin:
    entry = re.match(r"(\S+)Z INFO (.*)", line)
    if not entry:
        continue
    at = datetime.datetime.fromisoformat(entry[1])
    if re.match(r"Making .*request", entry[2]):
        making = (at, entry[2])
    elif making and entry[2].startswith("Status code:"):
        slowest = max(slowest, ((at - making[0]).total_seconds() * 1000, making[1]))
        making = None
print("%.0f\t%s" % slowest)')

        # The reference: libcurl initialised and the same request made once.
        since=$(request_count)
        build/qv-bench-stamp-exec "$stamp" "$PWD/build/qv-bench-reference" fetch \
            "$api/computers/configuration" 1 0 >"$root/reference.out"
        reference_ms=$(requests_since "$since" reference | python3 -c '
import json, sys
print("%.3f" % ((json.loads(sys.stdin.readline())["steadyNs"] - int(open(sys.argv[1]).read())) / 1e6))
' "$stamp")
        reference_request=$(awk '/^request / {print $2 / 1000}' "$root/reference.out")
        printf '%s\t%s\t%s\t%s\n' "$daemon_ms" "$slowest" "$reference_ms" "$reference_request" \
            >>"$root/starts.tsv"
        printf '   start %2d: first configuration request after %7s ms (reference %s ms), slowest request %s ms: %s\n' \
            "$i" "$daemon_ms" "$reference_ms" "$(cut -f1 <<<"$slowest")" "$(cut -f2 <<<"$slowest")"
    done
    report "$root/starts.tsv" <<'PY' | record startup
import collections, statistics, sys
starts = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
column = lambda i: [float(start[i]) for start in starts]
d, r = statistics.median(column(0)), statistics.median(column(3))
row("process start to first configuration request, ms (median)", f"{d:.1f}", f"{r:.1f}",
    ratio(d, r), "≤ 30", d <= 30)
row("  fastest … slowest start, ms", f"{min(column(0)):.1f} … {max(column(0)):.1f}",
    f"{min(column(3)):.1f} … {max(column(3)):.1f}")
d, r = statistics.median(column(1)), statistics.median(column(4))
row("slowest request of a start, ms (median)", f"{d:.1f}", f"{r:.2f}", ratio(d, r), "≤ 2", d <= 2)
which = collections.Counter(start[2] for start in starts).most_common(1)[0][0]
row(f"  slowest of all starts, ms (most often the slowest: {which})", f"{max(column(1)):.0f}",
    f"{max(column(4)):.2f}")
PY
}

# ---------------------------------------------------------------- busy

bench_busy() {
    echo "== busy: configuration interval 0, ${busy_seconds} s"
    local root reference_pid
    root=$(sandbox busy)
    start_sim "$root" --configuration '{"computerConfigurationPingIntervalOverride":0}'
    start_daemon "$root"
    wait_until 60 has_requests 0 "GET /computers/configuration" "POST /computers/state" ||
        { echo "the daemon did not enroll:"; tail -20 "$root/daemon.out"; exit 1; }
    sleep 3
    # The reference fetches the same configuration once a second (the
    # daemon's tick) from before the window until it is stopped after it.
    build/qv-bench-reference fetch "$api/computers/configuration" $((busy_seconds * 2 + 60)) 1000 \
        >"$root/reference.out" &
    reference_pid=$!
    pids+=("$reference_pid")
    sleep 2
    probe "$daemon_pid" >"$root/daemon.0.json"
    probe "$reference_pid" >"$root/reference.0.json"
    sleep "$busy_seconds"
    probe "$daemon_pid" >"$root/daemon.1.json"
    probe "$reference_pid" >"$root/reference.1.json"
    stop_daemon
    kill "$reference_pid"
    # The requests of the window are those the simulator recorded between the
    # probes (its steadyNs and the probes' time are the same monotonic clock).
    requests_since 0 >"$root/requests.jsonl"
    report "$root" <<'PY' | record busy
import collections, sys
root = sys.argv[1]
load = lambda name: json.load(open(f"{root}/{name}.json"))
d0, d1, r0, r1 = load("daemon.0"), load("daemon.1"), load("reference.0"), load("reference.1")
requests = {"daemon": [], "reference": []}
for line in open(f"{root}/requests.jsonl"):
    r = json.loads(line)
    if d0["time"] * 1e9 <= r["steadyNs"] <= d1["time"] * 1e9:
        headers = {name.lower(): value for name, value in r["headers"]}
        client = "reference" if headers.get("user-agent") == "qv-bench-reference" else "daemon"
        requests[client].append(r)
routes = collections.Counter(f'{r["method"]} {r["path"]}' for r in requests["daemon"])
print("   the daemon's requests in the window:", dict(routes) or "none", file=sys.stderr)
dn, rn = len(requests["daemon"]), len(requests["reference"])
d, r = dn / (d1["time"] - d0["time"]), rn / (r1["time"] - r0["time"])
row("requests per second", f"{d:.2f}", f"{r:.2f}", ratio(d, r))
def period(client):
    fetches = [r["steadyNs"] / 1e9 for r in requests[client] if r["path"] == "/computers/configuration"]
    return (fetches[-1] - fetches[0]) / (len(fetches) - 1) if len(fetches) > 1 else math.nan
d, r = period("daemon"), period("reference")
row("  seconds between configuration fetches", f"{d:.2f}" if d == d else "— (fewer than 2)",
    f"{r:.2f}", ratio(d, r))
d = (d1["cpuNs"] - d0["cpuNs"]) / 1e3 / dn if dn else math.nan
r = (r1["cpuNs"] - r0["cpuNs"]) / 1e3 / rn if rn else math.nan
row("CPU per request, µs (CPU-time clock, all the process's work in the window)",
    f"{d:.0f}", f"{r:.0f}", ratio(d, r))
PY
}

# ---------------------------------------------------------------- digest, download

# big_file: a file of $file_mib MiB of random bytes, made once and removed at
# the end; sets $big and $big_digest.
big_file() {
    [ -z "${big:-}" ] || return 0
    mkdir -p "$work/files"
    big="$work/files/package.pkg"
    echo "   writing ${file_mib} MiB of random bytes to $big"
    head -c $((file_mib * 1024 * 1024)) /dev/urandom >"$big"
    big_digest=$(sha256sum "$big" | cut -d' ' -f1)
}

# seconds_of COMMAND...: runs COMMAND, its output dropped, and prints how long
# it took in seconds (monotonic clock).
seconds_of() {
    python3 - "$@" <<'PY'
import subprocess, sys, time
start = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(f"{time.monotonic() - start:.6f}")
PY
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }  # field NAME: NAME=value of a "result" line

# transfer_rows ROUNDS GOAL MINIMUM: the rows of a file benchmark from its
# rounds (daemon seconds, reference seconds, peak RSS before and after in KiB).
transfer_rows() {
    report "$@" "$file_mib" <<'PY'
import statistics, sys
path, goal, minimum, mib = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
rounds = [[float(x) for x in line.split("\t")] for line in open(path)]
d = mib / statistics.median(r[0] for r in rounds)
r = mib / statistics.median(r[1] for r in rounds)
row(f"throughput, MiB/s (median of {len(rounds)})", f"{d:.0f}", f"{r:.0f}", ratio(d, r), goal,
    d >= minimum * r)
growth = max(r[3] - r[2] for r in rounds) / 1024
row("peak RSS growth of the measuring process, MiB", f"{growth:.1f}", goal="< 16", met=growth < 16)
PY
}

bench_digest() {
    echo "== digest: verifyFileHash against sha256sum, ${file_mib} MiB"
    big_file
    local root="$work/digest" i line
    mkdir -p "$root"
    : >"$root/rounds.tsv"
    for i in 1 2 3; do  # taking turns
        line=$(QV_ROOT="$root" build/qv-bench-digest "$big" "$big_digest" | grep '^result ')
        printf '%s\t%s\t%s\t%s\n' "$(field seconds <<<"$line")" "$(seconds_of sha256sum "$big")" \
            "$(field peakBeforeKib <<<"$line")" "$(field peakAfterKib <<<"$line")" >>"$root/rounds.tsv"
    done
    transfer_rows "$root/rounds.tsv" "≥ 0.9 × reference" 0.9 | record digest
}

bench_download() {
    echo "== download: the agent update download against curl -o, ${file_mib} MiB over loopback"
    big_file
    local root i line url size=$((file_mib * 1024 * 1024))
    # Both write into memory (/dev/shm): a gigabyte written to this disk is
    # written back for seconds, and the rounds then vary by half, which would
    # measure the disk rather than the clients.
    memory=$(mktemp -d /dev/shm/qv-bench-XXXXXX)
    root=$(work="$memory" sandbox download)
    start_sim "$root"
    # The simulator streams the package from the file (its "packageFile").
    admin POST /_admin/state "{\"agentUpdates\":{\"bench\":{\"packageFile\":\"$big\"}}}" >/dev/null
    url="$api/packages/bench.pkg"
    : >"$work/download.tsv"
    # Taking turns, each file removed at once.
    for i in 1 2 3; do
        line=$(QV_ROOT="$root" QV_API_BASE_URL="$api" build/qv-bench-download "$url" | grep '^result ')
        rm -- "$(sed -n 's/.* path=//p' <<<"$line")"  # the path holds spaces: it comes last
        [ "$(field bytes <<<"$line")" -eq "$size" ] || { echo "the daemon's download is short: $line"; exit 1; }
        printf '%s\t%s\t%s\t%s\n' "$(field seconds <<<"$line")" \
            "$(seconds_of curl -sf -o "$memory/curl.pkg" "$url")" \
            "$(field peakBeforeKib <<<"$line")" "$(field peakAfterKib <<<"$line")" >>"$work/download.tsv"
        [ "$(stat -c %s "$memory/curl.pkg")" -eq "$size" ] || { echo "curl's download is short"; exit 1; }
        rm -f "$memory/curl.pkg"
    done
    transfer_rows "$work/download.tsv" "≥ 0.8 × reference" 0.8 | record download
}

# ---------------------------------------------------------------- run

for name in "${selected[@]}"; do
    "bench_$name"
    echo
done
rm -rf "$work/files"

echo "== results (work files in $work), as Markdown:"
echo
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, Linux $(uname -r); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
python3 - "$results" <<'PY'
import json, sys
print("| benchmark | figure | daemon | reference | ratio | goal | |")
print("|---|---|---|---|---|---|---|")
for line in open(sys.argv[1]):
    print("| " + " | ".join(json.loads(line)) + " |")
PY
echo
echo "== scripts/bench.sh ran $(($(date +%s) - bench_started)) s, set-up and build included"
