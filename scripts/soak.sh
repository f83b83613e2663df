#!/usr/bin/env bash
# Soak: the real daemon against the local API simulator for MINUTES (default
# 5) under random faults, agent updates and kills, its invariants checked all
# along; then a grace period without faults, a table, and exit status 1 when
# an invariant was broken.
#
#   scripts/soak.sh [MINUTES]        QV_SOAK_SEED=N fixes the random choices
#
# The daemon runs in a sandbox root with the stand-ins first on PATH, as the
# demo and the end-to-end tests run it, and fetches, checks in and reports its
# state every second (the simulator's configuration overrides), with a request
# time-out of 2 s. Nothing but the simulator on 127.0.0.1 is contacted.
# While it runs:
#   - every 1-6 s a fault is armed on one of the daemon's routes for 1-3
#     calls: an error status (500, 503, 401, 404) or a broken answer (drop,
#     cut, reset, hang, trickle, huge, deep, bigheader);
#   - agent updates are offered one at a time as "updateAgent" pending
#     actions, some with a wrong digest or a download cut short; the stand-in
#     installer takes 1-4 s, and 0-8 s after it the daemon is restarted with
#     SIGTERM, as the package's own installation does;
#   - the daemon is killed with SIGKILL or SIGTERM every 10-60 s and during
#     installations, and started again 0.3-1.5 s later as launchd's KeepAlive
#     does; before some starts the MDM agent is removed, so the start
#     installs it again.
# Invariants, each violation recorded with its time and reason:
#   - the stored computerId never changes or disappears once set; the
#     simulator registers one computer only; every registration carries the
#     license key of /tmp/qvconfig;
#   - every update request ends in exactly one final status ("completed",
#     "failed", "downloadFailed", "verificationFailed"), also after the grace
#     period; no update is installed twice;
#   - the temp folder, descriptors, threads and resident memory stay bounded;
#   - once a fault's calls are taken, a configuration fetch follows within
#     10 s (checked for a daemon that already had its configuration);
#   - the daemon exits only when this script stops it.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

minutes="${1:-5}"
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ]; then
    echo "usage: scripts/soak.sh [MINUTES]" >&2
    exit 2
fi
seed="${QV_SOAK_SEED:-$((($$ ^ ${EPOCHSECONDS:-0}) & 32767))}"
RANDOM=$seed

scripts/setup.sh || exit 1
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target QVAgentLaunchDaemon quorvel-api-sim \
    >/dev/null || exit 1

# ---------------------------------------------------------------- bounds

readonly grace_max_s=90      # the grace period ends earlier once all is closed
readonly resume_bound_s=10   # a fault taken -> a configuration fetch (at worst: a 4 s trickle, a 1.5 s retry, a 1 s tick)
readonly max_temp_files=4    # an update awaiting its restart, one in flight, the MDM package, a leftover
readonly max_fds=64
readonly max_threads=32
readonly max_rss_kib=$((64 * 1024))
readonly stale_window_ns=5000000000  # a run started from a listing answered before the update left it

# ---------------------------------------------------------------- sandbox

root=$(mktemp -d /tmp/qv-soak-XXXXXX)
soak="$root/.soak"  # the soak's own files
product="$root/Library/Application Support/Tessaly/Quorvel"
mkdir -p "$soak" "$root/tmp" "$root/.shim" "$root/usr/sbin" "$root/usr/bin" "$root/Library/LaunchDaemons"
key="SOAK-KEY-$seed"
printf '%s\\nAcme Corp\\nHeadquarters' "$key" >"$root/tmp/qvconfig"
ln -s "$PWD/tests/shims/installer" "$root/usr/sbin/installer"
ln -s "$PWD/tests/shims/ditto" "$root/usr/bin/ditto"
cat >"$root/Library/LaunchDaemons/com.tessaly.Quorvel.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Label</key><string>com.tessaly.Quorvel</string></dict></plist>
PLIST
printf 'com.tessaly.Quorvel\n' >"$root/.shim/launchctl.loaded"
printf 'soak-agent-1\n' >"$root/.shim/go-agent"
# The installer: the MDM agent's package puts the agent in place; an update's
# package (its text names the update) is logged with the time and the daemon
# that runs it, and takes installer.sleep seconds, marked meanwhile by an
# "installing.<daemon pid>.<pid>" file.
cat >"$root/.shim/installer.sh" <<HOOK
case "\$2" in
    */addigy.pkg) mkdir -p "\$QV_ROOT/Library/Addigy" &&
                  ln -sf "$PWD/tests/shims/go-agent" "\$QV_ROOT/Library/Addigy/go-agent" ;;
    *) id=\$(head -c 256 "\$2" | sed -n 's/^Quorvel agent package for update //p' | head -n 1)
       daemon=\$(cut -d' ' -f4 "/proc/\$PPID/stat")
       printf '%s %s %s\n' "\$(date +%s%N)" "\${id:-?}" "\$daemon" >>"$soak/installs.log"
       : >"$soak/installing.\$daemon.\$\$"
       sleep "\$(cat "$soak/installer.sleep" 2>/dev/null || echo 0)"
       rm -f "$soak/installing.\$daemon.\$\$" ;;
esac
HOOK
: >"$soak/installs.log"

# ---------------------------------------------------------------- clean-up

sim_pid=""
daemon_pid=""
# The daemons and what they started (installers a kill left running) carry
# this sandbox in their environment, and only they do.
cleanup() {
    local process
    {
        for process in /proc/[0-9]*; do
            grep -qzxF "QV_ROOT=$root" "$process/environ" && kill -KILL "${process#/proc/}"
        done
        [ -n "$sim_pid" ] && kill -KILL "$sim_pid"
        wait
    } 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- clock and log

# now: $now_ns, the wall clock; sim_ns: the simulator's monotonic clock (the
# clock of its steadyNs), through the offset measured at each poll.
offset_ns=0
now() { local t=$EPOCHREALTIME; now_ns=$((${t%.*} * 1000000000 + 10#${t#*.} * 1000)); }
now
start_ns=$now_ns
t_of() { # t_of WALL_NS: "t+12.3s"
    local tenths=$((($1 - start_ns) / 100000000))
    printf 't+%d.%ds' $((tenths / 10)) $((tenths % 10))
}
timeline="$soak/timeline.log"
note() { # note TEXT [WALL_NS]: the timeline; shown too when QUIET is not set
    now
    local line
    line="$(t_of "${2:-$now_ns}")  $1"
    printf '%s\n' "$line" >>"$timeline"
    [ -n "${quiet:-}" ] || printf '   %s\n' "$line"
}
violations=()
violation() { # violation REASON [WALL_NS]
    now
    local line
    line="$(t_of "${2:-$now_ns}")  $1"
    violations+=("$line")
    printf 'VIOLATION %s\n' "$line" >>"$timeline"
    printf '!! %s\n' "$line"
}
wall_of_sim() { echo $(($1 - offset_ns)); }

# ---------------------------------------------------------------- simulator

# Fetch, check in and report state on every one-second tick; retry a failed
# fetch within 1.5 s (the negative interval outweighs the jitter a start's
# first fetch draws from the default bound).
configuration='{"computerConfigurationPingIntervalOverride":-30,"computerCheckInPingIntervalOverride":0,
"computerStatePingIntervalOverride":1,"globalMaxJitterOverride":0,
"retryIntervalDownloadConfigurationMultiplierOverride":1000,
"retryIntervalDownloadConfigurationMaxJitterOverride":0,
"retryIntervalDownloadConfigurationMaxBackoffOverride":1500,
"retryIntervalDownloadConfigurationMaxCollisionsOverride":1}'
record="$soak/requests.jsonl"
build/quorvel-api-sim --port-file "$soak/sim.port" --record "$record" \
    --configuration "$configuration" >"$soak/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [ -s "$soak/sim.port" ] && break; sleep 0.1; done
[ -s "$soak/sim.port" ] || { echo "the API simulator did not start:"; cat "$soak/sim.out"; exit 1; }
api="http://127.0.0.1:$(cat "$soak/sim.port")"
: >"$record"

sim() { # sim METHOD PATH [JSON]: an admin call, its answer on stdout
    curl -sf --noproxy '*' --max-time 10 -X "$1" ${3:+-H 'Content-Type: application/json' --data "$3"} \
        "$api$2"
}
# A failed update request is closed (no longer listed); the first computer
# registered gets a known identifier, so faults can name its routes at once.
cid="cmp-soak"
sim POST /_admin/state "{\"closeFailedUpdates\": true, \"nextComputerId\": \"$cid\"}" >/dev/null ||
    { echo "the API simulator refused its state"; exit 1; }

# ---------------------------------------------------------------- faults

fault_kinds=(500 503 401 404 drop cut reset hang trickle huge deep bigheader)
# Weighted: the routes of the steady state more often than those of a start.
fault_routes=(
    "GET /computers/configuration" "GET /computers/configuration" "GET /computers/configuration"
    "POST /computers/checkIn" "POST /computers/checkIn"
    "POST /computers/state" "POST /computers/state"
    "POST /agentUpdateRequests" "POST /agentUpdateRequests"
    "POST /agentUpdateRequests/{update}/status" "POST /agentUpdateRequests/{update}/status"
    "POST /agentUpdateRequests/{update}/status"
    "GET /packages/{update}.pkg" "GET /packages/{update}.pkg"
    "POST /computers/pendingActions/completed" "POST /computers/pendingActions/completed"
    "POST /computers/mac" "POST /computers/{cid}/login"
    "GET /addigy/computer/{cid}/downloadLink" "GET /addigy/packages/{cid}.pkg" "POST /addigy/link-agent-id"
)
declare -A armed=()     # "METHOD PATH" -> "KIND COUNT": armed by this script, not yet all taken
declare -A fault_count=()  # by kind
faults_injected=0
faults_taken=0
hangs=()                # when each hang was armed: a few at a time (each holds a worker for 90 s)
last_config_fault_ns=0  # simulator clock: a fault taken on the configuration route
resume_checks=()        # "SIM_NS START PID ROUTE|KIND COUNT": a fetch must follow SIM_NS
resume_checked=0

arm_fault() { # arm_fault ROUTE KIND COUNT
    local method="${1%% *}" path="${1#* }" json
    if [[ "$2" =~ ^[0-9]+$ ]]; then
        json="{\"method\":\"$method\",\"path\":\"$path\",\"status\":$2,\"count\":$3}"
    else
        json="{\"method\":\"$method\",\"path\":\"$path\",\"kind\":\"$2\",\"count\":$3}"
    fi
    sim POST /_admin/faults "$json" >/dev/null || return 1
    armed["$1"]="$2 $3"
    fault_count["$2"]=$((${fault_count["$2"]:-0} + 1))
    faults_injected=$((faults_injected + 1))
    [ "$2" = hang ] && { now; hangs+=("$now_ns"); }
    quiet=1 note "fault armed: $1 -> $2 ×$3"
}

random_fault() {
    local route kind count recent=() at
    route=${fault_routes[RANDOM % ${#fault_routes[@]}]}
    if [[ "$route" == *"{update}"* ]]; then
        [ -n "$last_update" ] || return 0
        route=${route//\{update\}/$last_update}
    fi
    route=${route//\{cid\}/$cid}
    # Registration is asked for only until an identity is stored.
    [ "$route" = "POST /computers/mac" ] && [ -n "$stored_cid" ] && return 0
    # A start's first fetch that fails waits out the compiled-in back-off
    # (minutes): the fetch is failed only once the fast schedule is applied.
    # Nor is it armed just before a restart that would leave it to the next start.
    if [ "$route" = "GET /computers/configuration" ]; then
        now
        [ "$configured" = 1 ] && ((next_kill_at - now_ns > 10000000000)) &&
            ((installer_restart_at == 0 && install_kill_at == 0)) || return 0
    fi
    [ -z "${armed[$route]:-}" ] || return 0  # one fault per route at a time
    kind=${fault_kinds[RANDOM % ${#fault_kinds[@]}]}
    if [ "$kind" = hang ]; then
        now
        for at in "${hangs[@]}"; do ((now_ns - at < 95000000000)) && recent+=("$at"); done
        hangs=("${recent[@]}")
        [ "${#hangs[@]}" -lt 3 ] || kind=503
    fi
    # A report answered 200 with a body the daemon need not read is accepted,
    # but the simulator's fault skips the route's effect (the action stays
    # listed, the status unrecorded): a server that says yes and does nothing.
    [[ "$kind" = deep && ( "$route" == *pendingActions/completed || "$route" == */status ) ]] &&
        kind=503
    count=$((1 + RANDOM % 3))
    [[ "$route" == *mac || "$route" == *login || "$route" == *addigy* ]] && count=$((1 + RANDOM % 2))
    arm_fault "$route" "$kind" "$count"
}

# poll_faults: the simulator's clock and its armed faults; a fault of ours no
# longer armed has had its calls taken.
sim_now=0
poll_faults() {
    local answer listed route
    answer=$(sim GET /_admin/faults) || return 1
    now
    sim_now=$(jq -r .steadyNs <<<"$answer")
    offset_ns=$((sim_now - now_ns))
    listed=$(jq -r '.faults[] | "\(.method) \(.path)"' <<<"$answer")
    for route in "${!armed[@]}"; do
        grep -qxF -- "$route" <<<"$listed" && continue
        faults_taken=$((faults_taken + 1))
        quiet=1 note "fault taken: $route (${armed[$route]})"
        [ "$route" = "GET /computers/configuration" ] && last_config_fault_ns=$sim_now
        # The daemon had its configuration: its fast schedule holds.
        [ -n "$daemon_pid" ] && [ "$configured" = 1 ] &&
            resume_checks+=("$sim_now $starts $daemon_pid $route|${armed[$route]}")
        unset 'armed[$route]'
    done
}

# check_resumed: a fault taken at T by a daemon that had its configuration is
# followed by a configuration fetch (a fetch recorded, or a fault taken on
# the fetch's route: a hung request is recorded only once the hang ends)
# within the bound, unless that daemon was stopped before.
check_resumed() {
    local check at start pid what kept=() latest
    latest=$((last_fetch_ns > last_config_fault_ns ? last_fetch_ns : last_config_fault_ns))
    for check in "${resume_checks[@]}"; do
        read -r at start pid what <<<"$check"
        if ((latest > at)); then
            resume_checked=$((resume_checked + 1))
        elif [ "$start" != "$starts" ]; then
            continue  # stopped before it was due
        elif ((sim_now - at < resume_bound_s * 1000000000)); then
            kept+=("$check")
        else
            resume_checked=$((resume_checked + 1))
            violation "no configuration fetch within ${resume_bound_s} s after the fault ${what%|*} (${what#*|}) was taken (pid $pid; the last fetch at $( ((last_fetch_ns > 0)) && t_of "$(wall_of_sim "$last_fetch_ns")" || echo never))" \
                "$(wall_of_sim "$at")"
        fi
    done
    resume_checks=("${kept[@]}")
}

# ---------------------------------------------------------------- the daemon

starts=0
configured=0  # the running daemon has applied a configuration
declare -A restarts=()  # by kind
start_daemon() {
    starts=$((starts + 1))
    daemon_out="$soak/daemon-$starts.out"
    env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
        QV_ROOT="$root" QV_API_BASE_URL="$api" PATH="$PWD/tests/shims:$PATH" \
        QV_REQUEST_TIMEOUT_S=2 QV_DOWNLOAD_TIMEOUT_S=10 \
        "$PWD/build/QVAgentLaunchDaemon" >"$daemon_out" 2>&1 </dev/null &
    daemon_pid=$!
    configured=0
    now
    started_at=$now_ns
    installer_restart_at=0
    install_kill_at=0
    quiet=1 note "daemon started: pid $daemon_pid (start $starts, output $daemon_out)"
}

describe_status() { # describe_status STATUS: "exit status N" or "signal NAME"
    if (($1 > 128)); then echo "signal $(kill -l $(($1 - 128)) 2>/dev/null || echo $(($1 - 128)))"; else echo "exit status $1"; fi
}

gone() { # gone PID: the process has ended (bash may have reaped it already)
    local state
    [ -r "/proc/$1/stat" ] || return 0
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [ -z "$state" ] || [ "$state" = Z ]
}

# restart SIGNAL KIND: stops the daemon with SIGNAL and starts it again after
# 0.3-1.5 s, as launchd's KeepAlive does; before a fifth of the starts the MDM
# agent is removed, so the start installs it again.
restart() {
    local signal="$1" kind="$2" pid="$daemon_pid" status waited=0
    # Quiet: bash would report the job killed by a signal on its own.
    {
        kill "-$signal" "$pid"
        while ! gone "$pid"; do
            sleep 0.1
            waited=$((waited + 1))
            if [ "$waited" -eq 200 ]; then
                violation "the daemon (pid $pid) did not end within 20 s of $signal"
                kill -KILL "$pid"
            fi
        done
        wait "$pid"
        status=$?
    } 2>/dev/null
    # Ended by the signal (or, for SIGTERM, by an orderly exit), not by itself just before.
    if [ "$status" != $((128 + $(kill -l "$signal"))) ] && ! [ "$signal$status" = TERM0 ]; then
        violation "the daemon (pid $pid) ended by $(describe_status "$status") when sent SIG$signal"
    fi
    daemon_pid=""
    restarts["$kind"]=$((${restarts["$kind"]:-0} + 1))
    note "restart ($kind): pid $pid ended by $(describe_status "$status")"
    local tenths=$((3 + RANDOM % 13))  # launchd starts it again 0.3 to 1.5 s later
    sleep "$((tenths / 10)).$((tenths % 10))"
    [ $((RANDOM % 5)) -eq 0 ] && rm -rf "$root/Library/Addigy" && quiet=1 note "MDM agent removed"
    start_daemon
}

# check_alive: an end the script did not cause is a violation; launchd starts
# the daemon again.
check_alive() {
    local status pid="$daemon_pid"
    [ -n "$pid" ] && gone "$pid" || return 0
    {
        wait "$pid"
        status=$?
    } 2>/dev/null
    violation "the daemon (pid $pid) ended by itself: $(describe_status "$status"); last lines: $(tail -n 3 "$daemon_out" | tr '\n' '|')"
    restarts["unexpected end"]=$((${restarts["unexpected end"]:-0} + 1))
    daemon_pid=""
    sleep 1
    start_daemon
}

# ---------------------------------------------------------------- resources and identity

max_fds_seen=0
max_threads_seen=0
max_rss_seen=0
max_temp_seen=0
declare -A reported=()  # "PID what": a bound broken once is reported once per daemon
over_bound() { # over_bound KEY REASON
    [ -n "${reported[$1]:-}" ] && return 0
    reported["$1"]=1
    violation "$2"
}
check_resources() {
    local pid="$daemon_pid" entries n rss
    shopt -s nullglob dotglob
    entries=("$product/temp"/*)
    n=${#entries[@]}
    ((n > max_temp_seen)) && max_temp_seen=$n
    if ((n > max_temp_files)); then
        over_bound "$pid temp" "$n entries in the temp folder (bound $max_temp_files): ${entries[*]##*/}"
    fi
    if [ -z "$pid" ] || gone "$pid"; then
        shopt -u nullglob dotglob
        return 0
    fi
    entries=("/proc/$pid/fd"/*)
    n=${#entries[@]}
    ((n > max_fds_seen)) && max_fds_seen=$n
    ((n > max_fds)) && over_bound "$pid fds" "the daemon (pid $pid) holds $n descriptors (bound $max_fds)"
    entries=("/proc/$pid/task"/*)
    n=${#entries[@]}
    ((n > max_threads_seen)) && max_threads_seen=$n
    ((n > max_threads)) && over_bound "$pid threads" "the daemon (pid $pid) runs $n threads (bound $max_threads)"
    shopt -u nullglob dotglob
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    if [ -n "$rss" ]; then
        ((rss > max_rss_seen)) && max_rss_seen=$rss
        ((rss > max_rss_kib)) && over_bound "$pid rss" "the daemon (pid $pid) is resident in $((rss / 1024)) MiB (bound $((max_rss_kib / 1024)) MiB)"
    fi
    if [ "$configured" = 0 ] && grep -qF "INFO Got configuration at " "$daemon_out" 2>/dev/null; then
        configured=1
    fi
}

stored_cid=""
seen_cid=""
check_identity() {
    local plist="$root/Library/Preferences/com.tessaly.Quorvel.plist" id=""
    [ -f "$plist" ] && id=$(tr -d '\n\t ' <"$plist" | sed -n 's|.*<key>computerId</key><string>\([^<]*\)</string>.*|\1|p')
    [ "$id" = "$seen_cid" ] && return 0
    if [ -z "$stored_cid" ]; then
        stored_cid=$id
        note "identity stored: computerId $id"
    elif [ -z "$id" ]; then
        violation "the stored computerId ($stored_cid) is gone"
    elif [ "$id" != "$stored_cid" ]; then
        violation "the stored computerId changed from $stored_cid to $id"
    else
        note "the stored computerId is back: $id"
    fi
    seen_cid=$id
}

# The update trigger awaiting a restart: one replaced by another update's
# within the same run of the daemon is noted (it closes no request).
trigger_seen=""
trigger_seen_start=0
declare -A replaced=()  # update id -> "upd-N's at t+..."
check_trigger() {
    local id=""
    [ -f "$root/tmp/qvupdate.trigger" ] && id=$(head -n 1 "$root/tmp/qvupdate.trigger" 2>/dev/null)
    if [ -n "$trigger_seen" ] && [ -n "$id" ] && [ "$id" != "$trigger_seen" ] &&
        [ "$trigger_seen_start" = "$starts" ]; then
        now
        replaced["$trigger_seen"]="$id's at $(t_of "$now_ns")"
        note "the update trigger of $trigger_seen was replaced by $id's"
    fi
    trigger_seen=$id
    trigger_seen_start=$starts
}

# ---------------------------------------------------------------- what the simulator received

record_lines=0
registrations=0
fetches=0
last_fetch_ns=0
acks=()                   # simulator clock of each acknowledgement the simulator accepted
declare -A attempts=()    # update id -> requests created (POST /agentUpdateRequests accepted)
declare -A last_attempt=()
declare -A finals=()      # update id -> its final statuses, in order
declare -A closed_at=()   # update id -> when a failed final status took it off the list
declare -A installs=()    # update id -> installations
declare -A faulted_statuses=()  # update id -> status reports a fault answered
stale_reruns=0

# The requests recorded since the last call, one tab-separated line each:
# steadyNs, what, and up to two values. A request a fault answered is recorded
# without its body: it shows as an empty value and was not accepted.
read_requests() {
    local total
    total=$(wc -l <"$record")
    ((total > record_lines)) || return 0
    sed -n "$((record_lines + 1)),${total}p" "$record" | jq -r '
        def body: if .body == "" then null else (try (.body | fromjson) catch null) end;
        (if .method == "GET" and .path == "/computers/configuration" then ["fetch", "", ""]
         elif .method == "POST" and .path == "/computers/mac" then
             ["registration", (body | if . == null then "" else (.licenseKey // "(none)" | tostring) end), ""]
         elif .method == "POST" and .path == "/agentUpdateRequests" then
             ["attempt", (body | .agentUpdateId? // "" | tostring), ""]
         elif .method == "POST" and (.path | test("^/agentUpdateRequests/[^/]+/status$")) then
             ["status", (.path | split("/")[2]), (body | .status? // "" | tostring)]
         elif .method == "POST" and .path == "/computers/pendingActions/completed" then
             ["acknowledgement", (body | .actionType? // "" | tostring), ""]
         else empty end) as $e | [(.steadyNs | tostring)] + $e | @tsv' >"$soak/new-requests.tsv"
    record_lines=$total
    local ns what a b
    while IFS=$'\t' read -r ns what a b; do
        case "$what" in
        fetch)
            fetches=$((fetches + 1))
            ((ns > last_fetch_ns)) && last_fetch_ns=$ns ;;
        registration)
            [ -n "$a" ] || continue
            registrations=$((registrations + 1))
            [ "$a" = "$key" ] || violation "a registration carried the license key '$a', not '$key'" "$(wall_of_sim "$ns")"
            ((registrations > 1)) && violation "registration number $registrations: the computer registered again" "$(wall_of_sim "$ns")" ;;
        attempt)
            [ -n "$a" ] || continue
            attempts["$a"]=$((${attempts["$a"]:-0} + 1))
            last_attempt["$a"]=$ns ;;
        acknowledgement)
            [ -n "$a" ] && acks+=("$ns") ;;
        status)
            if [ -z "$b" ]; then
                faulted_statuses["$a"]=$((${faulted_statuses["$a"]:-0} + 1))
                continue
            fi
            case "$b" in completed | failed | downloadFailed | verificationFailed) ;; *) continue ;; esac
            local previous="${finals[$a]:-}"
            finals["$a"]="${previous:+$previous }$b"
            note "update $a: $b" "$(wall_of_sim "$ns")"
            if [ -n "$previous" ]; then
                if rerun_from_stale_listing "$a"; then
                    stale_reruns=$((stale_reruns + 1))
                    note "update $a closed again by a run started from a listing answered before it was closed (not the daemon's doing)"
                else
                    violation "update request $a got a second final status: $previous, then $b" "$(wall_of_sim "$ns")"
                fi
            fi
            [ "$b" != completed ] && closed_at["$a"]=$ns ;;
        esac
    done <"$soak/new-requests.tsv"
}

# rerun_from_stale_listing ID: the last request for the update was created
# within a few seconds after the update left the list (a failure closed it, or
# an acknowledgement was accepted): a run started from a configuration answered
# just before, which the daemon cannot tell from a current one.
rerun_from_stale_listing() {
    local started="${last_attempt[$1]:-0}" left="${closed_at[$1]:-0}" ack
    for ack in "${acks[@]}"; do ((ack < started && ack > left)) && left=$ack; done
    ((left > 0 && started > left && started - left <= stale_window_ns))
}

install_lines=0
# read_installs TOTAL: the installations up to line TOTAL, counted before the
# requests were read, so the request each one was made for has been read.
read_installs() {
    local total="$1" wall id
    ((total > install_lines)) || return 0
    while read -r wall id pid; do
        installs["$id"]=$((${installs["$id"]:-0} + 1))
        note "update $id: installing (for ${installer_sleep}s, pid $pid)" "$wall"
        if ((${installs[$id]} > 1)); then
            if rerun_from_stale_listing "$id"; then
                stale_reruns=$((stale_reruns + 1))
                note "update $id installed again by a run started from a listing answered before it was closed (not the daemon's doing)"
            else
                violation "update $id installed ${installs[$id]} times" "$wall"
            fi
        fi
        # A third of the installations are cut short by a kill; after the
        # others the package's installation restarts the daemon.
        now
        if [ $((RANDOM % 3)) -eq 0 ]; then
            install_kill_at=$((now_ns + RANDOM % (installer_sleep * 1000) * 1000000))
        else
            installer_restart_at=$((now_ns + (installer_sleep * 1000 + RANDOM % 8000) * 1000000))
        fi
    done < <(sed -n "$((install_lines + 1)),${total}p" "$soak/installs.log")
    install_lines=$total
}
installing() { compgen -G "$soak/installing.$daemon_pid.*" >/dev/null; }  # by the running daemon

# ---------------------------------------------------------------- updates

updates=0
last_update=""
listed=()          # update ids in the simulator's pending actions
settings='{}'      # the simulator's agentUpdates
installer_sleep=2
next_offer_at=0
declare -A offered_with=()
poll_listed() {
    local answer
    answer=$(sim GET /_admin/state) || return 1
    mapfile -t listed < <(jq -r '.pendingActions[]? | .value // empty' <<<"$answer")
}
offer_update() {
    local id mode="" roll=$((RANDOM % 8)) offered_at
    now
    offered_at=$now_ns
    updates=$((updates + 1))
    id="upd-$updates"
    case "$roll" in
    0 | 1) mode='{"payloadDigest": "wrong"}' ;;
    2) mode='{"cutDownload": true}' ;;
    *) mode='{}' ;;
    esac
    settings=$(jq -c --arg id "$id" --argjson mode "$mode" '.[$id] = $mode' <<<"$settings")
    installer_sleep=$((1 + RANDOM % 4))
    echo "$installer_sleep" >"$soak/installer.sleep"
    sim POST /_admin/state "{\"agentUpdates\": $settings, \"pendingActions\": [{\"type\": \"updateAgent\", \"value\": \"$id\", \"display\": \"2.0.$updates\"}]}" >/dev/null ||
        return 1
    last_update=$id
    offered_with["$id"]=$(jq -r 'if .payloadDigest then "wrong digest" elif .cutDownload then "download cut short" else "good package" end' <<<"$mode")
    note "update $id offered (${offered_with[$id]})" "$offered_at"
}

# is_open ID: the update has no final status yet and is still the daemon's to
# close: listed, or installed (its trigger awaits a start). One that left the
# list before it was installed was taken off by the acknowledgement of
# another: the acknowledgement names only the action's type, so a start
# closing an earlier update takes the one listed off.
is_open() {
    local listed_id
    [ -z "${finals[$1]:-}" ] || return 1
    [ -n "${installs[$1]:-}" ] && return 0
    for listed_id in "${listed[@]}"; do [ "$listed_id" = "$1" ] && return 0; done
    return 1
}

# ---------------------------------------------------------------- the run

# tick: one round of checks, every half second.
tick() {
    if gone "$sim_pid"; then  # nothing after this could be held against the daemon
        echo "the API simulator ended; its last lines:"
        tail -n 5 "$soak/sim.out"
        exit 3
    fi
    check_alive
    poll_faults || note "the simulator did not answer GET /_admin/faults"
    local installs_total
    installs_total=$(wc -l <"$soak/installs.log")
    read_requests
    read_installs "$installs_total"
    check_resources
    check_identity
    check_trigger
    check_resumed
}

echo "== soak: $minutes min of faults, updates and kills, then up to ${grace_max_s} s of grace (seed $seed)"
echo "== sandbox root: $root"
echo "== API simulator: $api"
# A start under faults: the first registration, login and MDM installation.
last_update=""
for route in "POST /computers/mac" "POST /computers/$cid/login" "GET /addigy/packages/$cid.pkg"; do
    arm_fault "$route" "${fault_kinds[RANDOM % 4]}" 1
done
start_daemon
chaos_end=$((start_ns + minutes * 60 * 1000000000))
next_fault_at=0
next_progress_at=$((start_ns + 30 * 1000000000))
enrolled_by=$((start_ns + 120 * 1000000000))
next_list_poll=0
next_kill_at=0  # once the identity is stored
while now && ((now_ns < chaos_end)); do
    tick
    now
    if ((now_ns >= next_fault_at)); then
        random_fault
        next_fault_at=$((now_ns + (1000 + RANDOM % 5000) * 1000000))
    fi
    if [ -z "$stored_cid" ]; then
        if ((now_ns > enrolled_by)); then
            violation "no identity stored within 120 s of the first start"
            break
        fi
        sleep 0.5
        continue
    fi
    # Updates one at a time: the next is offered a few seconds after the list
    # is empty.
    if ((now_ns >= next_list_poll)); then
        poll_listed && if [ "${#listed[@]}" -gt 0 ]; then
            next_offer_at=0
        elif ((next_offer_at == 0)); then
            next_offer_at=$((now_ns + (1 + RANDOM % 10) * 1000000000))
        elif ((now_ns >= next_offer_at)); then
            offer_update
            next_offer_at=0
        fi
        next_list_poll=$((now_ns + 2000000000))
    fi
    ((next_kill_at > 0)) || next_kill_at=$((now_ns + (10 + RANDOM % 51) * 1000000000))
    # A start still without its configuration after 20 s waits out a back-off
    # of minutes: it is killed within 5 s.
    if [ "$configured" = 0 ] && ((now_ns - started_at > 20000000000 && next_kill_at - now_ns > 5000000000)); then
        next_kill_at=$((now_ns + RANDOM % 5000 * 1000000))
    fi
    signal=KILL
    [ $((RANDOM % 2)) -eq 0 ] && signal=TERM
    if ((install_kill_at > 0 && now_ns >= install_kill_at)); then
        if installing; then restart "$signal" "SIG$signal during an installation"; else restart "$signal" "SIG$signal"; fi
    elif ((installer_restart_at > 0 && now_ns >= installer_restart_at)); then
        restart TERM "SIGTERM by the package's installation"
    elif ((now_ns >= next_kill_at)); then
        if installing; then restart "$signal" "SIG$signal during an installation"; else restart "$signal" "SIG$signal"; fi
        next_kill_at=$((now_ns + (10 + RANDOM % 51) * 1000000000))
    fi
    if ((now_ns >= next_progress_at)); then
        total_restarts=0
        for kind in "${!restarts[@]}"; do total_restarts=$((total_restarts + ${restarts[$kind]})); done
        echo "-- $(t_of "$now_ns"): $faults_injected faults, $total_restarts restarts, $updates updates offered, ${#finals[@]} closed, ${#violations[@]} violations"
        next_progress_at=$((now_ns + 30 * 1000000000))
    fi
    sleep 0.5
done

# ---------------------------------------------------------------- grace

now
grace_start=$now_ns
echo "== grace: faults dropped, no more kills or offers; the daemon restarted once without faults"
sim DELETE /_admin/faults >/dev/null || note "the simulator did not drop its faults"
for route in "${!armed[@]}"; do unset 'armed[$route]'; done
resume_checks=()
[ -n "$daemon_pid" ] && restart TERM "SIGTERM at the start of the grace period"
settled_since=0
while now && ((now_ns - grace_start < grace_max_s * 1000000000)); do
    tick
    poll_listed
    now
    if ((installer_restart_at > 0 && now_ns >= installer_restart_at)); then
        restart TERM "SIGTERM by the package's installation"
    elif ((install_kill_at > 0 && now_ns >= install_kill_at)); then
        installer_restart_at=$((now_ns + installer_sleep * 1000000000))  # no more kills: the installation's restart
        install_kill_at=0
    fi
    open=0
    for id in "${!attempts[@]}"; do is_open "$id" && open=$((open + 1)); done
    if [ "${#listed[@]}" -eq 0 ] && [ "$open" -eq 0 ] && [ ! -e "$root/tmp/qvupdate.trigger" ] &&
        ((installer_restart_at == 0)) && ! installing; then
        ((settled_since > 0)) || settled_since=$now_ns
        ((now_ns - settled_since >= 3000000000)) && break
    else
        settled_since=0
    fi
    sleep 0.5
done
now
grace_seconds=$(((now_ns - grace_start) / 1000000000))

# Each update offered, at the end: one still open is a violation.
state=$(sim GET /_admin/state) || state='{}'
withdrawn=0
open=0
for n in $(seq "$updates"); do
    id="upd-$n"
    [ -n "${finals[$id]:-}" ] && continue
    statuses=$(jq -r --arg id "$id" '[.agentUpdateRequests[$id].statuses[]?.status] | join(", ")' <<<"$state")
    if ! is_open "$id"; then
        withdrawn=$((withdrawn + 1))
        note "update $id left the list before it was installed (statuses: ${statuses:-none}), by the acknowledgement of another"
        continue
    fi
    open=$((open + 1))
    if [ -z "${attempts[$id]:-}" ]; then
        violation "update $id was listed through the grace period and never started"
        continue
    fi
    is_listed=no
    for listed_id in "${listed[@]}"; do [ "$listed_id" = "$id" ] && is_listed=yes; done
    violation "update request $id never got a final status, ${grace_seconds} s into the grace period (statuses: ${statuses:-none}; status reports answered by a fault: ${faulted_statuses[$id]:-0}; installed ${installs[$id]:-0} times${replaced[$id]:+; its trigger was replaced by ${replaced[$id]}}; still listed: $is_listed; trigger now: $(head -n 1 "$root/tmp/qvupdate.trigger" 2>/dev/null || echo none))"
done
computers=$(jq -r '.computers // {} | length' <<<"$state")
[ "$computers" = 1 ] || violation "the simulator holds $computers computers, not one"
[ "$registrations" -ge 1 ] || violation "no registration was accepted"
if [ -n "$daemon_pid" ]; then
    check_alive
    { kill -TERM "$daemon_pid" && wait "$daemon_pid"; } 2>/dev/null
    daemon_pid=""
fi

# ---------------------------------------------------------------- summary

declare -A outcome=()
for id in "${!finals[@]}"; do
    for final in ${finals[$id]}; do outcome["$final"]=$((${outcome["$final"]:-0} + 1)); done
done
total_restarts=0
for kind in "${!restarts[@]}"; do total_restarts=$((total_restarts + ${restarts[$kind]})); done
row() { printf '  %-50s %s\n' "$1" "$2"; }
echo
echo "== soak summary: $minutes min under faults, then ${grace_seconds} s of grace (seed $seed)"
row "faults armed (taken)" "$faults_injected ($faults_taken)"
for kind in "${fault_kinds[@]}"; do [ -n "${fault_count[$kind]:-}" ] && row "  $kind" "${fault_count[$kind]}"; done
row "restarts" "$total_restarts"
while IFS= read -r kind; do [ -n "$kind" ] && row "  $kind" "${restarts[$kind]}"; done < <(printf '%s\n' "${!restarts[@]}" | sort)
row "updates offered" "$updates"
row "  requests created (POST /agentUpdateRequests)" "$(for id in "${!attempts[@]}"; do echo "${attempts[$id]}"; done | awk '{n += $1} END {print n + 0}') for ${#attempts[@]} updates"
row "  installed" "$(for id in "${!installs[@]}"; do echo "${installs[$id]}"; done | awk '{n += $1} END {print n + 0}') for ${#installs[@]} updates"
for final in completed failed downloadFailed verificationFailed; do row "  $final" "${outcome[$final]:-0}"; done
row "  left the list unstarted or uninstalled" "$withdrawn"
row "  still open" "$open"
row "  re-runs from a listing answered before closing" "$stale_reruns"
row "requests received (configuration fetches)" "$record_lines ($fetches)"
row "fetch resumption checks after a fault" "$resume_checked"
row "registrations accepted" "$registrations"
row "peak descriptors / threads" "$max_fds_seen / $max_threads_seen (bounds $max_fds / $max_threads)"
row "peak resident memory" "$((max_rss_seen / 1024)) MiB (bound $((max_rss_kib / 1024)) MiB)"
row "peak temp folder entries" "$max_temp_seen (bound $max_temp_files)"
row "violations" "${#violations[@]}"
for line in "${violations[@]}"; do printf '    %s\n' "$line"; done
echo
echo "== files: timeline $timeline, requests $record, daemon output $soak/daemon-N.out, stand-in calls $root/.shim/calls.log"
[ "${#violations[@]}" -eq 0 ]
