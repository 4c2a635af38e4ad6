# SPDX-License-Identifier: LGPL-2.1-or-later
# Pictures encoded on worker threads: snapshots show the frame written before them even while
# streams keep the encoder busy, widths asked for at once each get theirs, viewers of one frame
# get whole pictures, and clients that leave mid-encoding or a stop mid-encoding harm nothing.
import http.client
import socket
import threading
import time

import numpy as np
from conftest import (CODEC_TOLERANCE, WAIT_S, assert_colour, colour_distance, decode_jpeg, fetch,
                      mjpeg_parts)

import zorvgst

COLOURS = [(150, 40, 120), (40, 140, 230), (170, 150, 30), (20, 200, 60)]
WIDTH, HEIGHT = 1920, 1080


def solid_frame(colour, width=WIDTH, height=HEIGHT) -> np.ndarray:
    frame = np.empty((height, width, 4), np.uint8)
    frame[..., :3] = colour
    frame[..., 3] = 255
    return frame


class StreamReader(threading.Thread):
    """Reads one MJPEG stream until told to stop, keeping the parts it received."""

    def __init__(self, port: int, name: str) -> None:
        super().__init__(daemon=True)
        self.port, self.name = port, name
        self.parts = []
        self.stop = threading.Event()
        self.status = None

    def run(self) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_S)
        try:
            connection.request("GET", f"/stream/{self.name}.mjpeg")
            response = connection.getresponse()
            self.status = response.status
            for part in mjpeg_parts(response):
                self.parts.append(part)
                if self.stop.is_set():
                    break
        finally:
            connection.close()


def test_snapshots_are_of_the_frame_written_before_them_while_streams_encode(serve, names):
    server = serve()
    name = names()
    with zorvgst.Writer(name, WIDTH, HEIGHT) as writer:
        writer.write(solid_frame(COLOURS[0]))
        # Streams of the full size keep a picture of that size being encoded most of the time:
        # a snapshot must not be answered with one whose reading began before its request.
        readers = [StreamReader(server.http_port, name) for _ in range(3)]
        for reader in readers:
            reader.start()
        try:
            for turn in range(8):
                colour = COLOURS[turn % len(COLOURS)]
                writer.write(solid_frame(colour))
                status, headers, body = fetch(server.http(f"/snapshot/{name}.jpg"))
                assert status == 200 and headers["content-type"] == "image/jpeg"
                image = decode_jpeg(body)
                assert image.shape == (HEIGHT, WIDTH, 3)
                assert_colour(image[::64, ::64], colour)
        finally:
            for reader in readers:
                reader.stop.set()
            # Two more frames: a reader sees a part once the next one begins.
            for colour in COLOURS[:2]:
                writer.write(solid_frame(colour))
                time.sleep(0.3)
            for reader in readers:
                reader.join(WAIT_S)
    assert not any(reader.is_alive() for reader in readers)
    assert all(reader.status == 200 and reader.parts for reader in readers)
    # The parts every viewer shares are whole pictures of frames that were written.
    for part in (part for reader in readers for part in reader.parts):
        pixels = decode_jpeg(part)[::64, ::64]
        assert any(colour_distance(pixels, colour) <= CODEC_TOLERANCE for colour in COLOURS)


def test_widths_asked_for_at_once_each_get_their_own(serve, names):
    server = serve()
    name = names()
    # More widths than the sources keep at once: each still answers its own request.
    widths = [32, 48, 64, 80, 96, 128, 160, 640]
    answers = {}

    def ask(width: int) -> None:
        answers[width] = fetch(server.http(f"/snapshot/{name}.jpg?width={width}"))

    with zorvgst.Writer(name, 640, 360) as writer:
        writer.write(solid_frame(COLOURS[1], 640, 360))
        for _ in range(2):
            askers = [threading.Thread(target=ask, args=(width,)) for width in widths]
            for asker in askers:
                asker.start()
            for asker in askers:
                asker.join(WAIT_S)
            for width in widths:
                status, _, body = answers[width]
                assert status == 200, width
                image = decode_jpeg(body)
                assert image.shape == (width * 360 // 640, width, 3)
                assert_colour(image, COLOURS[1])


def abandoned_requests(port: int, path: str, count: int) -> None:
    """Sends `count` requests for `path` and hangs up on each before its answer can come."""
    for _ in range(count):
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as connection:
            connection.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())


def test_clients_gone_before_their_picture_and_a_stop_mid_encoding_harm_nothing(serve, names):
    server = serve()
    name = names()
    with zorvgst.Writer(name, 3840, 2160) as writer:
        writer.write(solid_frame(COLOURS[2], 3840, 2160))
        abandoned_requests(server.http_port, f"/snapshot/{name}.jpg", 6)
        abandoned_requests(server.http_port, f"/snapshot/{name}.jpg?width=1000", 6)
        status, _, body = fetch(server.http(f"/snapshot/{name}.jpg?width=320"))
        assert status == 200
        assert_colour(decode_jpeg(body), COLOURS[2])
        assert fetch(server.http("/api/buffers"))[0] == 200
        # Stopped with pictures still queued and being encoded: the exit status must be 0.
        abandoned_requests(server.http_port, f"/snapshot/{name}.jpg", 4)
        server.stop()
