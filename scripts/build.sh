#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what the build needs, then configures and builds into build/ (or $ZORVGST_BUILD_DIR).
# Extra arguments are passed to CMake's configure step; ZORVGST_BUILD_TARGETS (space-separated)
# builds only those targets and what they need.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build_dir=${ZORVGST_BUILD_DIR:-build}
cmake -S . -B "$build_dir" "$@" >/dev/null
targets=()
for target in ${ZORVGST_BUILD_TARGETS:-}; do
    targets+=(--target "$target")
done
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
