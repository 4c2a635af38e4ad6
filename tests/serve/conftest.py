# SPDX-License-Identifier: LGPL-2.1-or-later
# What the server's tests share: the server as a child process with the ports it printed, solid
# colour writers under names no other run uses, and HTTP, MJPEG and RTSP clients.
from __future__ import annotations

import importlib.util
import itertools
import json
import os
import pathlib
import re
import select
import signal
import subprocess
import time
import urllib.error
import urllib.request
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

import cv2
import numpy as np
import pytest

from solid_writer import Colour, SolidWriter

# The package's own test helpers (children that are always reaped, bounded waits) serve here too.
_PACKAGE_TESTS = pathlib.Path(__file__).resolve().parents[2] / "python" / "tests"
_spec = importlib.util.spec_from_file_location("package_test_helpers",
                                               _PACKAGE_TESTS / "conftest.py")
package_test_helpers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(package_test_helpers)
BUILD_DIR = package_test_helpers.BUILD_DIR
SHM_TOOL = package_test_helpers.SHM_TOOL
WAIT_S = package_test_helpers.WAIT_S
wait_until = package_test_helpers.wait_until
remove_quietly = package_test_helpers.remove_quietly
children = package_test_helpers.children

SERVE = os.environ.get("ZORVGST_SERVE") or str(BUILD_DIR / "tools" / "zorvgst-serve")
# The load test's figures, for whoever reads the run afterwards.
LOAD_FIGURES = pathlib.Path(
    os.environ.get("ZORVGST_SERVE_FIGURES") or BUILD_DIR / "tests" / "serve" / "load-figures.json")
# Codecs round colours through 4:2:0 YUV and quantisation: a solid colour comes back this close.
CODEC_TOLERANCE = 12

_names = itertools.count()
STARTED = re.compile(r"zorvgst-serve: RTSP rtsp://127\.0\.0\.1:(\d+)/NAME \((\w+)\), "
                     r"HTTP http://127\.0\.0\.1:(\d+)/")


@pytest.fixture
def names() -> Iterator:
    """Makes names no other test or run uses; whatever was made under them is removed afterwards."""
    made: List[str] = []

    def make() -> str:
        made.append(f"servetest_{os.getpid()}_{next(_names)}_buffer")
        return made[-1]

    try:
        yield make
    finally:
        for name in made:
            remove_quietly(name)


@pytest.fixture
def solid(names) -> Iterator:
    """Starts writers of solid colours (see SolidWriter) under fresh names, stopped afterwards."""
    started: List[SolidWriter] = []

    def start(width: int, height: int, *colours: Colour, **kwargs) -> SolidWriter:
        started.append(SolidWriter(names(), width, height, colours, **kwargs).start())
        wait_until(lambda: started[-1].frames, "the first frame")
        return started[-1]

    try:
        yield start
    finally:
        for writer in started:
            writer.stop()


class Server:
    """A running zorvgst-serve and the ports it printed."""

    def __init__(self, process: subprocess.Popen) -> None:
        self.process = process
        deadline = time.monotonic() + WAIT_S
        self.lines: List[str] = []
        while True:
            left = max(0, deadline - time.monotonic())
            ready, _, _ = select.select([process.stdout], [], [], left)
            line = process.stdout.readline() if ready else ""
            if not line:
                pytest.fail(f"zorvgst-serve printed no start-up line: {self.lines}")
            self.lines.append(line)
            started = STARTED.match(line)
            if started:
                break
        self.rtsp_port, self.encoder, self.http_port = (
            int(started.group(1)), started.group(2), int(started.group(3)))

    @property
    def pid(self) -> int:
        return self.process.pid

    def rtsp(self, name: str, credentials: str = "") -> str:
        return f"rtsp://{credentials}127.0.0.1:{self.rtsp_port}/{name}"

    def http(self, path: str) -> str:
        return f"http://127.0.0.1:{self.http_port}{path}"

    def stop(self) -> None:
        """SIGTERM, as systemd stops it: the server must end cleanly."""
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=WAIT_S)
        assert status == 0, f"zorvgst-serve exited with {status} on SIGTERM"


@pytest.fixture
def serve(children) -> Iterator:
    """Starts zorvgst-serve with free ports and further `args`; each is stopped afterwards and
    must exit with status 0."""
    servers: List[Server] = []

    def start(*args: str) -> Server:
        process = children.start(SERVE, "--rtsp-port", "0", "--http-port", "0", *args,
                                 stdout=subprocess.PIPE)
        servers.append(Server(process))
        return servers[-1]

    try:
        yield start
    finally:
        for server in servers:
            if server.process.poll() is None:
                server.stop()


def fetch(url: str, headers: Optional[Dict[str, str]] = None,
          method: str = "GET") -> Tuple[int, Dict[str, str], bytes]:
    """Status, headers (lower-case names) and body of one request; error statuses included."""
    request = urllib.request.Request(url, headers=headers or {}, method=method)
    try:
        with urllib.request.urlopen(request, timeout=WAIT_S) as response:
            return response.status, {k.lower(): v for k, v in response.headers.items()}, \
                response.read()
    except urllib.error.HTTPError as error:
        with error:
            return error.code, {k.lower(): v for k, v in error.headers.items()}, error.read()


def metrics(server) -> dict:
    """Every sample of /metrics: {(family, labels): value}."""
    status, headers, body = fetch(server.http("/metrics"))
    assert status == 200 and headers["content-type"].startswith("text/plain")
    samples = {}
    for line in body.decode().splitlines():
        if line and not line.startswith("#"):
            sample = re.fullmatch(r"(\w+)(?:\{(.*)\})? (\S+)", line)
            assert sample, f"not a sample: {line!r}"
            samples[(sample.group(1), sample.group(2) or "")] = float(sample.group(3))
    return samples


def gauge(server, family: str, label: str) -> float:
    """The one sample of `family` whose labels include `label`."""
    values = [v for (f, labels), v in metrics(server).items() if f == family and label in labels]
    assert len(values) == 1, f"{family} {label}: {values}"
    return values[0]


def wait_for_server_looks(server, name: str) -> None:
    """Until the server's own looks at the inventory, once a second, have seen `name` twice."""
    wait_until(lambda: gauge(server, "zorvgst_buffer_fps", f'buffer="{name}"') > 0,
               f"the server's looks at {name}")


def mjpeg_parts(response) -> Iterator[bytes]:
    """The bodies of a multipart/x-mixed-replace response's parts as they come; each one once
    the next boundary shows it complete."""
    boundary = re.search(r'boundary="?([^";]+)', response.getheader("Content-Type")).group(1)
    delimiter = b"--" + boundary.encode()
    pending = b""
    while True:
        chunk = response.read1(1 << 16)
        if not chunk:
            return
        pending += chunk
        while True:
            start = pending.find(delimiter)
            end = pending.find(delimiter, start + len(delimiter)) if start >= 0 else -1
            if end < 0:
                break
            part, pending = pending[start + len(delimiter):end], pending[end:]
            yield part.partition(b"\r\n\r\n")[2]


def decode_jpeg(data: bytes) -> np.ndarray:
    assert data, "no JPEG: the response ended"
    image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    assert image is not None, f"not a JPEG: {data[:16]!r}"
    return image


def colour_distance(pixels: np.ndarray, colour: Colour) -> int:
    """How far the BGR `pixels` stray from `colour`: the largest difference in any channel."""
    return int(np.abs(pixels.reshape(-1, 3).astype(int) - np.array(colour)).max())


def assert_colour(pixels: np.ndarray, colour: Colour, tolerance: int = CODEC_TOLERANCE) -> None:
    assert colour_distance(pixels, colour) <= tolerance, \
        f"pixels {pixels.reshape(-1, 3).mean(axis=0).round()} are not {colour}"


def run(args: Sequence[str], timeout: float = WAIT_S) -> subprocess.CompletedProcess:
    env = dict(os.environ, GST_PLUGIN_PATH=package_test_helpers.PLUGIN_DIR)
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env)


def probe(url: str) -> subprocess.CompletedProcess:
    """ffprobe's view of an RTSP stream: its JSON on standard output, or its error."""
    return run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_streams", "-of",
                "json", url])


def probed_video(url: str) -> dict:
    result = probe(url)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)["streams"][0]


def rtsp_frames(url: str, width: int, height: int, directory: pathlib.Path,
                count: int = 5) -> np.ndarray:
    """The first `count` frames a player decodes from `url`, as (count, height, width, 3) BGR."""
    target = directory / f"rtsp-{time.monotonic_ns()}.bgr"
    # identity ends the stream in place of buffer number eos-after.
    result = run(["gst-launch-1.0", "-q", "rtspsrc", f"location={url}", "latency=0",
                  "protocols=tcp", "!", "decodebin", "!", "videoconvert", "!",
                  "video/x-raw,format=BGR", "!", "identity", f"eos-after={count + 1}", "!",
                  "filesink", f"location={target}"])
    assert result.returncode == 0, result.stdout + result.stderr
    frames = np.fromfile(target, np.uint8)
    assert frames.size == count * height * width * 3, f"{frames.size} bytes"
    return frames.reshape(count, height, width, 3)
