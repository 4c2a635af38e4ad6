#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packages the build, tests, demo and benchmarks need (idempotent; apt only when something is missing).
set -euo pipefail

packages=(
    build-essential g++ cmake pkg-config git clang-format
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-tools
    liblog4cxx-dev
    libboost-dev libboost-date-time-dev libboost-thread-dev libboost-filesystem-dev
    graphviz file python3
    python3-dev python3-numpy python3-pytest pybind11-dev python3-opencv
    clang libclang-rt-14-dev valgrind
    libgstrtspserver-1.0-dev libsoup-3.0-dev libglib2.0-dev-bin gstreamer1.0-plugins-ugly ffmpeg gstreamer1.0-rtsp chromium
)

# Buffers are shared through the group "zorv"; hosts log a fatal line on every open without it.
ensure_zorv_group() {
    getent group zorv >/dev/null && return 0
    if [ "$(id -u)" -eq 0 ]; then
        groupadd --system zorv
    else
        echo "note: group 'zorv' is missing; create it with: sudo groupadd --system zorv" >&2
    fi
}
ensure_zorv_group

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
