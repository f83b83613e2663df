#!/usr/bin/env bash
# Builds the daemon and runs it for a few seconds in a fresh sandbox root
# against the local API simulator, then shows what it logged and left behind.
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

build/quorvel-api-sim --port-file "$root/sim.port" --record "$root/sim-requests.jsonl" >"$root/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$root/sim.port" ] && break; sleep 0.05; done
api="http://127.0.0.1:$(cat "$root/sim.port")"

echo "== sandbox root: $root"
echo "== API simulator: $api"
QV_ROOT="$root" QV_API_BASE_URL="$api" PATH="$PWD/tests/shims:$PATH" \
    build/QVAgentLaunchDaemon >"$root/daemon.out" 2>&1 &
daemon_pid=$!
sleep "${QV_DEMO_SECONDS:-6}"

echo
echo "== text log (Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log)"
cat "$root/Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log"
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
