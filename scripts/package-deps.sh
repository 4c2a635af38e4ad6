#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packaging tools and the packages' build dependencies (apt only when something is missing).
set -euo pipefail
cd "$(dirname "$0")/.."

tools=(dpkg-dev debhelper dh-python lintian fakeroot)
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
updated=
apt_update() { [ -n "$updated" ] || "${sudo_cmd[@]}" apt-get update -qq; updated=1; }

missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt_update
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# debian/control's Build-Depends, read by apt itself.
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    apt_update
    "${sudo_cmd[@]}" apt-get build-dep -y -qq --no-install-recommends ./
fi
