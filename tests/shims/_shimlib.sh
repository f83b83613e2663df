# Shared by the stand-ins for macOS tools. Each stand-in appends its command
# line to $QV_ROOT/.shim/calls.log and may read a canned answer from
# $QV_ROOT/.shim/<name> (output) and $QV_ROOT/.shim/<name>.exit (status).
shim_dir="${QV_ROOT:-/}/.shim"

shim_log() {
    [ -d "$shim_dir" ] || mkdir -p "$shim_dir" 2>/dev/null || return 0
    local name="$1"; shift
    printf '%s' "$name" >>"$shim_dir/calls.log"
    local arg
    for arg in "$@"; do printf ' %s' "$arg" >>"$shim_dir/calls.log"; done
    printf '\n' >>"$shim_dir/calls.log"
}

# shim_answer NAME DEFAULT: prints the canned answer for NAME or DEFAULT.
shim_answer() {
    if [ -f "$shim_dir/$1" ]; then cat "$shim_dir/$1"; else printf '%s\n' "$2"; fi
}

# shim_exit NAME: exits with the canned status for NAME (0 when none).
shim_exit() {
    local status=0
    if [ -f "$shim_dir/$1.exit" ]; then read -r status <"$shim_dir/$1.exit" || true; fi
    exit "$status"
}
