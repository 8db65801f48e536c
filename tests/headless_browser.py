"""Headless Chromium driven over the DevTools protocol, with nothing but the
Python standard library: a minimal WebSocket client and a few protocol calls
(open a page, evaluate script, type text, take a screenshot).
"""

import base64
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

# Debian's packages: the headless shell where the release has it, else the
# full browser in headless mode.
BROWSERS = (("chromium-headless-shell", []), ("chromium", ["--headless"]))


def find_browser():
    """(path, extra arguments) of an installed browser, or None."""
    for name, extra in BROWSERS:
        path = shutil.which(name)
        if path:
            return path, extra
    return None


class BrowserError(Exception):
    pass


class _WebSocket:
    """Text frames over one client connection (RFC 6455), enough for DevTools."""

    def __init__(self, url, timeout):
        parts = urllib.parse.urlsplit(url)
        self.sock = socket.create_connection((parts.hostname, parts.port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {parts.path} HTTP/1.1\r\nHost: {parts.hostname}:{parts.port}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise BrowserError("the browser closed the DevTools connection")
            head += chunk
        head, self.pending = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise BrowserError(f"no WebSocket from the browser: {head[:200]!r}")

    def _read(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(max(65536, n - len(self.pending)))
            if not chunk:
                raise BrowserError("the browser closed the DevTools connection")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def send(self, text):
        payload = text.encode()
        n = len(payload)
        if n < 126:
            head = struct.pack("!BB", 0x81, 0x80 | n)
        elif n < 65536:
            head = struct.pack("!BBH", 0x81, 0x80 | 126, n)
        else:
            head = struct.pack("!BBQ", 0x81, 0x80 | 127, n)
        mask = os.urandom(4)
        masked = (int.from_bytes(payload, "big") ^
                  int.from_bytes((mask * (n // 4 + 1))[:n], "big")).to_bytes(n, "big")
        self.sock.sendall(head + mask + masked)

    def receive(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                raise BrowserError("the browser closed the DevTools connection")
            if opcode in (0x9, 0xA):  # ping, pong: nothing to do for a client this short-lived
                continue
            message += payload
            if b0 & 0x80:
                return message.decode("utf-8")

    def close(self):
        self.sock.close()


class Browser:
    """One headless browser with one page; use as a context manager."""

    def __init__(self, binary, extra_args=(), width=1400, height=1000, timeout=60):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="qrn-browser-")
        self.log = open(os.path.join(self.profile, "stderr.log"), "wb")
        self.proc = subprocess.Popen(
            [binary, *extra_args, "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--no-first-run", "--remote-debugging-port=0", "--remote-debugging-address=127.0.0.1",
             f"--user-data-dir={self.profile}", f"--window-size={width},{height}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=self.log, start_new_session=True)
        self.ws = None
        self.next_id = 0
        try:
            self._attach()
        except BaseException:
            self.close()
            raise

    def _attach(self):
        active = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.timeout
        while not os.path.exists(active) or os.path.getsize(active) == 0:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise BrowserError(f"the browser did not start: {self.stderr_tail()}")
            time.sleep(0.05)
        time.sleep(0.05)  # the file is written before the port is filled in at times
        with open(active) as f:
            port = int(f.readline())
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=self.timeout) as r:
            targets = json.load(r)
        pages = [t for t in targets if t.get("type") == "page"]
        if not pages:
            raise BrowserError(f"no page in the browser: {targets}")
        self.ws = _WebSocket(pages[0]["webSocketDebuggerUrl"], self.timeout)

    def stderr_tail(self):
        try:
            with open(os.path.join(self.profile, "stderr.log"), "rb") as f:
                return f.read()[-600:].decode("utf-8", "replace")
        except OSError:
            return ""

    def call(self, method, **params):
        self.next_id += 1
        my_id = self.next_id
        self.ws.send(json.dumps({"id": my_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.receive())
            if message.get("id") != my_id:
                continue  # an event
            if "error" in message:
                raise BrowserError(f"{method}: {message['error']}")
            return message.get("result", {})

    def evaluate(self, expression):
        """The value of a script expression (awaited when it is a promise)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError(f"script failed: {text}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=None, what=None):
        """Polls a script expression until it is truthy; returns its value."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError(f"timed out waiting for {what or expression}")
            time.sleep(0.1)

    def open(self, url):
        self.call("Page.enable")
        self.call("Page.navigate", url=url)

    def type_text(self, selector, text):
        """Focuses the element and types as a keyboard would (input events fire)."""
        self.evaluate(f"(() => {{ const e = document.querySelector({json.dumps(selector)});"
                      " e.focus(); e.select(); return true; })()")
        self.call("Input.insertText", text=text)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        if self.ws is not None:
            self.ws.close()
            self.ws = None
        # Debian's chromium-headless-shell is a shell script that does not
        # exec: the browser is its child. Both lead their own process group,
        # which goes as a whole.
        self._signal_group(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        deadline = time.monotonic() + 10
        while self._group_alive() and time.monotonic() < deadline:
            time.sleep(0.05)
        self._signal_group(signal.SIGKILL)
        self.proc.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def _signal_group(self, sig):
        try:
            os.killpg(self.proc.pid, sig)
        except ProcessLookupError:
            pass

    def _group_alive(self):
        try:
            os.killpg(self.proc.pid, 0)
            return True
        except ProcessLookupError:
            return False
        except PermissionError:
            return True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
