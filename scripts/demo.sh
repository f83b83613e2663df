#!/usr/bin/env bash
# Builds the daemon and runs its whole life cycle in a fresh sandbox root
# against the local API simulator:
#   1. first start: registration, login, the MDM agent installed and linked,
#      the Support App provisioned from zip archives, configuration, check-in,
#      state reports and an agent update delivered as a pending action;
#   2. `QVAgentLaunchDaemon --status` between the starts (skipped when this
#      build does not know the argument);
#   3. second start: the update is closed;
#   4. uninstall by trigger file: the MDM agent removed, the Support App's
#      files and the stored identity removed, the self-removal script run.
# Then shows what it logged, what the simulator received per step, what the
# stand-in tools were asked to do and where every log is.
#
# QV_DEMO_SECONDS: how long the first start runs (default 12).
# QV_DEMO_MDM_OFFLINE=1: the MDM service answers the removal with 500, so the
# daemon falls back to the MDM agent's own removal script (about 8 s more).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target QVAgentLaunchDaemon quorvel-api-sim >/dev/null

demo_started=$(date +%s.%N)
first_seconds="${QV_DEMO_SECONDS:-12}"
mdm_offline="${QV_DEMO_MDM_OFFLINE:-0}"
root=$(mktemp -d /tmp/qv-demo-XXXXXX)
demo="$root/.demo"  # the demo's own files: step marks, the daemon's pid, the launchctl wrapper
mkdir -p "$demo"
sim_pid=""
daemon_pid=""
failures=()
cleanup() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {  # fail MESSAGE: noted, shown, and the demo ends with status 1
    failures+=("$1")
    echo "!! $1"
}

# wait_until SECONDS COMMAND...: polls COMMAND every 0.1 s; false when it still
# fails after SECONDS.
wait_until() {
    local deadline
    deadline=$(($(date +%s%N) + ${1%.*} * 1000000000))
    shift
    until "$@"; do
        [ "$(date +%s%N)" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

now() { date +%s.%N; }
seconds_since() { python3 -c 'import sys, time; print(f"{time.time() - float(sys.argv[1]):.1f}")' "$1"; }

# The installer leaves the customer key, company and location for the first start.
mkdir -p "$root/tmp"
printf 'DEMO-KEY-1234\\nAcme Corp\\nHeadquarters' >"$root/tmp/qvconfig"

# The configuration asks for a fetch every 5 s (plus up to 1 s of jitter; the
# wait after a start's first fetch carries the jitter drawn before it, under the
# defaults: up to 30 s) and carries one pending action: an agent update to
# 2.0.0, which the stand-in installer "installs".
faults=()
[ "$mdm_offline" = 1 ] && faults=(--fault "DELETE /addigy/computer/* 500 4")
build/quorvel-api-sim --port-file "$root/sim.port" --record "$root/sim-requests.jsonl" \
    --configuration '{"computerConfigurationPingIntervalOverride":5,"globalMaxJitterOverride":1}' \
    "${faults[@]}" >"$root/sim.out" 2>&1 &
sim_pid=$!
wait_until 10 test -s "$root/sim.port" || { echo "the API simulator did not start:"; cat "$root/sim.out"; exit 1; }
api="http://127.0.0.1:$(cat "$root/sim.port")"

admin() {  # admin METHOD PATH [JSON]
    python3 - "$api" "$@" <<'PY'
import json, sys, urllib.request
api, method, path = sys.argv[1:4]
data = sys.argv[4].encode() if len(sys.argv) > 4 else None
request = urllib.request.Request(api + path, data=data, method=method)
print(json.dumps(json.load(urllib.request.urlopen(request, timeout=10)), indent=2))
PY
}
request_count() { admin GET /_admin/requests | python3 -c 'import json, sys; print(len(json.load(sys.stdin)))'; }
requests_to() {  # requests_to METHOD PATH-PREFIX: how many the simulator received
    admin GET /_admin/requests | python3 -c '
import json, sys
print(sum(1 for r in json.load(sys.stdin) if r["method"] == sys.argv[1] and r["path"].startswith(sys.argv[2])))
' "$1" "$2"
}
admin POST /_admin/state '{"pendingActions":[{"type":"updateAgent","value":"upd-demo","display":"2.0.0"}]}' >/dev/null

# Steps: each is a name, the simulator's request count at its start and end,
# and its duration; the summary at the end is built from them.
step_name=""
step_from=0
step_started=""
step_begin() {
    step_name="$1"
    step_from=$(request_count)
    step_started=$(now)
}
step_end() {
    printf '%s\t%s\t%s\t%s\n' "$step_name" "$step_from" "$(request_count)" \
        "$(seconds_since "$step_started")" >>"$demo/steps.tsv"
}

mkdir -p "$root/usr/sbin" "$root/usr/bin" "$root/.shim"
ln -s "$PWD/tests/shims/installer" "$root/usr/sbin/installer"
ln -s "$PWD/tests/shims/ditto" "$root/usr/bin/ditto"
printf 'installer settings\n' >"$root/tmp/QVInstaller.conf"

# What the agent's own package left: its launch daemon, loaded by launchd.
mkdir -p "$root/Library/LaunchDaemons"
cat >"$root/Library/LaunchDaemons/com.tessaly.Quorvel.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Label</key><string>com.tessaly.Quorvel</string></dict></plist>
PLIST
printf 'com.tessaly.Quorvel\n' >"$root/.shim/launchctl.loaded"

# Installing the MDM agent's package puts the agent and its removal script in
# place; the agent answers with this identifier.
cat >"$root/.shim/installer.sh" <<HOOK
case "\$2" in
    */addigy.pkg) mkdir -p "\$QV_ROOT/Library/Addigy" &&
                  ln -sf "$PWD/tests/shims/go-agent" "\$QV_ROOT/Library/Addigy/go-agent" &&
                  ln -sf "$PWD/tests/shims/remove_agent.sh" "\$QV_ROOT/Library/Addigy/remove_agent.sh" ;;
esac
HOOK
printf 'demo-agent-7f3a\n' >"$root/.shim/go-agent"

# launchd ends a job it boots out. The launchctl stand-in only forgets the
# label, so this wrapper, first in the daemon's PATH, also ends the daemon when
# its own job is booted out, as launchd would; the self-removal script runs in
# a session of its own and goes on.
mkdir -p "$demo/bin"
cat >"$demo/bin/launchctl" <<WRAPPER
#!/bin/bash
target="\${!#}"
if [ "\$1" = bootout ] && [ "\${target##*/}" = com.tessaly.Quorvel.plist ] && [ -s "$demo/daemon.pid" ]; then
    kill -TERM "\$(cat "$demo/daemon.pid")" 2>/dev/null
fi
exec "$PWD/tests/shims/launchctl" "\$@"
WRAPPER
chmod 755 "$demo/bin/launchctl"

# The Support App and its two dialog helpers arrive as zip archives of small
# stand-in application bundles.
product="$root/Library/Application Support/Tessaly/Quorvel"
make_archive() {  # make_archive ARCHIVE TOP EXECUTABLE
    local staging
    staging=$(mktemp -d)
    mkdir -p "$staging/$2/Contents/MacOS"
    printf '#!/bin/sh\necho "%s stand-in"\n' "$2" >"$staging/$2/Contents/MacOS/$3"
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>CFBundleName</key><string>%s</string></dict></plist>\n' \
        "$2" >"$staging/$2/Contents/Info.plist"
    mkdir -p "$product"
    (cd "$staging" && zip -qr "$product/$1" "$2")
    rm -rf "$staging"
}
make_archive Support.2.6.1.app.zip Support.app Support
make_archive Dialog.app.zip Dialog Dialog
make_archive ShowActionDialog.app.zip ShowActionDialog "Automator Application Stub"

# Diagnostics on from the start: each run also writes logs/diagnostic-<start>.log.
printf 'ENABLE_DIAGNOSTIC_LOGS=true\n' >"$product/debug.conf"

daemon_env=(QV_ROOT="$root" QV_API_BASE_URL="$api" PATH="$demo/bin:$PWD/tests/shims:$PATH")
start_daemon() {
    env "${daemon_env[@]}" build/QVAgentLaunchDaemon >>"$root/daemon.out" 2>&1 &
    daemon_pid=$!
    echo "$daemon_pid" >"$demo/daemon.pid"
}
stop_daemon() {  # SIGTERM, as launchd stops it; SIGKILL after 5 s
    [ -n "$daemon_pid" ] || return 0
    kill "$daemon_pid" 2>/dev/null || true
    # bash reaps its children as they end, so kill -0 fails once it has gone.
    wait_until 5 eval '! kill -0 "$daemon_pid" 2>/dev/null' || kill -KILL "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=""
    : >"$demo/daemon.pid"
}

log="$product/logs/TotalLog.log"
in_log() { grep -qF -- "$1" "$log" 2>/dev/null; }
in_output_since() {  # in_output_since LINE TEXT: TEXT in the daemon's output after line LINE
    tail -n +"$(($1 + 1))" "$root/daemon.out" 2>/dev/null | grep -qF -- "$2"
}
. scripts/lib/settle.sh  # cwd is the project root
ran() { grep -qxF -- "$1" "$root/.shim/calls.log" 2>/dev/null; }

echo "== sandbox root: $root"
echo "== API simulator: $api"
echo "== first start: enrollment, MDM agent, Support App, configuration, check-in, state report, the agent update"
first_deadline=$(($(date +%s) + ${first_seconds%.*}))
left() { local n=$((first_deadline - $(date +%s))); [ "$n" -gt 0 ] && echo "$n" || echo 0; }
step_begin "1 first start, to the update"
start_daemon
wait_until "$(left)" in_log "'updateAgent' pending action processed successfully." ||
    echo "(the update was not processed within the first start's ${first_seconds} s)"
step_end
step_begin "2 first start, running on"
sleep "$(left)"
stop_daemon
step_end
echo
echo "== text log (Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log)"
cat "$log"
first_lines=$(wc -l <"$root/daemon.out")
echo
echo "== MDM agent and Support App"
if [ -e "$root/Library/Addigy/go-agent" ]; then echo "agent: installed at Library/Addigy/go-agent"; else echo "agent: missing"; fi
echo "linked agent ids: $(admin GET /_admin/state | python3 -c 'import json, sys; print(json.load(sys.stdin).get("addigyLinkRequests"))')"
echo "launch jobs loaded: $(tr '\n' ' ' <"$root/.shim/launchctl.loaded" 2>/dev/null)"
echo "installer configuration files left: $(ls "$root/tmp/qvconfig" "$root/tmp/QVInstaller.conf" 2>/dev/null | wc -l)"
echo "-- applications (mode, path; the archives hold every file as 0644, the daemon makes the two dialog helpers executable)"
(cd "$product" && find . -path './*.app/Contents/MacOS/*' -printf '%m %p\n' | sort)
echo "-- Library/LaunchAgents/nl.root3.support.plist"
cat "$root/Library/LaunchAgents/nl.root3.support.plist" 2>/dev/null || echo "(none)"
echo "-- unpacking and activation commands"
grep -E '^(ditto|defaults|sudo launchctl)' "$root/.shim/calls.log" | sed "s|$root||g" || true
echo
echo "== update trigger left for the next start (tmp/qvupdate.trigger)"
cat "$root/tmp/qvupdate.trigger" 2>/dev/null && echo || echo "(none)"

echo
echo "== between the starts: QVAgentLaunchDaemon --status"
step_begin "3 --status"
status_rc=0
status_out=$(env "${daemon_env[@]}" timeout 20 build/QVAgentLaunchDaemon --status 2>&1) || status_rc=$?
if [ "$status_rc" -eq 2 ]; then
    echo "(skipped: this build does not know --status)"
    step_name="3 --status (skipped)"
else
    printf '%s\n' "$status_out"
    echo "(exit status $status_rc)"
fi
step_end

echo
echo "== second start: the installer replaced the daemon, which now closes the update"
step_begin "4 second start"
start_daemon
# Up once its trigger watcher runs; then the first configuration round is let
# finish (no request for 1 s) so the uninstall's requests stand apart.
wait_until 30 in_output_since "$first_lines" "Watching file at /Library/Application Support/Tessaly/Quorvel/Triggers" ||
    fail "the second start did not reach its trigger watcher within 30 s"
settle 1 10
step_end
tail -n +"$((first_lines + 1))" "$root/daemon.out" |
    awk '/Authorization token is set/ {on = 1} on {print}' || true
echo
echo "== the update request as the simulator saw it"
admin GET /_admin/state | python3 -c '
import json, sys
state = json.load(sys.stdin)
print("statuses:", [s["status"] for s in state.get("agentUpdateRequests", {}).get("upd-demo", {}).get("statuses", [])])
print("acknowledged pending actions:", state.get("completedPendingActions"))
print("check-ins:", state.get("checkIns"))
'
update_closed=$(admin GET /_admin/state | python3 -c '
import json, sys
state = json.load(sys.stdin)
print(any(s["status"] == "completed" for s in state.get("agentUpdateRequests", {}).get("upd-demo", {}).get("statuses", [])))
')
[ "$update_closed" = True ] || fail "the update was not reported completed"
echo
echo "== preferences before the uninstall (Library/Preferences/com.tessaly.Quorvel.plist)"
cat "$root/Library/Preferences/com.tessaly.Quorvel.plist" 2>/dev/null || echo "(none)"
echo
echo "== files and links in the sandbox before the uninstall"
(cd "$root" && find . \( -path ./.shim -o -path ./.demo \) -prune -o \( -type f -o -type l \) -print | sort)

# The uninstall removes the logs with the product folder: hard links keep them.
mkdir -p "$root/kept-logs"
for file in "$product/logs/"*; do ln -f "$file" "$root/kept-logs/"; done

echo
if [ "$mdm_offline" = 1 ]; then
    echo "== uninstall: uninstall.trigger dropped into the Triggers folder (the MDM service answers 500: offline removal)"
else
    echo "== uninstall: uninstall.trigger dropped into the Triggers folder"
fi
daemon_lines=$(wc -l <"$root/daemon.out")
call_lines=$(wc -l <"$root/.shim/calls.log")
step_begin "5 uninstall$([ "$mdm_offline" = 1 ] && echo " (offline)")"
touch "$product/Triggers/uninstall.trigger"
if [ "$mdm_offline" != 1 ]; then
    # The MDM service, once the computer is deleted from it, has its agent run
    # the agent's own removal script; the demo plays that part.
    if wait_until 30 eval '[ "$(requests_to DELETE /addigy/computer/)" -ge 1 ]'; then
        echo "-- the MDM service received DELETE /addigy/computer/cmp-1 and runs Library/Addigy/remove_agent.sh"
        QV_ROOT="$root" PATH="$PWD/tests/shims:$PATH" "$root/Library/Addigy/remove_agent.sh"
    else
        fail "no DELETE /addigy/computer/... within 30 s"
    fi
fi
# Done when the self-removal script's last command, pkgutil --forget, has run.
wait_until 60 ran "pkgutil --forget com.tessaly.Quorvel" ||
    fail "the self-removal script did not finish within 60 s"
step_end
stop_daemon
echo "-- text log of the uninstall (the daemon's output, daemon.out: TotalLog.log went with the product folder)"
tail -n +"$((daemon_lines + 1))" "$root/daemon.out"
echo "-- stand-in calls (.shim/calls.log)"
tail -n +"$((call_lines + 1))" "$root/.shim/calls.log" | sed "s|$root||g"
echo "-- what the simulator recorded"
admin GET /_admin/state | python3 -c '
import json, sys
state = json.load(sys.stdin)
print("computers removed from the MDM service:", state.get("addigyRemoved"))
print("uninstall pings:", state.get("manualUninstalls"))
'
loaded=$(tr '\n' ' ' <"$root/.shim/launchctl.loaded")
echo "-- launch jobs loaded: ${loaded:-(none)}"
echo "-- removed"
for path in \
    "Library/Addigy" \
    "Library/LaunchAgents/nl.root3.support.plist" \
    "Library/Preferences/nl.root3.support.plist" \
    "Library/Application Support/Tessaly/Quorvel/Support.2.6.1.app" \
    "Library/Application Support/Tessaly/Quorvel/Dialog.app" \
    "Library/Application Support/Tessaly/Quorvel/ShowActionDialog.app" \
    "Library/Preferences/com.tessaly.Quorvel.plist" \
    "Library/LaunchDaemons/com.tessaly.Quorvel.plist" \
    "Library/Application Support/Tessaly"; do
    if [ -e "$root/$path" ]; then fail "still present: $path"; else echo "gone: $path"; fi
done
grep -qx 'com.tessaly.Quorvel' "$root/.shim/launchctl.loaded" && fail "com.tessaly.Quorvel is still loaded"
grep -qx 'nl.root3.support' "$root/.shim/launchctl.loaded" && fail "nl.root3.support is still loaded"

echo
echo "== requests the simulator received"
python3 -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["method"], r["path"], r["body"][:120])
' "$root/sim-requests.jsonl" 2>/dev/null || true
echo
echo "== files and links in the sandbox after the uninstall"
(cd "$root" && find . \( -path ./.shim -o -path ./.demo \) -prune -o \( -type f -o -type l \) -print | sort)

echo
echo "== summary: what crossed the wire in each step (the simulator's GET /_admin/requests)"
admin GET /_admin/requests | python3 -c '
import json, re, sys
requests = json.load(sys.stdin)
purposes = [
    (r"POST /computers/mac$", "registration"),
    (r"POST /computers/[^/]+/login$", "login"),
    (r"GET /addigy/computer/[^/]+/downloadLink$", "MDM agent: download link"),
    (r"GET /addigy/packages/", "MDM agent: package"),
    (r"POST /addigy/link-agent-id$", "MDM agent: linked"),
    (r"GET /computers/configuration$", "configuration"),
    (r"POST /computers/checkIn$", "check-in"),
    (r"POST /computers/state$", "state report"),
    (r"POST /agentUpdateRequests$", "update: request"),
    (r"POST /agentUpdateRequests/[^/]+/status$", "update: status"),
    (r"GET /packages/", "update: package"),
    (r"POST /computers/pendingActions/completed$", "pending action acknowledged"),
    (r"DELETE /addigy/computer/", "MDM agent: removal asked"),
    (r"POST /computers/manualUninstall$", "uninstall reported"),
]
def purpose(route, bodies):
    for pattern, text in purposes:
        if re.match(pattern, route):
            if text == "update: status":
                text += " " + ", ".join(json.loads(b).get("status", "?") for b in bodies if b)
            return text
    return ""
rows = [("step", "time", "count", "route", "what for")]
for line in open(sys.argv[1]):
    name, start, end, seconds = line.rstrip("\n").split("\t")
    routes = {}
    for r in requests[int(start):int(end)]:
        routes.setdefault(r["method"] + " " + r["path"], []).append(r["body"])
    first = True
    for route, bodies in routes.items():
        rows.append((name if first else "", seconds + " s" if first else "", str(len(bodies)), route, purpose(route, bodies)))
        first = False
    if first:
        rows.append((name, seconds + " s", "0", "(none)", ""))
widths = [max(len(row[i]) for row in rows) for i in range(5)]
for i, row in enumerate(rows):
    print("  ".join(cell.ljust(widths[n]) for n, cell in enumerate(row)).rstrip())
    if i == 0:
        print("  ".join("-" * w for w in widths))
' "$demo/steps.tsv"
echo "(the Support App step sends nothing: it unpacks local archives with ditto and loads its launch agent with launchctl)"
echo
echo "== where the logs are"
diagnostic_logs=$(cd "$root/kept-logs" && ls diagnostic-*.log 2>/dev/null | paste -sd ' ')
cat <<WHERE
text log         $root/Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log while installed;
                 kept: $root/kept-logs/TotalLog.log, and all of it on the daemon's output: $root/daemon.out
diagnostic log   $root/Library/Application Support/Tessaly/Quorvel/logs/diagnostic-<start>.log while installed;
                 kept: $root/kept-logs/ ($diagnostic_logs)
simulator log    $root/sim.out (its output), $root/sim-requests.jsonl (every request with headers and body)
stand-in calls   $root/.shim/calls.log
WHERE
echo
echo "== the demo ran $(seconds_since "$demo_started") s (set-up and build not counted)"
if [ "${#failures[@]}" -gt 0 ]; then
    echo "== FAILED:"
    printf '   %s\n' "${failures[@]}"
    exit 1
fi
