#!/usr/bin/python3
"""Fault soak: a sandboxed device (the agent, the simulated miner, the
development server; the same pieces as the end-to-end tests) runs for a while
under faults injected at random, and the agent must ride them out.

Faults (one server-side fault or command at a time; the miner's faults run
alongside on a schedule of their own):
  drop          the server drops the TCP connection
  close         the server closes the session (1000, 1001, 1011 or 4000)
  refuse_stop   the server stops listening for a while (connections refused)
  refuse_reset  the server accepts and resets every connection for a while
  refuse_junk   the server accepts, writes bytes that are not TLS, closes
  login_refused the server refuses every login for a while
  slow_login    the server answers the login only after a delay (< 60 s)
  garbage       the server sends text that is not JSON, JSON that is not an
                object, a binary frame, a text frame of bad UTF-8, or a
                command padded beyond the agent's message limit
  logs_hang     the device's kernel-log script hangs while the server asks for
                the logs (the agent gives up after its 20-second limit)
  miner_*       the simulated miner dies, hangs, answers garbage, nothing,
                byte by byte or too much, then recovers (a dead miner is
                started again through the server's "start_mining")
Ordinary commands go in between: "config_pools" with changing pools, "logs".
Each kind has its handler in a table: Soak.EPISODES (what the schedule picks),
Soak.SERVER_FAULTS (the server-side faults), Soak.GARBAGE (what "garbage"
sends).

Checks (any failure: exit status 1 and the reasons printed):
  - the agent process stays alive the whole time, and stops on SIGTERM
    within SOAK_STOP_LIMIT seconds with status 0 and a close 1000;
  - its RSS and open descriptors stay flat: after the warm-up, no sample
    above the warm-up maximum + SOAK_RSS_TOL_KB / SOAK_FD_TOL;
  - after every server-side fault it is back (a new connection whose login is
    accepted and on which it reports) within the bound that its back-off table
    and jitter allow (read from src/protocol.cpp), plus SOAK_SLACK seconds;
  - every command is answered, the hung kernel-log script is given up within
    its limit and leaves no process behind, an oversized command is ignored;
  - /config/korvane.json, /config/cgminer.conf and /config/network.conf are
    present and valid after every command and at the end (cgminer.conf holds
    the pools last set, the other two are unchanged).

Environment (all optional):
  SOAK_SECONDS=150     how long to inject faults (24 h: 86400)
  SOAK_SEED=N          seed of the fault schedule (printed; replays a run)
  SOAK_REPORT=FILE     where the JSON summary goes (default WORK/soak-report.json)
  SOAK_WORK=DIR        work folder (default a new /tmp/kvagent-soak-*; kept)
  SOAK_WARMUP=S        warm-up before the RSS/fd limits apply
                       (default 10 % of the run, 60..900 s)
  SOAK_RSS_TOL_KB=2048, SOAK_FD_TOL=5, SOAK_SLACK=5, SOAK_STOP_LIMIT=10,
  SOAK_SAMPLE=3        tolerances, slack and sampling period (seconds)
  KVAGENT_BIN=path     agent binary (default build/kvagent)

Run as root (network namespaces), with Debian's /usr/bin/python3:
  /usr/bin/python3 devtools/soak.py            (or scripts/soak.sh)
"""

import json
import os
import random
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import traceback
from collections import Counter, deque
from pathlib import Path

from kvdev import REPO, runners
from kvdev.devctl import DevCtl, DevCtlError

MAC = "00:11:22:aa:bb:cc"
DEV_ID = "0000000000000000-" + MAC.replace(":", "").upper()
LOGS_LIMIT_S = 20        # the agent's limit for the kernel-log script
AUTH_TIMEOUT_S = 60      # the agent's login timeout
IN_MSG_MAX = 16384       # largest message the agent takes
NETWORK_CONF = ('hostname=antminer\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
                'gateway=192.0.2.1\ndnsservers="192.0.2.53"\n')
MINER_MODES = ("die", "hang", "garbage", "trickle", "empty", "huge")


class SoakFailure(Exception):
    pass


def env_num(name, default, kind=float):
    v = os.environ.get(name, "")
    if v == "":
        return default
    try:
        return kind(v)
    except ValueError:
        raise SystemExit("soak: %s must be a number (got %r)" % (name, v))


def backoff_policy():
    """(delays in seconds, jitter fraction) as src/protocol.cpp defines them."""
    text = (REPO / "src" / "protocol.cpp").read_text()
    m = re.search(r"backoff_ms\[\]\s*=\s*\{([^}]*)\}", text)
    j = re.search(r"(\d+)\s*,\s*//\s*jitter_percent", text)
    if not m or not j:
        raise SystemExit("soak: cannot find the retry table in src/protocol.cpp")
    delays = [int(x) / 1000.0 for x in m.group(1).replace(" ", "").split(",") if x]
    return delays, int(j.group(1)) / 100.0


# The agent's connection (and TLS handshake) timeout: timeout_secs of its
# libwebsockets context.
HANDSHAKE_TIMEOUT_S = 60.0


def reconnect_bound(start, end, delays, jitter):
    """Latest time at which the agent's first connection attempt after `end`
    may start, for an outage from `start` (the back-off counter at 0: the
    session before it was authenticated and working) to `end`.

    Attempt k comes table[min(k, last)] seconds (up to `jitter` more) after
    attempt k-1 failed (attempt 0 that long after `start`). The last attempt
    before `end` is at the latest attempt k_max, the last one whose earliest
    time falls before `end`; the next one follows within its delay plus
    jitter. Returns (bound time, the step used)."""
    earliest = start
    k_max = -1
    k = 0
    while True:
        earliest += delays[min(k, len(delays) - 1)]
        if earliest >= end:
            break
        k_max = k
        k += 1
    step = delays[min(k_max + 1, len(delays) - 1)]
    return end + step * (1.0 + jitter), step


# --------------------------------------------------------------------------
# The server record, read incrementally
# --------------------------------------------------------------------------

class Record:
    """Follows devserver's record file: connections, logins, replies."""

    REPLY_TYPES = {"config_pools", "logs", "get_logs", "start_mining", "stop_mining"}

    def __init__(self, path):
        self.path = Path(path)
        self.pos = 0
        self.buf = b""
        self.conns = {}          # n -> dict(t, auth_t, accepted_t, working_t, closed_t, ...)
        self.refused = 0
        self.replies = deque(maxlen=500)   # (t, conn, msg) of command replies
        self.lock = threading.Lock()

    def poll(self):
        with self.lock:
            try:
                with open(self.path, "rb") as f:
                    f.seek(self.pos)
                    data = f.read()
            except FileNotFoundError:
                return
            self.pos += len(data)
            self.buf += data
            *lines, self.buf = self.buf.split(b"\n")
            for line in lines:
                if line.strip():
                    self._event(json.loads(line))

    def _event(self, e):
        ev, n, t = e["event"], e.get("conn"), e["t"]
        if ev == "connect":
            self.conns[n] = {"t": t, "auth_t": None, "accepted_t": None, "working_t": None,
                             "closed_t": None, "close_code": None, "close_by": None,
                             "refused_login": False}
        elif ev == "refused":
            self.refused += 1
        elif n in self.conns:
            c = self.conns[n]
            if ev == "message":
                msg = e.get("msg")
                mtype = msg.get("type") if isinstance(msg, dict) else None
                if mtype == "auth" and c["auth_t"] is None:
                    c["auth_t"] = t
                elif c["accepted_t"] is not None and c["working_t"] is None:
                    c["working_t"] = t
                if mtype in self.REPLY_TYPES:
                    self.replies.append((t, n, msg))
            elif ev == "sent" and "text" in e:
                try:
                    msg = json.loads(e["text"])
                except ValueError:
                    return
                if isinstance(msg, dict) and msg.get("type") == "auth":
                    if msg.get("ok") is True:
                        c["accepted_t"] = t
                    else:
                        c["refused_login"] = True
            elif ev == "close":
                c["closed_t"] = t
                c["close_code"] = e.get("code")
                c["close_by"] = e.get("initiated_by")

    def last_conn(self):
        with self.lock:
            return max(self.conns) if self.conns else 0

    def conn(self, n):
        with self.lock:
            c = self.conns.get(n)
            return dict(c) if c else None

    def healthy_conn(self):
        """Number of the open connection with an accepted login on which the
        agent has sent something since (its back-off counter is back to 0),
        or None."""
        with self.lock:
            if not self.conns:
                return None
            n = max(self.conns)
            c = self.conns[n]
            if c["closed_t"] is None and c["working_t"] is not None:
                return n
            return None

    def first_working_after(self, n0):
        """First connection after number n0 whose login was accepted and on
        which the agent sent something: (n, conn dict) or None."""
        with self.lock:
            for n in sorted(k for k in self.conns if k > n0):
                c = self.conns[n]
                if c["accepted_t"] is not None and c["working_t"] is not None:
                    return n, dict(c)
            return None

    def find_reply(self, since, pred):
        with self.lock:
            for t, n, msg in self.replies:
                if t >= since and pred(msg):
                    return t, n, msg
        return None


# --------------------------------------------------------------------------
# The run
# --------------------------------------------------------------------------

class Soak:
    def __init__(self):
        self.seconds = env_num("SOAK_SECONDS", 150.0)
        seed_env = os.environ.get("SOAK_SEED", "")
        self.seed = int(seed_env) if seed_env else int.from_bytes(os.urandom(4), "big")
        self.rng = random.Random(self.seed)
        self.miner_rng = random.Random(self.seed ^ 0x5EED)
        self.warmup = env_num("SOAK_WARMUP", min(max(60.0, 0.1 * self.seconds), 900.0))
        self.rss_tol_kb = env_num("SOAK_RSS_TOL_KB", 2048, int)
        self.fd_tol = env_num("SOAK_FD_TOL", 5, int)
        self.slack = env_num("SOAK_SLACK", 5.0)
        self.stop_limit = env_num("SOAK_STOP_LIMIT", 10.0)
        self.sample_every = env_num("SOAK_SAMPLE", 3.0)
        work = os.environ.get("SOAK_WORK", "")
        if work:
            self.work = Path(work)
            if self.work.exists():
                shutil.rmtree(self.work)
            self.work.mkdir(parents=True)
        else:
            self.work = Path(tempfile.mkdtemp(prefix="kvagent-soak-"))
        self.report_path = Path(os.environ.get("SOAK_REPORT") or self.work / "soak-report.json")
        self.delays, self.jitter = backoff_policy()

        self.failures = []
        self.faults = Counter()
        self.outcomes = Counter()
        self.episodes = []
        self.reconnects = []
        self.commands = Counter()
        self.samples = []        # (elapsed, rss_kb, fds, threads)
        self.miner_restarts = []
        self.stop_s = None
        self.exit_status = None
        self.pools = None        # the pools last set
        self.korvane = None
        self.stop_event = threading.Event()
        self.agent_gone = threading.Event()
        self.device = self.server = self.agent = None
        self.record = None
        self.t0 = None
        self.req_no = 0

    # -- output ------------------------------------------------------------
    def elapsed(self):
        return time.monotonic() - self.t0 if self.t0 else 0.0

    def say(self, text):
        print("[%7.1fs] %s" % (self.elapsed(), text), flush=True)

    def fail(self, text):
        self.failures.append("%.1fs: %s" % (self.elapsed(), text))
        self.say("FAIL " + text)

    # -- set-up ------------------------------------------------------------
    def setup(self):
        if os.geteuid() != 0:
            raise SystemExit("soak: run as root (network namespaces)")
        binary = runners.agent_binary()
        if not binary.exists():
            raise SystemExit("soak: no agent binary %s (bash scripts/build.sh build, or set "
                             "KVAGENT_BIN)" % binary)
        runners.remove_stale_namespaces()
        certs_dir = self.work / "certs"
        runners.run_cmd([runners.PYTHON, runners.DEVSERVER, "gen-certs", "--out", certs_dir])
        certs = {"dir": certs_dir, "ca": certs_dir / "ca.pem", "cert": certs_dir / "server.pem",
                 "key": certs_dir / "server.key"}
        self.device = runners.Device(self.work / "device", mac=MAC)
        (self.work / "device").mkdir()
        self.device.setup()
        self.device.install_ca(certs["ca"])
        self.device.write_miner_config(runners.DEFAULT_MINER_CONFIG)
        (self.device.root / "config" / "network.conf").write_text(NETWORK_CONF)
        self.device.miner_args("--warmup 5")
        self.device.write_config({"api_key": runners.API_KEY})
        self.server = runners.DevServer(self.device, certs).start()
        self.record = Record(self.server.record_path)
        self.ctl = DevCtl(str(self.server.control_path))
        self.agent = runners.Agent(self.device, ["-s", self.server.url], miner=True).start()
        self.pid = self.agent.pid
        self.t0 = time.monotonic()
        self.say("seed %d (SOAK_SEED=%d replays it); %g s of faults; agent %s pid %d; "
                 "work folder %s" % (self.seed, self.seed, self.seconds, binary, self.pid,
                                     self.work))
        self.say("back-off %s s + up to %d %% jitter; slack %g s"
                 % (self.delays, round(self.jitter * 100), self.slack))
        self.wait_healthy(60, "first login")
        self.korvane = self.read_json("korvane.json")
        if self.korvane != {"api_key": runners.API_KEY, "dev_id": DEV_ID}:
            self.fail("korvane.json after the first start: %r" % (self.korvane,))
        self.pools = [{"url": p["url"], "user": p["user"], "pass": p["pass"]}
                      for p in runners.DEFAULT_MINER_CONFIG["pools"]]

    # -- helpers -------------------------------------------------------------
    def check_alive(self):
        rc = self.agent.proc.poll()
        if rc is not None or self.agent_gone.is_set():
            self.agent_gone.set()
            raise SoakFailure("the agent exited (status %s)" % rc)

    def wait(self, pred, timeout, what):
        """Poll the record until pred() is true; SoakFailure on timeout or
        when the agent is gone."""
        deadline = time.monotonic() + timeout
        while True:
            self.record.poll()
            self.check_alive()
            v = pred()
            if v:
                return v
            if time.monotonic() >= deadline:
                raise SoakFailure("timed out after %.0f s waiting for %s" % (timeout, what))
            time.sleep(0.2)

    def sleep(self, secs):
        end = time.monotonic() + secs
        while time.monotonic() < end:
            self.check_alive()
            time.sleep(min(0.5, max(0.0, end - time.monotonic())))

    def wait_healthy(self, timeout, what):
        return self.wait(self.record.healthy_conn, timeout, "a working session (%s)" % what)

    def read_json(self, name):
        p = self.device.root / "config" / name
        try:
            return json.loads(p.read_text())
        except FileNotFoundError:
            raise SoakFailure("/config/%s is missing" % name)
        except ValueError as exc:
            raise SoakFailure("/config/%s is not valid JSON (%s): %r"
                              % (name, exc, p.read_bytes()[:200]))

    def check_config_files(self, when):
        korvane = self.read_json("korvane.json")
        if korvane != self.korvane:
            raise SoakFailure("/config/korvane.json changed (%s): %r" % (when, korvane))
        conf = self.read_json("cgminer.conf")
        pools = conf.get("pools") if isinstance(conf, dict) else None
        got = [{k: p.get(k) for k in ("url", "user", "pass")} for p in pools or []
               if isinstance(p, dict) and p.get("url")]
        if got != self.pools:
            raise SoakFailure("/config/cgminer.conf pools (%s): %r, expected %r"
                              % (when, got, self.pools))
        # The agent writes numbers in its own layout ("0725" -> "725").
        for key, same in (("api-listen", lambda a, b: a == b),
                          ("bitmain-freq", lambda a, b: float(a) == float(b)),
                          ("bitmain-voltage", lambda a, b: int(a, 10) == int(b, 10))):
            want = runners.DEFAULT_MINER_CONFIG[key]
            try:
                ok = same(conf.get(key), want)
            except (TypeError, ValueError):
                ok = False
            if not ok:
                raise SoakFailure("/config/cgminer.conf %s is %r, expected %r (%s)"
                                  % (key, conf.get(key), want, when))
        net = (self.device.root / "config" / "network.conf")
        if not net.exists() or net.read_text() != NETWORK_CONF:
            raise SoakFailure("/config/network.conf changed or lost (%s)" % when)

    def request_id(self, prefix):
        self.req_no += 1
        return "%s-%d" % (prefix, self.req_no)

    def send(self, msg, ctl=None):
        (ctl or self.ctl).send(msg)

    # -- resource sampling ---------------------------------------------------
    def sampler(self):
        status = Path("/proc/%d/status" % self.pid)
        fd_dir = Path("/proc/%d/fd" % self.pid)
        while not self.stop_event.is_set():
            try:
                text = status.read_text()
                rss = int(re.search(r"^VmRSS:\s+(\d+)", text, re.M).group(1))
                threads = int(re.search(r"^Threads:\s+(\d+)", text, re.M).group(1))
                fds = len(os.listdir(fd_dir))
                if "State:\tZ" in text:
                    raise OSError("zombie")
            except (OSError, AttributeError):
                if not self.stop_event.is_set():
                    self.agent_gone.set()
                return
            self.samples.append((round(self.elapsed(), 1), rss, fds, threads))
            self.stop_event.wait(self.sample_every)

    # -- server-side faults --------------------------------------------------
    # One handler per kind (SERVER_FAULTS below): handler(self, ep, n0, short)
    # injects the fault on the working connection n0, notes what it did in the
    # episode `ep` and checks how the agent comes back.

    def server_fault(self, kind, short=False):
        n0 = self.wait_healthy(120, "before %s" % kind)
        ep = {"kind": kind, "at": round(self.elapsed(), 1), "conn": n0}
        self.SERVER_FAULTS[kind](self, ep, n0, short)
        return ep

    def drop_connection(self, ep, n0, short):
        self.ctl.drop()
        t = time.time()
        self.check_reconnect(ep, n0, t, t)

    def close_session(self, ep, n0, short):
        code = self.rng.choice([1000, 1001, 1011, 4000])
        ep["code"] = code
        self.ctl.close(code, "soak")
        t = time.time()
        self.check_reconnect(ep, n0, t, t)

    def outage(self, ep, n0, short, begin, finish):
        """begin(), a while (outage_seconds), finish(); then the agent must be
        back within the bound for an outage that long."""
        secs = self.outage_seconds(short)
        ep["outage_s"] = secs
        begin()
        start = time.time()
        self.sleep(secs)
        finish()
        self.check_reconnect(ep, n0, start, time.time())

    def refuse_connections(self, ep, n0, short):
        """refuse_stop, refuse_reset, refuse_junk: the listener in that mode."""
        mode = ep["kind"].split("_")[1]

        def begin():
            self.ctl.drop()
            self.ctl.listen(mode)
        self.outage(ep, n0, short, begin, lambda: self.ctl.listen("normal"))

    def refuse_logins(self, ep, n0, short):
        def begin():
            self.ctl.set_auth("refuse", "soak: login refused")
            self.ctl.drop()
        self.outage(ep, n0, short, begin, lambda: self.ctl.set_auth("accept"))

    def slow_login(self, ep, n0, short):
        delay = round(self.rng.uniform(2, 8 if short else 45), 1)
        ep["login_delay_s"] = delay
        self.ctl.set_delay(auth=delay, reply=round(self.rng.uniform(0, 5), 1))
        self.ctl.drop()
        t = time.time()
        try:
            self.check_reconnect(ep, n0, t, t)
        finally:
            self.ctl.set_delay(auth=0, reply=0)
        n, c = self.record.first_working_after(n0)
        waited = c["accepted_t"] - c["auth_t"]
        ep["login_answer_after_s"] = round(waited, 2)
        if waited < ep["login_delay_s"] - 0.5:
            self.fail("slow_login: answer after %.1f s, asked for %.1f s"
                      % (waited, ep["login_delay_s"]))
        if c["working_t"] - c["accepted_t"] > self.slack:
            self.fail("slow_login: agent silent %.1f s after the late login answer"
                      % (c["working_t"] - c["accepted_t"]))

    def outage_seconds(self, short):
        if short:
            return round(self.rng.uniform(2, 6), 1)
        room = max(2.0, self.seconds - self.elapsed() - 90)
        r = self.rng.random()
        if r < 0.6:
            secs = self.rng.uniform(2, 10)
        elif r < 0.9:
            secs = self.rng.uniform(10, 45)
        else:
            secs = self.rng.uniform(45, 150)
        return round(min(secs, room), 1)

    def check_reconnect(self, ep, n0, start, end):
        """The agent must be back on a working session by the back-off bound."""
        bound_t, step = reconnect_bound(start, end, self.delays, self.jitter)
        allowed = bound_t - end + self.slack
        if ep["kind"] in ("refuse_stop", "refuse_reset"):
            # A connection the kernel took just as the listener closed (or
            # stopped resetting) is never served: the agent's attempt then
            # waits out the library's TLS handshake timeout ("Timed out
            # waiting SSL") before its next back-off step, which may end
            # after the outage.
            allowed = max(allowed, start + HANDSHAKE_TIMEOUT_S - end + step * (1.0 + self.jitter)
                          + self.slack)
        ep["bound_s"] = round(allowed, 2)
        ep["step_s"] = step
        try:
            n, c = self.wait(lambda: self.record.first_working_after(n0),
                             allowed + 90, "the agent to reconnect after %s" % ep["kind"])
        except SoakFailure as exc:
            raise SoakFailure("%s: no working session (%s)" % (ep["kind"], exc)) from None
        delay = max(0.0, c["t"] - end)
        ep["reconnect_s"] = round(delay, 2)
        ep["attempts_seen"] = n - n0
        self.reconnects.append({"kind": ep["kind"], "delay_s": round(delay, 2),
                                "bound_s": round(allowed, 2),
                                "outage_s": round(end - start, 1)})
        if delay > allowed:
            self.fail("%s: reconnected %.1f s after the fault ended, bound %.1f s "
                      "(outage %.1f s, back-off step %g s)"
                      % (ep["kind"], delay, allowed, end - start, step))

    # What the garbage fault sends: one handler per kind (GARBAGE below),
    # handler(self, ep) -> the request id of a command that must not be
    # carried out, or None. "oversized" is picked twice as often.
    GARBAGE_KINDS = ("text", "json_array", "binary", "bad_utf8", "oversized", "oversized")

    def garbage_text(self, ep):
        self.ctl.send_raw(self.rng.choice(["not json at all", "{\"type\": \"logs\", ",
                                           "\x7f\x01 <html>", "{}}}", "nul\x00l"]))

    def garbage_json_array(self, ep):
        self.ctl.send_raw(json.dumps([{"type": "logs", "request_id": "array"}]))

    def garbage_binary(self, ep):
        self.ctl.send_bytes(bytes(self.rng.getrandbits(8) for _ in range(
            self.rng.randint(1, 4096))), binary=True)

    def garbage_bad_utf8(self, ep):
        self.ctl.send_bytes(b'{"type": "logs", "request_id": "\xff\xfe\xc3"}')

    def garbage_oversized(self, ep):
        rid = self.request_id("oversized")
        size = self.rng.choice([IN_MSG_MAX + 1, IN_MSG_MAX + 100, 65536, 300000])
        ep["size"] = size
        self.ctl.send_padded({"type": "logs", "request_id": rid}, size)
        return rid

    def garbage(self, ep, n0, short):
        sub = self.rng.choice(self.GARBAGE_KINDS)
        ep["sub"] = sub
        rid = self.GARBAGE[sub](self, ep)
        sent = time.time()
        self.sleep(3)
        self.record.poll()
        c = self.record.conn(n0)
        if c["closed_t"] is None:
            ep["outcome"] = "kept"
        else:
            ep["outcome"] = "closed by %s" % c["close_by"]
            self.check_reconnect(ep, n0, sent, sent)
        self.outcomes["%s: %s" % (sub, ep["outcome"])] += 1
        if rid is not None:
            # Beyond the limit: dropped unread, never carried out. A normal
            # request afterwards must be answered.
            self.logs_request(expect_ok=True)
            if self.record.find_reply(sent, lambda m: m.get("request_id") == rid):
                self.fail("oversized request %s (%d bytes) was carried out" % (rid, ep["size"]))

    # -- commands and the kernel-log hang ------------------------------------
    def wait_reply(self, since, pred, timeout, what):
        return self.wait(lambda: self.record.find_reply(since, pred), timeout, what)

    def logs_request(self, expect_ok):
        rid = self.request_id("logs")
        since = time.time()
        self.send({"type": "logs", "request_id": rid})
        t, n, msg = self.wait_reply(since, lambda m: m.get("request_id") == rid,
                                    LOGS_LIMIT_S + 10 + self.slack * 2,
                                    "the answer to logs %s" % rid)
        took = t - since
        if expect_ok and not (msg.get("type") == "logs" and "Booting Linux" in msg.get("logs", "")):
            raise SoakFailure("logs %s answered %r" % (rid, str(msg)[:300]))
        return took, msg

    def logs_hang(self, ep):
        delay = self.device.root / "run" / "sandbox" / "get_kernel_log.delay"
        runners.write_atomic(delay, "600\n")
        try:
            self.wait_healthy(120, "before logs_hang")
            took, msg = self.logs_request(expect_ok=False)
        finally:
            delay.unlink()
        ep["answer_after_s"] = round(took, 1)
        if msg.get("type") != "get_logs" or msg.get("ok") is not False:
            self.fail("hung kernel-log script: answered %r" % (str(msg)[:300],))
        if took > LOGS_LIMIT_S + self.slack * 2:
            self.fail("hung kernel-log script given up after %.1f s (limit %d s)"
                      % (took, LOGS_LIMIT_S))
        # Its whole process group is killed: nothing of it may stay behind.
        self.sleep(1)
        left = self.hung_script_processes()
        if left:
            self.fail("the hung kernel-log script left processes behind: %s" % left)
        self.logs_request(expect_ok=True)
        return ep

    def hung_script_processes(self):
        out = []
        res = runners.run_cmd(["ip", "netns", "pids", self.device.name], check=False)
        for pid in res.stdout.split():
            try:
                cmd = Path("/proc/%s/cmdline" % pid).read_bytes().replace(b"\0", b" ")
            except OSError:
                continue
            if b"sleep 600" in cmd or b"get_kernel_log" in cmd:
                out.append("%s %s" % (pid, cmd.decode(errors="replace").strip()))
        return out

    def config_pools(self, ep):
        k = self.rng.randint(1, 10 ** 6)
        main = {"stratum_url": "stratum+tcp://pool%d.example.invalid:%d"
                % (k % 97, 3333 + k % 7), "worker": "soak.w%d" % k, "password": "x"}
        msg = {"type": "config_pools", "main": main}
        pools = [{"url": main["stratum_url"], "user": main["worker"], "pass": "x"}]
        if self.rng.random() < 0.7:
            res = {"stratum_url": "stratum+tcp://backup%d.example.invalid:3333" % (k % 13),
                   "worker": "soak.b%d" % k, "password": "y"}
            msg["reserved"] = res
            pools.append({"url": res["stratum_url"], "user": res["worker"], "pass": "y"})
        self.wait_healthy(120, "before config_pools")
        since = time.time()
        self.send(msg)
        t, n, reply = self.wait_reply(since, lambda m: m.get("type") == "config_pools",
                                      30 + self.slack, "the config_pools reply")
        ep["answer_after_s"] = round(t - since, 2)
        if reply != {"type": "config_pools", "ok": True}:
            raise SoakFailure("config_pools answered %r" % (reply,))
        self.pools = pools
        self.check_config_files("after config_pools")
        return ep

    # -- the miner's faults --------------------------------------------------
    def miner_thread(self):
        ctl = DevCtl(str(self.server.control_path))
        rng = self.miner_rng
        try:
            while not self.stop_event.wait(rng.uniform(5, 40)):
                mode = rng.choice(MINER_MODES)
                secs = rng.uniform(5, 40)
                huge = rng.choice([300000, 9 << 20])
                self.faults["miner_" + mode] += 1
                self.say("miner: %s for %.0f s%s" % (mode, secs, " (%d bytes)" % huge
                                                     if mode == "huge" else ""))
                self.device.miner_control(mode=mode, trickle_delay=0.2, huge_bytes=huge)
                self.stop_event.wait(secs)
                self.device.miner_control()
                self.ensure_miner(ctl)
        except Exception as exc:  # reported, the run goes on
            if not self.agent_gone.is_set():
                self.fail("miner fault thread: %s" % exc)
        finally:
            self.device.miner_control()
            ctl.close_socket()

    def ensure_miner(self, ctl, timeout=180):
        """A miner that died is started again through the agent."""
        if self.device.miner_pids():
            return
        began = time.monotonic()
        tries = 0
        while time.monotonic() - began < timeout and not self.agent_gone.is_set():
            if self.device.miner_pids():
                took = time.monotonic() - began
                self.miner_restarts.append(round(took, 1))
                self.say("miner: running again after %.1f s (%d start_mining)" % (took, tries))
                return
            try:
                ctl.send({"type": "start_mining"})
                tries += 1
            except (DevCtlError, OSError):
                pass  # no session right now
            for _ in range(30):
                if self.device.miner_pids():
                    break
                time.sleep(0.5)
        if not self.agent_gone.is_set():
            self.fail("miner not running %.0f s after it died (%d start_mining sent)"
                      % (time.monotonic() - began, tries))

    # -- schedule ------------------------------------------------------------
    # One handler per episode kind (EPISODES below): handler(self, ep, short)
    # -> the episode as reported. How often pick() chooses each kind:
    EPISODE_WEIGHTS = {"drop": 3, "close": 2, "refuse_stop": 2, "refuse_reset": 1,
                       "refuse_junk": 1, "login_refused": 1, "slow_login": 2, "garbage": 3,
                       "logs_hang": 1, "config_pools": 3, "logs": 2, "idle": 1}

    def episode(self, kind, short=False):
        ep = self.EPISODES[kind](self, {"kind": kind, "at": round(self.elapsed(), 1)}, short)
        self.episodes.append(ep)
        detail = ", ".join("%s %s" % (k, v) for k, v in ep.items() if k not in ("kind", "at"))
        self.say("%s%s" % (kind, " (%s)" % detail if detail else ""))

    def server_episode(self, ep, short):
        kind = ep["kind"]
        ep = self.server_fault(kind, short)
        self.faults[kind] += 1
        return ep

    def logs_hang_episode(self, ep, short):
        self.faults["logs_hang"] += 1
        return self.logs_hang(ep)

    def config_pools_episode(self, ep, short):
        self.commands["config_pools"] += 1
        return self.config_pools(ep)

    def logs_episode(self, ep, short):
        self.commands["logs"] += 1
        self.wait_healthy(120, "before logs")
        took, _ = self.logs_request(expect_ok=True)
        ep["answer_after_s"] = round(took, 2)
        return ep

    def idle_episode(self, ep, short):
        secs = round(self.rng.uniform(3, 20), 1)
        ep["secs"] = secs
        self.sleep(secs)
        return ep

    def pick(self):
        kinds = sorted(self.EPISODE_WEIGHTS)
        return self.rng.choices(kinds, [self.EPISODE_WEIGHTS[k] for k in kinds])[0]

    def run(self):
        threads = [threading.Thread(target=self.sampler, daemon=True, name="sampler"),
                   threading.Thread(target=self.miner_thread, daemon=True, name="miner")]
        for t in threads:
            t.start()
        try:
            # Every kind once first (short outages), so the warm-up sees them all.
            tour = list(self.SERVER_FAULTS) + ["logs_hang", "config_pools", "logs"]
            self.rng.shuffle(tour)
            for kind in tour:
                if self.elapsed() >= self.seconds:
                    break
                self.episode(kind, short=True)
                self.sleep(self.rng.uniform(1, 4))
            while self.elapsed() < self.seconds:
                self.episode(self.pick())
                self.sleep(self.rng.uniform(1, 8))
        except SoakFailure as exc:
            self.fail(str(exc))
        except DevCtlError as exc:
            self.fail("server control: %s" % exc)
        finally:
            self.stop_event.set()
            for t in threads:
                t.join(30)
        self.finish()

    def finish(self):
        """Faults off, then the orderly stop and the last checks."""
        if self.agent.proc.poll() is not None:
            self.exit_status = self.agent.proc.returncode
            self.fail("the agent exited during the run (status %s)" % self.exit_status)
            return
        try:
            self.ctl.listen("normal")
            self.ctl.set_auth("accept")
            self.ctl.set_delay(auth=0, reply=0)
            self.device.miner_control()
            self.wait_healthy(200, "before the stop")
            self.sleep(3)
        except (SoakFailure, DevCtlError) as exc:
            self.fail("before the stop: %s" % exc)
        if self.agent.proc.poll() is not None:
            self.exit_status = self.agent.proc.returncode
            self.fail("the agent exited (status %s)" % self.exit_status)
            return
        last = self.record.last_conn()
        t = time.monotonic()
        self.agent.signal(signal.SIGTERM)
        try:
            self.exit_status = self.agent.wait_exit(timeout=60)
        except runners.Timeout:
            self.fail("the agent did not stop within 60 s of SIGTERM")
            return
        self.stop_s = round(time.monotonic() - t, 2)
        self.say("SIGTERM: exit status %s after %.2f s" % (self.exit_status, self.stop_s))
        if self.exit_status != 0:
            self.fail("exit status %s after SIGTERM" % self.exit_status)
        if self.stop_s > self.stop_limit:
            self.fail("stop took %.1f s (limit %g s)" % (self.stop_s, self.stop_limit))
        deadline = time.monotonic() + 10
        c = None
        while time.monotonic() < deadline:
            self.record.poll()
            c = self.record.conn(last)
            if c and c["closed_t"] is not None:
                break
            time.sleep(0.2)
        if not c or c["close_code"] != 1000 or c["close_by"] != "agent":
            self.fail("the last session did not end with the agent's close 1000: %r" % (c,))
        try:
            self.check_config_files("at the end")
        except SoakFailure as exc:
            self.fail(str(exc))

    # -- resources and the summary -------------------------------------------
    def check_resources(self):
        s = self.samples
        if not s:
            self.fail("no resource samples")
            return {}
        warm = [x for x in s if x[0] <= self.warmup] or s[:1]
        after = [x for x in s if x[0] > self.warmup]
        rss_cap = max(x[1] for x in warm) + self.rss_tol_kb
        fd_cap = max(x[2] for x in warm) + self.fd_tol
        if after:
            worst_rss = max(after, key=lambda x: x[1])
            worst_fd = max(after, key=lambda x: x[2])
            if worst_rss[1] > rss_cap:
                self.fail("RSS grew to %d kB at %.0f s (warm-up max %d kB + %d kB)"
                          % (worst_rss[1], worst_rss[0], rss_cap - self.rss_tol_kb,
                             self.rss_tol_kb))
            if worst_fd[2] > fd_cap:
                self.fail("open descriptors grew to %d at %.0f s (warm-up max %d + %d)"
                          % (worst_fd[2], worst_fd[0], fd_cap - self.fd_tol, self.fd_tol))
        else:
            self.fail("the run ended within the warm-up (%g s): RSS/fd growth not checked"
                      % self.warmup)

        def stats(i):
            vals = [x[i] for x in s]
            return {"min": min(vals), "max": max(vals), "last": vals[-1],
                    "warmup_max": max(x[i] for x in warm),
                    "after_warmup_max": max((x[i] for x in after), default=None)}
        return {"samples": len(s), "every_s": self.sample_every, "warmup_s": self.warmup,
                "rss_kb": stats(1), "fds": stats(2), "threads": stats(3),
                "rss_tolerance_kb": self.rss_tol_kb, "fd_tolerance": self.fd_tol}

    def summary(self):
        res = self.check_resources()
        rec = self.reconnects
        worst = max(rec, key=lambda r: r["delay_s"]) if rec else None
        tightest = max(rec, key=lambda r: r["delay_s"] / r["bound_s"]) if rec else None
        per_kind = {}
        for r in rec:
            k = per_kind.setdefault(r["kind"], {"count": 0, "worst_delay_s": 0.0,
                                                "its_bound_s": None, "longest_outage_s": 0.0})
            k["count"] += 1
            k["longest_outage_s"] = max(k["longest_outage_s"], r["outage_s"])
            if r["delay_s"] >= k["worst_delay_s"]:
                k["worst_delay_s"], k["its_bound_s"] = r["delay_s"], r["bound_s"]
        report = {
            "seed": self.seed,
            "duration_s": round(self.elapsed(), 1),
            "fault_seconds": self.seconds,
            "agent_binary": str(runners.agent_binary()),
            "faults": dict(sorted(self.faults.items())),
            "faults_total": sum(self.faults.values()),
            "commands": dict(sorted(self.commands.items())),
            "garbage_outcomes": dict(sorted(self.outcomes.items())),
            "reconnects": {
                "count": len(rec),
                "worst_delay": worst,
                "closest_to_bound": tightest,
                "per_kind": dict(sorted(per_kind.items())),
                "backoff_s": self.delays, "jitter": self.jitter, "slack_s": self.slack,
            },
            "miner_restarts_s": self.miner_restarts,
            "resources": res,
            "stop": {"seconds": self.stop_s, "exit_status": self.exit_status,
                     "limit_s": self.stop_limit},
            "connections": self.record.last_conn() if self.record else 0,
            "refused_connections": self.record.refused if self.record else 0,
            "failures": self.failures,
            "ok": not self.failures,
            "episodes": self.episodes,
        }
        self.report_path.parent.mkdir(parents=True, exist_ok=True)
        self.report_path.write_text(json.dumps(report, indent=2) + "\n")

        def mib(kb):
            return "%.1f MiB" % (kb / 1024.0) if kb is not None else "-"
        print("\n==== soak summary (seed %d) ====" % self.seed)
        print("duration         %.0f s (faults for %g s), %d connections, %d turned away"
              % (report["duration_s"], self.seconds, report["connections"],
                 report["refused_connections"]))
        print("faults           %d: %s" % (report["faults_total"], ", ".join(
            "%s %d" % kv for kv in sorted(self.faults.items())) or "-"))
        print("commands         %s" % (", ".join("%s %d" % kv for kv in sorted(
            self.commands.items())) or "-"))
        if self.outcomes:
            print("garbage          %s" % ", ".join("%s %d" % kv for kv in sorted(
                self.outcomes.items())))
        if rec:
            print("reconnects       %d; worst %.1f s (bound %.1f s, %s after %.0f s outage); "
                  "closest to its bound %.1f of %.1f s (%s)"
                  % (len(rec), worst["delay_s"], worst["bound_s"], worst["kind"],
                     worst["outage_s"], tightest["delay_s"], tightest["bound_s"],
                     tightest["kind"]))
        for kind, k in sorted(per_kind.items()):
            print("  %-14s %3d, worst %5.1f s of %5.1f s allowed (longest outage %.0f s)"
                  % (kind, k["count"], k["worst_delay_s"], k["its_bound_s"],
                     k["longest_outage_s"]))
        if self.miner_restarts:
            print("miner restarts   %d, slowest %.1f s" % (len(self.miner_restarts),
                                                         max(self.miner_restarts)))
        if res:
            r, f, t = res["rss_kb"], res["fds"], res["threads"]
            print("RSS              min %s, max %s, last %s (warm-up max %s, after %s)"
                  % (mib(r["min"]), mib(r["max"]), mib(r["last"]), mib(r["warmup_max"]),
                     mib(r["after_warmup_max"])))
            print("descriptors      min %d, max %d, last %d (warm-up max %d, after %s)"
                  % (f["min"], f["max"], f["last"], f["warmup_max"], f["after_warmup_max"]))
            print("threads          min %d, max %d, last %d" % (t["min"], t["max"], t["last"]))
        print("stop             %s s, exit status %s" % (self.stop_s, self.exit_status))
        print("report           %s" % self.report_path)
        print("work folder      %s (agent output %s)" % (self.work, self.agent.log_path
                                                          if self.agent else "-"))
        if self.failures:
            print("FAILED (%d):" % len(self.failures))
            for f in self.failures:
                print("  - " + f)
        else:
            print("PASSED")
        return report

    def dump_logs(self):
        if not self.failures or self.agent is None:
            return
        print("\n---- agent output (last 60 lines) ----")
        print("\n".join(self.agent.log_lines()[-60:]))
        print("---- devserver (last 30 lines) ----")
        print("\n".join(self.server.stderr_text().splitlines()[-30:]))

    def teardown(self):
        self.stop_event.set()
        if self.device is not None:
            self.device.teardown()
        try:
            self.ctl.close_socket()
        except Exception:
            pass

    # The handler tables (see server_fault, garbage, episode). The order of
    # SERVER_FAULTS is that of the first round of episodes before its shuffle,
    # so a seed replays the same schedule.
    SERVER_FAULTS = {
        "drop": drop_connection,
        "close": close_session,
        "refuse_stop": refuse_connections,
        "refuse_reset": refuse_connections,
        "refuse_junk": refuse_connections,
        "login_refused": refuse_logins,
        "slow_login": slow_login,
        "garbage": garbage,
    }
    GARBAGE = {
        "text": garbage_text,
        "json_array": garbage_json_array,
        "binary": garbage_binary,
        "bad_utf8": garbage_bad_utf8,
        "oversized": garbage_oversized,
    }
    EPISODES = dict(
        dict.fromkeys(SERVER_FAULTS, server_episode),
        logs_hang=logs_hang_episode,
        config_pools=config_pools_episode,
        logs=logs_episode,
        idle=idle_episode,
    )


def main():
    soak = Soak()

    def on_signal(sig, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_signal)
    try:
        soak.setup()
        soak.run()
    except KeyboardInterrupt:
        soak.fail("interrupted")
    except (SoakFailure, DevCtlError) as exc:
        soak.fail(str(exc))
    except Exception:
        soak.fail("soak driver error:\n" + traceback.format_exc())
    finally:
        soak.stop_event.set()
        try:
            soak.summary()
            soak.dump_logs()
        finally:
            soak.teardown()
    return 1 if soak.failures else 0


if __name__ == "__main__":
    sys.exit(main())
