#!/usr/bin/env bash
# fleet-sim on a small fleet: standard output holds only its summary (the
# daemon's log lines of the outage kept off it), and every CSV the plots read
# has its header, one row per second or minute of the run, and totals that are
# the sum of their kinds.
set -euo pipefail
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$1/fleet-sim" --agents 50 --reboot-hours 1 --csv "$out" >"$out/summary.txt"
if grep -E ' (INFO|ERROR|TITLE) ' "$out/summary.txt"; then exit 1; fi
grep -q 'agents with a configuration again' "$out/summary.txt"

check() {  # FILE FIRST-COLUMN ROWS
    [ "$(head -1 "$1")" = "$2,requests,configuration,check_in,state" ]
    [ "$(tail -n +2 "$1" | wc -l)" -eq "$3" ]
    awk -F, 'NR > 1 && $2 != $3 + $4 + $5 { exit 1 }' "$1"
}
for run in steady:10800 mass-reboot:3600 outage:14400; do
    check "$out/${run%:*}.csv" second "${run#*:}"
    check "$out/${run%:*}-per-minute.csv" minute $((${run#*:} / 60))
done
