#!/usr/bin/env bash
# Builds the library and runs the demo host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
build/examples/zorvgst-hello
