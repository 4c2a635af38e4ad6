#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""End-to-end comparison of ways to pass raw video between processes on one machine.

Runs every contender in every setting of the chosen sections, alternating contenders, several
repetitions, with zorv_e2e_probe on each side, and writes a markdown report. Contenders:
  zorv-posix, zorv-sysv  videotestsrc ! zorvdbsink  ->  zorvdbsrc ! fakesink (two processes)
  zorv-posix-copy        the same with zorvdbsink zero-copy=false: the sink copies every frame
  zorv-ring              the same with zorvdbsink layout=ring: the reader leases slots, no copy
  zorv-convert           videotestsrc ! videoconvert ! BGRA ! zorvdbsink (double buffer)
  shm                    videotestsrc ! shmsink     ->  shmsrc ! fakesink    (two processes)
  floor                  videotestsrc ! fakesink                             (one process)
Sections (--sections, all by default):
  rates    1080p BGRA, one reader, unthrottled and at 30 and 60 fps, every BGRA contender
  readers  1080p at 60 fps with 1, 2, 4 and 8 reader processes on one writer
  sizes    720p, 1080p and 4K at 60 fps, one reader
  formats  NV12 and I420 at 1080p60: the ring as they are, shm as they are, the double buffer
           after videoconvert to BGRA; BGRA beside them
  holding  1080p60 ring and shm: one reader keeps every frame for HOLD_FRAMES frames, another
           reads normally
  reclaim  1080p60 ring and shm: a reader keeping frames is killed with SIGKILL while another
           reads; how long its leases outlive it, and whether the writer stalls
readers runs zorv-posix, zorv-sysv, zorv-ring and shm; sizes zorv-posix, zorv-sysv and shm. The
zorv contenders are skipped when the plugin cannot be found, the reclaim section when
zorv_reclaim_probe (beside the probe, or --reclaim-probe) is missing.

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
from typing import NamedTuple

FULL_HD = (1920, 1080)
RATES = [("unthrottled", 0), ("30 fps", 30), ("60 fps", 60)]
CONTENDERS = ["zorv-posix", "zorv-sysv", "zorv-posix-copy", "zorv-ring", "shm", "floor"]
SCALING_CONTENDERS = ["zorv-posix", "zorv-sysv", "shm"]
READERS_CONTENDERS = ["zorv-posix", "zorv-sysv", "zorv-ring", "shm"]
SCALING_RATE = 60
READER_COUNTS = [1, 2, 4, 8]
SIZES = [("720p", (1280, 720)), ("1080p", FULL_HD), ("4K", (3840, 2160))]
# Formats beside BGRA, and who carries them: the ring as they are, the double buffer after a
# conversion to BGRA, the peer as they are. BGRA's row shows the same routes without conversion.
FORMATS = ["NV12", "I420"]
FORMAT_CONTENDERS = ["zorv-ring", "zorv-convert", "shm"]
BGRA_FORMAT_CONTENDERS = ["zorv-ring", "zorv-posix", "shm"]
BYTES_PER_PIXEL = {"BGRA": 4, "NV12": 1.5, "I420": 1.5}
LEASE_CONTENDERS = ["zorv-ring", "shm"]
SECTIONS = ["rates", "readers", "sizes", "formats", "holding", "reclaim"]
# Lease entries of the ring sink: one for every reader of the readers section.
RING_READERS = max(READER_COUNTS)
# A reader that keeps each frame this many frames long (a quarter second at 60 fps), past the
# source's two leases, as a slow consumer or a deep queue would; bounded, so its copies do not
# fill the memory as a queue that never drains would.
HOLD_FRAMES = 15
# Longest the reclaim probe waits for the holder to hold frames, and then for its leases to go.
RECLAIM_TIMEOUT = 5.0
# Longest a writer streams on after its window while late readers finish theirs; the driver
# stops it as soon as they have.
TAIL = 10.0


class Setting(NamedTuple):
    """What every contender of one table row group runs."""
    rate_name: str
    rate: int
    size_name: str
    size: tuple
    readers: int = 1
    format: str = "BGRA"
    # "stream": `readers` readers alike; "holding": one that keeps its frames beside a normal one;
    # "reclaim": one that keeps its frames is killed beside a normal one.
    mode: str = "stream"


def frame_bytes(width, height, fmt="BGRA"):
    return int(width * height * BYTES_PER_PIXEL[fmt])


def shm_size(width, height, fmt="BGRA"):
    """shmsink's area for frames of this size and format.

    shmsink hands its shared memory to upstream as the frames' allocator; videotestsrc's pool then
    keeps a block per buffer, so the area needs room for the pool plus the frames in flight, or
    the writer stalls for good (measured at 1080p: 8 frames stall within 0.1 s, 24 frames do not).
    """
    return 32 * frame_bytes(width, height, fmt)


def source(rate, width, height, fmt="BGRA"):
    """The writer's frames: the same source and caps for every contender."""
    live = "true" if rate else "false"
    framerate = f"{rate}/1" if rate else "30/1"
    return (f"videotestsrc is-live={live} pattern=black ! "
            f"video/x-raw,format={fmt},width={width},height={height},framerate={framerate}")


def reader_caps(width, height, fmt="BGRA"):
    return f"video/x-raw,format={fmt},width={width},height={height}"


def shm_socket(tag):
    return f"/tmp/{tag}.sock"


OUT = "fakesink name=out sync=false"
# Keeps every frame until HOLD_FRAMES more have come, then lets it go.
HOLD = (f"queue max-size-buffers=0 max-size-time=0 max-size-bytes=0 "
        f"min-threshold-buffers={HOLD_FRAMES}")


def sides(contender, rate, tag, size=FULL_HD, fmt="BGRA"):
    """(writer pipeline, the reader's pipeline up to its sink, or None for the floor)."""
    width, height = size
    src = source(rate, width, height, fmt)
    if contender == "floor":
        return f"{src} ! {OUT}", None
    if contender == "shm":
        socket = shm_socket(tag)
        return (f"{src} ! shmsink name=push socket-path={socket} "
                f"shm-size={shm_size(width, height, fmt)} wait-for-connection=true sync=false",
                f"shmsrc socket-path={socket} is-live=true ! "
                f"{reader_caps(width, height, fmt)},framerate=0/1")
    if contender == "zorv-ring":
        return (f"{src} ! zorvdbsink name=push buffer-name={tag} layout=ring "
                f"readers={RING_READERS} sync=false", f"zorvdbsrc buffer-name={tag}")
    if contender == "zorv-convert":
        # Frames are dated when they enter the converter ("origin"), so latency includes it.
        return (f"{src} ! videoconvert name=origin ! video/x-raw,format=BGRA ! "
                f"zorvdbsink name=push buffer-name={tag} layout=double-buffer sync=false",
                f"zorvdbsrc buffer-name={tag}")
    backend = contender.split("-")[1]
    # The sink's own copy, for comparison with the frames upstream draws into the write slot.
    copy = " zero-copy=false" if contender.endswith("-copy") else ""
    return (f"{src} ! zorvdbsink name=push buffer-name={tag} backend={backend} sync=false{copy}",
            f"zorvdbsrc buffer-name={tag} backend={backend}")


def holding_pipeline(reader):
    return f"{reader} ! {HOLD} ! {OUT}"


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


def reader_commands(args, contender, setting, tag, reader):
    """The reader processes of one run: `setting.readers` alike, or, in the holding and reclaim
    settings, one that keeps its frames (under the reclaim probe, which kills it) first."""
    probe = args.probe
    normal = [probe, "reader", str(args.warmup), str(args.measure), f"{reader} ! {OUT}"]
    holding = [probe, "reader", str(args.warmup), str(args.measure), holding_pipeline(reader)]
    if setting.mode == "holding":
        return [holding, normal]
    if setting.mode == "reclaim":
        # Killed a quarter into the others' window, so most of it follows the reclaim; it would
        # measure past everything else if it lived.
        ring = tag if contender.startswith("zorv") else "-"
        kill_after = args.warmup + args.measure / 4
        holder = holding[:3] + [str(args.measure + TAIL)] + holding[4:]
        return [[args.reclaim_probe, ring, str(kill_after), str(RECLAIM_TIMEOUT)] + holder, normal]
    return [normal] * setting.readers


def run_once(args, contender, setting, index):
    tag = f"zorve2e_{os.getpid()}_{index}"
    writer_pipeline, reader = sides(contender, setting.rate, tag, setting.size, setting.format)
    env = dict(os.environ, GST_PLUGIN_PATH=args.plugin_path)
    probe = args.probe
    if reader is None:
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
                     reader_commands(args, contender, setting, tag, reader), env, args, cleanup)


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


def at_scaling_rate(size_name="1080p", size=FULL_HD, **rest):
    return Setting(f"{SCALING_RATE} fps", SCALING_RATE, size_name, size, **rest)


def settings(sections):
    """[(setting, contenders)] to run. A setting that two sections share runs once, with the
    contenders of both."""
    chosen = {}

    def add(setting, contenders):
        chosen.setdefault(setting, []).extend(contenders)

    if "rates" in sections:
        for rate_name, rate in RATES:
            add(Setting(rate_name, rate, "1080p", FULL_HD), CONTENDERS)
    if "readers" in sections:
        for count in READER_COUNTS:
            add(at_scaling_rate(readers=count), READERS_CONTENDERS)
    if "sizes" in sections:
        for size_name, size in SIZES:
            add(at_scaling_rate(size_name, size), SCALING_CONTENDERS)
    if "formats" in sections:
        add(at_scaling_rate(), BGRA_FORMAT_CONTENDERS)
        for fmt in FORMATS:
            add(at_scaling_rate(format=fmt), FORMAT_CONTENDERS)
    for mode in ("holding", "reclaim"):
        if mode in sections:
            add(at_scaling_rate(mode=mode), LEASE_CONTENDERS)
    return [(setting, list(dict.fromkeys(contenders))) for setting, contenders in chosen.items()]


def describe(setting):
    s = setting
    text = f"{s.rate_name}, {s.size_name}"
    text += f" {s.format}" if s.format != "BGRA" else ""
    text += f", {s.readers} reader{'s' if s.readers > 1 else ''}"
    return text + (f", {s.mode}" if s.mode != "stream" else "")


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


def worst(values, pick=max):
    values = [v for v in values if v is not None and v >= 0]
    return pick(values) if values else None


def lease_summary(runs, rate):
    """Figures of a holding or reclaim setting over its repetitions: the writer, the reader that
    keeps its frames (or the reclaim probe that killed it) and the reader beside it. Medians,
    except where the worst run says more: the writer's longest gap and its shortfall."""
    def figure(side, key, combine=med):
        return combine([side(r).get(key) for r in runs])

    def writer(run):
        return run["writer"]

    def kept(run):
        return run["readers"][0]

    def other(run):
        return run["readers"][1]

    def written_and_expected(run):
        return run["writer"]["frames"], round(run["writer"]["seconds"] * rate)

    fewest = min((written_and_expected(r) for r in runs), key=lambda pair: pair[0] - pair[1])
    leased = figure(kept, "frames_leased")
    kept_latency = figure(kept, "latency_median_us")
    return {"written_fps": figure(writer, "fps"),
            "gap_ms": figure(writer, "interval_max_ms", worst),
            "fewest_written": fewest,
            "other_fps": figure(other, "fps"),
            "other_lat_med": figure(other, "latency_median_us"),
            "other_dropped_pct": med([dropped_pct(other(r)) for r in runs]),
            "kept_fps": figure(kept, "fps"),
            "kept_cpu": figure(kept, "cpu_ms_per_frame"),
            "kept_lat_med_ms": kept_latency / 1000 if kept_latency is not None else None,
            "leased": leased,
            "copied": figure(kept, "frames_copied"),
            # Read-only buffers are leased slots only where the source counts leases.
            "lease_runs": figure(kept, "read_only_runs") if leased is not None else None,
            "copy_runs": figure(kept, "writable_runs") if leased is not None else None,
            "leases_at_kill": figure(kept, "leases_at_kill"),
            "reaped_ms": figure(kept, "reaped_ms"),
            "reclaimed_ms": figure(kept, "reclaimed_ms"),
            "reclaimed_max_ms": figure(kept, "reclaimed_ms", worst),
            "reclaimed": sum(1 for r in runs if kept(r).get("reclaimed_ms", -1) >= 0),
            "leased_after": sum(1 for r in runs if kept(r).get("lease_after")),
            "runs": len(runs)}


def lease_rows(raw, setting, cells):
    """Table rows of the contenders run in a holding or reclaim setting."""
    return [f"| {c} | {cells(c, lease_summary(raw[(c, setting)], setting.rate))}"
            for c in LEASE_CONTENDERS if (c, setting) in raw]


def holding_cells(contender, s):
    return (f"{fmt(s['written_fps'], 1)} | {fmt(s['gap_ms'], 1)} | "
            f"{fmt(s['other_fps'], 1)} | {fmt(s['other_lat_med'], 0)} | "
            f"{fmt(s['other_dropped_pct'], 1)} | {fmt(s['kept_fps'], 1)} | "
            f"{fmt(s['kept_cpu'], 3)} | {fmt(s['kept_lat_med_ms'], 0)} | {fmt(s['leased'], 0)} | "
            f"{fmt(s['copied'], 0)} | {fmt(s['lease_runs'], 0)} | {fmt(s['copy_runs'], 0)} |")


def reclaim_cells(contender, s):
    leases = contender.startswith("zorv")
    written, expected = s["fewest_written"]

    def of_runs(count):
        return f"{count} of {s['runs']}" if leases else "-"

    return (f"{fmt(s['leases_at_kill'], 0) if leases else '-'} | "
            f"{fmt(s['reaped_ms'], 1)} | {fmt(s['reclaimed_ms'], 0)} | "
            f"{fmt(s['reclaimed_max_ms'], 0)} | {of_runs(s['reclaimed'])} | "
            f"{of_runs(s['leased_after'])} | "
            f"{fmt(s['written_fps'], 1)} | {written} of {expected} | {fmt(s['gap_ms'], 1)} | "
            f"{fmt(s['other_fps'], 1)} | {fmt(s['other_dropped_pct'], 1)} |")


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
    parser.add_argument("--reclaim-probe",
                        help="zorv_reclaim_probe (default: beside --probe)")
    args = parser.parse_args()
    sections = [s for s in args.sections.split(",") if s]
    unknown = [s for s in sections if s not in SECTIONS]
    if unknown or not sections:
        parser.error(f"unknown section(s) {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    if args.reclaim_probe is None:
        args.reclaim_probe = os.path.join(os.path.dirname(args.probe), "zorv_reclaim_probe")

    plan = settings(sections)
    skipped = []
    if not plugin_present(args):
        skipped = sorted({c for _, contenders in plan for c in contenders if c.startswith("zorv")})
        plan = [(setting, [c for c in contenders if c not in skipped])
                for setting, contenders in plan]
        print("zorvdbsink/zorvdbsrc not found: zorv contenders skipped", file=sys.stderr)
    if "reclaim" in sections and not os.access(args.reclaim_probe, os.X_OK):
        plan = [(setting, contenders) for setting, contenders in plan if setting.mode != "reclaim"]
        sections.remove("reclaim")
        skipped.append("the reclaim section")
        print(f"{args.reclaim_probe} not found: reclaim section skipped", file=sys.stderr)
    plan = [(setting, contenders) for setting, contenders in plan if contenders]

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
            shift = (rep + group) % len(contenders)
            for contender in contenders[shift:] + contenders[:shift]:
                index += 1
                try:
                    result = run_once(args, contender, setting, index)
                except (RuntimeError, subprocess.TimeoutExpired, ValueError) as error:
                    print(f"{contender} at {describe(setting)}: {error}", file=sys.stderr)
                    continue
                raw.setdefault((contender, setting), []).append(result)
                outputs = result.get("readers", [result.get("floor")])
                print(f"rep {rep + 1} {describe(setting):36} {contender:15} fps "
                      f"{med([o.get('fps') for o in outputs]) or 0:8.1f}  latency median "
                      f"{med([o.get('latency_median_us') for o in outputs]) or 0:8.1f} us",
                      file=sys.stderr)

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"|".join([c, s.rate_name, f"{s.size[0]}x{s.size[1]}",
                                 f"{s.readers} readers"] +
                                ([s.format] if s.format != "BGRA" else []) +
                                ([s.mode] if s.mode != "stream" else [])): v
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
        lines += [f"Skipped (not built): {', '.join(skipped)}.", ""]
    if "rates" in sections:
        for rate_name, rate in RATES:
            lines += [f"## {rate_name}", "", "| contender | " + TABLE_HEAD, "|---|" + TABLE_ALIGN]
            lines += [f"| {c} | {text}" for c, text in
                      rows(raw, Setting(rate_name, rate, "1080p", FULL_HD), CONTENDERS)]
            lines.append("")
    scaling = f"{SCALING_RATE} fps"
    if "readers" in sections:
        lines += [f"## Several readers, 1080p at {scaling}", "",
                  f"{', '.join(map(str, READER_COUNTS))} reader processes on one writer, all "
                  "started together. Reader columns (fps delivered, CPU reader, latency, dropped) "
                  "are medians over the readers of a run; CPU total is the writer's plus the sum "
                  "of the readers', the machine's cost of one frame delivered to all of them. "
                  f"The ring's sink has `readers={RING_READERS}`, so every reader leases.", "",
                  "| readers | contender | " + TABLE_HEAD, "|---:|---|" + TABLE_ALIGN]
        for count in READER_COUNTS:
            lines += [f"| {count} | {c} | {text}" for c, text in
                      rows(raw, at_scaling_rate(readers=count), READERS_CONTENDERS)]
        lines.append("")
    if "sizes" in sections:
        lines += [f"## Frame sizes at {scaling}, one reader", "",
                  "| size | contender | " + TABLE_HEAD, "|---|---|" + TABLE_ALIGN]
        for size_name, size in SIZES:
            lines += [f"| {size_name} ({size[0]}x{size[1]}) | {c} | {text}" for c, text in
                      rows(raw, at_scaling_rate(size_name, size), SCALING_CONTENDERS)]
        lines.append("")
    if "formats" in sections:
        lines += [f"## Formats, 1080p at {scaling}, one reader", "",
                  "`videotestsrc` makes each format itself. zorv-ring carries it as it is in a "
                  "frame ring, shm as it is; zorv-convert converts it to BGRA with `videoconvert` "
                  "and writes a double buffer, and its latency runs from the frame's entry into "
                  "`videoconvert`, so the conversion counts. BGRA: the ring, the double buffer "
                  "and the peer without a conversion, for reference.", "",
                  "| format | contender | " + TABLE_HEAD, "|---|---|" + TABLE_ALIGN]
        for fmt_name, contenders in [("BGRA", BGRA_FORMAT_CONTENDERS)] + [
                (f, FORMAT_CONTENDERS) for f in FORMATS]:
            lines += [f"| {fmt_name} | {c} | {text}" for c, text in
                      rows(raw, at_scaling_rate(format=fmt_name), contenders)]
        lines.append("")
    if "holding" in sections:
        lines += [f"## A reader that keeps its frames, 1080p BGRA at {scaling}", "",
                  f"Two readers on one writer: one keeps every frame until {HOLD_FRAMES} more "
                  f"have come (`{HOLD}` before its sink, a quarter second at {scaling}), the "
                  "other reads normally. Goals: the writer at 60.0 fps, the other reader at 60. "
                  "The keeping reader's source may hold 2 leased frames (`max-leases`); past that "
                  "it copies, and leases again once a leased frame is let go: frames leased and "
                  "copied are `zorvdbsrc`'s counters over the window, runs are the stretches of "
                  "leased (read-only) and copied buffers in the order they reached the sink. "
                  "Longest gap: the longest time between two frames the writer pushed (16.7 ms "
                  "at 60 fps), in the worst run.", "",
                  "| contender | fps written | longest gap between writes ms | other reader fps | "
                  "other reader latency median µs | other reader dropped % | keeping reader fps | "
                  "keeping reader CPU ms/frame | keeping reader latency median ms | "
                  "frames leased | frames copied | runs of leases | runs of copies |",
                  "|---|" + "---:|" * 12]
        lines += lease_rows(raw, at_scaling_rate(mode="holding"), holding_cells)
        lines.append("")
    if "reclaim" in sections:
        lines += [f"## A reader killed while it holds frames, 1080p BGRA at {scaling}", "",
                  "`zorv_reclaim_probe` starts a reader that keeps its frames (as in the section "
                  "above) beside a normal reader, waits until the ring's reader table "
                  "(`describe_ring`) shows it holding frames a quarter into the window, kills it "
                  "with SIGKILL and reaps it at once, then reads the table every millisecond until "
                  f"its leases are gone (at most {RECLAIM_TIMEOUT:.0f} s) and leases a frame "
                  "itself. A killed process that nobody has reaped still exists, and keeps its "
                  "leases until it is. For shm the reader is killed the same way and only the "
                  "writer and the other reader are watched. Times in ms from the kill; frames "
                  "written against the window's length at 60 fps and longest gap between two "
                  "writes in the worst run: a missed publication would show as a gap of 33 ms "
                  "or more.", "",
                  "| contender | leases held at the kill | reaped ms | leases reclaimed ms, "
                  "median | reclaimed ms, worst | reclaimed in | new lease after | fps written | "
                  "frames written of expected | longest gap between writes ms | "
                  "other reader fps | other reader dropped % |",
                  "|---|" + "---:|" * 11]
        lines += lease_rows(raw, at_scaling_rate(mode="reclaim"), reclaim_cells)
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
        for contender in contenders:
            key = (contender, setting.rate, setting.size, setting.format, setting.mode)
            if key in listed:
                continue
            listed.add(key)
            writer, reader = sides(contender, setting.rate, "NAME", setting.size, setting.format)
            label = f"{contender}, {setting.rate_name}, {setting.size_name}"
            label += f", {setting.format}" if setting.format != "BGRA" else ""
            if reader is None:
                lines.append(f"- {label}: `{writer}`")
            elif setting.mode == "stream":
                lines.append(f"- {label}: `{writer}` → `{reader} ! {OUT}`")
            else:
                ring = "NAME" if contender.startswith("zorv") else "-"
                killed = (f", run by `zorv_reclaim_probe {ring} <kill after s> "
                          f"{RECLAIM_TIMEOUT} zorv_e2e_probe reader ...` and killed"
                          if setting.mode == "reclaim" else "")
                lines.append(f"- {label}, {setting.mode}: `{writer}` → "
                             f"`{holding_pipeline(reader)}`{killed}, and beside it "
                             f"`{reader} ! {OUT}`")
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
