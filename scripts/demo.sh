#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the library, then runs the demo: a publisher and two readers of live test video.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
scripts/run_demo.sh "${ZORVGST_BUILD_DIR:-build}" demo-output
