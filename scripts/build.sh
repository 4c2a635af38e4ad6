#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what the build needs, then configures and builds into build/ (or $ZORVGST_BUILD_DIR).
# Extra arguments are passed to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build_dir=${ZORVGST_BUILD_DIR:-build}
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
