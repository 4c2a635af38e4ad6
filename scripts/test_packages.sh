#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the packaging tools, then builds the Debian packages and checks their contents (the
# CTest label "package", without building the tree first). Usage: scripts/test_packages.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package-deps.sh
out=$(realpath -m "${1:-build-package-test}")
mkdir -p "$(dirname "$out")"
tests/package/check_packages.sh "$PWD" "$out"
