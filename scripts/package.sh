#!/usr/bin/env bash
# Lays out in dist/ what the installer package of the agent holds: dist/root/
# (the files a Mac gets, from `cmake --install`) and dist/scripts/postinstall
# (loads the launch job). Then prints the pkgbuild command that turns them
# into an installer package on a Mac (pkgbuild does not exist here; built on a
# Mac, the same steps stage the Mac's own binary).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=build-package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target QVAgentLaunchDaemon >/dev/null

rm -rf dist
DESTDIR="$PWD/dist/root" cmake --install "$build" --prefix / >/dev/null

mkdir -p dist/scripts
cat >dist/scripts/postinstall <<'SCRIPT'
#!/bin/sh
# Runs as root once the package's files are in place: (re)load the launch job
# so the daemon starts now, and at every boot from here on. $3 is the volume
# installed to; the job is loaded only on the running system.
job="/Library/LaunchDaemons/com.tessaly.Quorvel.plist"
[ "$3" = "/" ] || exit 0
/bin/launchctl bootout system "$job" 2>/dev/null || true
/bin/launchctl bootstrap system "$job"
SCRIPT
chmod 0755 dist/scripts/postinstall

version=$("$build/QVAgentLaunchDaemon" --version)
echo "Staged in dist/:"
(cd dist && find . -mindepth 1 | sort | sed 's/^\.\///')
echo
echo "On a Mac, build the same way, then:"
echo "  pkgbuild --root dist/root --scripts dist/scripts --identifier com.tessaly.Quorvel \\"
echo "    --version $version --install-location / dist/Quorvel-$version.pkg"
