#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the soak need, and
# any more named as arguments, when any is missing. Idempotent and quiet when
# everything is present.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libcurl4-openssl-dev nlohmann-json3-dev libplist-dev libssl-dev
    libspdlog-dev libfmt-dev libcpp-httplib-dev
    googletest libgtest-dev libgmock-dev
    gawk unzip zip python3 ca-certificates openssl curl jq tinyproxy
    clang libc++-dev libc++abi-dev
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
