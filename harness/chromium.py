"""Headless Chromium driven over the DevTools protocol, with a websocket
client of the standard library's own sockets (enough for one local
connection: text frames, masked on the way out, possibly fragmented on the
way in).

    with Chromium() as browser:
        page = browser.page()
        seconds = page.load(path)
        page.evaluate("document.title")
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request
from pathlib import Path

STARTUP_SECONDS = 60
CALL_SECONDS = 120


def find_chromium():
    """The Chromium executable ($CHROMIUM, else chromium on the PATH), or None."""
    return os.environ.get("CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")


class WebSocket:
    def __init__(self, url, timeout=CALL_SECONDS):
        host, port, path = re.match(r"ws://([^:/]+):(\d+)(/.*)", url).groups()
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the browser closed the connection during the handshake")
            head += chunk
        head, self.buffer = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError(head.decode(errors="replace"))

    def send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        length = len(payload)
        if length < 126:
            header = struct.pack("!BB", 0x81, 0x80 | length)
        elif length < 1 << 16:
            header = struct.pack("!BBH", 0x81, 0x80 | 126, length)
        else:
            header = struct.pack("!BBQ", 0x81, 0x80 | 127, length)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def read(self, count):
        while len(self.buffer) < count:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("the browser closed the connection")
            self.buffer += chunk
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def receive(self):
        """The next whole text message."""
        message = b""
        while True:
            first, second = self.read(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack("!H", self.read(2))[0]
            elif length == 127:
                length = struct.unpack("!Q", self.read(8))[0]
            payload = self.read(length)
            opcode = first & 0x0F
            if opcode == 8:
                raise ConnectionError("the browser closed the connection")
            if opcode in (0, 1):
                message += payload
                if first & 0x80:
                    return message.decode()

    def close(self):
        self.sock.close()


class Page:
    """One tab: calls answered in order, events kept in `events`."""

    def __init__(self, url):
        self.socket = WebSocket(url)
        self.next_id = 0
        self.events = []

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.receive())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]
            if "method" in message:
                self.events.append(message)

    def wait_for(self, event, timeout=CALL_SECONDS):
        deadline = time.monotonic() + timeout
        while not any(e["method"] == event for e in self.events):
            if time.monotonic() > deadline:
                raise TimeoutError(event)
            message = json.loads(self.socket.receive())
            if "method" in message:
                self.events.append(message)

    def load(self, path, width=1200, height=900):
        """Opens the file; returns the seconds until its load event."""
        self.call("Page.enable")
        self.call("Network.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=False)
        self.events.clear()
        start = time.perf_counter()
        self.call("Page.navigate", url=Path(path).resolve().as_uri())
        self.wait_for("Page.loadEventFired")
        return time.perf_counter() - start

    def requests(self):
        """The URLs the page asked for since it was loaded."""
        return [e["params"]["request"]["url"] for e in self.events if e["method"] == "Network.requestWillBeSent"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, full_page=False):
        """PNG bytes of the viewport (or the whole page)."""
        return base64.b64decode(self.call("Page.captureScreenshot", format="png",
                                          captureBeyondViewport=full_page)["data"])

    def close(self):
        self.socket.close()


class Chromium:
    def __init__(self, executable=None):
        self.executable = executable or find_chromium()
        if self.executable is None:
            raise FileNotFoundError("chromium is not installed")

    def __enter__(self):
        self.profile = tempfile.mkdtemp(prefix="pretrain-chromium-")
        self.process = subprocess.Popen(
            [self.executable, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-dev-shm-usage", "--remote-debugging-port=0", f"--user-data-dir={self.profile}",
             "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
        deadline = time.monotonic() + STARTUP_SECONDS
        for line in self.process.stderr:
            found = re.search(r"DevTools listening on ws://([^/]+)/", line)
            if found:
                self.address = found.group(1)
                break
            if time.monotonic() > deadline:
                break
        else:
            self.__exit__()
            raise RuntimeError("chromium did not start")
        return self

    def page(self):
        with urllib.request.urlopen(f"http://{self.address}/json/list", timeout=CALL_SECONDS) as answer:
            targets = json.load(answer)
        return Page(next(t for t in targets if t["type"] == "page")["webSocketDebuggerUrl"])

    def __exit__(self, *exc):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)
