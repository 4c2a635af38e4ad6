# SPDX-License-Identifier: LGPL-2.1-or-later
# The buffers of the machine as Python sees them: the CLI's listing, writers that were killed,
# removal, and the library's log lines that removal produces.
import json
import logging
import os
import signal
import subprocess

import numpy as np
import pytest
from conftest import SHM_TOOL, WAIT_S, wait_until

import zorvgst

BACKENDS = ["posix", "sysv"]


def listed(name: str):
    """The list_buffers() entry of `name`; None when it is not listed."""
    return next((entry for entry in zorvgst.list_buffers() if entry["name"] == name), None)


@pytest.mark.parametrize("backend", BACKENDS)
def test_list_buffers_matches_the_cli_listing(buffer_name, backend):
    with zorvgst.Writer(buffer_name, 8, 4, backend) as writer:
        writer.write(np.zeros((4, 8, 4), np.uint8))
        cli = subprocess.run([SHM_TOOL, "list", "--json"], capture_output=True, text=True,
                             timeout=WAIT_S, check=True)
        ours = listed(buffer_name)
    theirs = next(entry for entry in json.loads(cli.stdout)["buffers"]
                  if entry["name"] == buffer_name)
    assert ours.keys() == theirs.keys()
    # Everything but the age, which grows between the two listings.
    assert ours.pop("age_ms") >= 0 and theirs.pop("age_ms") >= 0
    assert ours == theirs
    assert (ours["backend"], ours["width"], ours["height"]) == (backend, 8, 4)
    assert (ours["owner_pid"], ours["owner_alive"], ours["frame_count"]) == (os.getpid(), True, 1)


WRITE_UNTIL_KILLED = """
import sys, time, numpy, zorvgst
writer = zorvgst.Writer(sys.argv[1], 8, 4, sys.argv[2])
while True:
    writer.write(numpy.zeros((4, 8, 4), numpy.uint8))
    time.sleep(0.02)
"""


@pytest.mark.parametrize("backend", BACKENDS)
def test_buffer_of_a_killed_writer_is_listed_dead_and_expired(buffer_name, children, backend):
    child = children.python(WRITE_UNTIL_KILLED, buffer_name, backend)
    wait_until(lambda: (listed(buffer_name) or {}).get("frame_count"), "the child's frames")
    assert listed(buffer_name)["owner_pid"] == child.pid
    with pytest.raises(zorvgst.Error, match="live process"):
        zorvgst.Writer(buffer_name, 8, 4, backend)

    child.send_signal(signal.SIGKILL)
    assert child.wait(timeout=WAIT_S) == -signal.SIGKILL
    entry = listed(buffer_name)
    assert entry["owner_alive"] is False and entry["backend"] == backend

    would_go = zorvgst.expire([buffer_name], dry_run=True)
    assert [e["name"] for e in would_go] == [buffer_name]
    assert listed(buffer_name) is not None
    expired = zorvgst.expire(buffer_name)
    assert [e["name"] for e in expired] == [buffer_name]
    assert listed(buffer_name) is None
    assert not os.path.exists(f"/dev/shm/{buffer_name}")
    with pytest.raises(zorvgst.Error, match="no such buffer"):
        zorvgst.expire([buffer_name])


def test_library_log_lines_reach_python_logging(buffer_name, caplog):
    zorvgst.Writer(buffer_name, 8, 4, "sysv").close()
    with caplog.at_level(logging.WARNING, logger="zorvgst"):
        zorvgst.remove(buffer_name)  # a System V segment's removal is worth a warning
    removal = [r for r in caplog.records if buffer_name in r.getMessage()]
    assert [(r.name, r.levelno) for r in removal] == [("zorvgst", logging.WARNING)]
    assert "Removing Double Buffer Shm" in removal[0].getMessage()
    with pytest.raises(zorvgst.Error, match="no double buffer"):
        zorvgst.remove(buffer_name)
