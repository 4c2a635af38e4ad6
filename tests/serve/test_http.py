# SPDX-License-Identifier: LGPL-2.1-or-later
# The HTTP side: the JSON listing, snapshots (of double buffers and of frame rings of YUV frames),
# MJPEG streams, metrics, the page's headers and files, and what it refuses: unknown names, path
# escapes, requests without the token, changes.
import http.client
import json
import os
import pathlib
import subprocess
import urllib.parse

import numpy as np
import pytest
from conftest import (SHM_TOOL, WAIT_S, assert_colour, decode_jpeg, fetch, gauge, mjpeg_parts,
                      wait_for_server_looks, wait_until)

import zorvgst
from solid_writer import yuv_planes

PURPLE = (150, 40, 120)
ORANGE = (40, 140, 230)
TOKEN = "t0ken-of-the-test"
STATUS_PAGE_DIR = pathlib.Path(__file__).resolve().parents[2] / "tools" / "serve" / "status_page"


def test_api_buffers_is_the_cli_listing(serve, names):
    server = serve()
    mine = [names(), names()]
    writers = [zorvgst.Writer(name, 64, 48, backend)
               for name, backend in zip(mine, ["posix", "sysv"])]
    try:
        for writer in writers:
            writer.write(np.zeros((48, 64, 4), np.uint8))
        status, headers, body = fetch(server.http("/api/buffers"))
        cli = subprocess.run([SHM_TOOL, "list", "--json"], capture_output=True, text=True,
                             timeout=WAIT_S, check=True)
    finally:
        for writer in writers:
            writer.close()
    assert status == 200 and headers["content-type"].startswith("application/json")
    served, listed = json.loads(body), json.loads(cli.stdout)
    assert served.keys() == listed.keys() == {"buffers"}

    def ours(listing):
        # Other buffers of the machine come and go meanwhile; the age grows between the two.
        entries = [dict(e) for e in listing["buffers"] if e["name"] in mine]
        for entry in entries:
            assert entry.pop("age_ms") >= 0
        return entries

    assert ours(served) == ours(listed)
    assert [e["name"] for e in ours(served)] == sorted(mine)


def test_snapshot_is_the_newest_frame_as_jpeg(serve, solid, children):
    # A GLib critical (a message released twice, say) ends the server, which must exit cleanly.
    children.env["G_DEBUG"] = "fatal-criticals"
    server = serve()
    writer = solid(320, 240, PURPLE)
    status, headers, body = fetch(server.http(f"/snapshot/{writer.name}.jpg"))
    assert status == 200 and headers["content-type"] == "image/jpeg"
    assert headers["cache-control"] == "no-store"
    image = decode_jpeg(body)
    assert image.shape == (240, 320, 3)
    assert_colour(image, PURPLE)

    status, _, body = fetch(server.http(f"/snapshot/{writer.name}.jpg?width=32"))
    assert status == 200 and decode_jpeg(body).shape == (24, 32, 3)


@pytest.mark.parametrize("fmt", ["NV12", "I420"])
def test_snapshot_of_a_yuv_ring_is_its_frame_as_jpeg(serve, names, fmt):
    server = serve()
    name = names()
    # Two halves: chroma planes read from the wrong place would not give both colours back.
    picture = np.empty((240, 320, 3), np.uint8)
    picture[:120], picture[120:] = PURPLE, ORANGE
    with zorvgst.Writer(name, 320, 240, format=fmt) as writer:
        writer.write(yuv_planes(picture, fmt))
        status, headers, body = fetch(server.http(f"/snapshot/{name}.jpg"))
        small_status, _, small = fetch(server.http(f"/snapshot/{name}.jpg?width=32"))
    assert status == 200 and headers["content-type"] == "image/jpeg"
    image = decode_jpeg(body)
    assert image.shape == (240, 320, 3)
    # Away from the edge, which JPEG blocks and chroma subsampling blur.
    assert_colour(image[8:104], PURPLE)
    assert_colour(image[136:232], ORANGE)
    assert small_status == 200 and decode_jpeg(small).shape == (24, 32, 3)


def test_api_buffers_gives_kind_format_and_lease_holders(serve, names):
    server = serve()
    ring_name, plain_name = names(), names()
    with zorvgst.Writer(ring_name, 64, 48, format="NV12") as ring_writer, \
            zorvgst.Writer(plain_name, 64, 48) as plain_writer, \
            zorvgst.Reader(ring_name) as reader:
        ring_writer.write(yuv_planes(np.zeros((48, 64, 3), np.uint8), "NV12"))
        plain_writer.write(np.zeros((48, 64, 4), np.uint8))
        with reader.frame(timeout=WAIT_S) as held:
            assert held is not None and held.leased
            status, _, body = fetch(server.http("/api/buffers"))
    assert status == 200
    listed = {entry["name"]: entry for entry in json.loads(body)["buffers"]}
    ring, plain = listed[ring_name], listed[plain_name]
    assert (ring["kind"], ring["format"], ring["leases"]) == ("ring", "NV12", 1)
    assert ring["lease_holders"] == [{"pid": os.getpid(), "alive": True, "count": 1}]
    assert ring["ring"]["slots"] == ring["ring"]["readers"] * ring["ring"]["leases_per_reader"] + 2
    assert (ring["width"], ring["height"], ring["ready"]) == (64, 48, True)
    assert (plain["kind"], plain["format"], plain["leases"], plain["lease_holders"],
            plain["ring"]) == ("double-buffer", "BGRA", 0, [], None)


def read_stream(server, name: str, parts: int, size, colour) -> None:
    """Reads the first `parts` frames of `name`'s MJPEG stream, then leaves mid-stream."""
    connection = http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=WAIT_S)
    try:
        connection.request("GET", f"/stream/{name}.mjpeg")
        response = connection.getresponse()
        assert response.status == 200
        assert response.getheader("Content-Type").startswith("multipart/x-mixed-replace")
        assert response.getheader("Cache-Control") == "no-store"
        received = mjpeg_parts(response)
        for _ in range(parts):
            image = decode_jpeg(next(received, b""))
            assert image.shape == size + (3,)
            assert_colour(image, colour)
        assert gauge(server, "zorvgst_clients", 'protocol="http_stream"') == 1
    finally:
        connection.close()


def test_mjpeg_stream_delivers_frames_until_the_client_leaves(serve, solid):
    server = serve()
    writer = solid(160, 120, PURPLE)
    wait_for_server_looks(server, writer.name)
    read_stream(server, writer.name, 5, (120, 160), PURPLE)
    wait_until(lambda: gauge(server, "zorvgst_clients", 'protocol="http_stream"') == 0,
               "the stream's client to be gone")


def test_stream_of_a_buffer_that_just_appeared(serve, solid):
    server = serve()
    # Asked for at once: servable, though the server's last look at the inventory missed it.
    writer = solid(160, 120, PURPLE)
    read_stream(server, writer.name, 2, (120, 160), PURPLE)


def test_mjpeg_stream_of_a_ring(serve, solid):
    server = serve()
    writer = solid(160, 120, ORANGE, fmt="NV12")
    read_stream(server, writer.name, 3, (120, 160), ORANGE)


@pytest.mark.parametrize("path", [
    "/snapshot/{absent}.jpg",
    "/stream/{absent}.mjpeg",
    "/snapshot/..%2F..%2Fetc%2Fpasswd.jpg",
    "/snapshot/%2Fdev%2Fshm%2F{name}.jpg",
    "/snapshot/..%2F{name}.jpg",
    "/stream/{name}%00.mjpeg",
    "/snapshot/{name}.png",
    "/nowhere",
])
def test_unknown_names_and_path_escapes_are_not_found(serve, solid, names, path):
    server = serve()
    writer = solid(32, 24, PURPLE)
    status, _, _ = fetch(server.http(path.format(absent=names(), name=writer.name)))
    assert status == 404


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH"])
def test_requests_cannot_change_a_buffer(serve, solid, method):
    server = serve()
    writer = solid(32, 24, PURPLE)
    for path in ["/api/buffers", f"/snapshot/{writer.name}.jpg", f"/stream/{writer.name}.mjpeg"]:
        assert fetch(server.http(path), method=method)[0] == 405, path
    assert any(e["name"] == writer.name for e in zorvgst.list_buffers())
    assert fetch(server.http(f"/snapshot/{writer.name}.jpg"))[0] == 200


def test_metrics_have_each_buffers_series(serve, solid):
    server = serve()
    writer = solid(32, 24, PURPLE, fps=50)
    label = f'buffer="{writer.name}"'
    # The server looks at the inventory once a second; the rate needs two looks.
    wait_until(lambda: gauge(server, "zorvgst_buffer_fps", label) > 0, "a frame rate")
    assert gauge(server, "zorvgst_buffer_frames_total", label) >= 2
    assert gauge(server, "zorvgst_buffer_owner_alive", label) == 1
    assert 0 <= gauge(server, "zorvgst_buffer_age_seconds", label) < 5
    assert gauge(server, "zorvgst_clients", 'protocol="rtsp"') == 0


def test_status_page_headers(serve):
    server = serve()
    status, headers, body = fetch(server.http("/"))
    assert status == 200 and headers["content-type"].startswith("text/html")
    assert headers["cache-control"] == "no-store"
    assert "default-src" in headers["content-security-policy"]
    assert b"<html" in body.lower()


def status_page_file(name: str) -> bytes:
    """A file of the status page as the sources hold it, less its licence line."""
    licence, rest = (STATUS_PAGE_DIR / name).read_bytes().split(b"\n", 1)
    assert b"SPDX-License-Identifier" in licence
    return rest


def test_status_page_serves_its_files_and_links_them_with_the_token(serve):
    token = "a b/c&d"  # escaped in the links
    server = serve("--token", token)
    query = "?token=" + urllib.parse.quote(token, safe="")
    status, headers, page = fetch(server.http("/" + query))
    assert status == 200
    assert page == status_page_file("index.html").replace(b"{{asset_query}}", query.encode())
    assert f'href="/style.css{query}"'.encode() in page
    assert f'src="/app.js{query}"'.encode() in page
    for name, kind in [("app.js", "text/javascript"), ("style.css", "text/css")]:
        status, asset_headers, body = fetch(server.http(f"/{name}{query}"))
        assert status == 200 and asset_headers["content-type"] == f"{kind}; charset=utf-8"
        assert asset_headers["content-security-policy"] == headers["content-security-policy"]
        assert body and body == status_page_file(name), name


def status_of(server, path: str, headers=None) -> int:
    """The status line's code alone: a stream that is let in never ends."""
    connection = http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=WAIT_S)
    try:
        connection.request("GET", path, headers=headers or {})
        return connection.getresponse().status
    finally:
        connection.close()


@pytest.mark.parametrize("path", ["/", "/api/buffers", "/metrics", "/snapshot/{name}.jpg",
                                  "/stream/{name}.mjpeg"])
def test_token_is_required_from_loopback_too(serve, solid, path):
    server = serve("--token", TOKEN)
    writer = solid(32, 24, PURPLE)
    path = path.format(name=writer.name)
    for refused in [{}, {"Authorization": "Bearer wrong"}, {"Authorization": f"Basic {TOKEN}"}]:
        assert status_of(server, path, refused) == 401, refused
    assert status_of(server, path + "?token=wrong") == 401
    assert status_of(server, path, {"Authorization": f"Bearer {TOKEN}"}) == 200
    assert status_of(server, path + f"?token={TOKEN}") == 200


def test_streams_beyond_the_limit_are_turned_away(serve, solid):
    server = serve("--max-clients", "2")
    writer = solid(32, 24, PURPLE)
    wait_for_server_looks(server, writer.name)
    connections = [http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=WAIT_S)
                   for _ in range(3)]
    try:
        statuses = []
        for connection in connections:
            connection.request("GET", f"/stream/{writer.name}.mjpeg")
            response = connection.getresponse()
            statuses.append(response.status)
            if response.status == 200:
                next(mjpeg_parts(response))  # streaming before the next one asks
        assert statuses == [200, 200, 503]
        assert fetch(server.http(f"/snapshot/{writer.name}.jpg"))[0] == 200
    finally:
        for connection in connections:
            connection.close()
