#!/usr/bin/env bash
# Lays out in dist/ what the installer package of the agent holds: dist/root/
# (the files a Mac gets, from `cmake --install`) and dist/scripts/postinstall
# (packaging/postinstall: loads the launch job). Then prints the pkgbuild command that turns them
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
install -m 0755 packaging/postinstall dist/scripts/postinstall

version=$("$build/QVAgentLaunchDaemon" --version)
echo "Staged in dist/:"
(cd dist && find . -mindepth 1 | sort | sed 's/^\.\///')
echo
echo "On a Mac, build the same way, then:"
echo "  pkgbuild --root dist/root --scripts dist/scripts --identifier com.tessaly.Quorvel \\"
echo "    --version $version --install-location / dist/Quorvel-$version.pkg"
