# shellcheck shell=bash
# Sourced by the scripts that drive a daemon against the simulator.
# settle QUIET MAX: waits until no request arrived for QUIET seconds, at most
# MAX seconds; the caller defines request_count (how many the simulator got).
settle() {
    local quiet="$1" previous current deadline=$(($(date +%s) + $2))
    previous=$(request_count)
    while [ "$(date +%s)" -lt "$deadline" ]; do
        sleep "$quiet"
        current=$(request_count)
        [ "$current" -eq "$previous" ] && return 0
        previous=$current
    done
}
