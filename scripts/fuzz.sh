#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the libFuzzer targets (clang, ASan, UBSan) in build-fuzz/ and runs each for SECONDS
# (default 60), starting from the seed corpus in fuzz/corpus/<target>/. New inputs go to
# build-fuzz/corpus/<target>/, crashes to build-fuzz/findings/<target>/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(posix_reader_fuzzer sysv_reader_fuzzer discovery_fuzzer render_fuzzer ring_reader_fuzzer)

scripts/deps.sh
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DZORVGST_BUILD_FUZZ=ON -DZORVGST_SANITIZE=address,undefined \
    -DZORVGST_BUILD_TESTS=OFF -DZORVGST_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    mkdir -p "$corpus" "$findings"
    log="$build/$target.log"
    echo "== $target: ${seconds}s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" \
        >"$log" 2>&1; then
        echo "!! $target found a fault; see $log and $findings/"
        tail -n 40 "$log"
        status=1
    fi
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
    grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1 || true
done
exit $status
