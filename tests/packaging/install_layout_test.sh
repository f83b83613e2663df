#!/usr/bin/env bash
# `cmake --install` into a scratch DESTDIR lays out exactly the files a Mac
# gets, with their modes, and the launch job reads back (Python's plistlib, an
# independent reader) with every key of the right type.
set -euo pipefail
build="$1"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix / >/dev/null

product="Library/Application Support/Tessaly/Quorvel"
expected=$(printf '%s\n' "Library" "Library/Application Support" "Library/Application Support/Tessaly" \
    "$product" "$product/QVAgentLaunchDaemon" "$product/logs" \
    "Library/LaunchDaemons" "Library/LaunchDaemons/com.tessaly.Quorvel.plist")
actual=$(cd "$stage" && find . -mindepth 1 | sed 's/^\.\///' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] || { echo "tree differs:"; echo "$actual"; exit 1; }

mode() { stat -c '%a %U' "$stage/$1"; }
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
