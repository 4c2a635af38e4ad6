#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The Python package's readers at 1080p: Reader.read(out=...) against frame_reader::read, and
Reader.frame() looking at frames without a copy.

A C++ writer (read_rate_probe writer) publishes 1920x1080 frames in a process of its own.
  copy rate  at 120 fps: the Python reader and the C++ one (read_rate_probe reader) take turns on
             the same writer, each waiting for a frame outside the clock and timing only the call
             that copies it: fps = frames copied / seconds spent inside those calls.
  frame()    at 60 fps: a Python reader copies one row of each frame out of Reader.frame(); its
             process's CPU time (user + system, getrusage) over the loop, as % of one core.
Removes its buffers whatever happens. Writes a markdown section.

  bench/python_read.py --probe build-release/bench/read_rate_probe \\
      --pythonpath build-release/python --out build-release/bench/python_read.md \\
      [--reps 7] [--measure 2] [--look-seconds 20]
"""
import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import time

import e2e

WIDTH, HEIGHT = e2e.FULL_HD
COPY_RATE = 120
LOOK_RATE = 60
WARMUP = 0.5
# Each reader process's own allowance beyond its measuring time: interpreter and numpy start-up.
START_ALLOWANCE = 20


def copy_reader(name, warmup, measure):
    """The Python side of the copy rate: one JSON line like the C++ reader's."""
    import numpy as np

    import zorvgst

    # A second reader only tells when a new frame is there (frame() waits without copying), so
    # that the timed read() finds its frame at once and its time is the copy's own.
    with zorvgst.Reader(name) as reader, zorvgst.Reader(name) as waiter:
        out = None
        measure_start = time.perf_counter() + warmup
        end = measure_start + measure
        frames = missed = 0
        copying = 0.0
        while time.perf_counter() < end:
            with waiter.frame(timeout=0.1) as seen:
                pass
            if seen is None:
                continue
            if out is None or out.shape != reader.shape:
                out = np.empty(reader.shape, np.uint8)
            before = time.perf_counter()
            copied = reader.read(timeout=0, out=out)
            after = time.perf_counter()
            if before < measure_start:
                continue
            copying += after - before
            if copied is None:
                missed += 1  # this reader already returned the frame the waiter saw
            else:
                frames += 1
    return {"role": "reader", "frames": frames, "missed": missed, "copy_seconds": copying,
            "fps": frames / copying if copying > 0 else 0.0}


def look_reader(name, warmup, measure):
    """The frame() loop, and what its process spent on it."""
    import zorvgst

    def cpu_seconds():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    with zorvgst.Reader(name) as reader:
        measure_start = time.perf_counter() + warmup
        while time.perf_counter() < measure_start:
            with reader.frame(timeout=1) as frame:
                pass
        frames = intact = 0
        row = None
        cpu_before, started = cpu_seconds(), time.perf_counter()
        while time.perf_counter() < started + measure:
            with reader.frame(timeout=1) as frame:
                if frame is not None:
                    row = frame.array[0].copy()
            if frame is not None:
                frames += 1
                intact += bool(frame.intact)
        spent, elapsed = cpu_seconds() - cpu_before, time.perf_counter() - started
    return {"role": "look", "frames": frames, "intact": intact, "seconds": elapsed,
            "fps": frames / elapsed, "cpu_percent": 100 * spent / elapsed,
            "row_bytes": 0 if row is None else row.nbytes}


ROLES = {"copy": copy_reader, "look": look_reader}


class ProbeWriter:
    """A read_rate_probe writer for the length of a `with` block; its buffer removed after."""

    def __init__(self, args, name, fps):
        self.name = name
        self.process = subprocess.Popen(
            [args.probe, "writer", name, str(WIDTH), str(HEIGHT), str(fps), "600"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
        import zorvgst

        try:
            zorvgst.remove(self.name)
        except zorvgst.Error:
            pass  # the writer never made it


def run_reader(command, name, measure):
    result = subprocess.run(command, capture_output=True, text=True,
                            timeout=WARMUP + measure + START_ALLOWANCE)
    return e2e.result_of(name, result.stdout, result.stderr)


def python_command(role, name, measure):
    return [sys.executable, os.path.abspath(__file__), "--role", role, "--buffer", name,
            "--measure", str(measure)]


def copy_rates(args):
    """{"python": [results], "cpp": [results]}, the two alternating on one writer."""
    name = f"pyread_copy_{os.getpid()}_buffer"
    commands = {
        "python": python_command("copy", name, args.measure),
        "cpp": [args.probe, "reader", name, str(WARMUP), str(args.measure)],
    }
    runs = {side: [] for side in commands}
    with ProbeWriter(args, name, COPY_RATE):
        for rep in range(args.reps):
            for side in sorted(commands, reverse=rep % 2 == 1):
                result = run_reader(commands[side], f"{side} reader", args.measure)
                runs[side].append(result)
                print(f"rep {rep + 1} {side:6} {result['fps']:8.1f} fps copied "
                      f"({result['frames']} frames in {result['copy_seconds']:.3f} s)",
                      file=sys.stderr)
    return runs


def look_cost(args):
    name = f"pyread_look_{os.getpid()}_buffer"
    with ProbeWriter(args, name, LOOK_RATE):
        result = run_reader(python_command("look", name, args.look_seconds), "frame() reader",
                            args.look_seconds)
    print(f"frame(): {result['fps']:.1f} fps, {result['cpu_percent']:.2f} % of a core",
          file=sys.stderr)
    return result


def section(args, started, runs, look):
    median = {side: e2e.med([r["fps"] for r in results]) for side, results in runs.items()}
    labels = {"cpp": "C++ `frame_reader::read`", "python": "Python `Reader.read(out=...)`"}
    lines = [f"## Python readers, {WIDTH}x{HEIGHT} (bench/python_read.py)", "",
             f"Measured {started}. A C++ writer (`read_rate_probe writer`) publishes "
             f"{WIDTH}x{HEIGHT} BGRA frames in a process of its own, filling every byte of each.",
             "",
             f"Copy rate, writer at {COPY_RATE} fps: the Python reader and the C++ one "
             f"(`read_rate_probe reader`) take turns on the same writer, {args.reps} times each, "
             f"{args.measure} s after {WARMUP} s of warm-up. Each waits for a frame outside the "
             "clock (the Python one through a second reader's `frame()`), then times only the "
             "call that copies it into memory allocated beforehand: fps = frames copied / seconds "
             "spent inside those calls. Missed: calls that found no frame to copy, their time "
             "counted all the same.", "",
             "| reader | median fps | every run, fps | frames copied | missed |",
             "|---|---:|---|---:|---:|"]
    for side in ("cpp", "python"):
        results = runs[side]
        lines.append(f"| {labels[side]} | {e2e.fmt(median[side], 1)} | "
                     f"{', '.join(format(r['fps'], '.0f') for r in results)} | "
                     f"{sum(r['frames'] for r in results)} | {sum(r['missed'] for r in results)} |")
    ratio = median["python"] / median["cpp"] if median["python"] and median["cpp"] else None
    lines += ["", f"Python / C++, medians: {e2e.fmt(ratio, 2)} (goal: at least 0.90).", "",
              f"Looking without a copy, writer at {LOOK_RATE} fps: a Python reader runs "
              "`with reader.frame(timeout=1) as f: row = f.array[0].copy()` for "
              f"{look['seconds']:.1f} s: {look['frames']} frames ({look['fps']:.1f} fps), "
              f"{look['intact']} of them intact, {look['cpu_percent']:.2f} % of one core "
              "(user + system time of its process over the loop, getrusage; goal: under 2 %).",
              ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", help="read_rate_probe")
    parser.add_argument("--pythonpath", help="where the zorvgst package is, in the build tree")
    parser.add_argument("--out", help="markdown section to write")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--measure", type=float, default=2.0, help="seconds per copy-rate run")
    parser.add_argument("--look-seconds", type=float, default=20.0)
    parser.add_argument("--json", help="also keep every run's raw results here")
    parser.add_argument("--role", choices=sorted(ROLES), help=argparse.SUPPRESS)
    parser.add_argument("--buffer", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        print(json.dumps(ROLES[args.role](args.buffer, WARMUP, args.measure)))
        return 0
    if not (args.probe and args.pythonpath and args.out):
        parser.error("--probe, --pythonpath and --out are needed")
    # The readers run in processes of their own, which find the package there too.
    os.environ["PYTHONPATH"] = os.path.abspath(args.pythonpath)
    sys.path.insert(0, os.environ["PYTHONPATH"])
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    if not os.path.isdir(os.path.join(args.pythonpath, "zorvgst")):
        # The package is optional in a build: say so in the results rather than fail the rest.
        with open(args.out, "w") as out:
            out.write(f"## Python readers (bench/python_read.py)\n\nNo result: the Python "
                      f"package was not built (nothing in {args.pythonpath}).\n")
        return 0
    runs = copy_rates(args)
    look = look_cost(args)
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"copy": runs, "look": look}, out, indent=1)
    with open(args.out, "w") as out:
        out.write(section(args, started, runs, look))
    print(f"wrote {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
