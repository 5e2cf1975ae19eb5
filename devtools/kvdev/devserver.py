#!/usr/bin/python3
"""Development management server: the agent's peer for tests and demos.

  devserver.py gen-certs --out DIR [--ca-name NAME] [--ca-dir DIR] [--expired|--not-yet-valid]
                         [--host NAME]
  devserver.py serve --port P --cert server.pem --key server.key
                     --record FILE --control SOCK
                     [--auth accept|refuse|register|silent]
                     [--refuse-message TEXT] [--host 127.0.0.1]
                     [--no-config-ack]
  devserver.py web --record FILE --control SOCK [--host 127.0.0.1] [--port 8080]
                   [--any-port-if-busy] [--url-file FILE]

`serve` speaks WebSocket over TLS on any path, with the subprotocol
"korvane-agent" and permessage-deflate. It answers the agent's first
{"type":"auth"} message according to the auth mode and records every event as
one JSON line in the record file. Like the real server, it acknowledges each
configuration upload ({"type":"update_config",...} from the agent) with
{"type":"update_config","ok":true}; --no-config-ack (or the control command
{"cmd":"set_config_ack","on":false}) leaves uploads unanswered. A unix socket
takes newline-delimited JSON commands (see devctl.py; their handlers are the
table ServerState.CONTROL) to send messages, change the auth mode or the
acknowledgement, close or drop the connection.

Many devices may be connected at once (a fleet). Connections are kept by the
device id of their login ("device_id" of the agent's auth message), with the
number of logins of each device. A command on a connection acts on the
latest connection, or, with "device": ID, on that device's; "status" lists
the devices ({"devices": {ID: {"connected", "logins"}}}).

Every message the peer sends is checked against the agent's message schemas
(protocol/schemas, through kvdev.schemas): a violation is logged on
stderr ("schema violation: status: ...") and recorded as a "schema_violation"
event with the message's type and the errors. Without python3-jsonschema the
server runs unchecked and says so once.

Faults for soak runs (control commands, all off by default):
  {"cmd":"listen","mode":M}  "normal" serves wss; "stop" stops listening
                             (connections refused); "reset" accepts and resets
                             each connection at once; "junk" accepts, writes
                             bytes that are not TLS and closes. Leaving
                             "normal" closes an open connection (1001). Each
                             connection turned away is recorded ("refused").
  {"cmd":"set_delay","auth":S,"reply":S}
                             wait S seconds before the login answer / before
                             the acknowledgement of an upload (the auth mode
                             in force when the login arrived decides the answer)
  {"cmd":"send_bytes","b64":B,"binary":bool}
                             one frame with these bytes, as a binary frame or
                             as a text frame whatever they are (bad UTF-8)
  {"cmd":"send_padded","message":OBJ,"size":N}
                             OBJ with a "pad" string member making the text N
                             bytes long (oversized messages)

`web` serves the server's page for a browser (kvdev.webview): the devices
that logged in, live, with charts and their messages, and buttons that send
commands through the control socket. It reads the record and uses the
control socket, so it runs on the host while the server runs in a namespace.

Run with Debian's /usr/bin/python3 (needs python3-websockets 10.x).
"""

import argparse
import asyncio
import base64
import json
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time

import websockets
import websockets.legacy.server
from websockets.frames import OP_BINARY, OP_CONT, OP_PING, OP_PONG, OP_TEXT

from kvdev import webview

SUBPROTOCOL = "korvane-agent"
MAX_SIZE = 1 << 20
AUTH_MODES = ("accept", "refuse", "register", "silent")
LISTEN_MODES = ("normal", "stop", "reset", "junk")
# What "junk" mode writes to a connecting client: neither TLS nor HTTP.
JUNK_BYTES = b"\x00\xffnot a TLS server\r\n" + bytes(range(256))


# --------------------------------------------------------------------------
# Certificates
# --------------------------------------------------------------------------

def _openssl(*args, cwd=None):
    res = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if res.returncode != 0:
        raise SystemExit("openssl %s failed:\n%s%s" % (" ".join(args), res.stdout, res.stderr))


SERVER_EXT = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = {san}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
"""

CA_CONF = """\
[ ca ]
default_ca = dev_ca
[ dev_ca ]
database = {work}/index.txt
new_certs_dir = {work}
serial = {work}/serial
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none
email_in_dn = no
[ any_policy ]
commonName = supplied
[ server_ext ]
{ext}
"""


def gen_certs(out, ca_name="kvagent development CA", ca_dir=None, expired=False,
              host="localhost", not_yet_valid=False):
    """Make ca.pem/ca.key (or take them from ca_dir) and server.pem/server.key.

    The server certificate is for CN=localhost with SAN DNS:localhost,
    IP:127.0.0.1, IP:192.0.2.1 and DNS:devserver.test (a development server
    on a sandboxed farm network's bridge, the devices' gateway, by address
    and by the name the devices' /etc/hosts gives it). With expired=True its validity ended in 2021; with
    not_yet_valid=True it begins in 2040 (as a device whose clock is not yet
    set sees every certificate). Another `host`
    gives CN=host with SAN DNS:host only (a certificate for a name the agent
    does not connect to).
    """
    san = ("DNS:localhost, IP:127.0.0.1, IP:192.0.2.1, DNS:devserver.test" if host == "localhost"
           else "DNS:" + host)
    server_ext = SERVER_EXT.format(san=san)
    os.makedirs(out, exist_ok=True)
    ca_pem, ca_key = os.path.join(out, "ca.pem"), os.path.join(out, "ca.key")
    if ca_dir:
        for name in ("ca.pem", "ca.key"):
            src = os.path.join(ca_dir, name)
            if os.path.abspath(src) != os.path.abspath(os.path.join(out, name)):
                shutil.copyfile(src, os.path.join(out, name))
    else:
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                 "-keyout", ca_key, "-out", ca_pem, "-days", "3650",
                 "-subj", "/CN=" + ca_name,
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                 "-addext", "subjectKeyIdentifier=hash")
    os.chmod(ca_key, 0o600)
    srv_pem, srv_key = os.path.join(out, "server.pem"), os.path.join(out, "server.key")
    with tempfile.TemporaryDirectory() as work:
        csr = os.path.join(work, "server.csr")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256",
                 "-keyout", srv_key, "-out", csr, "-subj", "/CN=" + host)
        if expired or not_yet_valid:
            # `x509 -req` in OpenSSL 3.0 cannot set the dates; `ca` can.
            open(os.path.join(work, "index.txt"), "w").close()
            with open(os.path.join(work, "serial"), "w") as f:
                f.write("%016X\n" % int.from_bytes(os.urandom(8), "big"))
            conf = os.path.join(work, "ca.cnf")
            with open(conf, "w") as f:
                f.write(CA_CONF.format(work=work, ext=server_ext))
            _openssl("ca", "-batch", "-config", conf, "-cert", ca_pem, "-keyfile", ca_key,
                     "-in", csr, "-out", srv_pem, "-notext", "-extensions", "server_ext",
                     "-startdate", "20400101000000Z" if not_yet_valid else "20200101000000Z",
                     "-enddate", "20410101000000Z" if not_yet_valid else "20210101000000Z")
        else:
            ext = os.path.join(work, "server.ext")
            with open(ext, "w") as f:
                f.write(server_ext)
            _openssl("x509", "-req", "-sha256", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
                     "-set_serial", "0x%016x" % int.from_bytes(os.urandom(8), "big"),
                     "-out", srv_pem, "-days", "825", "-extfile", ext)
    os.chmod(srv_key, 0o600)
    return {"ca": ca_pem, "ca_key": ca_key, "cert": srv_pem, "key": srv_key}


# --------------------------------------------------------------------------
# Server
# --------------------------------------------------------------------------

def log(text):
    print("devserver: " + text, file=sys.stderr, flush=True)


def load_schema_checker():
    """validate_agent_message(msg) -> [error text] of kvdev.schemas, or None
    (logged once) when python3-jsonschema or the schemas under
    protocol/schemas cannot be loaded."""
    try:
        from kvdev import schemas
        schemas.load_store()
        return schemas.validate_agent_message
    except Exception as exc:  # any failure: serve unchecked
        log("schema checking off (%s: %s)" % (type(exc).__name__, exc))
        return None


def short(obj, limit=300):
    text = obj if isinstance(obj, str) else json.dumps(obj, separators=(",", ":"))
    return text if len(text) <= limit else text[:limit] + "...(%d chars)" % len(text)


class Recorder:
    def __init__(self, path):
        self.f = open(path, "a", encoding="utf-8")

    def write(self, conn, event, **fields):
        rec = {"t": time.time(), "conn": conn, "event": event}
        rec.update(fields)
        self.f.write(json.dumps(rec) + "\n")
        self.f.flush()


class RecordingProtocol(websockets.legacy.server.WebSocketServerProtocol):
    """Also records the control frames the peer sends (pings, pongs)."""

    server_state = None  # set per serve()

    async def read_frame(self, max_size):
        frame = await super().read_frame(max_size)
        st = self.server_state
        if st is not None and frame.opcode in (OP_PING, OP_PONG):
            st.recorder.write(getattr(self, "conn_no", None),
                              "ping" if frame.opcode == OP_PING else "pong",
                              data=frame.data.hex())
        return frame


CONFIG_ACK = {"type": "update_config", "ok": True}


class ServerState:
    def __init__(self, recorder, auth, refuse_message, config_ack=True):
        self.recorder = recorder
        self.auth = auth
        self.refuse_message = refuse_message
        self.config_ack = config_ack
        self.connections = 0
        self.current = None  # the latest connection
        self.by_device = {}  # device id -> its open connection
        self.logins = {}  # device id -> logins so far
        self.auth_delay = 0.0
        self.reply_delay = 0.0
        self.listener = None  # Listener, set by serve()
        self.tasks = set()
        self.check = None  # validate_agent_message, set by serve()

    def check_message(self, n, msg):
        """Record and log what the schemas say against a received message."""
        if self.check is None:
            return
        try:
            errors = self.check(msg)
        except Exception as exc:  # a checker fault must not end the connection
            errors = ["checker failed: %s: %s" % (type(exc).__name__, exc)]
        if not errors:
            return
        mtype = msg.get("type") if isinstance(msg, dict) else None
        self.recorder.write(n, "schema_violation", type=mtype, errors=errors)
        for e in errors:
            log("conn %d: schema violation: %s" % (n, e))

    def spawn(self, coro):
        """Run coro alongside the connection's reader (delayed answers)."""
        task = asyncio.get_running_loop().create_task(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)
        return task

    async def later(self, ws, delay, coro_fn, *args):
        await asyncio.sleep(delay)
        if ws.open:
            try:
                await coro_fn(*args)
            except websockets.ConnectionClosed:
                pass

    # -- one connection ----------------------------------------------------
    async def handler(self, ws, path):
        self.connections += 1
        n = self.connections
        ws.conn_no = n
        self.current = ws
        exts = [e.name for e in ws.extensions]
        self.recorder.write(n, "connect", path=path, subprotocol=ws.subprotocol,
                            extensions=exts, peer=_peer(ws))
        log("conn %d: connect %s path=%s subprotocol=%s extensions=%s"
            % (n, _peer(ws), path, ws.subprotocol, ",".join(exts) or "-"))
        answered_auth = False
        try:
            async for data in ws:
                if isinstance(data, bytes):
                    self.recorder.write(n, "message", msg=None, binary=base64.b64encode(data).decode())
                    log("conn %d: <- binary %d bytes" % (n, len(data)))
                    self.check_message(n, None)
                    continue
                try:
                    msg = json.loads(data)
                except ValueError:
                    self.recorder.write(n, "message", msg=None, raw=data)
                    log("conn %d: <- (not JSON) %s" % (n, short(data)))
                    self.check_message(n, None)
                    continue
                # raw: the exact text, for checks of member order or duplicates.
                self.recorder.write(n, "message", msg=msg, raw=data)
                log("conn %d: <- %s" % (n, short(msg)))
                self.check_message(n, msg)
                if (not answered_auth and isinstance(msg, dict) and msg.get("type") == "auth"):
                    answered_auth = True
                    self.logged_in(ws, msg.get("device_id"))
                    if self.auth_delay > 0:
                        log("conn %d: login answer in %gs" % (n, self.auth_delay))
                        self.spawn(self.later(ws, self.auth_delay, self.answer_auth, ws, n,
                                              self.auth))
                    else:
                        await self.answer_auth(ws, n)
                elif isinstance(msg, dict) and msg.get("type") == "update_config":
                    if self.config_ack and self.reply_delay > 0:
                        self.spawn(self.later(ws, self.reply_delay, self.send_text, ws,
                                              json.dumps(CONFIG_ACK)))
                    elif self.config_ack:
                        await self.send_text(ws, json.dumps(CONFIG_ACK))
                    else:
                        log("conn %d: configuration upload not acknowledged" % n)
        except websockets.ConnectionClosed:
            pass
        finally:
            await ws.wait_closed()
            code = ws.close_rcvd.code if ws.close_rcvd is not None else None
            reason = ws.close_rcvd.reason if ws.close_rcvd is not None else None
            if ws.close_rcvd is None:
                by = "none"
            elif ws.close_sent is None or ws.close_rcvd_then_sent:
                by = "agent"
            else:
                by = "server"
            self.recorder.write(n, "close", code=code, reason=reason, initiated_by=by,
                                sent_code=ws.close_sent.code if ws.close_sent else None)
            log("conn %d: close code=%s reason=%r (started by %s)" % (n, code, reason, by))
            if self.current is ws:
                self.current = None
            dev = getattr(ws, "dev_id", None)
            if dev is not None and self.by_device.get(dev) is ws:
                del self.by_device[dev]

    def logged_in(self, ws, dev_id):
        """Keeps the connection as its device's (the newest login wins)."""
        if not isinstance(dev_id, str):
            return
        ws.dev_id = dev_id
        self.by_device[dev_id] = ws
        self.logins[dev_id] = self.logins.get(dev_id, 0) + 1

    async def answer_auth(self, ws, n, mode=None):
        mode = mode or self.auth
        if mode == "silent":
            log("conn %d: auth not answered (silent)" % n)
            return
        if mode == "accept":
            reply = {"type": "auth", "ok": True}
        elif mode == "register":
            reply = {"type": "auth", "ok": True, "registration": True}
        else:
            reply = {"type": "auth", "ok": False, "message": self.refuse_message}
        await self.send_text(ws, json.dumps(reply))

    async def send_text(self, ws, text, fragments=None):
        n = getattr(ws, "conn_no", None)
        if not fragments:
            await ws.send(text)
        else:
            # Split the UTF-8 bytes at the given fragment sizes (a split may
            # fall inside a character); the rest goes in a last fragment.
            data = text.encode("utf-8")
            parts, pos = [], 0
            for size in fragments:
                size = int(size)
                if size < 0:
                    raise ValueError("fragment sizes must be >= 0")
                parts.append(data[pos:pos + size])
                pos += size
            if pos < len(data) or not parts:
                parts.append(data[pos:])
            for i, part in enumerate(parts):
                await ws.write_frame(i == len(parts) - 1, OP_TEXT if i == 0 else OP_CONT, part)
        self.recorder.write(n, "sent", text=text, fragments=list(fragments) if fragments else None)
        log("conn %s: -> %s%s" % (n, short(text), " (fragments %s)" % fragments if fragments else ""))

    # -- control -----------------------------------------------------------
    # One handler per control command (CONTROL below): handler(self, req) ->
    # the reply. Those that act on the open connection are wrapped by
    # _on_connection and get it as a third argument.

    async def ctl_status(self, req):
        ws = self.current
        devices = {d: {"connected": d in self.by_device and self.by_device[d].open,
                       "logins": n} for d, n in sorted(self.logins.items())}
        return {"ok": True, "connected": ws is not None and ws.open,
                "connections": self.connections, "auth": self.auth, "devices": devices}

    async def ctl_set_auth(self, req):
        mode = req.get("mode")
        if mode not in AUTH_MODES:
            return {"ok": False, "error": "mode must be one of %s" % ", ".join(AUTH_MODES)}
        self.auth = mode
        if req.get("message") is not None:
            self.refuse_message = str(req["message"])
        log("auth mode now %s" % mode)
        return {"ok": True, "auth": mode}

    async def ctl_set_config_ack(self, req):
        on = req.get("on")
        if not isinstance(on, bool):
            return {"ok": False, "error": "set_config_ack needs 'on' (true or false)"}
        self.config_ack = on
        log("configuration uploads %sacknowledged" % ("" if on else "not "))
        return {"ok": True, "config_ack": on}

    async def ctl_listen(self, req):
        mode = req.get("mode")
        if mode not in LISTEN_MODES:
            return {"ok": False, "error": "mode must be one of %s" % ", ".join(LISTEN_MODES)}
        await self.listener.set_mode(mode)
        return {"ok": True, "listen": mode}

    async def ctl_set_delay(self, req):
        delays = {}
        for key in ("auth", "reply"):
            if key in req:
                v = req[key]
                if isinstance(v, bool) or not isinstance(v, (int, float)) or v < 0:
                    return {"ok": False, "error": "%s must be a number >= 0" % key}
                delays[key] = float(v)
        self.auth_delay = delays.get("auth", self.auth_delay)
        self.reply_delay = delays.get("reply", self.reply_delay)
        log("delays now: login answer %gs, upload acknowledgement %gs"
            % (self.auth_delay, self.reply_delay))
        return {"ok": True, "auth": self.auth_delay, "reply": self.reply_delay}

    def _on_connection(handler):
        """A command on the latest connection, or on the device's ("device":
        ID): refused without an open one."""
        async def run(self, req):
            if "device" in req:
                ws = self.by_device.get(req["device"])
                if ws is None or not ws.open:
                    return {"ok": False, "error": "no connection of device %r" % (req["device"],)}
            else:
                ws = self.current
                if ws is None or not ws.open:
                    return {"ok": False, "error": "no connection"}
            return await handler(self, req, ws)
        return run

    @_on_connection
    async def ctl_send(self, req, ws):
        if "message" not in req:
            return {"ok": False, "error": "send needs 'message'"}
        await self.send_text(ws, json.dumps(req["message"]))
        return {"ok": True, "conn": ws.conn_no}

    @_on_connection
    async def ctl_send_raw(self, req, ws):
        text = req.get("text")
        if not isinstance(text, str):
            return {"ok": False, "error": "send_raw needs 'text' (string)"}
        await self.send_text(ws, text, req.get("fragments"))
        return {"ok": True, "conn": ws.conn_no}

    @_on_connection
    async def ctl_send_bytes(self, req, ws):
        try:
            data = base64.b64decode(req.get("b64", ""), validate=True)
        except (ValueError, TypeError):
            return {"ok": False, "error": "send_bytes needs 'b64' (base64 text)"}
        binary = bool(req.get("binary", False))
        await ws.write_frame(True, OP_BINARY if binary else OP_TEXT, data)
        self.recorder.write(ws.conn_no, "sent", bytes=base64.b64encode(data).decode(),
                            binary=binary)
        log("conn %d: -> %s frame of %d raw bytes"
            % (ws.conn_no, "binary" if binary else "text", len(data)))
        return {"ok": True, "conn": ws.conn_no}

    @_on_connection
    async def ctl_send_padded(self, req, ws):
        message, size = req.get("message"), req.get("size")
        if not isinstance(message, dict) or isinstance(size, bool) \
                or not isinstance(size, int):
            return {"ok": False, "error": "send_padded needs 'message' (object) and "
                    "'size' (bytes)"}
        base = dict(message, pad="")
        room = size - len(json.dumps(base).encode())
        if room < 0:
            return {"ok": False, "error": "size is smaller than the message"}
        base["pad"] = "x" * room
        await self.send_text(ws, json.dumps(base))
        return {"ok": True, "conn": ws.conn_no, "size": size}

    @_on_connection
    async def ctl_close(self, req, ws):
        code = int(req.get("code", 1000))
        reason = str(req.get("reason", ""))
        log("conn %d: server closes with %d" % (ws.conn_no, code))
        asyncio.get_running_loop().create_task(ws.close(code, reason))
        return {"ok": True, "conn": ws.conn_no}

    @_on_connection
    async def ctl_drop(self, req, ws):
        log("conn %d: dropping TCP connection" % ws.conn_no)
        ws.transport.abort()
        return {"ok": True, "conn": ws.conn_no}

    CONTROL = {
        "status": ctl_status,
        "set_auth": ctl_set_auth,
        "set_config_ack": ctl_set_config_ack,
        "listen": ctl_listen,
        "set_delay": ctl_set_delay,
        "send": ctl_send,
        "send_raw": ctl_send_raw,
        "send_bytes": ctl_send_bytes,
        "send_padded": ctl_send_padded,
        "close": ctl_close,
        "drop": ctl_drop,
    }
    del _on_connection

    async def control(self, req):
        cmd = req.get("cmd")
        handler = self.CONTROL.get(cmd) if isinstance(cmd, str) else None
        if handler is None:
            return {"ok": False, "error": "unknown cmd %r" % (cmd,)}
        return await handler(self, req)

    async def control_client(self, reader, writer):
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                try:
                    req = json.loads(line)
                    if not isinstance(req, dict):
                        raise ValueError("request must be a JSON object")
                    reply = await self.control(req)
                except Exception as exc:  # reply, keep serving
                    reply = {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}
                writer.write((json.dumps(reply) + "\n").encode())
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()


class Listener:
    """The listening side: the wss server ("normal") or a fault mode."""

    def __init__(self, state, args, ctx):
        self.state = state
        self.args = args
        self.ctx = ctx
        self.mode = None
        self.server = None

    async def set_mode(self, mode):
        if mode == self.mode:
            return
        if self.server is not None:
            self.server.close()
            await self.server.wait_closed()
            self.server = None
        a = self.args
        if mode == "normal":
            self.server = await websockets.serve(
                self.state.handler, a.host, a.port, ssl=self.ctx,
                subprotocols=[SUBPROTOCOL], compression="deflate",
                ping_interval=None, max_size=MAX_SIZE, create_protocol=RecordingProtocol,
            )
        elif mode in ("reset", "junk"):
            self.server = await asyncio.start_server(self.turn_away, a.host, a.port)
        if self.mode is not None:
            self.state.recorder.write(None, "listen", mode=mode)
            log("listener now %s" % mode)
        self.mode = mode

    async def turn_away(self, reader, writer):
        peer = writer.get_extra_info("peername")
        peer = "%s:%s" % peer[:2] if peer else "?"
        self.state.recorder.write(None, "refused", mode=self.mode, peer=peer)
        log("%s: connection from %s turned away" % (self.mode, peer))
        if self.mode == "junk":
            writer.write(JUNK_BYTES)
            try:
                await asyncio.wait_for(writer.drain(), 5)
            except (asyncio.TimeoutError, ConnectionError):
                pass
            writer.close()
            return
        sock = writer.get_extra_info("socket")
        if sock is not None:
            # Linger 0: the close sends a reset.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        writer.transport.abort()

    async def close(self):
        if self.server is not None:
            self.server.close()
            await self.server.wait_closed()
            self.server = None


def _peer(ws):
    try:
        host, port = ws.remote_address[:2]
        return "%s:%s" % (host, port)
    except Exception:
        return "?"


async def serve(args):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    recorder = Recorder(args.record)
    state = ServerState(recorder, args.auth, args.refuse_message,
                        config_ack=not args.no_config_ack)
    RecordingProtocol.server_state = state
    state.check = load_schema_checker()

    if os.path.exists(args.control):
        os.unlink(args.control)
    ctl = await asyncio.start_unix_server(state.control_client, path=args.control)

    loop = asyncio.get_running_loop()
    stop = loop.create_future()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, lambda s=sig: stop.done() or stop.set_result(s))

    listener = Listener(state, args, ctx)
    state.listener = listener
    await listener.set_mode("normal")
    try:
        recorder.write(None, "listening", host=args.host, port=args.port, auth=args.auth,
                       config_ack=state.config_ack, schema_check=state.check is not None)
        log("listening on wss://%s:%d (auth=%s, config ack %s) control=%s record=%s"
            % (args.host, args.port, args.auth, "on" if state.config_ack else "off",
               args.control, args.record))
        sig = await stop
        log("stopping (signal %d)" % sig)
        ctl.close()
    finally:
        for task in list(state.tasks):
            task.cancel()
        await listener.close()
    try:
        os.unlink(args.control)
    except OSError:
        pass


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("gen-certs", help="make a development CA and server certificate")
    g.add_argument("--out", required=True)
    g.add_argument("--ca-name", default="kvagent development CA")
    g.add_argument("--ca-dir", help="sign with ca.pem/ca.key from this folder instead of a new CA")
    g.add_argument("--expired", action="store_true", help="server certificate valid 2020-2021 only")
    g.add_argument("--not-yet-valid", action="store_true",
                   help="server certificate valid 2040-2041 only")
    g.add_argument("--host", default="localhost",
                   help="server certificate for this DNS name only "
                   "(default: localhost, 127.0.0.1, 192.0.2.1 and devserver.test)")
    s = sub.add_parser("serve", help="run the WebSocket server")
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--host", default="127.0.0.1")
    s.add_argument("--cert", required=True)
    s.add_argument("--key", required=True)
    s.add_argument("--record", required=True)
    s.add_argument("--control", required=True)
    s.add_argument("--auth", choices=AUTH_MODES, default="accept")
    s.add_argument("--refuse-message", default="Invalid API key")
    s.add_argument("--no-config-ack", action="store_true",
                   help="do not answer the agent's configuration uploads (update_config)")
    w = sub.add_parser("web", help="serve the live page of a running server")
    webview.add_arguments(w)
    args = p.parse_args(argv)
    if args.cmd == "web":
        return webview.run(args)
    if args.cmd == "gen-certs":
        paths = gen_certs(args.out, args.ca_name, args.ca_dir, args.expired, args.host,
                          args.not_yet_valid)
        for k, v in paths.items():
            print("%s: %s" % (k, v))
        return 0
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
