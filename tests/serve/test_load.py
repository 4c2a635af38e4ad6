# SPDX-License-Identifier: LGPL-2.1-or-later
# Many viewers at once: the writer keeps its rate, every viewer gets frames, the server's memory
# stays bounded, and viewers that vanish mid-stream leave nothing behind.
import http.client
import json
import os
import pathlib
import re
import signal
import subprocess
import threading
import time

from conftest import (LOAD_FIGURES, WAIT_S, fetch, gauge, mjpeg_parts, package_test_helpers,
                      wait_for_server_looks, wait_until)


FPS = 60
WIDTH, HEIGHT = 640, 360
WATCH_S = 20
# The writer runs across the whole watch, with a margin for the clients to come and go.
WRITER_S = WATCH_S + 4
RTSP_CLIENTS = 8
SNAPSHOT_LOOPS = 10
MJPEG_STREAMS = 10
# One shared encoder a buffer and bounded queues a client: the server's memory does not grow
# with its viewers beyond this.
RSS_LIMIT_MB = 300
RSS_GROWTH_LIMIT_MB = 100
SOLID_WRITER = pathlib.Path(__file__).with_name("solid_writer.py")


def rss_mb(pid: int) -> float:
    status = pathlib.Path(f"/proc/{pid}/status").read_text()
    return int(next(line.split()[1] for line in status.splitlines()
                    if line.startswith("VmRSS:"))) / 1024


def cpu_seconds(pid: int) -> float:
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def received_rate(player_log: str):
    """Frames a player's fakesink got, and how many a second by their timestamps."""
    stamps = [int(h) * 3600 + int(m) * 60 + float(s)
              for h, m, s in re.findall(r"chain .*? pts: (\d+):(\d+):([\d.]+)", player_log)]
    if len(stamps) < 2:
        return len(stamps), 0.0
    return len(stamps), (len(stamps) - 1) / (max(stamps) - min(stamps))


class HttpViewers:
    """Snapshot loops and MJPEG streams on threads, each counting what it received."""

    def __init__(self, server, name: str) -> None:
        self.server, self.name = server, name
        self.stop = threading.Event()
        self.snapshots = [0] * SNAPSHOT_LOOPS
        self.parts = [0] * MJPEG_STREAMS
        self.threads = [threading.Thread(target=self.snapshot_loop, args=(i,))
                        for i in range(SNAPSHOT_LOOPS)]
        self.threads += [threading.Thread(target=self.stream, args=(i,))
                         for i in range(MJPEG_STREAMS)]
        for thread in self.threads:
            thread.start()

    def snapshot_loop(self, index: int) -> None:
        while not self.stop.wait(0.1):
            if fetch(self.server.http(f"/snapshot/{self.name}.jpg"))[0] == 200:
                self.snapshots[index] += 1

    def stream(self, index: int) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", self.server.http_port, timeout=WAIT_S)
        try:
            connection.request("GET", f"/stream/{self.name}.mjpeg")
            response = connection.getresponse()
            if response.status != 200:
                return
            for _ in mjpeg_parts(response):
                self.parts[index] += 1
                if self.stop.is_set():
                    break
        finally:
            connection.close()  # mid-stream, as a closed browser tab does

    def finish(self) -> None:
        self.stop.set()
        for thread in self.threads:
            thread.join(timeout=WAIT_S)
            assert not thread.is_alive()


def test_many_viewers_neither_slow_the_writer_nor_stay_behind(serve, names, children):
    server = serve()
    name = names()
    writer = children.start(package_test_helpers.PYTHON, str(SOLID_WRITER), name, str(WIDTH),
                            str(HEIGHT), str(FPS), str(WRITER_S), "40,140,230", "170,150,30",
                            stdout=subprocess.PIPE)
    assert writer.stdout.readline().strip() == "writing"
    wait_for_server_looks(server, name)
    rss_start, cpu_start, started = rss_mb(server.pid), cpu_seconds(server.pid), time.monotonic()

    players = [children.start("gst-launch-1.0", "-v", "rtspsrc", f"location={server.rtsp(name)}",
                              "latency=0", "protocols=tcp", "!", "rtph264depay", "!",
                              "fakesink", "silent=false")
               for _ in range(RTSP_CLIENTS)]
    viewers = HttpViewers(server, name)
    time.sleep(WATCH_S / 2)
    clients_midway = {protocol: gauge(server, "zorvgst_clients", f'protocol="{protocol}"')
                      for protocol in ("rtsp", "http_stream")}
    time.sleep(WATCH_S / 2)

    cpu_percent = 100 * (cpu_seconds(server.pid) - cpu_start) / (time.monotonic() - started)
    for player in players:
        player.send_signal(signal.SIGKILL)  # no TEARDOWN: the server must notice by itself
        player.wait(timeout=WAIT_S)
    viewers.finish()
    wait_until(lambda: gauge(server, "zorvgst_clients", 'protocol="rtsp"') == 0
               and gauge(server, "zorvgst_clients", 'protocol="http_stream"') == 0,
               "the vanished clients to be counted out", timeout=10)
    assert fetch(server.http(f"/snapshot/{name}.jpg"))[0] == 200
    rss_end = rss_mb(server.pid)
    kept = json.loads(writer.communicate(timeout=WRITER_S + WAIT_S)[0])
    assert writer.returncode == 0

    player_frames, player_fps = zip(*(received_rate(children.output(p)) for p in players))
    figures = {
        "writer_fps": round(kept["fps"], 2), "writer_frames": kept["frames"],
        "rtsp_clients": RTSP_CLIENTS, "rtsp_frames_per_client": player_frames,
        "rtsp_fps_per_client": [round(fps, 1) for fps in player_fps],
        "snapshots_per_loop": viewers.snapshots, "mjpeg_parts_per_stream": viewers.parts,
        "clients_midway": clients_midway, "server_cpu_percent_of_one_core": round(cpu_percent, 1),
        "server_rss_mb": {"start": round(rss_start, 1), "end": round(rss_end, 1)},
        "watch_seconds": WATCH_S,
    }
    print("\nzorvgst-serve under load:", json.dumps(figures, indent=1))
    LOAD_FIGURES.parent.mkdir(parents=True, exist_ok=True)
    LOAD_FIGURES.write_text(json.dumps(figures, indent=1) + "\n")

    assert abs(kept["fps"] - FPS) <= 0.02 * FPS
    assert clients_midway == {"rtsp": RTSP_CLIENTS, "http_stream": MJPEG_STREAMS}
    # Every viewer got frames throughout, at least one a second.
    for received in (player_frames, viewers.snapshots, viewers.parts):
        assert min(received) >= WATCH_S, received
    # A stream carries each frame the writer publishes, once: neither repeated to fill a rate
    # nor thinned out while the server has cores to spare.
    assert all(0.9 * kept["fps"] <= fps <= 1.02 * kept["fps"] for fps in player_fps), player_fps
    assert rss_end < RSS_LIMIT_MB and rss_end - rss_start < RSS_GROWTH_LIMIT_MB
