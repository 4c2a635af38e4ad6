# SPDX-License-Identifier: LGPL-2.1-or-later
# What the package's tests share: unique buffer names removed afterwards, the build's programs,
# child processes that are always killed and waited for, and the frames they compare.
from __future__ import annotations

import itertools
import os
import pathlib
import re
import subprocess
import time
from typing import Callable, List, Optional

import numpy as np
import pytest

import zorvgst

# The package runs from <build>/python/zorvgst: without CTest, the programs are found from there.
BUILD_DIR = pathlib.Path(zorvgst.__file__).resolve().parents[2]
PYTHON = "/usr/bin/python3"
SHM_TOOL = os.environ.get("ZORVGST_SHM") or str(BUILD_DIR / "tools" / "zorvgst-shm")
FRAMES_WRITER = os.environ.get("ZORVGST_FRAMES_WRITER") or str(
    BUILD_DIR / "examples" / "zorvgst-frames-writer"
)
PLUGIN_DIR = os.environ.get("GST_PLUGIN_PATH") or str(BUILD_DIR / "plugin" / "gstreamer-1.0")
# Every wait on a child or on shared memory ends by then, so a hung test fails instead.
WAIT_S = 20.0

_names = itertools.count()


def remove_quietly(name: str) -> None:
    try:
        zorvgst.remove(name)
    except zorvgst.Error:
        pass  # never made, or already removed by the test


@pytest.fixture
def buffer_name(request) -> str:
    """A name no other test or run uses; whatever was made under it is removed afterwards."""
    test = re.sub(r"\W+", "_", request.node.name)[:48]
    name = f"pytest_{os.getpid()}_{next(_names)}_{test}_buffer"
    try:
        yield name
    finally:
        remove_quietly(name)


def wait_until(condition: Callable[[], object], what: str, timeout: float = WAIT_S):
    """Polls `condition` until it returns something true, which it returns; fails after
    `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)


class Children:
    """The child processes of one test, with their output in files beside the test."""

    def __init__(self, directory: pathlib.Path) -> None:
        self._directory = directory
        self._started: List[subprocess.Popen] = []
        env = dict(os.environ, GST_PLUGIN_PATH=PLUGIN_DIR)
        env.setdefault("GST_REGISTRY", str(BUILD_DIR / "python" / "pytest-registry.bin"))
        self.env = env

    def start(self, *args: str, stdout: Optional[int] = None) -> subprocess.Popen:
        """Starts `args`; its output goes to `stdout` (subprocess.PIPE, say) or to a file that
        `output()` reads."""
        if stdout is None:
            log = self._directory / f"child{len(self._started)}.log"
            with open(log, "wb") as file:
                process = subprocess.Popen(args, env=self.env, stdout=file, stderr=file)
            process.log = log
        else:
            process = subprocess.Popen(args, env=self.env, stdout=stdout, text=True)
        self._started.append(process)
        return process

    def python(self, code: str, *args: str, **kwargs) -> subprocess.Popen:
        return self.start(PYTHON, "-c", code, *args, **kwargs)

    def frames_writer(self, name: str, width: int, height: int) -> subprocess.Popen:
        return self.start(FRAMES_WRITER, name, str(width), str(height))

    @staticmethod
    def output(process: subprocess.Popen) -> str:
        return process.log.read_text(errors="replace")

    def finish(self, process: subprocess.Popen) -> int:
        """Waits for `process` to exit by itself; its exit status."""
        try:
            return process.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            pytest.fail(f"{process.args[0]} did not exit within {WAIT_S} s")

    def close(self) -> None:
        for process in self._started:
            if process.poll() is None:
                process.kill()
            process.wait(timeout=WAIT_S)
            if process.stdout is not None:
                process.stdout.close()


@pytest.fixture
def children(tmp_path):
    started = Children(tmp_path)
    try:
        yield started
    finally:
        started.close()


def noise(height: int, width: int, seed: int = 0) -> np.ndarray:
    """A frame of random pixels: any misplaced byte shows."""
    return np.random.default_rng(seed).integers(0, 256, (height, width, 4), dtype=np.uint8)


def gradient(t: int, height: int, width: int) -> np.ndarray:
    """Frame `t` of zorvgst-frames-writer: blue x + t, green y + t, red 0x80, alpha 0xFF."""
    frame = np.empty((height, width, 4), np.uint8)
    frame[..., 0] = (np.arange(width)[None, :] + t) & 0xFF
    frame[..., 1] = (np.arange(height)[:, None] + t) & 0xFF
    frame[..., 2] = 0x80
    frame[..., 3] = 0xFF
    return frame


def assert_gradient(frame: np.ndarray, frame_number: int) -> None:
    """`frame` is what zorvgst-frames-writer drew as frame `frame_number` (counted from 1)."""
    height, width = frame.shape[:2]
    np.testing.assert_array_equal(frame, gradient(frame_number - 1, height, width))
