#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds what the demo runs (library, plugin, supervisor, example hosts), then runs it: a
# publisher and two readers of live test video.
set -euo pipefail
cd "$(dirname "$0")/.."
ZORVGST_BUILD_TARGETS="gstzorvgst zorvgst-shm zorvgst-publisher zorvgst-subscriber \
zorvgst-element-reader" scripts/build.sh
scripts/run_demo.sh "${ZORVGST_BUILD_DIR:-build}" demo-output
