#!/usr/bin/env bash
# Builds and runs fleet-sim (10,000 agents, three scenarios), prints its
# summary, and draws each scenario's requests per second and per minute into
# docs/fleet/<scenario>.png with gnuplot (installed when missing).
#
#   scripts/fleet-plots.sh [BUILD_DIR]      (default build/)
set -euo pipefail

cd "$(dirname "$0")/.."
build=${1:-build}
scripts/setup.sh gnuplot-nox

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
nice -n 10 cmake --build "$build" -j2 --target fleet-sim >/dev/null

csv=$(mktemp -d)
trap 'rm -rf "$csv"' EXIT
"$build/fleet-sim" --csv "$csv"

mkdir -p docs/fleet
# plot NAME TITLE MINUTES [GNUPLOT LINES]: per second above, per minute below.
plot() {
    local name=$1 title=$2 minutes=$3 extra=${4:-}
    gnuplot <<EOF
set terminal pngcairo size 1100,700 font "sans,10"
set output "docs/fleet/$name.png"
set datafile separator ","
set key off
set grid ytics
set xlabel "time since the first start (minutes)"
set xrange [-2:$minutes]
set multiplot layout 2,1 title "10,000 agents. $title"
$extra
set ylabel "requests per second"
plot "$csv/$name.csv" skip 1 using (\$1/60.0):2 with impulses lc rgb "#3060a0"
set ylabel "requests per minute"
set style fill solid 0.6 noborder
set boxwidth 1
plot "$csv/$name-per-minute.csv" skip 1 using (\$1+0.5):2 with boxes lc rgb "#a04030"
unset multiplot
EOF
}

plot steady "(a) Steady: started at random over the first hour" 180 "set yrange [0:*]"
plot mass-reboot "(b) Mass reboot: all started in the same second (logarithmic scale)" 180 \
    "set logscale y 10"
plot outage "(c) 10-minute outage at 2:00 (undecodable configuration answer), then recovery" 240 \
    'set yrange [0:*]; set object 1 rect from 120, graph 0 to 130, graph 1 behind fc rgb "#ffd0d0" fs solid noborder'
echo "Plots written to docs/fleet/{steady,mass-reboot,outage}.png"
