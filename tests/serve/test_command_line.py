# SPDX-License-Identifier: LGPL-2.1-or-later
# zorvgst-serve's command line: what it refuses to start with, and its help.
import pytest
from conftest import SERVE, run


@pytest.mark.parametrize("args, message", [
    (["--bind", "0.0.0.0"], "--token"),
    (["--bind", "::"], "--token"),
    (["--bind", "192.0.2.1", "--token", ""], "--token"),
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
