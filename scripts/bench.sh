#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds an optimised tree into build-release/, runs the micro benchmarks (rendering, first frame,
# wake-up latency), the end-to-end comparison with shmsink/shmsrc and the frame API against
# appsrc/shmsink -> shmsrc/appsink, the Python readers, and writes bench/results.md.
#   scripts/bench.sh                                   everything (about 20 minutes from scratch)
#   ZORVGST_BENCH_REPETITIONS=10 scripts/bench.sh      more repetitions of the render benchmarks
#   ZORVGST_E2E_REPETITIONS=5 scripts/bench.sh         more end-to-end repetitions (default 3)
#   ZORVGST_E2E_SECTIONS=rates scripts/bench.sh        only some end-to-end sections (of rates,
#                                                      readers, sizes, formats, holding, reclaim;
#                                                      default all)
#   scripts/bench.sh --benchmark_filter=Blend          further arguments go to the render benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=build-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZORVGST_BUILD_BENCHMARKS=ON \
    -DZORVGST_BUILD_TESTS=OFF -DZORVGST_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
results=$build/bench/results.json
micro=$build/bench/micro.md
# Repetitions of all benchmarks are interleaved in random order, so a spell of load from other
# work slows every path alike instead of one path and not its baseline.
"$build"/bench/zorvgst_render_bench \
    --benchmark_repetitions="${ZORVGST_BENCH_REPETITIONS:-5}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=json "$@"

# Busy machines slow some repetitions down; the best one shows what the code can do, the median
# what it did. Ratios compare each path with the memcpy of the same bytes.
python3 - "$results" <<'PY' | tee "$micro"
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
print("## Rendering micro benchmarks (zorvgst_render_bench)")
print()
print("GB/s counted over bytes read plus bytes written; ratios against " +
      "BM_Memcpy_Frame (BM_Memcpy_CroppedFrame for the crop).")
print()
print("| benchmark | median GB/s | best GB/s | median / memcpy | best / memcpy |")
print("|---|---:|---:|---:|---:|")
for name in sorted(runs, key=order.get):
    stats = runs[name]
    print(f"| {name} | {stats.get('median', 0):.1f} | {stats.get('max', 0):.1f} | "
          f"{ratio(name, baseline(name), 'median')} | {ratio(name, baseline(name), 'max')} |")
same = "BM_Render_SampleToDoubleBuffer", "BM_Memcpy_SampleToSlots"
print()
print(f"{same[0]} against a memcpy between the same memory areas ({same[1]}): "
      f"median {ratio(*same, 'median')}, best {ratio(*same, 'max')}")
print()
PY

# Wake-up latency and the first frame: medians of the counters, one table each.
counters_table() {
    python3 - "$1" "$2" <<'PY'
import json, sys
title, path = sys.argv[1], sys.argv[2]
rows = [b for b in json.load(open(path))["benchmarks"]
        if b.get("run_type") != "aggregate" or b.get("aggregate_name") == "median"]
keys = []
for b in rows:
    for k in b:
        if k.endswith("_us") and k not in keys:
            keys.append(k)
first = ["median_us", "p99_us", "max_us"]
keys = [k for k in first if k in keys] + [k for k in keys if k not in first]
print(f"## {title}")
print()
print("| benchmark | " + " | ".join(keys) + " |")
print("|---|" + "---:|" * len(keys))
for b in rows:
    print(f"| {b['run_name']} | " + " | ".join(f"{b[k]:.1f}" if k in b else "-" for k in keys) + " |")
print()
PY
}
"$build"/bench/sysv_wake_latency_bench --benchmark_out="$build/bench/wake.json" \
    --benchmark_out_format=json
counters_table "Wake-up latency, publication to the reader's return (sysv_wake_latency_bench)" \
    "$build/bench/wake.json" | tee -a "$micro"
"$build"/bench/first_frame_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$build/bench/first_frame.json" --benchmark_out_format=json
counters_table "First frame into a fresh 1080p buffer, medians of 3 x 40 (first_frame_bench)" \
    "$build/bench/first_frame.json" | tee -a "$micro"

# The frame API: wake-up latency, read() against memcpy of the same bytes, idle readers.
# Medians of interleaved repetitions: read() and its memcpy baseline take turns.
"$build"/bench/zorvgst_frames_bench --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_out="$build/bench/frames.json" --benchmark_out_format=json
python3 - "$build/bench/frames.json" <<'PY' | tee -a "$micro"
import json, sys
runs = {b["run_name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
print("## Frame API (zorvgst_frames_bench, medians of 5 interleaved repetitions)")
print()
print("| measure | posix | sysv | ring |")
print("|---|---:|---:|---:|")
for label, key in (("wake median, µs", "median_us"), ("wake p99, µs", "p99_us")):
    print(f"| {label} | " + " | ".join(f"{runs['BM_Wake_' + kind][key]:.1f}"
                                       for kind in ("Posix", "Sysv", "Ring")) + " |")
print("| idle reader, % of a core | " + " | ".join(
    f"{runs['BM_IdleReader_' + kind]['cpu_percent']:.3f}" for kind in ("Posix", "Sysv", "Ring"))
    + " |")
read, copy = runs["BM_Read_1080p"], runs["BM_Memcpy_1080p_SameMemories"]
print()
print(f"read() of a 1080p frame: {read['bytes_per_second'] / 1e9:.1f} GB/s, "
      f"{read['bytes_per_second'] / copy['bytes_per_second']:.2f}x a memcpy of the same bytes "
      f"between the same memories ({copy['bytes_per_second'] / 1e9:.1f} GB/s); "
      f"hold() of a 1080p ring frame and its release: {runs['BM_Hold_1080p_Ring']['real_time']:.2f} µs")
print()
PY

# Elements against shmsink/shmsrc: double buffers and frame rings, formats, a reader that keeps
# its frames, a reader killed while it holds them (about 5 minutes for the ring's part).
python3 bench/e2e.py --probe "$build/bench/zorv_e2e_probe" \
    --reclaim-probe "$build/bench/zorv_reclaim_probe" \
    --plugin-path "$build/plugin/gstreamer-1.0" --reps "${ZORVGST_E2E_REPETITIONS:-3}" \
    ${ZORVGST_E2E_SECTIONS:+--sections "$ZORVGST_E2E_SECTIONS"} \
    --json "$build/bench/e2e.json" --micro "$micro" --out bench/results.md

# Both sides written by the application: the frame API without a copy against shmsink's
# allocator, the peer's own zero-copy path.
python3 bench/api_zero_copy.py --probe "$build/bench/zorv_api_probe" \
    --reps "${ZORVGST_E2E_REPETITIONS:-3}" --json "$build/bench/api_zero_copy.json" \
    --out "$build/bench/api_zero_copy.md"
{ echo; cat "$build/bench/api_zero_copy.md"; } >> bench/results.md

# The Python package's readers: read(out=...) against frame_reader::read on one writer, and the
# cost of frame() without a copy (about a minute).
/usr/bin/python3 bench/python_read.py --probe "$build/bench/read_rate_probe" \
    --pythonpath "$build/python" --json "$build/bench/python_read.json" \
    --out "$build/bench/python_read.md"
{ echo; cat "$build/bench/python_read.md"; } >> bench/results.md

# zorvgst-serve: publication to decoded frame at an RTSP client on loopback (about 20 s).
/usr/bin/python3 bench/serve_latency.py --serve "$build/tools/zorvgst-serve" \
    --pythonpath "$build/python" --plugin-dir "$build/plugin/gstreamer-1.0" \
    --json "$build/bench/serve_latency.json" --out "$build/bench/serve_latency.md"
{ echo; cat "$build/bench/serve_latency.md"; } >> bench/results.md

# zorvgst-serve: GET /api/buffers while six viewers stream MJPEG of a 4K buffer (about 15 s).
/usr/bin/python3 bench/serve_api_latency.py --serve "$build/tools/zorvgst-serve" \
    --pythonpath "$build/python" --plugin-dir "$build/plugin/gstreamer-1.0" \
    --json "$build/bench/serve_api_latency.json" --out "$build/bench/serve_api_latency.md"
{ echo; cat "$build/bench/serve_api_latency.md"; } >> bench/results.md
