#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""End-to-end comparison of ways to pass BGRA video between processes on one machine.

Runs every contender in every setting of the chosen sections, alternating contenders, several
repetitions, with zorv_e2e_probe on each side, and writes a markdown report. Contenders:
  zorv-posix, zorv-sysv  videotestsrc ! zorvdbsink  ->  zorvdbsrc ! fakesink (two processes)
  zorv-posix-copy        the same with zorvdbsink zero-copy=false: the sink copies every frame
  shm                    videotestsrc ! shmsink     ->  shmsrc ! fakesink    (two processes)
  floor                  videotestsrc ! fakesink                             (one process)
Sections (--sections, all by default):
  rates    1080p, one reader, unthrottled and at 30 and 60 fps, every contender
  readers  1080p at 60 fps with 1, 2, 4 and 8 reader processes on one writer
  sizes    720p, 1080p and 4K at 60 fps, one reader
readers and sizes run zorv-posix, zorv-sysv and shm. The zorv contenders are skipped when the
plugin cannot be found.

  bench/e2e.py --probe build-release/bench/zorv_e2e_probe --plugin-path build-release/plugin/gstreamer-1.0 \
               --out bench/results.md [--reps 3] [--warmup 1.5] [--measure 4] [--sections rates,sizes]
"""
import argparse
import glob
import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import time

FULL_HD = (1920, 1080)
RATES = [("unthrottled", 0), ("30 fps", 30), ("60 fps", 60)]
CONTENDERS = ["zorv-posix", "zorv-sysv", "zorv-posix-copy", "shm", "floor"]
SCALING_CONTENDERS = ["zorv-posix", "zorv-sysv", "shm"]
SCALING_RATE = 60
READER_COUNTS = [1, 2, 4, 8]
SIZES = [("720p", (1280, 720)), ("1080p", FULL_HD), ("4K", (3840, 2160))]
SECTIONS = ["rates", "readers", "sizes"]
# Longest a writer streams on after its window while late readers finish theirs; the driver
# stops it as soon as they have.
TAIL = 10.0


def shm_size(width, height):
    """shmsink's area for frames of this size.

    shmsink hands its shared memory to upstream as the frames' allocator; videotestsrc's pool then
    keeps a block per buffer, so the area needs room for the pool plus the frames in flight, or
    the writer stalls for good (measured at 1080p: 8 frames stall within 0.1 s, 24 frames do not).
    """
    return 32 * width * height * 4


def source(rate, width, height):
    """The writer's frames: the same source and caps for every contender."""
    live = "true" if rate else "false"
    framerate = f"{rate}/1" if rate else "30/1"
    return (f"videotestsrc is-live={live} pattern=black ! "
            f"video/x-raw,format=BGRA,width={width},height={height},framerate={framerate}")


def reader_caps(width, height):
    return f"video/x-raw,format=BGRA,width={width},height={height}"


def shm_socket(tag):
    return f"/tmp/{tag}.sock"


def pipelines(contender, rate, tag, size=FULL_HD):
    """(writer pipeline, reader pipeline or None) of one run."""
    width, height = size
    src = source(rate, width, height)
    if contender == "floor":
        return f"{src} ! fakesink name=out sync=false", None
    if contender == "shm":
        socket = shm_socket(tag)
        return (f"{src} ! shmsink name=push socket-path={socket} "
                f"shm-size={shm_size(width, height)} wait-for-connection=true sync=false",
                f"shmsrc socket-path={socket} is-live=true ! "
                f"{reader_caps(width, height)},framerate=0/1 ! fakesink name=out sync=false")
    backend = contender.split("-")[1]
    # The sink's own copy, for comparison with the frames upstream draws into the write slot.
    copy = " zero-copy=false" if contender.endswith("-copy") else ""
    return (f"{src} ! zorvdbsink name=push buffer-name={tag} backend={backend} sync=false{copy}",
            f"zorvdbsrc buffer-name={tag} backend={backend} ! fakesink name=out sync=false")


def result_of(name, out, err):
    """The JSON line a probe printed last."""
    lines = out.strip().splitlines()
    if not lines:
        raise RuntimeError(f"{name} gave no result: {err.strip()[-300:]}")
    result = json.loads(lines[-1])
    if not result.get("ok", True):
        # Its figures still count, over the time it ran; say why it stopped early.
        print(f"{name} stopped early: {err.strip()[-300:]}", file=sys.stderr)
    return result


def run_sides(name, writer_command, reader_commands, env, args, cleanup):
    """Runs one writer and its readers; returns {"writer": result, "readers": [results]}.

    The readers start together half a second after the writer, which warms up half a second
    longer, so all measure over the same stretch of time. The writer's last argument is its
    tail: it streams on after its window until the readers are done and it gets SIGTERM.
    `cleanup(writer_pid)` removes what the run left, also when it failed.
    """
    deadline = time.monotonic() + 0.5 + args.warmup + args.measure + TAIL + 30

    def remaining():
        return max(1.0, deadline - time.monotonic())

    writer = subprocess.Popen(writer_command, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    readers = []
    try:
        time.sleep(0.5)
        readers = [subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
                   for command in reader_commands]
        reader_outputs = [reader.communicate(timeout=remaining()) for reader in readers]
        if writer.poll() is None:
            writer.send_signal(signal.SIGTERM)
        writer_out, writer_err = writer.communicate(timeout=remaining())
        return {"writer": result_of(f"{name} writer", writer_out, writer_err),
                "readers": [result_of(f"{name} reader {i + 1}", out, err)
                            for i, (out, err) in enumerate(reader_outputs)]}
    finally:
        # A process left behind by a failed run would hold the machine for the next runs.
        for process in [writer] + readers:
            if process.poll() is None:
                process.kill()
                process.wait()
        cleanup(writer.pid)


def remove_shm_leftovers(socket, writer_pid):
    """What shmsink leaves when its process is killed: the socket and the area
    (/dev/shm/shmpipe.<pid>.<n>)."""
    for path in [socket] + glob.glob(f"/dev/shm/shmpipe.{writer_pid}.*"):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def run_once(args, contender, rate, index, size=FULL_HD, readers=1):
    tag = f"zorve2e_{os.getpid()}_{index}"
    writer_pipeline, reader_pipeline = pipelines(contender, rate, tag, size)
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    probe = args.probe
    if reader_pipeline is None:
        out = subprocess.run([probe, "floor", str(args.warmup), str(args.measure),
                              writer_pipeline], env=env, capture_output=True, text=True,
                             timeout=args.warmup + args.measure + 30)
        return {"floor": result_of(f"{contender} floor", out.stdout, out.stderr)}

    def cleanup(writer_pid):
        if contender.startswith("zorv"):
            subprocess.run([probe, "remove", tag], env=env, capture_output=True, timeout=30)
        if contender == "shm":
            remove_shm_leftovers(shm_socket(tag), writer_pid)

    return run_sides(contender,
                     [probe, "writer", str(args.warmup + 0.5), str(args.measure),
                      writer_pipeline, str(TAIL)],
                     [[probe, "reader", str(args.warmup), str(args.measure), reader_pipeline]]
                     * readers, env, args, cleanup)


def plugin_present(args):
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    return all(subprocess.run(["gst-inspect-1.0", element], env=env,
                              capture_output=True).returncode == 0
               for element in ("zorvdbsink", "zorvdbsrc"))


def med(values):
    values = [v for v in values if v is not None and v >= 0]
    return statistics.median(values) if values else None


def dropped_pct(reader):
    return 100.0 * reader["dropped"] / max(1, reader["dropped"] + reader["frames"])


def summarise(runs):
    """Medians over the repetitions of one contender in one setting. With several readers, each
    reader figure is first the median over the readers of a run, and the total CPU per frame is
    the writer's plus the sum of the readers'."""
    if "floor" in runs[0]:
        fps = med([r["floor"]["fps"] for r in runs])
        cpu = med([r["floor"]["cpu_ms_per_frame"] for r in runs])
        return {"fps": fps, "cpu_writer": cpu, "cpu_reader": None, "cpu_total": cpu,
                "lat_med": None, "lat_p99": None, "dropped_pct": 0.0, "written_fps": fps}

    def readers(figure):
        return med([med([figure(reader) for reader in r["readers"]]) for r in runs])

    written = med([r["writer"]["fps"] for r in runs])
    cpu_w = med([r["writer"]["cpu_ms_per_frame"] for r in runs])
    # CPU per delivered frame for the readers; the writer's per written frame.
    cpu_readers = med([sum(reader["cpu_ms_per_frame"] for reader in r["readers"]) for r in runs])
    return {"fps": readers(lambda x: x["fps"]), "written_fps": written, "cpu_writer": cpu_w,
            "cpu_reader": readers(lambda x: x["cpu_ms_per_frame"]),
            "cpu_total": (cpu_w or 0) + (cpu_readers or 0),
            "lat_med": readers(lambda x: x["latency_median_us"]),
            "lat_p99": readers(lambda x: x["latency_p99_us"]),
            "dropped_pct": readers(dropped_pct)}


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


def settings(sections):
    """[(setting, contenders)] to run: a setting is (rate name, rate, size name, size, readers).
    A setting that two sections share runs once, with the contenders of both."""
    chosen = {}
    if "rates" in sections:
        for rate_name, rate in RATES:
            chosen.setdefault((rate_name, rate, "1080p", FULL_HD, 1), []).extend(CONTENDERS)
    if "readers" in sections:
        for count in READER_COUNTS:
            chosen.setdefault((f"{SCALING_RATE} fps", SCALING_RATE, "1080p", FULL_HD, count),
                              []).extend(SCALING_CONTENDERS)
    if "sizes" in sections:
        for size_name, size in SIZES:
            chosen.setdefault((f"{SCALING_RATE} fps", SCALING_RATE, size_name, size, 1),
                              []).extend(SCALING_CONTENDERS)
    return [(setting, list(dict.fromkeys(contenders))) for setting, contenders in chosen.items()]


def describe(setting):
    rate_name, _, size_name, _, readers = setting
    return f"{rate_name}, {size_name}, {readers} reader{'s' if readers > 1 else ''}"


TABLE_HEAD = ("fps written | fps delivered | CPU writer ms/frame | CPU reader ms/frame | "
              "CPU total ms/frame | latency median µs | latency p99 µs | dropped % | "
              "fps / peer | CPU / peer |")
TABLE_ALIGN = "---:|" * 10


def cells(summary, peer, contender):
    s = summary
    fps_ratio = cpu_ratio = None
    if peer and contender != "floor" and peer["fps"] and s["fps"] is not None:
        fps_ratio = s["fps"] / peer["fps"]
        cpu_ratio = s["cpu_total"] / peer["cpu_total"] if peer["cpu_total"] else None
    return (f"{fmt(s['written_fps'], 1)} | {fmt(s['fps'], 1)} | "
            f"{fmt(s['cpu_writer'], 3)} | {fmt(s['cpu_reader'], 3)} | "
            f"{fmt(s['cpu_total'], 3)} | {fmt(s['lat_med'], 0)} | {fmt(s['lat_p99'], 0)} | "
            f"{fmt(s['dropped_pct'], 1)} | {fmt(fps_ratio)} | {fmt(cpu_ratio)} |")


def rows(raw, setting, contenders):
    """Table cells of every contender run in `setting`, beside the peer's."""
    peer = summarise(raw[("shm", setting)]) if ("shm", setting) in raw else None
    return [(contender, cells(summarise(raw[(contender, setting)]), peer, contender))
            for contender in contenders if (contender, setting) in raw]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--plugin-path", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--warmup", type=float, default=1.5)
    parser.add_argument("--measure", type=float, default=4.0)
    parser.add_argument("--sections", default=",".join(SECTIONS),
                        help=f"comma-separated, of {', '.join(SECTIONS)} (default: all)")
    parser.add_argument("--json", help="also keep every run's raw results here")
    parser.add_argument("--micro", help="markdown of the micro benchmarks to append")
    args = parser.parse_args()
    sections = [s for s in args.sections.split(",") if s]
    unknown = [s for s in sections if s not in SECTIONS]
    if unknown or not sections:
        parser.error(f"unknown section(s) {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")

    plan = settings(sections)
    skipped = []
    if not plugin_present(args):
        skipped = [c for c in CONTENDERS if c.startswith("zorv")]
        plan = [(setting, [c for c in contenders if c not in skipped])
                for setting, contenders in plan]
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
        for group, (setting, contenders) in enumerate(plan):
            rate_name, rate, _, size, readers = setting
            shift = (rep + group) % len(contenders)
            for contender in contenders[shift:] + contenders[:shift]:
                index += 1
                try:
                    result = run_once(args, contender, rate, index, size, readers)
                except (RuntimeError, subprocess.TimeoutExpired, ValueError) as error:
                    print(f"{contender} at {describe(setting)}: {error}", file=sys.stderr)
                    continue
                raw.setdefault((contender, setting), []).append(result)
                sides = result.get("readers", [result.get("floor")])
                print(f"rep {rep + 1} {describe(setting):28} {contender:15} fps "
                      f"{med([s['fps'] for s in sides]) or 0:8.1f}  latency median "
                      f"{med([s['latency_median_us'] for s in sides]) or 0:8.1f} us",
                      file=sys.stderr)

    if args.json:
        with open(args.json, "w") as out:
            json.dump({f"{c}|{s[0]}|{s[3][0]}x{s[3][1]}|{s[4]} readers": v
                       for (c, s), v in raw.items()}, out, indent=1)

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
    if "rates" in sections:
        for rate_name, rate in RATES:
            lines += [f"## {rate_name}", "", "| contender | " + TABLE_HEAD, "|---|" + TABLE_ALIGN]
            lines += [f"| {c} | {text}" for c, text in
                      rows(raw, (rate_name, rate, "1080p", FULL_HD, 1), CONTENDERS)]
            lines.append("")
    scaling = f"{SCALING_RATE} fps"
    if "readers" in sections:
        lines += [f"## Several readers, 1080p at {scaling}", "",
                  f"{', '.join(map(str, READER_COUNTS))} reader processes on one writer, all "
                  "started together. Reader columns (fps delivered, CPU reader, latency, dropped) "
                  "are medians over the readers of a run; CPU total is the writer's plus the sum "
                  "of the readers', the machine's cost of one frame delivered to all of them.", "",
                  "| readers | contender | " + TABLE_HEAD, "|---:|---|" + TABLE_ALIGN]
        for count in READER_COUNTS:
            lines += [f"| {count} | {c} | {text}" for c, text in
                      rows(raw, (scaling, SCALING_RATE, "1080p", FULL_HD, count),
                           SCALING_CONTENDERS)]
        lines.append("")
    if "sizes" in sections:
        lines += [f"## Frame sizes at {scaling}, one reader", "",
                  "| size | contender | " + TABLE_HEAD, "|---|---|" + TABLE_ALIGN]
        for size_name, size in SIZES:
            lines += [f"| {size_name} ({size[0]}x{size[1]}) | {c} | {text}" for c, text in
                      rows(raw, (scaling, SCALING_RATE, size_name, size, 1), SCALING_CONTENDERS)]
        lines.append("")
    lines += ["## Pipelines", "",
              "Run by `zorv_e2e_probe <role> <warm-up s> <measure s> '<pipeline>'` "
              f"(warm-up {args.warmup} s, measuring {args.measure} s, {args.reps} repetitions; "
              "the readers start 0.5 s after the writer, which warms up 0.5 s longer, so both "
              "measure the same stretch of time; the writer streams on, uncounted, until the "
              "readers are done):",
              ""]
    listed = set()
    for setting, contenders in plan:
        rate_name, rate, size_name, size, _ = setting
        for contender in contenders:
            if (contender, rate, size) in listed:
                continue
            listed.add((contender, rate, size))
            writer, reader = pipelines(contender, rate, "NAME", size)
            lines.append(f"- {contender}, {rate_name}, {size_name}: `{writer}`" +
                         (f" → `{reader}`" if reader else ""))
    if "readers" in sections:
        lines += ["", "With several readers, the reader pipeline runs in that many processes "
                  "at once on the same buffer or socket."]
    lines.append("")
    if args.micro and os.path.exists(args.micro):
        lines += [open(args.micro).read().rstrip(), ""]
    with open(args.out, "w") as out:
        out.write("\n".join(lines))
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
