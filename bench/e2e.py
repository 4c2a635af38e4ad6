#!/usr/bin/env python3
"""End-to-end comparison of ways to pass 1080p BGRA video between processes on one machine.

Runs every contender at every rate, alternating contenders, several repetitions, with
zorv_e2e_probe on each side, and writes a markdown report. Contenders:
  zorv-posix, zorv-sysv  videotestsrc ! zorvdbsink  ->  zorvdbsrc ! fakesink (two processes)
  shm                    videotestsrc ! shmsink     ->  shmsrc ! fakesink    (two processes)
  floor                  videotestsrc ! fakesink                             (one process)
The zorv contenders are skipped when the plugin cannot be found.

  bench/e2e.py --probe build-release/bench/zorv_e2e_probe --plugin-path build-release/plugin/gstreamer-1.0 \
               --out bench/results.md [--reps 3] [--warmup 1.5] [--measure 4]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

WIDTH, HEIGHT = 1920, 1080
FRAME_BYTES = WIDTH * HEIGHT * 4
# shmsink hands its shared memory to upstream as the frames' allocator; videotestsrc's pool then
# keeps a block per buffer, so the area needs room for the pool plus the frames in flight, or
# the writer stalls for good (measured: 8 frames stall within 0.1 s, 24 frames do not).
SHM_SIZE = 32 * FRAME_BYTES
RATES = [("unthrottled", 0), ("30 fps", 30), ("60 fps", 60)]
CONTENDERS = ["zorv-posix", "zorv-sysv", "shm", "floor"]


def source(rate):
    """The writer's frames: the same source and caps for every contender."""
    live = "true" if rate else "false"
    framerate = f"{rate}/1" if rate else "30/1"
    return (f"videotestsrc is-live={live} pattern=black ! "
            f"video/x-raw,format=BGRA,width={WIDTH},height={HEIGHT},framerate={framerate}")


CAPS_READER = f"video/x-raw,format=BGRA,width={WIDTH},height={HEIGHT}"


def pipelines(contender, rate, tag):
    """(writer pipeline, reader pipeline or None) of one run."""
    src = source(rate)
    if contender == "floor":
        return f"{src} ! fakesink name=out sync=false", None
    if contender == "shm":
        socket = f"/tmp/{tag}.sock"
        return (f"{src} ! shmsink name=push socket-path={socket} shm-size={SHM_SIZE} "
                f"wait-for-connection=true sync=false",
                f"shmsrc socket-path={socket} is-live=true ! {CAPS_READER},framerate=0/1 ! "
                f"fakesink name=out sync=false")
    backend = contender.split("-")[1]
    return (f"{src} ! zorvdbsink name=push buffer-name={tag} backend={backend} sync=false",
            f"zorvdbsrc buffer-name={tag} backend={backend} ! fakesink name=out sync=false")


def run_once(args, contender, rate, index):
    tag = f"zorve2e_{os.getpid()}_{index}"
    writer_pipeline, reader_pipeline = pipelines(contender, rate, tag)
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    probe = args.probe
    results = {}
    writer = None
    try:
        if reader_pipeline is None:
            out = subprocess.run([probe, "floor", str(args.warmup), str(args.measure),
                                  writer_pipeline], env=env, capture_output=True, text=True,
                                 timeout=args.warmup + args.measure + 30)
            results["floor"] = json.loads(out.stdout.strip().splitlines()[-1])
            return results
        # The reader starts half a second after the writer: the writer warms up half a second
        # longer, so both measure over the same stretch of time.
        writer = subprocess.Popen([probe, "writer", str(args.warmup + 0.5), str(args.measure),
                                   writer_pipeline], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)
        reader = subprocess.run([probe, "reader", str(args.warmup), str(args.measure),
                                 reader_pipeline], env=env, capture_output=True, text=True,
                                timeout=args.warmup + args.measure + 30)
        writer_out, writer_err = writer.communicate(timeout=args.warmup + args.measure + 30)
        for role, text, err in (("writer", writer_out, writer_err),
                                ("reader", reader.stdout, reader.stderr)):
            lines = text.strip().splitlines()
            if not lines:
                raise RuntimeError(f"{contender} {role} gave no result: {err.strip()[-300:]}")
            results[role] = json.loads(lines[-1])
        return results
    finally:
        # A writer left behind by a failed reader would hold the machine for the next runs.
        if writer is not None and writer.poll() is None:
            writer.kill()
            writer.wait()
        if contender.startswith("zorv"):
            subprocess.run([probe, "remove", tag], env=env, capture_output=True)
        if contender == "shm":
            try:
                os.unlink(f"/tmp/{tag}.sock")
            except FileNotFoundError:
                pass


def plugin_present(args):
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    return all(subprocess.run(["gst-inspect-1.0", element], env=env,
                              capture_output=True).returncode == 0
               for element in ("zorvdbsink", "zorvdbsrc"))


def med(values):
    values = [v for v in values if v is not None and v >= 0]
    return statistics.median(values) if values else None


def summarise(runs):
    """Medians over the repetitions of one contender at one rate."""
    def field(role, name):
        return med([r[role][name] for r in runs if role in r])
    if "floor" in runs[0]:
        fps = field("floor", "fps")
        return {"fps": fps, "cpu_writer": field("floor", "cpu_ms_per_frame"), "cpu_reader": None,
                "cpu_total": field("floor", "cpu_ms_per_frame"), "lat_med": None, "lat_p99": None,
                "dropped_pct": 0.0, "written_fps": fps}
    written = field("writer", "fps")
    fps = field("reader", "fps")
    cpu_w = field("writer", "cpu_ms_per_frame")
    # CPU per delivered frame for the reader; the writer's per written frame.
    cpu_r = field("reader", "cpu_ms_per_frame")
    dropped = med([100.0 * r["reader"]["dropped"] /
                   max(1, r["reader"]["dropped"] + r["reader"]["frames"]) for r in runs])
    return {"fps": fps, "written_fps": written, "cpu_writer": cpu_w, "cpu_reader": cpu_r,
            "cpu_total": (cpu_w or 0) + (cpu_r or 0), "lat_med": field("reader", "latency_median_us"),
            "lat_p99": field("reader", "latency_p99_us"), "dropped_pct": dropped}


def fmt(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = open("/proc/loadavg").read().split()[:3]
    mem_kb = int(open("/proc/meminfo").readline().split()[1])
    gst = subprocess.run(["gst-launch-1.0", "--version"], capture_output=True, text=True).stdout
    gst = gst.splitlines()[1] if len(gst.splitlines()) > 1 else gst.strip()
    return (f"{cpu}, {os.cpu_count()} logical CPUs, {mem_kb // 1024} MiB RAM, kernel "
            f"{platform.release()}, {gst}; load average at the start {' '.join(load)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--plugin-path", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--warmup", type=float, default=1.5)
    parser.add_argument("--measure", type=float, default=4.0)
    parser.add_argument("--json", help="also keep every run's raw results here")
    parser.add_argument("--micro", help="markdown of the micro benchmarks to append")
    args = parser.parse_args()

    contenders = list(CONTENDERS)
    skipped = []
    if not plugin_present(args):
        skipped = [c for c in contenders if c.startswith("zorv")]
        contenders = [c for c in contenders if c not in skipped]
        print("zorvdbsink/zorvdbsrc not found: zorv contenders skipped", file=sys.stderr)

    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    tree = subprocess.run(["git", "log", "-1", "--format=%h (%s)"], capture_output=True,
                          text=True).stdout.strip() or "unknown"
    description = machine()
    raw = {}
    index = 0
    # Repetition-major, contenders rotated each time: a spell of load from other work on the
    # machine falls on every contender alike.
    for rep in range(args.reps):
        for rate_name, rate in RATES:
            shift = (rep + RATES.index((rate_name, rate))) % len(contenders)
            for contender in contenders[shift:] + contenders[:shift]:
                index += 1
                try:
                    result = run_once(args, contender, rate, index)
                except (RuntimeError, subprocess.TimeoutExpired, ValueError) as error:
                    print(f"{contender} at {rate_name}: {error}", file=sys.stderr)
                    continue
                raw.setdefault((contender, rate_name), []).append(result)
                main_role = result.get("reader", result.get("floor"))
                print(f"rep {rep + 1} {rate_name:11} {contender:10} "
                      f"fps {main_role['fps']:8.1f}  latency median "
                      f"{main_role['latency_median_us']:8.1f} us", file=sys.stderr)

    if args.json:
        with open(args.json, "w") as out:
            json.dump({f"{c}|{r}": v for (c, r), v in raw.items()}, out, indent=1)

    lines = ["# End-to-end results", "",
             f"Measured {started} by `scripts/bench.sh` at commit {tree} on: {description}.",
             ""]
    lines += ["Each cell is the median over the repetitions; CPU is milliseconds of CPU time "
              "(user + system as `/proc/<pid>/stat` counts it, read with `getrusage` at microsecond "
              "resolution) per frame: the writer's per frame written, "
              "the reader's per frame delivered. Latency runs from the writer's push into its "
              "sink to the reader's output. Ratios compare with `shmsink`/`shmsrc` (the peer): "
              "fps above 1 and CPU below 1 favour the contender.", ""]
    if skipped:
        lines += [f"Skipped (plugin not built): {', '.join(skipped)}.", ""]
    for rate_name, _ in RATES:
        lines += [f"## {rate_name}", "",
                  "| contender | fps written | fps delivered | CPU writer ms/frame | "
                  "CPU reader ms/frame | CPU total ms/frame | latency median µs | "
                  "latency p99 µs | dropped % | fps / peer | CPU / peer |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        peer = summarise(raw[("shm", rate_name)]) if ("shm", rate_name) in raw else None
        for contender in CONTENDERS:
            if (contender, rate_name) not in raw:
                continue
            s = summarise(raw[(contender, rate_name)])
            fps_ratio = cpu_ratio = None
            if peer and contender != "floor" and peer["fps"] and s["fps"] is not None:
                fps_ratio = s["fps"] / peer["fps"]
                cpu_ratio = s["cpu_total"] / peer["cpu_total"] if peer["cpu_total"] else None
            lines.append(
                f"| {contender} | {fmt(s['written_fps'], 1)} | {fmt(s['fps'], 1)} | "
                f"{fmt(s['cpu_writer'], 3)} | {fmt(s['cpu_reader'], 3)} | "
                f"{fmt(s['cpu_total'], 3)} | {fmt(s['lat_med'], 0)} | {fmt(s['lat_p99'], 0)} | "
                f"{fmt(s['dropped_pct'], 1)} | {fmt(fps_ratio)} | {fmt(cpu_ratio)} |")
        lines.append("")
    lines += ["## Pipelines", "",
              "Run by `zorv_e2e_probe <role> <warm-up s> <measure s> '<pipeline>'` "
              f"(warm-up {args.warmup} s, measuring {args.measure} s, {args.reps} repetitions; "
              "the reader starts 0.5 s after the writer, which warms up 0.5 s longer, so both "
              "measure the same stretch of time):",
              ""]
    for rate_name, rate in RATES:
        for contender in CONTENDERS:
            writer, reader = pipelines(contender, rate, "NAME")
            lines.append(f"- {contender}, {rate_name}: `{writer}`" +
                         (f" → `{reader}`" if reader else ""))
    lines.append("")
    if args.micro and os.path.exists(args.micro):
        lines += [open(args.micro).read().rstrip(), ""]
    with open(args.out, "w") as out:
        out.write("\n".join(lines))
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
