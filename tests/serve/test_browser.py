# SPDX-License-Identifier: LGPL-2.1-or-later
# The status page in a real browser (headless Chromium): one live thumbnail per buffer, double
# buffer or frame ring, cards that come and go with the buffers, no console errors.
import json
import shutil
import urllib.parse

import cv2
import numpy as np
import pytest
from conftest import colour_distance, wait_until
from devtools import Page

import zorvgst

RED = (40, 40, 210)
BLUE = (200, 90, 30)
GREEN = (60, 170, 60)
# Thumbnails are scaled JPEGs drawn into the page: a little further from the colour than a frame.
THUMBNAIL_TOLERANCE = 20

pytestmark = pytest.mark.skipif(shutil.which("chromium") is None,
                                reason="needs Debian's chromium (scripts/deps.sh installs it)")


@pytest.fixture
def page(children, tmp_path):
    opened = Page(children, tmp_path / "profile", 1280, 760)
    try:
        yield opened
    finally:
        opened.close()


def thumbnails(page: Page, name: str) -> list:
    """Where the images of `name` that the page shows are, in the page's CSS pixels."""
    path_end = json.dumps("/" + urllib.parse.quote(name) + ".jpg")
    return page.evaluate(f"""
        Array.from(document.images)
            .filter(i => i.isConnected && i.complete && i.naturalWidth > 0 &&
                         new URL(i.src).pathname.endsWith({path_end}))
            .map(i => {{ const r = i.getBoundingClientRect();
                         return {{x: r.x + scrollX, y: r.y + scrollY,
                                  width: r.width, height: r.height}}; }})""")


def shows(page: Page, name: str, colour) -> bool:
    """Whether the page shows one thumbnail of `name`, and the middle of it is `colour`."""
    boxes = thumbnails(page, name)
    if len(boxes) != 1:
        return False
    box = boxes[0]
    middle = {"x": box["x"] + box["width"] / 4, "y": box["y"] + box["height"] / 4,
              "width": box["width"] / 2, "height": box["height"] / 2}
    shown = cv2.imdecode(np.frombuffer(page.screenshot(middle), np.uint8), cv2.IMREAD_COLOR)
    return colour_distance(shown, colour) <= THUMBNAIL_TOLERANCE


def errors_about(page: Page, *names: str) -> list:
    """The page's errors, but for failed thumbnails of buffers other than `names`: those come
    and go with other programs of the machine, and may vanish between listing and loading."""
    def elsewhere(error: str) -> bool:
        return "/snapshot/" in error and not any(f"/snapshot/{n}.jpg" in error for n in names)

    return [error for error in page.errors() if not elsewhere(error)]


def test_page_shows_one_live_thumbnail_per_buffer(serve, solid, page, tmp_path):
    server = serve()
    changing = solid(640, 360, RED, BLUE, period=2.0)
    # A frame ring of YUV frames beside the double buffer: its thumbnail is converted.
    steady = solid(480, 360, GREEN, fmt="NV12")
    page.load(server.http("/"))

    for writer in (changing, steady):
        wait_until(lambda: len(thumbnails(page, writer.name)) == 1, f"{writer.name}'s thumbnail")
    wait_until(lambda: shows(page, steady.name, GREEN), "the steady buffer's colour")
    # One page load, two moments: the thumbnail follows the writer by itself.
    wait_until(lambda: shows(page, changing.name, RED), "red in the changing thumbnail")
    wait_until(lambda: shows(page, changing.name, BLUE), "blue in the changing thumbnail")
    wait_until(lambda: shows(page, changing.name, RED), "red again")
    text = page.evaluate("document.body.innerText")
    for writer in (changing, steady):
        assert server.rtsp(writer.name) in text
    assert "owner alive" in text
    assert "double buffer of BGRA frames" in text
    assert "ring of NV12 frames, 0 held by readers" in text

    # Kept in the run's scratch folder (the build tree's pytest-tmp), to look at.
    (tmp_path / "serve-status.png").write_bytes(page.screenshot())
    assert errors_about(page, changing.name, steady.name) == []


def test_page_follows_buffers_that_come_and_go(serve, solid, page):
    server = serve()
    page.load(server.http("/"))
    newcomer = solid(320, 240, GREEN)
    wait_until(lambda: shows(page, newcomer.name, GREEN), "the new buffer's card")
    assert errors_about(page, newcomer.name) == []

    newcomer.stop()
    zorvgst.remove(newcomer.name)
    wait_until(lambda: page.evaluate(
        f"!document.body.innerText.includes({json.dumps(newcomer.name)})"),
        "the removed buffer's card to go")
    # Thumbnails asked for between the removal and the next listing fail, and that is all.
    assert errors_about(page) == []
