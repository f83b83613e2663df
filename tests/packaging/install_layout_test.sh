#!/usr/bin/env bash
# `cmake --install` into a scratch DESTDIR lays out exactly the files a Mac
# gets, with their modes, and the launch job reads back (Python's plistlib, an
# independent reader) with every key of the right type. The package's
# postinstall reloads the job even when the old one outlives its bootout.
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix / >/dev/null

product="Library/Application Support/Tessaly/Quorvel"
expected=$(printf '%s\n' "Library" "Library/Application Support" "Library/Application Support/Tessaly" \
    "$product" "$product/QVAgentLaunchDaemon" "$product/logs" \
    "Library/LaunchDaemons" "Library/LaunchDaemons/com.tessaly.Quorvel.plist")
actual=$(cd "$stage" && find . -mindepth 1 | sed 's/^\.\///' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] || { echo "tree differs:"; echo "$actual"; exit 1; }

# mode PATH: "<octal permissions> <owner>", with BSD stat (macOS) or GNU stat.
mode() {
    if [ "$(uname)" = Darwin ]; then
        stat -f '%Lp %Su' "$stage/$1"
    else
        stat -c '%a %U' "$stage/$1"  # linux-only: GNU stat, chosen by uname
    fi
}
[ "$(mode "$product/QVAgentLaunchDaemon")" = "755 $(id -un)" ]
[ "$(mode "$product/logs")" = "755 $(id -un)" ]
[ "$(mode Library/LaunchDaemons/com.tessaly.Quorvel.plist)" = "644 $(id -un)" ]
"$stage/$product/QVAgentLaunchDaemon" --version >/dev/null

python3 - "$stage/Library/LaunchDaemons/com.tessaly.Quorvel.plist" <<'PY'
import plistlib, sys
job = plistlib.load(open(sys.argv[1], "rb"))
expected = {
    "Label": "com.tessaly.Quorvel",
    "ProgramArguments": ["/Library/Application Support/Tessaly/Quorvel/QVAgentLaunchDaemon"],
    "RunAtLoad": True, "KeepAlive": True, "AbandonProcessGroup": True,
    "EnvironmentVariables": {},
    "StandardOutPath": "/dev/null",
    "StandardErrorPath": "/Library/Application Support/Tessaly/Quorvel/logs/stderr.log",
}
assert job == expected, job
assert all(type(job[k]) is bool for k in ("RunAtLoad", "KeepAlive", "AbandonProcessGroup"))
PY

# The postinstall against the launchctl stand-in (for /bin/launchctl), the job
# under a scratch root: the loaded old job lingers 1 s after its bootout, and
# a bootstrap before it is gone fails with status 5.
export QV_ROOT="$stage/root"
mkdir -p "$QV_ROOT/.shim" "$QV_ROOT/Library/LaunchDaemons"
cp "$stage/Library/LaunchDaemons/com.tessaly.Quorvel.plist" "$QV_ROOT/Library/LaunchDaemons/"
echo com.tessaly.Quorvel >"$QV_ROOT/.shim/launchctl.loaded"
echo 1 >"$QV_ROOT/.shim/launchctl.bootout-seconds"
sed -e "s#/bin/launchctl#$source_dir/tests/shims/launchctl#" -e "s#\"/Library#\"$QV_ROOT/Library#" \
    "$source_dir/packaging/postinstall" >"$stage/postinstall"
sh "$stage/postinstall" pkg / / || { cat "$QV_ROOT/.shim/calls.log"; exit 1; }
grep -q '^launchctl bootstrap system ' "$QV_ROOT/.shim/calls.log"
[ "$(cat "$QV_ROOT/.shim/launchctl.loaded")" = com.tessaly.Quorvel ]
