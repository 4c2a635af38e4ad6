#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Zero copy at the API level: the frame API against appsrc/shmsink -> shmsrc/appsink.

Two processes pass 1080p BGRA frames at 60 fps, written and read by the application itself, each
side run by zorv_api_probe:
  zorv-posix, zorv-sysv  frame_writer: draw into frame(), publish()  ->  frame_reader: wait(), view()
  shm                    appsrc ! shmsink, each frame drawn into memory from shmsink's own
                         allocator  ->  shmsrc ! appsink, samples pulled and mapped (the peer)
Writers fill every byte of the frame and stamp it; readers read the stamp and sum one row.
Contenders alternate, in an order rotated every repetition. Writes a markdown section.

  bench/api_zero_copy.py --probe build-release/bench/zorv_api_probe \
                         --out build-release/bench/api_zero_copy.md [--reps 3] [--warmup 1.5] [--measure 4]
"""
import argparse
import json
import os
import subprocess
import sys
import time

import e2e

CONTENDERS = ["zorv-posix", "zorv-sysv", "shm"]
LABELS = {"zorv-posix": "frame API, POSIX", "zorv-sysv": "frame API, System V",
          "shm": "appsrc/shmsink → shmsrc/appsink (peer)"}
SIZE = e2e.FULL_HD
RATE = 60


def peer_pipelines(socket, width, height):
    """(writer pipeline, reader pipeline) of the peer."""
    caps = e2e.reader_caps(width, height)
    # Two frames queued at most, the oldest dropped beyond: the application's push never blocks,
    # also while shmsink waits for a reader; a frame dropped there shows as dropped.
    return (f"appsrc name=src is-live=true format=time do-timestamp=true max-buffers=2 "
            f"leaky-type=downstream caps={caps},framerate={RATE}/1 ! shmsink name=push "
            f"socket-path={socket} shm-size={e2e.shm_size(width, height)} "
            f"wait-for-connection=true sync=false",
            f"shmsrc socket-path={socket} is-live=true ! {caps},framerate=0/1 ! "
            f"appsink name=out sync=false")


def run_once(args, contender, index):
    tag = f"zorvapi_{os.getpid()}_{index}"
    socket = e2e.shm_socket(tag)
    if contender == "shm":
        transport = "gst"
        writer_target, reader_target = peer_pipelines(socket, *SIZE)
    else:
        transport = contender.split("-")[1]
        writer_target = reader_target = tag
    size = [str(SIZE[0]), str(SIZE[1])]
    writer = [args.probe, "writer", transport, writer_target, *size, str(RATE),
              str(args.warmup + 0.5), str(args.measure), str(e2e.TAIL)]
    reader = [args.probe, "reader", transport, reader_target, *size, str(args.warmup),
              str(args.measure)]

    def cleanup(writer_pid):
        if contender == "shm":
            e2e.remove_shm_leftovers(socket, writer_pid)
        else:
            subprocess.run([args.probe, "remove", tag], capture_output=True, timeout=30)

    return e2e.run_sides(contender, writer, [reader], dict(os.environ), args, cleanup)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", required=True, help="zorv_api_probe")
    parser.add_argument("--out", required=True, help="markdown section to write")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--warmup", type=float, default=1.5)
    parser.add_argument("--measure", type=float, default=4.0)
    parser.add_argument("--json", help="also keep every run's raw results here")
    args = parser.parse_args()

    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    raw = {}
    index = 0
    for rep in range(args.reps):
        shift = rep % len(CONTENDERS)
        for contender in CONTENDERS[shift:] + CONTENDERS[:shift]:
            index += 1
            try:
                result = run_once(args, contender, index)
            except (RuntimeError, subprocess.TimeoutExpired, ValueError) as error:
                print(f"{contender}: {error}", file=sys.stderr)
                continue
            raw.setdefault(contender, []).append(result)
            reader = result["readers"][0]
            print(f"rep {rep + 1} {contender:10} fps {reader['fps']:6.1f}  latency median "
                  f"{reader['latency_median_us']:8.1f} us", file=sys.stderr)

    if args.json:
        with open(args.json, "w") as out:
            json.dump(raw, out, indent=1)

    def total(side, field):
        return sum(r[side][field] if side == "writer" else r["readers"][0][field]
                   for runs in raw.values() for r in runs)

    allocators = sorted({r["writer"]["allocator"] for r in raw.get("shm", [])})
    width, height = SIZE
    lines = [f"## Zero copy at the API level, {width}x{height} at {RATE} fps "
             "(zorv_api_probe)", "",
             f"Measured {started}; medians over {args.reps} repetitions of {args.measure} s "
             f"after {args.warmup} s of warm-up, contenders alternated. Each writer fills all "
             f"{width * height * 4:,} bytes of every frame with a value that changes per frame, "
             "puts the monotonic clock and a sequence number in its first 16 bytes and hands "
             "it over, paced on the steady clock: the frame API draws into `frame()` and calls "
             "`publish()`; the peer draws into memory from shmsink's own allocator (asked for "
             "with an allocation query on appsrc's peer), which shmsink sends without a copy, "
             "and pushes it into `appsrc`. Readers: `wait()` then `view()`, whose function "
             "reads the stamp and sums the last row; the peer pulls a sample from `appsink`, "
             "maps it and does the same. Latency runs from the stamp to the reader's first "
             "look at the frame. CPU is user + system time of each process per frame (the "
             "writer's per frame written, the reader's per frame delivered); total is both. "
             "Dropped: gaps in the sequence the reader saw.", "",
             "| contender | fps written | fps delivered | latency median µs | latency p99 µs | "
             "CPU writer ms/frame | CPU reader ms/frame | CPU total ms/frame | dropped % |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for contender in CONTENDERS:
        if contender not in raw:
            continue
        s = e2e.summarise(raw[contender])
        lines.append(f"| {LABELS[contender]} | {e2e.fmt(s['written_fps'], 1)} | "
                     f"{e2e.fmt(s['fps'], 1)} | {e2e.fmt(s['lat_med'], 0)} | "
                     f"{e2e.fmt(s['lat_p99'], 0)} | {e2e.fmt(s['cpu_writer'], 3)} | "
                     f"{e2e.fmt(s['cpu_reader'], 3)} | {e2e.fmt(s['cpu_total'], 3)} | "
                     f"{e2e.fmt(s['dropped_pct'], 1)} |")
    missing = [c for c in CONTENDERS if c not in raw]
    lines += ["", f"Over all runs: {total('reader', 'mismatched')} frames whose last row did not "
              f"hold their fill value, {total('reader', 'overtaken')} views overtaken by a "
              f"publication, {total('writer', 'fallback')} peer frames that shmsink's allocator "
              f"could not place in its area (copied by shmsink); peer allocator: "
              f"{', '.join(allocators) or '-'}."]
    if missing:
        lines += ["", f"No result: {', '.join(missing)}."]
    writer, reader = peer_pipelines("SOCKET", width, height)
    lines += ["", f"Peer pipelines: `{writer}` → `{reader}`.", ""]
    with open(args.out, "w") as out:
        out.write("\n".join(lines))
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
