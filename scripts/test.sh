#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the library and runs every test.
#   scripts/test.sh                               plain build in build/
#   scripts/test.sh --sanitize=address,undefined  sanitizer build in build-sanitize-*/
#   scripts/test.sh --sanitize=thread             (sanitizer defaults: tests/support/sanitizer_options.cpp)
#   ZORVGST_SOAK_SECONDS=5 scripts/test.sh -L soak shorter soaks
# Further arguments go to ctest (for example -L unit or -R Posix).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake_args=()
ctest_args=()
export ZORVGST_BUILD_DIR=build
for arg in "$@"; do
    case "$arg" in
    --sanitize=*)
        sanitizers=${arg#--sanitize=}
        cmake_args+=("-DZORVGST_SANITIZE=$sanitizers")
        export ZORVGST_BUILD_DIR="build-sanitize-${sanitizers//,/-}"
        ;;
    *) ctest_args+=("$arg") ;;
    esac
done

scripts/build.sh "${cmake_args[@]}"
cd "$ZORVGST_BUILD_DIR"
# No second chance for a failing case: running it again would hide the very races the buffers
# must not have.
ctest --output-on-failure --timeout 600 -j "$(nproc)" "${ctest_args[@]}"
