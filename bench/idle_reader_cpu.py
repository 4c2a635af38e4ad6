#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""CPU of an idle zorvdbsrc process: a writer publishes one frame and stays, a
`gst-launch-1.0 zorvdbsrc ! fakesink` process waits for the next one, and the run time of all its
threads (/proc/PID/task/*/schedstat, nanoseconds) is summed over the window.

  bench/idle_reader_cpu.py --plugin-path build/plugin/gstreamer-1.0 [--seconds 30] [--layout ring]
"""
import argparse
import glob
import os
import subprocess
import sys
import time


def run_time_ns(pid):
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as stat:
                total += int(stat.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plugin-path", required=True)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--layout", default="double-buffer", choices=["double-buffer", "ring"])
    args = parser.parse_args()
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    name = f"zorvbench_{os.getpid()}_idle_buffer"
    writer = subprocess.Popen(
        ["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=1", "!",
         "video/x-raw,format=BGRA,width=640,height=480", "!", "zorvdbsink",
         f"buffer-name={name}", f"layout={args.layout}", "async=false"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    reader = None
    try:
        time.sleep(1.0)
        reader = subprocess.Popen(
            ["gst-launch-1.0", "-q", "zorvdbsrc", f"buffer-name={name}", "!", "fakesink"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3.0)  # start-up and the one frame are not idling
        before, started = run_time_ns(reader.pid), time.monotonic()
        time.sleep(args.seconds)
        spent, elapsed = run_time_ns(reader.pid) - before, time.monotonic() - started
        print(f"idle zorvdbsrc process ({args.layout}): {100.0 * spent / (elapsed * 1e9):.4f} % "
              f"of a core over {elapsed:.1f} s ({spent / 1e6:.2f} ms of CPU)")
    finally:
        for process in (reader, writer):
            if process is not None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        for path in glob.glob(f"/dev/shm/{name}"):
            os.unlink(path)


if __name__ == "__main__":
    sys.exit(main())
