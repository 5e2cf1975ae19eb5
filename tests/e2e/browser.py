"""Headless Chromium (Debian's package) driven over its DevTools protocol.

Only what the page tests need: open a page, evaluate JavaScript in it, wait
for a condition, click, and save a screenshot. The browser may reach loopback
only: every other host goes to a proxy that does not exist and no name is
resolved, so a test never sends traffic off the machine.
"""

import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request
from pathlib import Path

CHROMIUM = "/usr/bin/chromium"
FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
    "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--disable-extensions",
    "--disable-default-apps", "--mute-audio", "--hide-scrollbars",
    # Loopback is reached directly (Chromium never proxies it); anything else
    # goes to a closed port, and no name is looked up.
    "--proxy-server=http://127.0.0.1:9",
    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1",
    "--window-size=1360,1000",
]


class BrowserError(RuntimeError):
    pass


class _WebSocket:
    """A minimal client of an unencrypted WebSocket on loopback."""

    def __init__(self, url, timeout):
        assert url.startswith("ws://"), url
        hostport, _, path = url[5:].partition("/")
        host, _, port = hostport.partition(":")
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % (path, hostport, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise BrowserError("DevTools closed the connection during the handshake")
            head += chunk
        head, _, self.buf = head.partition(b"\r\n\r\n")
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise BrowserError("DevTools handshake refused: %r" % head[:200])

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise BrowserError("DevTools connection closed")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        if n < 126:
            head = struct.pack("!BB", 0x81, 0x80 | n)
        elif n < 1 << 16:
            head = struct.pack("!BBH", 0x81, 0x80 | 126, n)
        else:
            head = struct.pack("!BBQ", 0x81, 0x80 | 127, n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
        self.sock.sendall(head + mask + masked)

    def recv(self):
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
                raise BrowserError("DevTools closed the connection")
            if opcode in (0x9, 0xA):  # ping, pong: nothing to do for a short run
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Browser:
    """One headless Chromium with one page."""

    def __init__(self, timeout=30.0):
        if not os.access(CHROMIUM, os.X_OK):
            raise BrowserError("no %s (Debian's chromium package)" % CHROMIUM)
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="kvagent-chromium-")
        self.log = open(Path(self.profile) / "chromium.log", "w")
        self.proc = subprocess.Popen(
            [CHROMIUM, *FLAGS, "--remote-debugging-port=0",
             "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True)
        self.ws = None
        self.next_id = 0
        try:
            self._attach()
        except Exception:
            self.close()
            raise

    def _attach(self):
        port_file = Path(self.profile) / "DevToolsActivePort"
        deadline = time.time() + self.timeout
        while not port_file.exists() or not port_file.read_text().strip():
            if self.proc.poll() is not None or time.time() > deadline:
                raise BrowserError("Chromium did not start:\n" + self.output())
            time.sleep(0.1)
        port = int(port_file.read_text().split()[0])
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        while True:
            targets = json.load(opener.open("http://127.0.0.1:%d/json/list" % port, timeout=10))
            pages = [t for t in targets if t.get("type") == "page"]
            if pages:
                break
            if time.time() > deadline:
                raise BrowserError("Chromium has no page: %s" % targets)
            time.sleep(0.1)
        self.ws = _WebSocket(pages[0]["webSocketDebuggerUrl"], self.timeout)
        self.call("Page.enable")
        self.call("Runtime.enable")

    def output(self):
        self.log.flush()
        return (Path(self.profile) / "chromium.log").read_text(errors="replace")[-3000:]

    def call(self, method, **params):
        self.next_id += 1
        mid = self.next_id
        self.ws.send(json.dumps({"id": mid, "method": method, "params": params}))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == mid:
                if "error" in reply:
                    raise BrowserError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            # Events (console messages, loads) are not needed.

    def eval(self, expression):
        """The value of a JavaScript expression (a promise is awaited)."""
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                      awaitPromise=True)
        if "exceptionDetails" in r:
            raise BrowserError("%s: %s" % (expression[:80], r["exceptionDetails"]))
        return r["result"].get("value")

    def errors(self):
        """Script errors the page caught so far (see open())."""
        return self.eval("window.__errors || []")

    def open(self, url):
        self.call("Page.addScriptToEvaluateOnNewDocument", source=(
            "window.__errors = [];"
            "addEventListener('error', e => __errors.push(String(e.message)));"
            "addEventListener('unhandledrejection', e => __errors.push(String(e.reason)));"))
        nav = self.call("Page.navigate", url=url)
        if nav.get("errorText"):
            raise BrowserError("%s: %s" % (url, nav["errorText"]))
        self.wait("document.readyState === 'complete' && location.href.startsWith(%s)"
                  % json.dumps(url.split("#")[0]), what="the page to load")

    def wait(self, expression, timeout=None, what=None):
        """Polls until the expression is truthy; returns its value."""
        deadline = time.time() + (timeout or self.timeout)
        while True:
            value = self.eval(expression)
            if value:
                return value
            if time.time() > deadline:
                raise BrowserError("timed out waiting for %s" % (what or expression))
            time.sleep(0.2)

    def click(self, selector):
        if not self.eval("(() => { const e = document.querySelector(%s);"
                         " if (!e) return false; e.click(); return true; })()"
                         % json.dumps(selector)):
            raise BrowserError("nothing to click at %s" % selector)

    def screenshot(self, path):
        """The whole page as a PNG."""
        size = self.call("Page.getLayoutMetrics")["cssContentSize"]
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": 0, "y": 0, "width": size["width"],
                               "height": size["height"], "scale": 1})
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        Path(path).write_bytes(base64.b64decode(shot["data"]))
        return Path(path)

    def close(self):
        if self.ws is not None:
            try:
                self.call("Browser.close")
            except (BrowserError, OSError):
                pass
            self.ws.close()
            self.ws = None
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, 9)
            self.proc.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
