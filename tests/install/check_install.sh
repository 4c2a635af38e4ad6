#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Usage: check_install.sh BUILD_DIR PREFIX SOURCE_DIR EXAMPLES_DIR
set -euo pipefail
build=$1 prefix=$2 source=$3 examples=$4
# Flags a sanitized library needs in its hosts too (empty for a plain build).
host_flags=${ZORVGST_HOST_FLAGS:-}
work=$(mktemp -d)
name="zorvtest_install_$$_buffer"
publisher=
cleanup() {
    if [ -n "$publisher" ]; then
        kill "$publisher" 2>/dev/null || true
        wait "$publisher" 2>/dev/null || true
    fi
    if [ -x "$prefix/bin/zorvgst-shm" ]; then
        LD_LIBRARY_PATH="${libdir:-}" "$prefix/bin/zorvgst-shm" remove "$name" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libzorvgst.so.1.3.0' -printf '%h\n' | head -n1)
[ -n "$libdir" ] || { echo "libzorvgst.so.1.3.0 not installed"; exit 1; }
[ -L "$libdir/libzorvgst.so.1" ] && [ -L "$libdir/libzorvgst.so" ] || { echo "missing symlinks"; exit 1; }
objdump -p "$libdir/libzorvgst.so.1.3.0" | grep 'SONAME *libzorvgst.so.1$' >/dev/null || { echo "bad SONAME"; exit 1; }
# The library's own `logger` is a weak, exported default that a host's definition overrides.
nm -D --defined-only "$libdir/libzorvgst.so.1.3.0" | grep -E '^[0-9a-f]+ V logger$' >/dev/null || { echo "logger must be a weak exported default"; exit 1; }
nm -D --defined-only "$libdir/libzorvgst.so.1.3.0" | grep zorvgstlib_init >/dev/null || { echo "zorvgstlib_init not exported"; exit 1; }
if nm -D --defined-only "$libdir/libzorvgst.so.1.3.0" | grep 'zorvgst6detail' >/dev/null; then
    echo "internal symbols exported"; exit 1
fi

# pkg-config host
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086
g++ -std=c++17 $host_flags -o "$work/host_pc" "$source/host.cpp" $(pkg-config --cflags --libs zorvgst)
LD_LIBRARY_PATH="$libdir" "$work/host_pc"
# Linked without exporting anything on purpose, the host's `logger` is still the one bound.
nm -D --defined-only "$work/host_pc" | grep -w logger >/dev/null || { echo "the host's logger is not exported"; exit 1; }
# A host without `logger`: the frame API alone, and the library's lines through a handler.
for host in frames_only_host handler_host; do
    # shellcheck disable=SC2046,SC2086
    g++ -std=c++17 $host_flags -o "$work/$host" "$source/$host.cpp" $(pkg-config --cflags --libs zorvgst)
    LD_LIBRARY_PATH="$libdir" "$work/$host" >/dev/null || { echo "$host failed"; exit 1; }
done

# find_package host
mkdir -p "$work/cmake_host"
cp "$source/host.cpp" "$work/cmake_host/"
cp "$source/CMakeLists.host.txt" "$work/cmake_host/CMakeLists.txt"
cmake -S "$work/cmake_host" -B "$work/cmake_host/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$host_flags" >/dev/null
cmake --build "$work/cmake_host/build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake_host/build/host"
# supervisor CLI
LD_LIBRARY_PATH="$libdir" "$prefix/bin/zorvgst-shm" --help >/dev/null || { echo "zorvgst-shm not installed"; exit 1; }
# GStreamer plugin: installed beside the library and loadable from there
plugin="$libdir/gstreamer-1.0/libgstzorvgst.so"
[ -f "$plugin" ] || { echo "plugin not installed in $libdir/gstreamer-1.0"; exit 1; }
# A sanitized plug-in needs its runtime preloaded into the uninstrumented inspector.
GST_PLUGIN_PATH="$libdir/gstreamer-1.0" GST_REGISTRY="$work/registry.bin" LD_LIBRARY_PATH="$libdir" \
    LD_PRELOAD="${ZORVGST_SANITIZER_PRELOAD:-}" ASAN_OPTIONS=detect_leaks=0 gst-inspect-1.0 zorvdbsrc | grep "$plugin" >/dev/null || { echo "installed plugin not found"; exit 1; }
# The examples, configured and built on their own against the installed tree: what users copy
# needs nothing of the source tree. Then run on it: the smallest, and a publisher read through
# the installed zorvdbsrc. Leak reports at exit would be GLib's: not sanitizer_options.cpp here.
cmake -S "$examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$host_flags -Wall -Wextra -Werror" >/dev/null
cmake --build "$work/examples" >/dev/null
run_example() { # PROGRAM ARGUMENTS...
    local program=$1
    shift
    GST_PLUGIN_PATH="$libdir/gstreamer-1.0" GST_REGISTRY="$work/registry.bin" GST_REGISTRY_FORK=no \
        LD_LIBRARY_PATH="$libdir" ASAN_OPTIONS=detect_leaks=0 "$work/examples/$program" "$@"
}
hello=$(run_example zorvgst-hello 2>&1) || { echo "installed examples: zorvgst-hello failed: $hello"; exit 1; }
grep -q "^zorvgst version 1.3.0" <<<"$hello" || { echo "installed examples: zorvgst-hello said $hello"; exit 1; }
run_example zorvgst-publisher --name "$name" --width 64 --height 48 --seconds 4 >"$work/publisher.log" 2>&1 &
publisher=$!
run_example zorvgst-element-reader --name "$name" --seconds 2 --timeout 10 >"$work/reader.log" 2>&1 ||
    { echo "installed examples: zorvgst-element-reader failed"; cat "$work/reader.log"; exit 1; }
status=0
wait "$publisher" || status=$?
publisher=
[ "$status" -eq 0 ] || { echo "installed examples: zorvgst-publisher failed"; cat "$work/publisher.log"; exit 1; }
grep -q "^received [1-9][0-9]* frames" "$work/reader.log" ||
    { echo "installed examples: no frame through zorvdbsrc"; cat "$work/reader.log"; exit 1; }
# Python package: under the prefix where Debian's python3 looks for one not from /usr, and
# importable with no library path (its RPATH leads to the library).
if [ -d "$build/python/zorvgst" ]; then
    site=$(/usr/bin/python3 -c 'import sys; print("lib/python%d.%d/dist-packages" % sys.version_info[:2])')
    [ -f "$prefix/$site/zorvgst/__init__.py" ] || { echo "Python package not in $prefix/$site"; exit 1; }
    (cd "$work" && PYTHONPATH="$prefix/$site" /usr/bin/python3 -c \
        'import zorvgst, sys; sys.exit(0 if zorvgst.list_buffers() is not None else 1)') ||
        { echo "installed Python package does not import"; exit 1; }
fi
echo "installed tree OK"
