#!/usr/bin/python3
"""Simulated cgminer of an antminer-l3plus (4 hash chains of 72 chips): the
agent's miner peer in the device sandbox, for tests and demos.

  minersim.py serve [--host 127.0.0.1] [--port 4028] [--config /config/cgminer.conf]
                    [--warmup SECS] [--chip-hr PATH] [--control PATH]
                    [--request-log PATH] [--pidfile PATH] [--seed N]
  minersim.py query COMMAND [--host 127.0.0.1] [--port 4028]

`serve` answers the miner's JSON API the way the device's cgminer does: one
connection per request, one JSON request object (no terminator: it is read
until it parses or the peer shuts its side down), one answer followed by a NUL
byte, then the connection is closed. Commands: "stats", "pools"; anything else
gets the "Invalid command" error, a request that is not a JSON object the
"Invalid JSON" one. The "stats" answer keeps the firmware's two faults: the two
objects of "STATS" are written back to back without a comma ("}{") and one
member has the bare value inf. The figures follow the chip frequencies of the
miner configuration file (read once at start) and move a little over time.
Every 5 s the per-chip hash rates are written to the chip dump (--chip-hr).

The device's init script runs it as `exec -a cgminer`, and it sets its own
process name to "cgminer", so `pidof cgminer` finds it. It writes its pid to
--pidfile, removes the file on SIGTERM/SIGINT, and leaves it behind when it
"crashes" (control mode "die").

Control file (--control, default /run/sandbox/minersim.json): a JSON object
re-read at every accepted connection and every 0.5 s. A missing or invalid file,
or a missing member, means the default.

  "mode"           "normal"   (default) answers as described above
                   "garbage"  answers bytes that are not JSON
                   "empty"    reads the request, closes without writing anything
                   "hang"     reads the request, never answers, keeps the
                              connection open until the peer closes it
                   "trickle"  the normal answer, one byte every trickle_delay s
                   "die"      the process exits at once (status 1), as if it
                              crashed, leaving its pid file
                   "stock"    answers as stock firmware: "stats" has no
                              freq_avgN members and voltageN are reals
                   "huge"     a valid "stats" answer padded with one extra
                              string member to about huge_bytes bytes
  "trickle_delay"  seconds between two bytes in trickle mode (default 0.05)
  "huge_bytes"     size of the answer in huge mode (default 200000)
  "pools_dead"     positions (0-based) in the "pools" answer reported "Dead"
                   (default [])

Request log (--request-log, default /run/sandbox/minersim-requests.log): one
JSON line per request received, {"time": epoch, "command": str or null,
"mode": control mode}; connections that send nothing (readiness probes) are not
logged.

Miner configuration (--config, default /config/cgminer.conf), JSON:
  "pools"              [{"url", "user", "pass"}, ...] (the first 3 are used; an
                       empty url is an unconfigured slot, reported "Dead")
  "bitmain-freq"       global chip frequency, a decimal string (default "384")
  "bitmain-freq1".."4" per chain ("0" or absent: the global one)
  "bitmain-chip-freq"  288 decimals joined by ":" (chain 1 chips 1..72, then
                       chains 2, 3, 4; 0: the chain's frequency)
A missing or unparsable file means 384 everywhere and no pools.

Units: this firmware reports MH/s under the names "GHS 5s", "GHS av",
"chain_rateN"; a chip does about freq/222 of them.

Standard library only; run with /usr/bin/python3.
"""

import argparse
import ctypes
import json
import math
import os
import random
import signal
import socket
import sys
import threading
import time

CHAINS = 4
CHIPS = 72
DEFAULT_FREQ = 384.0
RATE_PER_MHZ = 1.0 / 222.0
VERSION = "cgminer 4.9.0"
READ_TIMEOUT = 3.0
MAX_REQUEST = 65536
MODES = ("normal", "garbage", "empty", "hang", "trickle", "die", "stock", "huge")
DEFAULT_CONTROL = {"mode": "normal", "trickle_delay": 0.05, "huge_bytes": 200000,
                   "pools_dead": []}
# Chips of chain 2 (1-based) that hash at about 0.6 of what their frequency
# promises, so that a chip report has something to show.
SLOW_CHIPS = {2: {19: 0.58, 44: 0.62, 61: 0.6}}
DEVFEE_URL = "DevFee stratum+tcp://fee.example.invalid:3333"
POOL_DIFF = 131072.0
DEVFEE_DIFF = 65536.0


def log(msg):
    sys.stderr.write("%s minersim[%d]: %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"),
                                                 os.getpid(), msg))
    sys.stderr.flush()


# --------------------------------------------------------------------------
# Writing JSON the way the firmware does (compact, reals always with a
# fraction, and the occasional bare word)
# --------------------------------------------------------------------------

class Real:
    """A JSON real written with a fixed number of decimals (at least one)."""
    __slots__ = ("value", "digits")

    def __init__(self, value, digits=2):
        self.value = float(value)
        self.digits = max(1, digits)


class Bare:
    """Text written as is (e.g. inf)."""
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text


def dump(obj):
    if isinstance(obj, Real):
        v = obj.value if math.isfinite(obj.value) else 0.0
        return "%.*f" % (obj.digits, v)
    if isinstance(obj, Bare):
        return obj.text
    if isinstance(obj, bool) or obj is None:
        return json.dumps(obj)
    if isinstance(obj, int):
        return str(obj)
    if isinstance(obj, float):
        return dump(Real(obj, 6))
    if isinstance(obj, str):
        return json.dumps(obj)
    if isinstance(obj, dict):
        return "{" + ",".join("%s:%s" % (json.dumps(k), dump(v)) for k, v in obj.items()) + "}"
    if isinstance(obj, (list, tuple)):
        return "[" + ",".join(dump(v) for v in obj) + "]"
    raise TypeError("cannot write %r" % (obj,))


def status_object(kind, code, msg):
    return {"STATUS": kind, "When": int(time.time()), "Code": code, "Msg": msg,
            "Description": VERSION}


def error_answer(code, msg):
    return dump({"STATUS": [status_object("E", code, msg)], "id": 1})


# --------------------------------------------------------------------------
# Miner configuration
# --------------------------------------------------------------------------

def _freq(value):
    """A frequency from a config value (decimal string or number); None when
    unset (0), missing or unusable."""
    if isinstance(value, bool):
        return None
    if isinstance(value, str):
        try:
            value = float(value.strip())
        except ValueError:
            return None
    if not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        return None
    return float(value)


def load_miner_config(path):
    """Returns (config dict, problem text or None)."""
    try:
        with open(path, "rb") as f:
            conf = json.loads(f.read().decode("utf-8"))
    except FileNotFoundError:
        return {}, "no %s" % path
    except (OSError, ValueError) as exc:
        return {}, "cannot read %s: %s" % (path, exc)
    if not isinstance(conf, dict):
        return {}, "%s is not a JSON object" % path
    return conf, None


def chip_frequencies(conf):
    """Effective frequency of every chip: [chain][chip] (0-based), from the
    per-chip list, else the chain's value, else the global one."""
    glob = _freq(conf.get("bitmain-freq")) or DEFAULT_FREQ
    per_chip = conf.get("bitmain-chip-freq")
    chips = per_chip.split(":") if isinstance(per_chip, str) else []
    out = []
    for c in range(CHAINS):
        chain = _freq(conf.get("bitmain-freq%d" % (c + 1))) or glob
        row = []
        for k in range(CHIPS):
            i = c * CHIPS + k
            row.append((_freq(chips[i]) if i < len(chips) else None) or chain)
        out.append(row)
    return out, glob


def configured_pools(conf):
    pools = conf.get("pools")
    out = []
    if isinstance(pools, list):
        for p in pools[:3]:
            if not isinstance(p, dict):
                p = {}
            url, user = p.get("url"), p.get("user")
            out.append({"url": url if isinstance(url, str) else "",
                        "user": user if isinstance(user, str) else ""})
    return out


# --------------------------------------------------------------------------
# The device model
# --------------------------------------------------------------------------

def _wave(t, period, phase):
    return math.sin(2 * math.pi * t / period + phase)


class PoolState:
    def __init__(self, url, user, priority, devfee=False):
        self.url = url
        self.user = user
        self.priority = priority
        self.devfee = devfee
        self.configured = len(url) >= 3
        self.accepted = 0.0
        self.rejected = 0.0
        self.stale = 0.0
        self.getworks = 0.0
        self.discarded = 0.0
        self.get_failures = 0.0
        self.best = 0
        self.has_diff = False
        self.last_share = None  # monotonic time of the last accepted share

    @property
    def diff(self):
        return DEVFEE_DIFF if self.devfee else POOL_DIFF


class Model:
    """The figures of the device; advanced once a second by tick()."""

    def __init__(self, conf, warmup, rng):
        self.rng = rng
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.warmup = max(0.0, warmup)
        self.freqs, self.global_freq = chip_frequencies(conf)
        self.freq_avg = [sum(row) / CHIPS for row in self.freqs]
        self.chip_factor = []
        for c in range(CHAINS):
            slow = SLOW_CHIPS.get(c + 1, {})
            self.chip_factor.append([slow.get(k + 1, rng.gauss(1.0, 0.012))
                                     for k in range(CHIPS)])
        self.phase = [rng.uniform(0, 2 * math.pi) for _ in range(8)]
        self.voltage = [860, 850, 870, 840]
        self.board_base = [52, 56, 54, 58]
        self.hw = [float(rng.randint(0, 12)) for _ in range(CHAINS)]
        self.hw_rate = [1 / 90.0, 1 / 30.0, 1 / 90.0, 1 / 75.0]
        self.chip_rates = [[0.0] * CHIPS for _ in range(CHAINS)]
        self.board_temp = list(self.board_base)
        self.chip_temp = [b + 14 for b in self.board_base]
        self.fans = [3600, 3720]
        self.consumption = [0.0] * CHAINS
        self.avg = 0.0
        self.avg_started = False
        pools = configured_pools(conf)
        self.pools = [PoolState(p["url"], p["user"], i) for i, p in enumerate(pools)]
        self.pools.append(PoolState(DEVFEE_URL, "", 999, devfee=True))
        self.dead = set()
        self.last_tick = self.t0
        self.tick()

    # -- time ----------------------------------------------------------------
    def elapsed(self, now=None):
        return (now if now is not None else time.monotonic()) - self.t0

    def mining(self, now=None):
        return self.elapsed(now) >= self.warmup

    def set_dead(self, positions):
        with self.lock:
            self.dead = set(positions)

    def pool_alive(self, i):
        p = self.pools[i]
        return p.configured and i not in self.dead

    def active_pool(self):
        for i in range(len(self.pools)):
            if self.pool_alive(i):
                return i
        return None

    # -- one step --------------------------------------------------------------
    def tick(self):
        with self.lock:
            now = time.monotonic()
            dt = min(5.0, max(0.0, now - self.last_tick))
            self.last_tick = now
            t = self.elapsed(now)
            mining = self.mining(now)
            rng = self.rng
            # Hash rates: the chip's frequency, its own quality, a slow drift
            # of the chain and noise.
            for c in range(CHAINS):
                drift = 1 + 0.006 * _wave(t, 300, self.phase[c])
                for k in range(CHIPS):
                    if mining:
                        r = (self.freqs[c][k] * RATE_PER_MHZ * self.chip_factor[c][k] * drift
                             * (1 + rng.gauss(0, 0.01)))
                    else:
                        r = 0.0
                    self.chip_rates[c][k] = max(0.0, r)
            total = sum(sum(row) for row in self.chip_rates)
            if mining:
                if not self.avg_started:
                    self.avg, self.avg_started = total, True
                else:
                    self.avg += (total - self.avg) * min(1.0, dt / 60.0)
                for c in range(CHAINS):
                    self.hw[c] += dt * self.hw_rate[c] * (0.5 + rng.random())
            # Temperatures: the boards warm up during the start, then wander.
            warm = 1.0 if self.warmup <= 0 else min(1.0, t / self.warmup)
            for c in range(CHAINS):
                board = 30 + (self.board_base[c] - 30) * warm
                board += 2.0 * _wave(t, 600, self.phase[4 + c % 4]) + rng.gauss(0, 0.4)
                self.board_temp[c] = int(round(board))
                self.chip_temp[c] = int(round(board + 14 + rng.gauss(0, 0.5)))
                load = (self.freq_avg[c] / DEFAULT_FREQ) * (self.voltage[c] / 850.0) ** 2
                watts = 200.0 * load * (1 if mining else 0.35) * (1 + rng.gauss(0, 0.01))
                self.consumption[c] = watts
            for i, base in enumerate((3600, 3720)):
                rpm = base + 500 * _wave(t, 240, self.phase[i]) + rng.gauss(0, 40)
                self.fans[i] = int(min(4800, max(3000, rpm)))
            # Pools: shares go to the pool in use; the others see a few.
            active = self.active_pool()
            for i, p in enumerate(self.pools):
                if not p.configured:
                    continue
                if not self.pool_alive(i):
                    p.get_failures += dt / 10.0
                    continue
                p.getworks += dt / 30.0
                if not mining:
                    continue
                p.has_diff = True
                if i == active:
                    rate = 1 / 4.0
                    p.discarded += dt / 20.0
                elif p.devfee:
                    rate = 1 / 60.0
                else:
                    rate = 1 / 600.0
                before = int(p.accepted)
                p.accepted += dt * rate * (0.5 + rng.random())
                p.rejected += dt * rate / 200.0
                p.stale += dt * rate / 500.0
                if int(p.accepted) > before:
                    p.last_share = now
                    p.best = max(p.best, int(p.diff * rng.uniform(1.0, 40.0)))

    # -- answers -------------------------------------------------------------
    def stats_members(self, stock=False):
        with self.lock:
            now = time.monotonic()
            mining = self.mining(now)
            elapsed = int(self.elapsed(now))
            rates = [sum(row) for row in self.chip_rates]
            total = sum(rates)
            hw_total = sum(int(h) for h in self.hw)
            s = {
                "STATS": 0, "ID": "L30", "Elapsed": elapsed, "Calls": 0, "Wait": Real(0, 6),
                "Max": Real(0, 6), "Min": Bare("inf"),
                "GHS 5s": "%.2f" % (total if mining else 0.0),
                "GHS av": Real(self.avg if mining else 0.0, 2),
                "miner_count": CHAINS,
                "frequency": "%g" % self.global_freq,
                "fan_num": 2, "fan1": self.fans[0], "fan2": self.fans[1],
                "temp_num": CHAINS,
            }
            for c in range(CHAINS):
                s["temp%d" % (c + 1)] = self.board_temp[c]
            for c in range(CHAINS):
                s["temp2_%d" % (c + 1)] = self.chip_temp[c]
            s["temp_max"] = max(self.chip_temp)
            work = max(1.0, total * max(1, elapsed)) * 1000.0
            s["Device Hardware%"] = Real(100.0 * hw_total / (hw_total + work), 4)
            s["no_matching_work"] = hw_total
            for c in range(CHAINS):
                s["chain_acn%d" % (c + 1)] = CHIPS
            for c in range(CHAINS):
                s["chain_acs%d" % (c + 1)] = " ".join(["o" * 8] * (CHIPS // 8))
            for c in range(CHAINS):
                s["chain_hw%d" % (c + 1)] = int(self.hw[c])
            for c in range(CHAINS):
                s["chain_rate%d" % (c + 1)] = "%.2f" % (rates[c] if mining else 0.0)
            if not stock:
                for c in range(CHAINS):
                    s["freq_avg%d" % (c + 1)] = Real(self.freq_avg[c], 2)
            for c in range(CHAINS):
                v = self.voltage[c]
                s["voltage%d" % (c + 1)] = Real(v, 2) if stock else v
            for c in range(CHAINS):
                s["consumption%d" % (c + 1)] = Real(self.consumption[c], 2)
            return s

    def stats_answer(self, stock=False, size=None):
        ident = dump({"CGMiner": "4.9.0", "Miner": "1.0.1.3",
                      "CompileTime": "Thu Jun 28 16:08:50 CST 2018", "Type": "Antminer L3+"})
        members = self.stats_members(stock)
        status = dump([status_object("S", 70, "CGMiner stats")])

        def text(stats):
            # The firmware's way: no comma between the two objects.
            return '{"STATUS":%s,"STATS":[%s%s],"id":1}' % (status, ident, dump(stats))
        out = text(members)
        if size is not None:
            # +1 for the NUL that follows the answer.
            pad = size - (len(out) + 1) - len(',"debug_trace":""')
            members["debug_trace"] = "x" * max(0, pad)
            out = text(members)
        return out

    def pools_answer(self):
        with self.lock:
            now = time.monotonic()
            active = self.active_pool()
            entries = []
            for i, p in enumerate(self.pools):
                acc, rej, stale = int(p.accepted), int(p.rejected), int(p.stale)
                shares = acc + rej + stale
                if p.last_share is None:
                    last = "0"
                else:
                    ago = int(now - p.last_share)
                    last = "%d:%02d:%02d" % (ago // 3600, ago // 60 % 60, ago % 60)
                host = p.url.split("://", 1)[-1].split("/", 1)[0].rsplit(":", 1)[0]
                diff = p.diff if p.has_diff else 0.0
                entries.append({
                    "POOL": i, "URL": p.url,
                    "Status": "Alive" if self.pool_alive(i) else "Dead",
                    "Priority": p.priority, "Quota": 1, "Long Poll": "N",
                    "Getworks": int(p.getworks), "Accepted": acc, "Rejected": rej,
                    "Stale": stale, "Discarded": int(p.discarded),
                    "Get Failures": int(p.get_failures), "Remote Failures": 0,
                    "User": p.user, "Last Share Time": last,
                    "Diff": ("%.3gK" % (p.diff / 1000)) if p.has_diff else "",
                    "Diff1 Shares": int(acc * diff), "Proxy Type": "", "Proxy": "",
                    "Difficulty Accepted": Real(acc * diff, 8),
                    "Difficulty Rejected": Real(rej * diff, 8),
                    "Difficulty Stale": Real(stale * diff, 8),
                    "Last Share Difficulty": Real(diff if acc else 0.0, 8),
                    "Has Stratum": True, "Stratum Active": i == active,
                    "Stratum URL": host if p.configured else "",
                    "Has GBT": False, "Best Share": p.best,
                    "Pool Rejected%": Real(100.0 * rej / shares if shares else 0.0, 4),
                    "Pool Stale%": Real(100.0 * stale / shares if shares else 0.0, 4),
                })
        status = [status_object("S", 7, "%d Pool(s)" % len(entries))]
        return dump({"STATUS": status, "POOLS": entries, "id": 1})

    def chip_dump(self):
        with self.lock:
            return {"chiphr": [{"Asic%02d" % k: "%.4f" % self.chip_rates[c][k]
                                for k in range(CHIPS)} for c in range(CHAINS)]}


# --------------------------------------------------------------------------
# Control file and request log
# --------------------------------------------------------------------------

class Control:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.current = dict(DEFAULT_CONTROL)

    def reload(self):
        ctl = dict(DEFAULT_CONTROL)
        try:
            with open(self.path, "rb") as f:
                data = json.loads(f.read().decode("utf-8"))
        except (OSError, ValueError):
            data = None
        if isinstance(data, dict):
            if data.get("mode") in MODES:
                ctl["mode"] = data["mode"]
            for key in ("trickle_delay", "huge_bytes"):
                v = data.get(key)
                if isinstance(v, (int, float)) and not isinstance(v, bool) \
                        and math.isfinite(v) and v >= 0:
                    ctl[key] = v
            dead = data.get("pools_dead")
            if isinstance(dead, list):
                ctl["pools_dead"] = [d for d in dead if isinstance(d, int)
                                     and not isinstance(d, bool)]
        with self.lock:
            if ctl["mode"] != self.current["mode"]:
                log("control mode %s" % ctl["mode"])
            self.current = ctl
        return ctl


class RequestLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.warned = False

    def add(self, command, mode):
        line = json.dumps({"time": round(time.time(), 3), "command": command,
                           "mode": mode}) + "\n"
        with self.lock:
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
                try:
                    os.write(fd, line.encode())
                finally:
                    os.close(fd)
            except OSError as exc:
                if not self.warned:
                    log("cannot write the request log %s: %s" % (self.path, exc))
                    self.warned = True


def write_atomic(path, data):
    tmp = "%s.tmp%d" % (path, os.getpid())
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


# --------------------------------------------------------------------------
# Server
# --------------------------------------------------------------------------

def read_request(conn):
    """The request bytes: up to the end of the first complete JSON object,
    or everything until the peer's shutdown / the read timeout. A request
    that does not start with "{" is taken as it is at once."""
    conn.settimeout(READ_TIMEOUT)
    decoder = json.JSONDecoder()
    buf = b""
    while len(buf) < MAX_REQUEST:
        try:
            chunk = conn.recv(4096)
        except (socket.timeout, OSError):
            break
        if not chunk:
            break
        buf += chunk
        text = buf.decode("utf-8", errors="replace").lstrip()
        if not text:
            continue
        if not text.startswith("{"):
            break
        try:
            decoder.raw_decode(text)
            break
        except ValueError:
            continue
    return buf


def parse_command(raw):
    """(command or None, error answer or None)."""
    try:
        text = raw.decode("utf-8").strip().rstrip("\0").strip()
        req, _ = json.JSONDecoder().raw_decode(text)
    except ValueError:
        return None, error_answer(23, "Invalid JSON")
    if not isinstance(req, dict):
        return None, error_answer(23, "Invalid JSON")
    cmd = req.get("command")
    if not isinstance(cmd, str):
        return None, error_answer(14, "Invalid command")
    return cmd, None


def close_gently(conn):
    """FIN after the answer, then wait (briefly) for the peer to close, so
    that unread request bytes do not turn the close into a reset."""
    try:
        conn.shutdown(socket.SHUT_WR)
        conn.settimeout(1.0)
        while conn.recv(4096):
            pass
    except OSError:
        pass
    conn.close()


class Server:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        conf, problem = load_miner_config(args.config)
        if problem:
            log("%s: defaults (frequency 384, no pools)" % problem)
        self.model = Model(conf, args.warmup, self.rng)
        self.control = Control(args.control)
        self.requests = RequestLog(args.request_log)
        self.sock = None
        self.dump_warned = False

    def apply_control(self):
        ctl = self.control.reload()
        if ctl["mode"] == "die":
            log("control mode die: exiting at once")
            os._exit(1)
        self.model.set_dead(ctl["pools_dead"])
        return ctl

    def write_chip_dump(self):
        path = self.args.chip_hr
        if not path:
            return
        try:
            write_atomic(path, json.dumps(self.model.chip_dump()).encode())
        except OSError as exc:
            if not self.dump_warned:
                log("cannot write the chip dump %s: %s" % (path, exc))
                self.dump_warned = True

    def background(self):
        next_tick = next_dump = time.monotonic()
        while True:
            self.apply_control()
            now = time.monotonic()
            if now >= next_tick:
                self.model.tick()
                next_tick = now + 1.0
            if now >= next_dump:
                self.write_chip_dump()
                next_dump = now + 5.0
            time.sleep(0.5)

    def answer(self, command, ctl):
        mode = ctl["mode"]
        if command == "stats":
            if mode == "stock":
                return self.model.stats_answer(stock=True)
            if mode == "huge":
                return self.model.stats_answer(size=int(ctl["huge_bytes"]))
            return self.model.stats_answer()
        if command == "pools":
            return self.model.pools_answer()
        return error_answer(14, "Invalid command")

    def handle(self, conn):
        try:
            ctl = self.apply_control()
            mode = ctl["mode"]
            raw = read_request(conn)
            if not raw.strip():
                conn.close()  # a readiness probe, or a peer that said nothing
                return
            command, error = parse_command(raw)
            self.requests.add(command, mode)
            if mode == "empty":
                close_gently(conn)
                return
            if mode == "hang":
                conn.settimeout(None)
                while conn.recv(4096):
                    pass
                conn.close()
                return
            if mode == "garbage":
                data = b"garbage from the miner: [not {JSON\x00"
            else:
                data = (error or self.answer(command, ctl)).encode() + b"\0"
            if mode == "trickle":
                conn.settimeout(None)
                delay = float(ctl["trickle_delay"])
                for i in range(len(data)):
                    conn.sendall(data[i:i + 1])
                    time.sleep(delay)
            else:
                conn.sendall(data)
            close_gently(conn)
        except OSError:
            conn.close()

    def serve(self):
        # A stop signal is held until the "listening" line is logged: a miner
        # stopped right after it answered would otherwise leave no trace of
        # its start.
        held = {signal.SIGTERM, signal.SIGINT}
        signal.pthread_sigmask(signal.SIG_BLOCK, held)
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((self.args.host, self.args.port))
        sock.listen(64)
        self.sock = sock
        self.apply_control()
        self.write_chip_dump()
        threading.Thread(target=self.background, name="background", daemon=True).start()
        if self.args.pidfile:
            write_atomic(self.args.pidfile, b"%d\n" % os.getpid())
        pools = [p.url for p in self.model.pools]
        log("listening on %s:%d; frequencies per chain %s; pools %s; warm-up %gs"
            % (self.args.host, self.args.port,
               ", ".join("%g" % f for f in self.model.freq_avg), pools, self.args.warmup))
        signal.pthread_sigmask(signal.SIG_UNBLOCK, held)
        while True:
            conn, _ = sock.accept()
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()


def set_process_name(name):
    """The name `pidof` and /proc/PID/comm see (the thread's name: call it
    before any thread is made)."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(15, ctypes.c_char_p(name.encode()), 0, 0, 0)  # PR_SET_NAME
    except (OSError, AttributeError):
        pass


def cmd_serve(args):
    # Nothing of the launching process's besides the standard streams.
    os.closerange(3, 1024)
    set_process_name("cgminer")

    def on_signal(signum, frame):
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    server = Server(args)
    try:
        server.serve()
    except OSError as exc:
        log("cannot serve on %s:%d: %s" % (args.host, args.port, exc))
        return 1
    finally:
        if args.pidfile and server.sock is not None:
            try:
                with open(args.pidfile) as f:
                    mine = f.read().strip() == str(os.getpid())
                if mine:
                    os.unlink(args.pidfile)
            except OSError:
                pass
            log("stopped")
    return 0


def cmd_query(args):
    """Prints the raw answer to one command (the NUL shown as \\0)."""
    with socket.create_connection((args.host, args.port), timeout=10) as s:
        s.sendall(json.dumps({"command": args.command}).encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    sys.stdout.write(data.decode("utf-8", errors="replace").replace("\0", "\\0") + "\n")
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description="Simulated cgminer (antminer-l3plus)")
    sub = ap.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("serve", help="serve the miner API")
    s.add_argument("--host", default="127.0.0.1")
    s.add_argument("--port", type=int, default=4028)
    s.add_argument("--config", default="/config/cgminer.conf")
    s.add_argument("--warmup", type=float, default=0.0,
                   help="seconds after the start with no hash rate yet")
    s.add_argument("--chip-hr", default="/www/pages/cgi-bin/chip_hr.json")
    s.add_argument("--control", default="/run/sandbox/minersim.json")
    s.add_argument("--request-log", default="/run/sandbox/minersim-requests.log")
    s.add_argument("--pidfile", default="/run/sandbox/cgminer.pid")
    s.add_argument("--seed", type=int, default=None, help="seed of the noise")
    q = sub.add_parser("query", help="print the raw answer to one command")
    q.add_argument("command")
    q.add_argument("--host", default="127.0.0.1")
    q.add_argument("--port", type=int, default=4028)
    args = ap.parse_args(argv)
    return cmd_serve(args) if args.cmd == "serve" else cmd_query(args)


if __name__ == "__main__":
    sys.exit(main())
