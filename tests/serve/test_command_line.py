# SPDX-License-Identifier: LGPL-2.1-or-later
# zorvgst-serve's command line: what it refuses to start with, what --bind means, and its help.
import re
import select
import subprocess
import time

import pytest
from conftest import SERVE, WAIT_S, fetch, run


@pytest.mark.parametrize("args, message", [
    (["--bind", "0.0.0.0"], "--token"),
    (["--bind", "::"], "--token"),
    (["--bind", "192.0.2.1", "--token", ""], "--token"),
    (["--bind", "loopback.example"], "--bind"),
    (["--encoder", "vp9"], "--encoder"),
    (["--rtsp-port", "65536"], "--rtsp-port"),
    (["--max-clients", "0"], "--max-clients"),
    (["stray"], "stray"),
])
def test_refused_start_is_a_usage_error(args, message):
    result = run([SERVE, *args])
    assert result.returncode == 2
    assert message in result.stderr and "--help" in result.stderr
    assert result.stdout == ""


def test_help():
    result = run([SERVE, "--help"])
    assert result.returncode == 0
    assert result.stdout.startswith("usage: zorvgst-serve")
    for option in ["--bind", "--rtsp-port", "--http-port", "--token", "--encoder", "--max-clients"]:
        assert option in result.stdout


def test_localhost_is_the_ipv4_loopback_and_needs_no_token(children):
    server = children.start(SERVE, "--bind", "localhost", "--rtsp-port", "0", "--http-port", "0",
                            stdout=subprocess.PIPE)
    deadline = time.monotonic() + WAIT_S
    line = ""
    while not line and time.monotonic() < deadline:
        if select.select([server.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
            line = server.stdout.readline()
    started = re.search(r"HTTP http://localhost:(\d+)/", line)
    assert started and "token" not in line, line
    status, _, body = fetch(f"http://127.0.0.1:{started.group(1)}/api/buffers")
    assert status == 200 and b'"buffers"' in body
