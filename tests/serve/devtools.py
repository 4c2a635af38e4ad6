# SPDX-License-Identifier: LGPL-2.1-or-later
# Headless Chromium driven over its DevTools protocol, with a websocket client of the standard
# library only: load a page, evaluate script in it, take screenshots, collect console errors.
from __future__ import annotations

import base64
import json
import os
import pathlib
import socket
import struct
import urllib.parse
import urllib.request
from typing import Dict, List, Optional

from conftest import WAIT_S, wait_until


class _Websocket:
    """Text messages over one client websocket (RFC 6455), blocking with a time-out."""

    def __init__(self, url: str) -> None:
        parts = urllib.parse.urlsplit(url)
        self._socket = socket.create_connection((parts.hostname, parts.port), timeout=WAIT_S)
        key = base64.b64encode(os.urandom(16)).decode()
        self._socket.sendall(
            f"GET {parts.path} HTTP/1.1\r\nHost: {parts.netloc}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            reply += self._receive(1)
        assert reply.startswith(b"HTTP/1.1 101"), reply

    def _receive(self, size: int) -> bytes:
        data = b""
        while len(data) < size:
            chunk = self._socket.recv(size - len(data))
            if not chunk:
                raise ConnectionError("the browser closed the DevTools connection")
            data += chunk
        return data

    def send(self, text: str) -> None:
        payload = text.encode()
        mask = os.urandom(4)
        if len(payload) < 126:
            head = struct.pack("!BB", 0x81, 0x80 | len(payload))
        elif len(payload) < 1 << 16:
            head = struct.pack("!BBH", 0x81, 0x80 | 126, len(payload))
        else:
            head = struct.pack("!BBQ", 0x81, 0x80 | 127, len(payload))
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self._socket.sendall(head + mask + masked)

    def receive(self) -> str:
        message = b""
        while True:
            first, second = self._receive(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack("!H", self._receive(2))[0]
            elif length == 127:
                length = struct.unpack("!Q", self._receive(8))[0]
            payload = self._receive(length)
            if first & 0x0F == 0x8:
                raise ConnectionError("the browser closed the DevTools connection")
            message += payload
            if first & 0x80:
                return message.decode()

    def close(self) -> None:
        self._socket.close()


class Page:
    """One tab of a headless Chromium that `children` started, `width` x `height` pixels."""

    def __init__(self, children, profile: pathlib.Path, width: int, height: int) -> None:
        self.browser = children.start(
            "chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--remote-debugging-port=0", f"--user-data-dir={profile}",
            f"--window-size={width},{height}", "--hide-scrollbars", "about:blank")
        port_file = profile / "DevToolsActivePort"
        wait_until(lambda: port_file.exists() and port_file.read_text().count("\n"),
                   "Chromium's DevTools port")
        port = int(port_file.read_text().split()[0])
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=WAIT_S) as reply:
            target = next(t for t in json.load(reply) if t["type"] == "page")
        self._socket = _Websocket(target["webSocketDebuggerUrl"])
        self._calls = 0
        self.events: List[Dict] = []
        for domain in ("Page", "Runtime", "Log"):
            self.call(f"{domain}.enable")

    def call(self, method: str, **params) -> Dict:
        """Sends one command and returns its result; events that come first are kept."""
        self._calls += 1
        self._socket.send(json.dumps({"id": self._calls, "method": method, "params": params}))
        while True:
            message = json.loads(self._socket.receive())
            if message.get("id") == self._calls:
                assert "error" not in message, f"{method}: {message['error']}"
                return message["result"]
            self.events.append(message)

    def load(self, url: str) -> None:
        self.call("Page.navigate", url=url)
        wait_until(lambda: self.evaluate("document.readyState") == "complete", f"{url} to load")

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")

    def screenshot(self, clip: Optional[Dict] = None) -> bytes:
        """PNG of the whole page, or of `clip` (x, y, width, height in CSS pixels of the page,
        scrolled out of view or not)."""
        if clip is None:
            width, height = self.evaluate("[document.documentElement.scrollWidth, "
                                          "document.documentElement.scrollHeight]")
            clip = {"x": 0, "y": 0, "width": width, "height": height}
        return base64.b64decode(self.call("Page.captureScreenshot", format="png",
                                          clip=dict(clip, scale=1),
                                          captureBeyondViewport=True)["data"])

    def errors(self) -> List[str]:
        """Uncaught exceptions, console.error() calls and the browser's own errors (refused
        loads, content security policy violations) so far."""
        self.evaluate("0")  # takes in the events that came meanwhile
        found = []
        for event in self.events:
            params = event.get("params", {})
            if event.get("method") == "Runtime.exceptionThrown":
                found.append(params["exceptionDetails"].get("text", "exception"))
            elif event.get("method") == "Runtime.consoleAPICalled" and params["type"] == "error":
                found.append(" ".join(str(a.get("value", a.get("description")))
                                      for a in params["args"]))
            elif event.get("method") == "Log.entryAdded" and params["entry"]["level"] == "error":
                found.append(f'{params["entry"]["text"]} {params["entry"].get("url", "")}'.strip())
        return found

    def close(self) -> None:
        self._socket.close()
