#!/usr/bin/env bash
# Installs the Debian packages the build, tests, demo and benchmarks need (idempotent; apt only when something is missing).
set -euo pipefail

packages=(
    build-essential g++ cmake pkg-config git clang-format
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-tools
    liblog4cxx-dev
    libboost-dev libboost-date-time-dev libboost-thread-dev libboost-filesystem-dev libboost-regex-dev
    graphviz file python3
    clang libclang-rt-14-dev valgrind
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
