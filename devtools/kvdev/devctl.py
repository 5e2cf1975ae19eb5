#!/usr/bin/python3
"""Control a running devserver.py through its unix socket.

  devctl.py SOCK send '{"type":"status"}'
  devctl.py SOCK send_raw TEXT [--fragments 3,5]
  devctl.py SOCK set_auth accept|refuse|register|silent [MESSAGE]
  devctl.py SOCK close [CODE [REASON]]
  devctl.py SOCK drop
  devctl.py SOCK status
  devctl.py SOCK request '{"cmd":"status"}'
  devctl.py SOCK --device ID send|send_raw|close|drop|... (that device's connection)

Faults (see devserver.py):
  devctl.py SOCK listen normal|stop|reset|junk
  devctl.py SOCK set_delay AUTH_SECS [REPLY_SECS]
  devctl.py SOCK send_bytes HEX [--binary]
  devctl.py SOCK send_padded '{"type":"logs","request_id":"big"}' SIZE

Prints the server's JSON reply; exit status 1 if it says "ok": false.
"""

import base64
import json
import socket
import sys


class DevCtlError(RuntimeError):
    pass


class DevCtl:
    """One connection to the devserver control socket.

    Every method returns the reply dict; with check=True (default) a reply with
    "ok": false raises DevCtlError.
    """

    def __init__(self, path, timeout=10.0, device=None):
        self.path = path
        self.timeout = timeout
        # Commands on a connection act on this device's (default: the latest).
        self.device = device
        self._sock = None
        self._file = None

    def _connect(self):
        if self._sock is None:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(self.timeout)
            s.connect(self.path)
            self._sock = s
            self._file = s.makefile("rb")

    def close_socket(self):
        if self._sock is not None:
            self._file.close()
            self._sock.close()
            self._sock = self._file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close_socket()

    def request(self, req, check=True):
        if self.device is not None and "device" not in req:
            req = dict(req, device=self.device)
        self._connect()
        try:
            self._sock.sendall((json.dumps(req) + "\n").encode())
            line = self._file.readline()
        except OSError:
            self.close_socket()
            raise
        if not line:
            self.close_socket()
            raise DevCtlError("devserver closed the control connection")
        reply = json.loads(line)
        if check and not reply.get("ok"):
            raise DevCtlError("devserver refused %s: %s" % (req.get("cmd"), reply.get("error")))
        return reply

    def send(self, message, check=True):
        return self.request({"cmd": "send", "message": message}, check)

    def send_raw(self, text, fragments=None, check=True):
        req = {"cmd": "send_raw", "text": text}
        if fragments:
            req["fragments"] = list(fragments)
        return self.request(req, check)

    def set_auth(self, mode, message=None, check=True):
        req = {"cmd": "set_auth", "mode": mode}
        if message is not None:
            req["message"] = message
        return self.request(req, check)

    def close(self, code=1000, reason="", check=True):
        return self.request({"cmd": "close", "code": code, "reason": reason}, check)

    def drop(self, check=True):
        return self.request({"cmd": "drop"}, check)

    def status(self):
        return self.request({"cmd": "status"}, check=False)

    # -- faults ----------------------------------------------------------------
    def listen(self, mode, check=True):
        """normal | stop (refuse connections) | reset | junk."""
        return self.request({"cmd": "listen", "mode": mode}, check)

    def set_delay(self, auth=None, reply=None, check=True):
        """Seconds before the login answer / the upload acknowledgement."""
        req = {"cmd": "set_delay"}
        if auth is not None:
            req["auth"] = auth
        if reply is not None:
            req["reply"] = reply
        return self.request(req, check)

    def send_bytes(self, data, binary=False, check=True):
        """One frame with these bytes (a text frame need not be UTF-8)."""
        return self.request({"cmd": "send_bytes", "b64": base64.b64encode(data).decode(),
                             "binary": bool(binary)}, check)

    def send_padded(self, message, size, check=True):
        """`message` padded to `size` bytes of text."""
        return self.request({"cmd": "send_padded", "message": message, "size": int(size)},
                            check)


def main(argv):
    if len(argv) < 3 or argv[1] in ("-h", "--help"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path, device = argv[1], None
    if argv[2] == "--device" and len(argv) >= 5:
        device, argv = argv[3], argv[:2] + argv[4:]
    cmd, rest = argv[2], argv[3:]
    ctl = DevCtl(path, device=device)
    try:
        if cmd == "send" and len(rest) == 1:
            reply = ctl.send(json.loads(rest[0]), check=False)
        elif cmd == "send_raw" and rest:
            frags = None
            if len(rest) == 3 and rest[1] == "--fragments":
                frags = [int(x) for x in rest[2].split(",") if x]
            elif len(rest) != 1:
                raise SystemExit("usage: send_raw TEXT [--fragments N1,N2,...]")
            reply = ctl.send_raw(rest[0], frags, check=False)
        elif cmd == "set_auth" and 1 <= len(rest) <= 2:
            reply = ctl.set_auth(rest[0], rest[1] if len(rest) > 1 else None, check=False)
        elif cmd == "close" and len(rest) <= 2:
            reply = ctl.close(int(rest[0]) if rest else 1000, rest[1] if len(rest) > 1 else "",
                              check=False)
        elif cmd == "drop" and not rest:
            reply = ctl.drop(check=False)
        elif cmd == "status" and not rest:
            reply = ctl.status()
        elif cmd == "listen" and len(rest) == 1:
            reply = ctl.listen(rest[0], check=False)
        elif cmd == "set_delay" and 1 <= len(rest) <= 2:
            reply = ctl.set_delay(float(rest[0]), float(rest[1]) if len(rest) > 1 else None,
                                  check=False)
        elif cmd == "send_bytes" and len(rest) in (1, 2) and rest[1:] in ([], ["--binary"]):
            reply = ctl.send_bytes(bytes.fromhex(rest[0]), binary=len(rest) == 2, check=False)
        elif cmd == "send_padded" and len(rest) == 2:
            reply = ctl.send_padded(json.loads(rest[0]), int(rest[1]), check=False)
        elif cmd == "request" and len(rest) == 1:
            reply = ctl.request(json.loads(rest[0]), check=False)
        else:
            print(__doc__.strip(), file=sys.stderr)
            return 2
    finally:
        ctl.close_socket()
    print(json.dumps(reply))
    return 0 if reply.get("ok") else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
