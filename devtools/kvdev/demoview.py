#!/usr/bin/python3
"""Live view of a development server's record: one short line per event.

  demoview.py [--follow | --once] [--pings] RECORD

RECORD is the JSON lines file written by `devserver.py serve --record`. Each
line of the view starts with the local time of the event and the connection
number, then:

  listening   the server is up (auth mode, configuration acknowledgement)
  connect     a connection: peer, path, subprotocol and extensions
  login       the agent's auth message (device id, model, firmware; key shortened)
  status      state, uptime (h:mm:ss), main pool status and accepted/rejected
              shares, how many pools (+ service-fee pools), address
  metrics     hash rate in MH/s (5 s and average), hottest chip, fans
              (rpm/speed), each chain's hash rate @ chip temperature, power,
              hardware errors
  config      a configuration upload (update_config): its members and size
  <type>      any other message from the agent, with its short members
  ->          what the server sent (auth answers, acknowledgements, commands)
  SCHEMA      a message of the agent that breaks its schema (protocol/schemas):
              the first errors, as the server logged them
  close       the close code and who started it

Pings and pongs are left out unless --pings. --follow (the default) reads on
as the file grows until interrupted (SIGINT, or SIGTERM: the lines already
written are shown first); --once shows what is there and ends. A last line
still being written is shown once it is complete; one that never completes is
left out. The file may not exist yet: the view waits for it.

Standard library only; run with /usr/bin/python3.
"""

import argparse
import json
import os
import signal
import sys
import time

POLL = 0.2
TAG_WIDTH = 9


def hms(seconds):
    try:
        s = int(seconds)
    except (TypeError, ValueError):
        return "?"
    if s < 0:
        return "?"
    return "%d:%02d:%02d" % (s // 3600, s // 60 % 60, s % 60)


def num(value, fmt="%.1f", scale=1.0):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return "?"
    return fmt % (value * scale)


def mhs(ghs):
    """The agent reports GH/s; the view shows MH/s with one decimal."""
    return num(ghs, "%.1f", 1000.0)


def compact(obj, limit=70):
    text = obj if isinstance(obj, str) else json.dumps(obj, separators=(",", ":"),
                                                       ensure_ascii=False)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def short_key(key):
    if not isinstance(key, str):
        return "?"
    return key if len(key) <= 10 else "%s...%s" % (key[:4], key[-4:])


# --------------------------------------------------------------------------
# One line per message
# --------------------------------------------------------------------------

def fmt_login(msg):
    parts = ["dev %s" % msg.get("device_id", "?")]
    if msg.get("model"):
        parts.append(str(msg["model"]))
    if msg.get("firmware_id") or msg.get("firmware_ver"):
        parts.append("%s %s" % (msg.get("firmware_id", "?"), msg.get("firmware_ver", "?")))
    parts.append("key %s" % short_key(msg.get("api_key")))
    return "login", "  ".join(parts)


def pool_count(pools):
    main = sum(1 for k in ("main", "reserved", "reserved2") if isinstance(pools.get(k), dict))
    fee = pools.get("service_fee")
    fee = len(fee) if isinstance(fee, list) else 0
    return "%d%s" % (main, "+%d fee" % fee if fee else "")


def fmt_status(msg):
    state = msg.get("state")
    name = state.get("name") if isinstance(state, dict) else None
    parts = ["%-12s" % (name or "-"), "up %s" % hms(msg.get("uptime"))]
    pools = msg.get("pools")
    if isinstance(pools, dict):
        main = pools.get("main")
        if isinstance(main, dict):
            parts.append("main %s %s/%s" % (main.get("status", "?"), main.get("accepted", "?"),
                                            main.get("rejected", "?")))
        else:
            parts.append("main -")
        parts.append("pools %s" % pool_count(pools))
    else:
        parts.append("pools -")
    net = msg.get("network")
    if isinstance(net, dict) and net.get("ip"):
        parts.append("ip %s" % net["ip"])
    return "status", "  ".join(parts)


def hottest(msg):
    """The hottest chip of a metrics message ("temp" and each chain's), or None."""
    temps = [msg.get("temp")]
    chains = msg.get("chains")
    if isinstance(chains, list):
        temps += [c.get("chip_temp") for c in chains if isinstance(c, dict)]
    temps = [t for t in temps if isinstance(t, (int, float)) and not isinstance(t, bool)]
    return max(temps) if temps else None


def fmt_metrics(msg):
    parts = ["%s MH/s (avg %s)" % (mhs(msg.get("hash_rate")), mhs(msg.get("hashrate_avg")))]
    chains = msg.get("chains")
    chains = chains if isinstance(chains, list) else []
    parts.append("temp max %sC" % num(hottest(msg), "%d"))
    fans = msg.get("fans")
    if isinstance(fans, list) and fans:
        parts.append("fans " + " ".join(
            "%srpm/%s%%" % (num(f.get("rpm"), "%d"), num(f.get("speed"), "%d"))
            if isinstance(f, dict) else "?" for f in fans))
    if chains:
        parts.append("chains " + " ".join(
            "%s@%sC" % (mhs(c.get("hash_rate")), num(c.get("chip_temp"), "%d"))
            if isinstance(c, dict) else "?" for c in chains))
    parts.append("%s W" % num(msg.get("watt"), "%.0f"))
    parts.append("hw %s" % num(msg.get("hw_errors"), "%d"))
    return "metrics", "  ".join(parts)


def fmt_config(msg, raw):
    members = [k for k in msg if k != "type"]
    size = " (%d B)" % len(raw.encode("utf-8")) if isinstance(raw, str) else ""
    return "config", "update_config: %s%s" % (" ".join(members) or "(empty)", size)


def fmt_other(msg):
    mtype = msg.get("type")
    rest = {k: v for k, v in msg.items() if k != "type"}
    small = {k: (v if not isinstance(v, str) or len(v) <= 40 else "<%d chars>" % len(v))
             for k, v in rest.items() if not isinstance(v, (dict, list))}
    big = [k for k in rest if k not in small]
    text = compact(small) if small else ""
    if big:
        text += (" " if text else "") + "+" + ",".join(big)
    return (str(mtype) if mtype is not None else "message"), text


def fmt_message(msg, raw):
    if not isinstance(msg, dict):
        return "message", compact(msg)
    mtype = msg.get("type")
    if mtype == "auth":
        return fmt_login(msg)
    if mtype == "status":
        return fmt_status(msg)
    if mtype == "metrics":
        return fmt_metrics(msg)
    if mtype == "update_config" and "ok" not in msg:
        return fmt_config(msg, raw)
    return fmt_other(msg)


def fmt_sent(text):
    try:
        msg = json.loads(text)
    except (TypeError, ValueError):
        return "->", "(not JSON) " + compact(text)
    if not isinstance(msg, dict):
        return "->", compact(msg)
    mtype = msg.get("type", "?")
    if msg.get("ok") is True and set(msg) <= {"type", "ok", "registration"}:
        extra = ", registration asked" if msg.get("registration") else ""
        return "->", "%s ok%s" % (mtype, extra)
    rest = {k: v for k, v in msg.items() if k != "type"}
    return "->", "%s %s" % (mtype, compact(rest) if rest else "")


def describe(rec):
    """(tag, text) for one record line, or None to leave it out."""
    event = rec.get("event")
    if event == "listening":
        ack = rec.get("config_ack")
        return "listening", "%s:%s  auth %s%s" % (
            rec.get("host"), rec.get("port"), rec.get("auth"),
            "" if ack is None else "  config ack %s" % ("on" if ack else "off")) + (
            "  schema check off" if rec.get("schema_check") is False else "")
    if event == "connect":
        exts = ", ".join(rec.get("extensions") or []) or "no extensions"
        return "connect", "%s %s (%s, %s)" % (rec.get("peer"), rec.get("path"),
                                              rec.get("subprotocol"), exts)
    if event == "message":
        if rec.get("msg") is None:
            if rec.get("binary") is not None:
                return "message", "binary, %d base64 chars" % len(rec["binary"])
            return "message", "(not JSON) " + compact(rec.get("raw", ""))
        return fmt_message(rec["msg"], rec.get("raw"))
    if event == "sent":
        tag, text = fmt_sent(rec.get("text"))
        if rec.get("fragments"):
            text += " (fragments %s)" % rec["fragments"]
        return tag, text
    if event == "close":
        code = rec.get("code")
        return "close", "%s%s (started by %s)" % (
            code if code is not None else "no close frame",
            " %r" % rec["reason"] if rec.get("reason") else "", rec.get("initiated_by"))
    if event in ("ping", "pong"):
        return event, rec.get("data") or ""
    if event == "schema_violation":
        errors = rec.get("errors") or []
        return "SCHEMA", "%s%s" % ("; ".join(errors[:2]),
                                   " (+%d more)" % (len(errors) - 2) if len(errors) > 2 else "")
    return str(event), compact({k: v for k, v in rec.items() if k not in ("t", "conn", "event")})


class View:
    def __init__(self, out, pings=False):
        self.out = out
        self.pings = pings

    def line(self, text):
        """Show one record line (a complete line, without its newline)."""
        text = text.strip()
        if not text:
            return
        try:
            rec = json.loads(text)
            if not isinstance(rec, dict):
                raise ValueError("not an object")
        except ValueError:
            self.emit(None, None, "?", "unreadable record line: " + compact(text))
            return
        if rec.get("event") in ("ping", "pong") and not self.pings:
            return
        try:
            tag, body = describe(rec)
        except Exception as exc:  # an unexpected shape: show it as is
            tag, body = str(rec.get("event")), "%s (%s)" % (compact(rec), type(exc).__name__)
        self.emit(rec.get("t"), rec.get("conn"), tag, body)

    def emit(self, t, conn, tag, body):
        try:
            stamp = time.strftime("%H:%M:%S", time.localtime(float(t)))
        except (TypeError, ValueError, OverflowError):
            stamp = "--:--:--"
        who = "#%s" % conn if conn is not None else ""
        self.out.write("%s %-3s %-*s %s\n" % (stamp, who, TAG_WIDTH, tag, body))
        self.out.flush()


# --------------------------------------------------------------------------
# Reading the record
# --------------------------------------------------------------------------

class Follower:
    """Reads the complete lines of a file that grows; starts over when the
    file is replaced or truncated."""

    def __init__(self, path):
        self.path = path
        self.f = None
        self.ino = None
        self.pending = b""

    def _open(self):
        try:
            f = open(self.path, "rb")
        except FileNotFoundError:
            return False
        self.f, self.ino, self.pending = f, os.fstat(f.fileno()).st_ino, b""
        return True

    def _replaced(self):
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return False  # keep reading what we have open
        return st.st_ino != self.ino or st.st_size < self.f.tell()

    def read_lines(self):
        """The complete lines written since the last call."""
        if self.f is None and not self._open():
            return []
        data = self.f.read()
        if not data and self._replaced():
            self.f.close()
            if not self._open():
                self.f = None
                return []
            data = self.f.read()
        if not data:
            return []
        data = self.pending + data
        lines = data.split(b"\n")
        self.pending = lines.pop()
        return [ln.decode("utf-8", errors="replace") for ln in lines]

    def rest(self):
        """An unterminated last line, if any."""
        return self.pending.decode("utf-8", errors="replace")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    g = p.add_mutually_exclusive_group()
    g.add_argument("--follow", dest="follow", action="store_true", default=True,
                   help="read on as the record grows, until interrupted (default)")
    g.add_argument("--once", dest="follow", action="store_false",
                   help="show the record as it is and end")
    p.add_argument("--pings", action="store_true", help="show pings and pongs too")
    p.add_argument("record", help="the server's record file (JSON lines)")
    args = p.parse_args(argv)

    view = View(sys.stdout, pings=args.pings)
    src = Follower(args.record)
    if not args.follow:
        if not os.path.exists(args.record):
            print("demoview: %s: no such file" % args.record, file=sys.stderr)
            return 1
        for ln in src.read_lines():
            view.line(ln)
        rest = src.rest()
        if rest.strip():
            # Complete if it parses (a writer that left out the newline);
            # otherwise a line being written: left out.
            try:
                json.loads(rest)
            except ValueError:
                return 0
            view.line(rest)
        return 0

    stopping = []
    signal.signal(signal.SIGTERM, lambda signum, frame: stopping.append(signum))
    waiting_said = False
    try:
        while True:
            # After a SIGTERM: one more read, so everything written before it
            # is shown, then the end.
            last = bool(stopping)
            for ln in src.read_lines():
                view.line(ln)
            if last:
                return 0
            if src.f is None and not waiting_said:
                print("demoview: waiting for %s" % args.record, file=sys.stderr, flush=True)
                waiting_said = True
            time.sleep(POLL)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader went away (e.g. `| head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
