# SPDX-License-Identifier: LGPL-2.1-or-later
# The buffers over RTSP as players see them: codec, size and colour of what they decode (of double
# buffers and of frame rings of YUV frames), names that are not served, the token, the limit on
# players, writers that resize or restart, and a media's life after its last player.
import json
import pathlib
import time

import pytest
from conftest import WAIT_S, assert_colour, gauge, probe, probed_video, rtsp_frames, wait_until

import zorvgst
from solid_writer import SolidWriter

ORANGE = (40, 140, 230)
TEAL = (170, 150, 30)


@pytest.mark.parametrize("encoder, codec", [("x264", "h264"), ("jpeg", "mjpeg")])
def test_players_receive_the_writers_frames(serve, solid, tmp_path, encoder, codec):
    server = serve("--encoder", encoder)
    assert server.encoder == encoder
    # Started after the server: buffers that appear later are served without a restart.
    writer = solid(320, 240, ORANGE)
    url = server.rtsp(writer.name)

    video = probed_video(url)
    assert (video["codec_name"], video["width"], video["height"]) == (codec, 320, 240)
    frames = rtsp_frames(url, 320, 240, tmp_path)
    assert_colour(frames[-1], ORANGE)


@pytest.mark.parametrize("encoder, codec", [("x264", "h264"), ("jpeg", "mjpeg")])
@pytest.mark.parametrize("fmt", ["NV12", "I420"])
def test_players_receive_the_frames_of_a_yuv_ring(serve, solid, tmp_path, encoder, codec, fmt):
    server = serve("--encoder", encoder)
    writer = solid(320, 240, ORANGE, fmt=fmt)
    url = server.rtsp(writer.name)

    video = probed_video(url)
    assert (video["codec_name"], video["width"], video["height"]) == (codec, 320, 240)
    # Limited-range samples that reached a JPEG as they were would come out washed out.
    assert_colour(rtsp_frames(url, 320, 240, tmp_path)[-1], ORANGE)


def test_absent_buffer_is_not_found(serve, names):
    server = serve()
    result = probe(server.rtsp(names()))
    assert result.returncode != 0 and "404" in result.stderr


def test_token_is_required_from_players(serve, solid, tmp_path):
    server = serve("--token", "s3cret-token")
    assert "(token required)" in server.lines[-1]
    writer = solid(160, 120, TEAL)
    name = writer.name

    for credentials in ("", "zorvgst:wrong@"):
        result = probe(server.rtsp(name, credentials))
        assert result.returncode != 0 and "401" in result.stderr, credentials
    frames = rtsp_frames(server.rtsp(name, "zorvgst:s3cret-token@"), 160, 120, tmp_path)
    assert_colour(frames[-1], TEAL)


def probed_size(url: str):
    """Width and height a new player finds; None while the server has no stream to give."""
    result = probe(url)
    if result.returncode != 0:
        return None
    video = json.loads(result.stdout)["streams"][0]
    return video["width"], video["height"]


def test_writer_that_resizes_or_restarts_is_followed(serve, solid, tmp_path):
    server = serve()
    writer = solid(320, 240, ORANGE)
    name = writer.name
    url = server.rtsp(name)
    assert probed_size(url) == (320, 240)

    writer.resize(240, 160)
    wait_until(lambda: probed_size(url) == (240, 160), "the resized frames over RTSP")

    writer.stop()
    zorvgst.remove(name)
    restarted = SolidWriter(name, 160, 120, [TEAL]).start()
    try:
        wait_until(lambda: probed_size(url) == (160, 120), "the new writer's frames")
        assert_colour(rtsp_frames(url, 160, 120, tmp_path)[-1], TEAL)
    finally:
        restarted.stop()
    assert server.process.poll() is None


def test_players_beyond_the_limit_are_turned_away(serve, solid, children):
    server = serve("--max-clients", "1")
    writer = solid(160, 120, TEAL)
    url = server.rtsp(writer.name)
    player = children.start("gst-launch-1.0", "rtspsrc", f"location={url}", "latency=0",
                            "protocols=tcp", "!", "fakesink")
    wait_until(lambda: gauge(server, "zorvgst_clients", 'protocol="rtsp"') == 1, "the player")

    assert probe(url).returncode != 0
    assert gauge(server, "zorvgst_refused_clients_total", 'protocol="rtsp"') == 1
    player.kill()
    player.wait(timeout=WAIT_S)
    wait_until(lambda: gauge(server, "zorvgst_clients", 'protocol="rtsp"') == 0, "room again")
    assert probed_video(url)["width"] == 160


# How long the server keeps a media running after its last player left.
LINGER_S = 5


def media_mappings(pid: int, name: str, frame_bytes: int) -> set:
    """The server's mappings of `name` large enough to hold frames: those of a media's reader."""
    found = set()
    for line in pathlib.Path(f"/proc/{pid}/maps").read_text().splitlines():
        fields = line.split()
        if len(fields) >= 6 and fields[5].endswith("/" + name):
            start, end = (int(address, 16) for address in fields[0].split("-"))
            if end - start >= frame_bytes:
                found.add(fields[0])
    return found


def test_media_lingers_for_a_returning_player_and_then_goes(serve, solid, tmp_path):
    server = serve()
    writer = solid(320, 240, ORANGE)
    url = server.rtsp(writer.name)

    def mappings() -> set:
        return media_mappings(server.pid, writer.name, 320 * 240 * 4)

    assert not mappings()
    rtsp_frames(url, 320, 240, tmp_path)  # a player comes and goes
    kept = mappings()
    assert len(kept) == 1
    # Without a player, within the linger, the media keeps reading the buffer...
    for _ in range(15):
        assert mappings() == kept
        time.sleep(0.1)
    # ...and a player that comes back then is given that same media: it stays mapped throughout
    # (a media is shared while it runs; the reader may map the buffer anew for the new player).
    assert_colour(rtsp_frames(url, 320, 240, tmp_path)[-1], ORANGE)
    assert kept <= mappings()
    # Once the linger has passed without a player, the media is gone.
    left = time.monotonic()
    wait_until(lambda: not mappings(), "the media to go", timeout=LINGER_S + WAIT_S)
    assert time.monotonic() - left >= LINGER_S - 1.5
