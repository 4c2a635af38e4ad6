#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the Debian packages with scripts/package.sh and checks their contents and dependencies.
# Usage: check_packages.sh SOURCE_DIR OUTPUT_DIR    (exit 77: packaging tools absent, skipped)
set -euo pipefail
source=$1 out=$2

for tool in dpkg-buildpackage dh dh_python3 lintian; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed; scripts/package-deps.sh installs the packaging tools"
        exit 77
    fi
done
if ! (cd "$source" && dpkg-checkbuilddeps 2>&1); then
    echo "SKIPPED: build dependencies missing; scripts/package-deps.sh installs them"
    exit 77
fi

# No debug symbol packages: only what users install is checked, a minute sooner.
DEB_BUILD_OPTIONS="nocheck noddebs parallel=2" ZORVGST_PACKAGE_NO_DEPS=1 \
    "$source/scripts/package.sh" "$out" >"$out.log" 2>&1 ||
    { cat "$out.log"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(cd "$source" && dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb() { echo "$out/${1}_${version}_${arch}.deb"; }
files() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | sed 's|^\./|/|'; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }

# has PACKAGE PATH...: each path (a regular expression over the whole path) is in the package.
has() {
    local package=$1 list
    shift
    list=$(files "$package")
    for path in "$@"; do
        grep -qxE -- "$path" <<<"$list" || fail "$package lacks $path"
    done
}
# lacks PACKAGE REGEX: no path of the package matches.
lacks() {
    if files "$1" | grep -qE -- "$2"; then fail "$1 holds $(files "$1" | grep -E -- "$2" | head -n1)"; fi
}
# depends PACKAGE REGEX...: each expression matches one entry of Depends.
depends() {
    local package=$1 entries
    shift
    entries=$(field "$package" Depends | tr ',' '\n' | sed 's/^ *//')
    for entry in "$@"; do
        grep -qE -- "^($entry)\$" <<<"$entries" || fail "$package Depends lacks '$entry': $(field "$package" Depends)"
    done
}

packages=(libzorvgst1 libzorvgst-dev gstreamer1.0-zorvgst zorvgst-tools python3-zorvgst)
built=$(cd "$out" && ls -1 ./*.deb | sed 's|^\./||' | grep -v -- '-dbgsym_' | sort)
expected=$(for p in "${packages[@]}"; do basename "$(deb "$p")"; done | sort)
[ "$built" = "$expected" ] || fail "built packages differ: $(tr '\n' ' ' <<<"$built")"

upstream=$(sed -n 's/^project(zorvgst VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ "${version%-*}" = "$upstream" ] || fail "package version $version is not the project's $upstream"

libdir=/usr/lib/$multiarch
has libzorvgst1 "$libdir/libzorvgst.so.1" "$libdir/libzorvgst.so.$upstream"
lacks libzorvgst1 '^/usr/(include|bin)/|\.so$|/gstreamer-1.0/|/python3'
depends libzorvgst1 'libc6 .*' 'libgstreamer1.0-0 .*' 'liblog4cxx15 .*' 'libboost-thread1.74.0.*'
[ "$(field libzorvgst1 Multi-Arch)" = same ] || fail "libzorvgst1 is not Multi-Arch: same"

has libzorvgst-dev "$libdir/libzorvgst.so" /usr/include/zorvgst/zorvgst.h /usr/include/zorvgst/frames.h \
    /usr/include/zorvgst/export.h "$libdir/pkgconfig/zorvgst.pc" "$libdir/cmake/zorvgst/zorvgstConfig.cmake" \
    "$libdir/cmake/zorvgst/zorvgstTargets.cmake"
lacks libzorvgst-dev '\.so\.[0-9]'
# The examples users copy, uncompressed and whole: they build on their own against the package.
examples=/usr/share/doc/libzorvgst-dev/examples
has libzorvgst-dev "$examples/CMakeLists.txt" "$examples/example_basics.h" "$examples/example_host.h" \
    "$examples/hello.cpp" "$examples/frames_writer.cpp" "$examples/frames_reader.cpp" \
    "$examples/publisher.cpp" "$examples/subscriber.cpp" "$examples/element_reader.cpp"
depends libzorvgst-dev "libzorvgst1 \\(= ${version//./\\.}\\)" 'libgstreamer1.0-dev .*' 'liblog4cxx-dev' \
    'libboost-dev .*' 'libboost-thread-dev'

# The plugin where this system's GStreamer looks for it without GST_PLUGIN_PATH.
plugins_dir=$(pkg-config --variable=pluginsdir gstreamer-1.0)
has gstreamer1.0-zorvgst "$plugins_dir/libgstzorvgst.so"
lacks gstreamer1.0-zorvgst '^/usr/(include|bin)/|libzorvgst\.so'
depends gstreamer1.0-zorvgst "libzorvgst1 \\(>= ${upstream//./\\.}\\)" 'libgstreamer1.0-0 .*' \
    'libgstreamer-plugins-base1.0-0 .*'

has zorvgst-tools /usr/bin/zorvgst-shm /usr/bin/zorvgst-serve /lib/systemd/system/zorvgst-serve.service \
    /usr/share/man/man1/zorvgst-shm.1.gz /usr/share/man/man1/zorvgst-serve.1.gz
lacks zorvgst-tools '^/usr/lib/|^/usr/include/|^/etc/systemd/system/'
depends zorvgst-tools "libzorvgst1 \\(>= ${upstream//./\\.}\\)" "gstreamer1.0-zorvgst \\(= ${version//./\\.}\\)" \
    adduser 'libgstrtspserver-1.0-0 .*' 'libsoup-3.0-0 .*' gstreamer1.0-plugins-good

has python3-zorvgst /usr/lib/python3/dist-packages/zorvgst/__init__.py \
    /usr/lib/python3/dist-packages/zorvgst/__init__.pyi \
    /usr/share/doc/python3-zorvgst/examples/numpy_writer.py \
    '/usr/lib/python3/dist-packages/zorvgst/_zorvgst\.cpython-3[0-9]+-'"$multiarch"'\.so'
lacks python3-zorvgst '^/usr/lib/python3\.[0-9]+/|\.pyc$|^/usr/(include|bin)/'
depends python3-zorvgst 'python3 \(>= 3\.[0-9]+~\)' 'python3 \(<< 3\.[0-9]+\)' python3-numpy \
    "libzorvgst1 \\(>= ${upstream//./\\.}\\)"

# Unpacked: the unit runs the packaged server, and the loader needs no RPATH anywhere.
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for p in "${packages[@]}"; do
    dpkg-deb -x "$(deb "$p")" "$tree"
    dpkg-deb -e "$(deb "$p")" "$tree/DEBIAN-$p"
done
unit=$tree/lib/systemd/system/zorvgst-serve.service
grep -qx 'ExecStart=/usr/bin/zorvgst-serve' "$unit" || fail "unit: $(grep '^ExecStart=' "$unit")"
grep -q '/usr/local' "$unit" && fail "unit still names /usr/local"
grep -qx 'SupplementaryGroups=zorv' "$unit" || fail "unit does not run in the group zorv"
postinst=$tree/DEBIAN-zorvgst-tools/postinst
grep -q 'addgroup --quiet --system zorv' "$postinst" || fail "postinst does not create the group zorv"
grep -q 'adduser .*--system .*zorvgst-serve' "$postinst" || fail "postinst does not create the unit's user"
# Installed, not enabled: debhelper's snippet then re-enables only a unit the admin had enabled.
grep -q "deb-systemd-helper debian-installed 'zorvgst-serve.service'" "$postinst" ||
    fail "postinst enables the unit on first install"
grep -q 'deb-systemd-invoke start' "$postinst" && fail "postinst starts the unit"
for f in "$tree$libdir/libzorvgst.so.$upstream" "$tree/usr/bin/zorvgst-shm" "$tree/usr/bin/zorvgst-serve" \
    "$tree$plugins_dir/libgstzorvgst.so" "$tree"/usr/lib/python3/dist-packages/zorvgst/_zorvgst*.so; do
    if objdump -p "$f" | grep -qE 'R(UN)?PATH'; then fail "${f#"$tree"} has $(objdump -p "$f" | grep -E 'R(UN)?PATH')"; fi
done
grep -qx 'prefix=/usr' "$tree$libdir/pkgconfig/zorvgst.pc" || fail "zorvgst.pc: $(grep '^prefix=' "$tree$libdir/pkgconfig/zorvgst.pc")"
# The headers compile as the package installs them, through its own .pc file.
echo '#include <zorvgst/zorvgst.h>' >"$tree/host.cpp"
# shellcheck disable=SC2046
g++ -std=c++17 -fsyntax-only -I"$tree/usr/include" \
    $(PKG_CONFIG_PATH="$tree$libdir/pkgconfig" pkg-config --cflags zorvgst) "$tree/host.cpp" ||
    fail "the installed headers do not compile"

grep -q '^E: ' "$out/lintian.txt" && fail "lintian errors: $(grep '^E: ' "$out/lintian.txt")"
echo "lintian: $(grep -c '^W: ' "$out/lintian.txt" || true) warnings"

[ "$failures" -eq 0 ] || { echo "$failures package checks failed"; exit 1; }
echo "packages OK: ${packages[*]}"
