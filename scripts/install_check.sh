#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the built .deb files into a throw-away Debian 12 root and checks that they work there.
#   scripts/install_check.sh [DEB_DIR]   DEB_DIR defaults to build-package/ (scripts/package.sh)
# Needs root (debootstrap, chroot, mounts) and Debian's archive; the root is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=$(realpath -m "${1:-build-package}")
mirror=${ZORVGST_DEBIAN_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "run as root: debootstrap, chroot and mount need it" >&2; exit 2; }
shopt -s nullglob
packages=()
for p in "$debs"/*.deb; do
    case "$p" in *-dbgsym_*) ;; *) packages+=("$p") ;; esac
done
[ ${#packages[@]} -gt 0 ] || { echo "no .deb in $debs: run scripts/package.sh first" >&2; exit 2; }
if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

root=$(mktemp -d /var/tmp/zorvgst-root.XXXXXX)
# A root directory as any: apt drops to the user _apt in there.
chmod 755 "$root"
writer_pid=
cleanup() {
    [ -z "$writer_pid" ] || kill "$writer_pid" 2>/dev/null || true
    for m in "$root/dev/shm" "$root/dev/pts" "$root/proc"; do
        mountpoint -q "$m" && umount -l "$m"
    done
    # Never remove through a mount that is still there.
    if findmnt -rn -o TARGET | grep -q "^$root/"; then
        echo "left $root in place: something is still mounted below it" >&2
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT
# Interrupted or killed: still unmount and remove the root.
trap 'exit 130' INT TERM HUP

step() { printf '\n== %s\n' "$*"; }
# Every command in the root runs with an empty environment: nothing from this shell helps it.
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

step "debootstrap bookworm (minbase) into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
# Shared memory of its own: the host's buffers stay out of the checks, and the checks' out of the host.
mount -t tmpfs -o mode=1777,size=256m tmpfs "$root/dev/shm"
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
SOURCES
mkdir -p "$root/tmp/debs"
cp "${packages[@]}" "$root/tmp/debs/"
in_root apt-get update -qq

step "apt install ./*.deb (only the packages; apt pulls what they need)"
in_debs=()
for p in "${packages[@]}"; do in_debs+=("/tmp/debs/${p##*/}"); done
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${in_debs[@]}" >"$root/tmp/apt.log"
# What apt chose to install beside the packages, then its summary.
sed -n '/^The following NEW packages/,/^[0-9]* upgraded/p' "$root/tmp/apt.log"

step "installed by the packages"
in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' libzorvgst1 libzorvgst-dev gstreamer1.0-zorvgst zorvgst-tools python3-zorvgst
in_root getent group zorv
in_root id zorvgst-serve
# Looked at from inside: the root's /lib may be a link that means something else out here.
in_root grep '^ExecStart=' /lib/systemd/system/zorvgst-serve.service
if in_root sh -c 'ls /etc/systemd/system/*.wants/zorvgst-serve.service' >/dev/null 2>&1; then
    echo "zorvgst-serve.service is enabled; it must only be installed" >&2
    exit 1
fi
echo "zorvgst-serve.service installed, not enabled"

step "zorvgst-shm list, zorvgst-serve --help (no ldconfig, no LD_LIBRARY_PATH)"
in_root zorvgst-shm list
in_root zorvgst-serve --help | head -n 1

step "/usr/bin/python3 -c 'import zorvgst'"
in_root sh -c 'cd / && /usr/bin/python3 -c "import zorvgst; print(zorvgst.__file__, zorvgst.list_buffers())"'

step "tools the remaining checks use: gst-launch-1.0, g++, pkg-config, cmake"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    gstreamer1.0-tools g++ pkg-config cmake make >/dev/null
echo "installed"

step "gst-inspect-1.0 zorvdbsrc (no GST_PLUGIN_PATH)"
in_root gst-inspect-1.0 zorvdbsrc | grep -E '^  (Name|Filename|Version) '

step "zorvdbsink -> zorvdbsrc between two processes"
in_root gst-launch-1.0 -q videotestsrc is-live=true num-buffers=300 \
    ! video/x-raw,format=BGRA,width=320,height=240,framerate=30/1 \
    ! zorvdbsink buffer-name=install_check_buffer &
writer_pid=$!
in_root timeout 30 gst-launch-1.0 zorvdbsrc buffer-name=install_check_buffer num-buffers=30 \
    timeout=5000000000 ! fakesink | grep -E 'EOS|Execution ended'
in_root zorvgst-shm list | grep -E '^NAME|install_check_buffer'
kill "$writer_pid" 2>/dev/null || true
wait "$writer_pid" 2>/dev/null || true
writer_pid=
in_root zorvgst-shm remove install_check_buffer

step "a host built with pkg-config --cflags --libs zorvgst, and one with find_package(zorvgst)"
mkdir -p "$root/tmp/host"
cp tests/install/host.cpp "$root/tmp/host/"
cp tests/install/CMakeLists.host.txt "$root/tmp/host/CMakeLists.txt"
in_root sh -c 'cd /tmp/host && g++ -std=c++17 -rdynamic -o host_pc host.cpp $(pkg-config --cflags --libs zorvgst) && ./host_pc 2>/dev/null'
in_root sh -c 'cd /tmp/host && cmake -S . -B build >/dev/null && cmake --build build >/dev/null && build/host 2>/dev/null'

step "the examples libzorvgst-dev ships, built on their own"
in_root sh -c 'cp -r /usr/share/doc/libzorvgst-dev/examples /tmp/examples && cd /tmp/examples && cmake -S . -B build >/dev/null && cmake --build build >/dev/null && build/zorvgst-hello'

step "all checks passed"
