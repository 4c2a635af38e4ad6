#!/usr/bin/env bash
# Builds an optimised tree with the benchmarks into build-release/, runs them and prints each
# path's bandwidth beside the memcpy baseline of the same bytes.
#   scripts/bench.sh                            every benchmark, 10 repetitions
#   ZORVGST_BENCH_REPETITIONS=9 scripts/bench.sh --benchmark_filter=Blend
# Further arguments go to the benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZORVGST_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-release -j "$(nproc)" --target zorvgst_render_bench
results=build-release/bench/results.json
# Repetitions of all benchmarks are interleaved in random order, so a spell of load from other
# work slows every path alike instead of one path and not its baseline.
build-release/bench/zorvgst_render_bench \
    --benchmark_repetitions="${ZORVGST_BENCH_REPETITIONS:-10}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=json "$@"

# Busy machines slow some repetitions down; the best one shows what the code can do, the median
# what it did. Ratios compare each path with the memcpy of the same bytes.
python3 - "$results" <<'PY'
import json, sys
runs, order = {}, {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "aggregate" and "bytes_per_second" in b:
        runs.setdefault(b["run_name"], {})[b["aggregate_name"]] = b["bytes_per_second"] / 1e9
        order[b["run_name"]] = (b["family_index"], b["per_family_instance_index"])
def baseline(name):
    return "BM_Memcpy_CroppedFrame" if name.startswith("BM_Crop") else "BM_Memcpy_Frame"
def ratio(name, base, stat):
    a, b = runs.get(name, {}).get(stat), runs.get(base, {}).get(stat)
    return f"{a / b:.2f}" if a and b else "-"
print()
print("GB/s counted over bytes read plus bytes written; ratios against " +
      "BM_Memcpy_Frame (BM_Memcpy_CroppedFrame for the crop).")
print(f"{'benchmark':36} {'median':>8} {'best':>8} {'median/memcpy':>14} {'best/memcpy':>12}")
for name in sorted(runs, key=order.get):
    stats = runs[name]
    print(f"{name:36} {stats.get('median', 0):8.1f} {stats.get('max', 0):8.1f} "
          f"{ratio(name, baseline(name), 'median'):>14} {ratio(name, baseline(name), 'max'):>12}")
same = "BM_Render_SampleToDoubleBuffer", "BM_Memcpy_SampleToSlots"
print(f"{same[0]} against a memcpy between the same memory areas ({same[1]}): "
      f"median {ratio(*same, 'median')}, best {ratio(*same, 'max')}")
PY
