#!/usr/bin/env bash
# Builds the daemon and runs it in a fresh sandbox root against the local API
# simulator: enrollment, configuration, check-in, state reports and an agent
# update delivered as a pending action, closed at the next start. Then shows
# what it logged, what the simulator received and what it left behind.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target QVAgentLaunchDaemon quorvel-api-sim >/dev/null

root=$(mktemp -d /tmp/qv-demo-XXXXXX)
sim_pid=""
daemon_pid=""
cleanup() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

# The installer leaves the customer key, company and location for the first start.
mkdir -p "$root/tmp"
printf 'DEMO-KEY-1234\\nAcme Corp\\nHeadquarters' >"$root/tmp/qvconfig"

# The configuration asks for a fetch every 5 s (plus up to 1 s of jitter) and
# carries one pending action: an agent update to 2.0.0, which the stand-in
# installer "installs".
build/quorvel-api-sim --port-file "$root/sim.port" --record "$root/sim-requests.jsonl" \
    --configuration '{"computerConfigurationPingIntervalOverride":5,"globalMaxJitterOverride":1}' \
    >"$root/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$root/sim.port" ] && break; sleep 0.05; done
api="http://127.0.0.1:$(cat "$root/sim.port")"

admin() {  # admin METHOD PATH [JSON]
    python3 - "$api" "$@" <<'PY'
import json, sys, urllib.request
api, method, path = sys.argv[1:4]
data = sys.argv[4].encode() if len(sys.argv) > 4 else None
request = urllib.request.Request(api + path, data=data, method=method)
print(json.dumps(json.load(urllib.request.urlopen(request)), indent=2))
PY
}
admin POST /_admin/state '{"pendingActions":[{"type":"updateAgent","value":"upd-demo","display":"2.0.0"}]}' >/dev/null

mkdir -p "$root/usr/sbin"
ln -s "$PWD/tests/shims/installer" "$root/usr/sbin/installer"

run_daemon() {  # run_daemon SECONDS
    QV_ROOT="$root" QV_API_BASE_URL="$api" PATH="$PWD/tests/shims:$PATH" \
        build/QVAgentLaunchDaemon >>"$root/daemon.out" 2>&1 &
    daemon_pid=$!
    sleep "$1"
    kill "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=""
}

echo "== sandbox root: $root"
echo "== API simulator: $api"
echo "== first start: enrollment, configuration, check-in, state report, the agent update"
run_daemon "${QV_DEMO_SECONDS:-12}"
log="$root/Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log"
echo
echo "== text log (Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log)"
cat "$log"
first_lines=$(wc -l <"$log")
echo
echo "== update trigger left for the next start (tmp/qvupdate.trigger)"
cat "$root/tmp/qvupdate.trigger" 2>/dev/null && echo || echo "(none)"

echo
echo "== second start: the installer replaced the daemon, which now closes the update"
run_daemon 4
tail -n +"$((first_lines + 1))" "$log" |
    awk '/Authorization token is set/ {on = 1} on {print} /Get Configuration worker started/ {exit}' || true
echo
echo "== the update request as the simulator saw it"
admin GET /_admin/state | python3 -c '
import json, sys
state = json.load(sys.stdin)
print("statuses:", [s["status"] for s in state["agentUpdateRequests"]["upd-demo"]["statuses"]])
print("acknowledged pending actions:", state.get("completedPendingActions"))
print("check-ins:", state.get("checkIns"))
'
echo
echo "== requests the simulator received"
python3 -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["method"], r["path"], r["body"][:120])
' "$root/sim-requests.jsonl" 2>/dev/null || true
echo
echo "== preferences (Library/Preferences/com.tessaly.Quorvel.plist)"
cat "$root/Library/Preferences/com.tessaly.Quorvel.plist" 2>/dev/null || echo "(none)"
echo
echo "== files in the sandbox"
(cd "$root" && find . -path ./.shim -prune -o -type f -print | sort)
