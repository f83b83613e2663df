#!/usr/bin/env bash
# Builds the daemon and runs it in a fresh sandbox root against the local API
# simulator: enrollment, the MDM agent's installation and link, the Support
# App's installation from zip archives, configuration, check-in, state reports
# and an agent update delivered as a pending action, closed at the next start.
# Then shows what it logged, what the simulator received and what it left behind.
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

mkdir -p "$root/usr/sbin" "$root/usr/bin" "$root/.shim"
ln -s "$PWD/tests/shims/installer" "$root/usr/sbin/installer"
ln -s "$PWD/tests/shims/ditto" "$root/usr/bin/ditto"
printf 'installer settings\n' >"$root/tmp/QVInstaller.conf"

# Installing the MDM agent's package puts the agent in place; it answers with
# this identifier.
cat >"$root/.shim/installer.sh" <<HOOK
case "\$2" in
    */addigy.pkg) mkdir -p "\$QV_ROOT/Library/Addigy" &&
                  ln -sf "$PWD/tests/shims/go-agent" "\$QV_ROOT/Library/Addigy/go-agent" ;;
esac
HOOK
printf 'demo-agent-7f3a\n' >"$root/.shim/go-agent"

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
echo "== first start: enrollment, MDM agent, Support App, configuration, check-in, state report, the agent update"
run_daemon "${QV_DEMO_SECONDS:-12}"
log="$root/Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log"
echo
echo "== text log (Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log)"
cat "$log"
first_lines=$(wc -l <"$log")
echo
echo "== MDM agent and Support App"
if [ -e "$root/Library/Addigy/go-agent" ]; then echo "agent: installed at Library/Addigy/go-agent"; else echo "agent: missing"; fi
echo "linked agent ids: $(admin GET /_admin/state | python3 -c 'import json, sys; print(json.load(sys.stdin).get("addigyLinkRequests"))')"
echo "launch agents loaded: $(tr '\n' ' ' <"$root/.shim/launchctl.loaded" 2>/dev/null)"
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
