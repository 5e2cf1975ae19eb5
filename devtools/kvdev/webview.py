#!/usr/bin/python3
"""The development server's page: a live console of what the agents report.

  devserver.py web --record FILE --control SOCK [--host 127.0.0.1] [--port 8080]
                   [--any-port-if-busy] [--url-file FILE]

Serves one page (kvdev/web/) on plain HTTP: every device that logged in, with
its state, hash rate, hottest chip, fans, pools, last report and number of
connections, updating live; per device, charts of the hash rate and of each
chain's chip temperature over the last minutes, its recent messages both
ways, and buttons that send "status", "start_mining", "stop_mining" and a
"config_pools" form.

It runs beside `devserver.py serve` rather than inside it: the server runs in
the device's (or the farm's) network namespace, where a browser on the host
does not reach it, while its record and its control socket are files. So the
page shows exactly what the server recorded (the record is followed as it
grows, as demoview does; a server restart appends a "listening" line and
starts the connection numbers over), and a button sends through the control
socket, the same path as devctl.py.

  GET  /                 the page (index.html, app.js, style.css)
  GET  /api/devices      {"version", "now", "server", "devices": [summary...]}
  GET  /api/device?id=X  one device: its summary, "history" of
                         [t, hash rate GH/s, [chip temperature per chain]],
                         "messages" (newest
                         last; "reply": an agent's {"type", "ok"} answer),
                         "pool_config" (the pools it last uploaded)
  GET  /api/events       server-sent events: "data: VERSION" whenever the
                         record brought something new (at most twice a second)
  POST /api/send         {"device": ID, "message": {"type": T, ...}} with T one
                         of the four above -> the control socket's reply, plus
                         "t", the time just before it was sent, and "answers",
                         whether the agent answers that command (its request
                         schema's "x-reply"; "status" is not answered)

Requests must name the host as an address or "localhost" (a page of another
site that a name resolves to 127.0.0.1 gets nothing), and a POST must be JSON
from this page's own origin, so that no other page in the browser can make it
send commands.

Standard library only; run with Debian's /usr/bin/python3.
"""

import argparse
import collections
import errno
import ipaddress
import json
import os
import signal
import sys
import threading
import time
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from kvdev.demoview import Follower, hottest
from kvdev.devctl import DevCtl

WEB_DIR = Path(__file__).resolve().parent / "web"
FILES = {"/": ("index.html", "text/html; charset=utf-8"),
         "/index.html": ("index.html", "text/html; charset=utf-8"),
         "/app.js": ("app.js", "text/javascript; charset=utf-8"),
         "/style.css": ("style.css", "text/css; charset=utf-8")}

# What the page may send; anything else goes through devctl.py.
COMMANDS = ("status", "start_mining", "stop_mining", "config_pools")
POLL = 0.2
HISTORY_SECONDS = 15 * 60
MESSAGES_KEPT = 80
TEXT_LIMIT = 2000
EVENT_GAP = 0.5
KEEPALIVE = 15.0
MAX_BODY = 64 * 1024


def log(text):
    print("[web %s] %s" % (time.strftime("%H:%M:%S"), text), file=sys.stderr, flush=True)


def number(v):
    return v if isinstance(v, (int, float)) and not isinstance(v, bool) else None


def clip(text, limit=TEXT_LIMIT):
    return text if len(text) <= limit else text[:limit] + "...(%d chars)" % len(text)


def shown_text(msg):
    """A message as the list shows it: compact JSON, the API key shortened."""
    if isinstance(msg, dict) and isinstance(msg.get("api_key"), str) and len(msg["api_key"]) > 10:
        key = msg["api_key"]
        msg = dict(msg, api_key="%s...%s" % (key[:4], key[-4:]))
    return clip(json.dumps(msg, separators=(",", ":"), ensure_ascii=False))


def answered(command):
    """Whether the agent answers this command ({"type", "ok"}): its request
    schema's "x-reply" says so ("status" is taken and not answered)."""
    try:
        from kvdev import schemas  # needs python3-jsonschema
        return command in schemas.reply_types()
    except ImportError:
        return True


class Device:
    def __init__(self, dev_id):
        self.id = dev_id
        self.model = None
        self.firmware = None
        self.connected = False
        self.conn = None
        self.logins = 0
        self.status = None
        self.status_t = None
        self.metrics = None
        self.metrics_t = None
        self.history = collections.deque()
        self.pool_config = None  # the pools of its last configuration upload
        self.messages = collections.deque(maxlen=MESSAGES_KEPT)

    def note(self, t, direction, mtype, text, reply=False):
        self.messages.append({"t": t, "dir": direction, "type": mtype, "text": text,
                              "reply": reply})

    def summary(self):
        st = self.status if isinstance(self.status, dict) else {}
        mt = self.metrics if isinstance(self.metrics, dict) else {}
        state = st.get("state")
        pools = st.get("pools") if isinstance(st.get("pools"), dict) else None
        fans = [{"id": f.get("id"), "rpm": number(f.get("rpm")), "speed": number(f.get("speed"))}
                for f in mt.get("fans") or [] if isinstance(f, dict)]
        reports = [t for t in (self.status_t, self.metrics_t) if t is not None]
        return {
            "id": self.id, "model": self.model, "firmware": self.firmware,
            "connected": self.connected, "conn": self.conn, "connections": self.logins,
            "state": state.get("name") if isinstance(state, dict) else None,
            "uptime": number(st.get("uptime")),
            "ip": (st.get("network") or {}).get("ip") if isinstance(st.get("network"), dict)
            else None,
            "pools": pools, "status_t": self.status_t,
            "hash_rate": number(mt.get("hash_rate")),
            "hottest": hottest(mt), "fans": fans, "metrics_t": self.metrics_t,
            "last_report": max(reports) if reports else None,
        }

    def detail(self):
        out = self.summary()
        out["history"] = [list(h) for h in self.history]
        out["messages"] = list(self.messages)
        out["pool_config"] = self.pool_config
        return out


class Model:
    """What the record says so far, device by device."""

    def __init__(self):
        self.cond = threading.Condition()
        self.version = 0
        self.devices = {}
        self.conn_dev = {}  # connection number (this server run) -> device id
        self.server = {"listening": False, "host": None, "port": None,
                       "auth": None, "connections": 0, "runs": 0, "mode": None}

    def apply(self, rec):
        ev, t, conn = rec.get("event"), number(rec.get("t")), rec.get("conn")
        if ev == "listening":
            # A new server run: its connection numbers start over, and no
            # connection of the previous run is open any more.
            self.conn_dev = {}
            for d in self.devices.values():
                d.connected = False
            self.server.update(listening=True, host=rec.get("host"),
                               port=rec.get("port"), auth=rec.get("auth"),
                               runs=self.server["runs"] + 1, mode="normal")
            return
        if ev == "listen":
            self.server.update(mode=rec.get("mode"), listening=rec.get("mode") == "normal")
            return
        if ev == "connect":
            self.server["connections"] += 1
            self.conn_dev[conn] = None
            return
        if ev == "message":
            self.message(t, conn, rec)
            return
        dev = self.devices.get(self.conn_dev.get(conn))
        if dev is None:
            return
        if ev == "sent":
            text = rec.get("text")
            if not isinstance(text, str):  # raw bytes (send_bytes)
                text = "(%d base64 chars)" % len(rec.get("bytes") or "")
            try:
                msg = json.loads(text)
            except ValueError:
                msg = None
            mtype = msg.get("type") if isinstance(msg, dict) else None
            dev.note(t, "out", mtype, clip(text))
        elif ev == "close":
            dev.note(t, "close", None, "closed %s (started by %s)"
                     % (rec.get("code") if rec.get("code") is not None else "without a close frame",
                        rec.get("initiated_by")))
            if dev.conn == conn:
                dev.connected = False
        elif ev == "schema_violation":
            dev.note(t, "schema", rec.get("type"), clip("; ".join(map(str, rec.get("errors") or []))))

    def message(self, t, conn, rec):
        msg = rec.get("msg")
        if isinstance(msg, dict) and msg.get("type") == "auth" \
                and isinstance(msg.get("device_id"), str) and self.conn_dev.get(conn) is None:
            dev = self.devices.get(msg["device_id"])
            if dev is None:
                dev = self.devices[msg["device_id"]] = Device(msg["device_id"])
            dev.connected, dev.conn = True, conn
            dev.logins += 1
            dev.model = msg.get("model")
            fw = [msg.get("firmware_id"), msg.get("firmware_ver")]
            dev.firmware = " ".join(str(x) for x in fw if x) or None
            self.conn_dev[conn] = dev.id
        dev = self.devices.get(self.conn_dev.get(conn))
        if dev is None:
            return
        mtype = msg.get("type") if isinstance(msg, dict) else None
        reply = isinstance(msg, dict) and "ok" in msg and mtype != "auth"
        if msg is not None:
            text = shown_text(msg)
        elif rec.get("binary") is not None:
            text = "(binary, %d base64 chars)" % len(rec["binary"])
        else:
            text = clip(str(rec.get("raw", "")))
        dev.note(t, "in", mtype, text, reply)
        if mtype == "status":
            dev.status, dev.status_t = msg, t
        elif mtype == "update_config" and isinstance(msg.get("pools"), dict):
            dev.pool_config = msg["pools"]
        elif mtype == "metrics":
            dev.metrics, dev.metrics_t = msg, t
            temps = [number(c.get("chip_temp")) if isinstance(c, dict) else None
                     for c in msg.get("chains") or []]
            dev.history.append((t, number(msg.get("hash_rate")), temps))
            while dev.history and t is not None and dev.history[0][0] is not None \
                    and dev.history[0][0] < t - HISTORY_SECONDS:
                dev.history.popleft()

    def feed(self, lines):
        """Applies complete record lines; wakes the event streams."""
        changed = False
        with self.cond:
            for ln in lines:
                try:
                    rec = json.loads(ln)
                except ValueError:
                    continue
                if isinstance(rec, dict):
                    try:
                        self.apply(rec)
                    except Exception as exc:  # an odd line must not stop the page
                        log("record line left out (%s: %s)" % (type(exc).__name__, exc))
                    changed = True
            if changed:
                self.version += 1
                self.cond.notify_all()

    def snapshot(self):
        with self.cond:
            return {"version": self.version, "now": time.time(), "server": dict(self.server),
                    "devices": [self.devices[k].summary() for k in sorted(self.devices)]}

    def device(self, dev_id):
        with self.cond:
            dev = self.devices.get(dev_id)
            if dev is None:
                return None
            out = dev.detail()
            out.update(version=self.version, now=time.time())
            return out


def follow(model, record, stop):
    src = Follower(record)
    while not stop.is_set():
        lines = src.read_lines()
        if lines:
            model.feed(lines)
        stop.wait(POLL)


def local_host(host_header):
    """Whether the Host header names an address or localhost (not a name that
    another site could point at 127.0.0.1)."""
    if not host_header:
        return False
    host = host_header.strip()
    if host.startswith("["):
        host = host[1:host.find("]")] if "]" in host else ""
    elif host.count(":") == 1:
        host = host.rsplit(":", 1)[0]
    if host.lower() == "localhost":
        return True
    try:
        ipaddress.ip_address(host)
        return True
    except ValueError:
        return False


class Handler(BaseHTTPRequestHandler):
    server_version = "kvdev-web"
    model = None
    control = None
    stop = None

    def log_message(self, fmt, *args):  # quiet: the page polls
        pass

    def reply(self, code, body, ctype="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if not local_host(self.headers.get("Host")):
            return self.reply(HTTPStatus.FORBIDDEN, {"error": "unknown host"})
        url = urllib.parse.urlsplit(self.path)
        if url.path in FILES:
            name, ctype = FILES[url.path]
            return self.reply(HTTPStatus.OK, (WEB_DIR / name).read_bytes(), ctype)
        if url.path == "/api/devices":
            return self.reply(HTTPStatus.OK, self.model.snapshot())
        if url.path == "/api/device":
            dev_id = urllib.parse.parse_qs(url.query).get("id", [None])[0]
            detail = self.model.device(dev_id)
            if detail is None:
                return self.reply(HTTPStatus.NOT_FOUND, {"error": "no device %r" % dev_id})
            return self.reply(HTTPStatus.OK, detail)
        if url.path == "/api/events":
            return self.events()
        return self.reply(HTTPStatus.NOT_FOUND, {"error": "not found"})

    def events(self):
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        seen = None
        model = self.model
        try:
            while not self.stop.is_set():
                with model.cond:
                    model.cond.wait_for(lambda: model.version != seen or self.stop.is_set(),
                                        KEEPALIVE)
                    version = model.version
                if version != seen:
                    self.wfile.write(b"data: %d\n\n" % version)
                    seen = version
                else:
                    self.wfile.write(b": keepalive\n\n")
                self.wfile.flush()
                self.stop.wait(EVENT_GAP)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_POST(self):
        if not local_host(self.headers.get("Host")):
            return self.reply(HTTPStatus.FORBIDDEN, {"ok": False, "error": "unknown host"})
        origin = self.headers.get("Origin")
        if origin is not None and origin != "http://" + self.headers.get("Host", ""):
            return self.reply(HTTPStatus.FORBIDDEN, {"ok": False, "error": "foreign origin"})
        if self.path != "/api/send":
            return self.reply(HTTPStatus.NOT_FOUND, {"ok": False, "error": "not found"})
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip()
        if ctype != "application/json":
            return self.reply(HTTPStatus.UNSUPPORTED_MEDIA_TYPE,
                              {"ok": False, "error": "send JSON (application/json)"})
        try:
            size = int(self.headers.get("Content-Length", "0"))
            if not 0 < size <= MAX_BODY:
                raise ValueError("body of %d bytes" % size)
            req = json.loads(self.rfile.read(size))
            dev, msg = req["device"], req["message"]
            if not isinstance(dev, str) or not isinstance(msg, dict):
                raise ValueError("device must be a text and message an object")
        except (ValueError, KeyError, TypeError) as exc:
            return self.reply(HTTPStatus.BAD_REQUEST, {"ok": False, "error": "bad request: %s"
                                                       % exc})
        if msg.get("type") not in COMMANDS:
            return self.reply(HTTPStatus.BAD_REQUEST, {
                "ok": False, "error": "the page sends only %s" % ", ".join(COMMANDS)})
        t = time.time()
        try:
            with DevCtl(self.control, timeout=5.0, device=dev) as ctl:
                answer = ctl.send(msg, check=False)
        except (OSError, ValueError) as exc:
            return self.reply(HTTPStatus.BAD_GATEWAY, {
                "ok": False, "error": "control socket %s: %s" % (self.control, exc)})
        log("%s: sent %s: %s" % (dev, msg.get("type"), json.dumps(answer)))
        answer = dict(answer, t=t, answers=answered(msg["type"]))
        return self.reply(HTTPStatus.OK, answer)


def run(args):
    model = Model()
    stop = threading.Event()
    Handler.model, Handler.control, Handler.stop = model, args.control, stop
    try:
        httpd = ThreadingHTTPServer((args.host, args.port), Handler)
    except OSError as exc:
        if exc.errno != errno.EADDRINUSE or not args.any_port_if_busy:
            log("cannot listen on %s:%d: %s" % (args.host, args.port, exc))
            return 1
        log("port %d is taken; any free port instead" % args.port)
        httpd = ThreadingHTTPServer((args.host, 0), Handler)
    host, port = httpd.server_address[:2]
    url = "http://%s:%d/" % (host if ":" not in host else "[%s]" % host, port)
    reader = threading.Thread(target=follow, args=(model, args.record, stop), daemon=True,
                              name="record")
    reader.start()

    def on_signal(signum, frame):
        stop.set()
        threading.Thread(target=httpd.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.url_file:
        tmp = args.url_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(url + "\n")
        os.replace(tmp, args.url_file)
    log("page at %s (record %s, control %s)" % (url, args.record, args.control))
    try:
        httpd.serve_forever(poll_interval=0.5)
    finally:
        stop.set()
        httpd.server_close()
    log("stopped")
    return 0


def add_arguments(p):
    p.add_argument("--record", required=True, help="the server's record (JSON lines)")
    p.add_argument("--control", required=True, help="the server's control socket")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=8080, help="0: any free port")
    p.add_argument("--any-port-if-busy", action="store_true",
                   help="take any free port when --port is taken")
    p.add_argument("--url-file", help="write the page's address here once it listens")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    add_arguments(p)
    return run(p.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
