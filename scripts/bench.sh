#!/usr/bin/env bash
# Builds an optimised tree with the benchmarks into build-release/ and runs them.
# Arguments go to the benchmark program (for example --benchmark_filter=Blend).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZORVGST_BUILD_BENCHMARKS=ON \
    -DZORVGST_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target zorvgst_render_bench
# Medians of five runs damp the noise of a busy machine.
exec build-release/bench/zorvgst_render_bench --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true "$@"
