"""Runners of a sandboxed device, the development server and the agent.

Everything device-like runs in a network namespace of its own (lo and an eth0
on a veth pair with TEST-NET-1 addresses, no link to the host) and in a
bubblewrap sandbox whose /config, /www, /opt/korvane, /etc/init.d, /var/log and
/etc/resolv.conf are folders of the device's own root; see devtools/sandbox.
The miner is the simulated one (kvdev.minersim), started by the device's
/etc/init.d/cgminer.sh inside the same sandbox as the program under test
(miner=True on Agent / Device.run). The end-to-end tests (through
tests/e2e/kvtest.py and its fixtures) and the fault soak (kvdev.soak) build
these objects:

  Bridge      a farm network: a namespace with a bridge the devices sit on
  Device      a network namespace plus a device root folder
  DevServer   the development server (devtools/devserver.py) in a device's
              namespace, with its record and its control socket
  Agent       the agent binary in a device's sandbox, its output captured

Environment:
  KVAGENT_BIN=path      agent binary (default <repo>/build/kvagent; the test script
                        runs the static build-static-x86_64/kvagent, which ships)
  KVAGENT_VALGRIND=1    run the agent under valgrind (timeouts scaled by 10)
  KVAGENT_ASAN=1        the binary is built with AddressSanitizer and UBSan
"""

import difflib
import fcntl
import itertools
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
from pathlib import Path

from kvdev import REPO
from kvdev.devctl import DevCtl

DEVTOOLS = REPO / "devtools"
SANDBOX = DEVTOOLS / "sandbox"
DEVSERVER = DEVTOOLS / "devserver.py"
MINERSIM = DEVTOOLS / "minersim.py"
PYTHON = "/usr/bin/python3"

__all__ = [
    "ANY", "API_KEY", "Agent", "Bridge", "DEFAULT_MAC", "DEFAULT_MINER_CONFIG", "DEVSERVER",
    "DEVTOOLS", "DevServer", "Device", "GATEWAY", "LOG_PREFIX", "MINERSIM", "MINER_WRAPPER",
    "PYTHON", "REPO", "SANDBOX", "SANITIZER_ENV", "SERVER_PORT", "TIME_SCALE", "Timeout",
    "VALGRIND_ERROR_RE", "WS_PATH", "agent_binary", "asan_enabled", "dynamic_agent_binary",
    "is_static", "log_re", "remove_stale_namespaces", "run_cmd", "valgrind_enabled", "wait_for",
    "with_miner", "write_atomic",
]

# A valid key: the agent wants more than 24 characters.
API_KEY = "kvtest-0123456789-abcdefghijklmn"  # 32 characters
DEFAULT_MAC = "00:11:22:aa:bb:cc"
SERVER_PORT = 8443
GATEWAY = "192.0.2.1"  # the devices' gateway; a farm network's bridge address
WS_PATH = "/api/v1/ws"

# A /config/cgminer.conf for tests and the soak (written only when asked:
# make_device(miner_config=...), Device.write_miner_config()).
DEFAULT_MINER_CONFIG = {
    "pools": [
        {"url": "stratum+tcp://pool.example.invalid:3333", "user": "kvtest.worker1",
         "pass": "x"},
        {"url": "stratum+tcp://backup.example.invalid:3333", "user": "kvtest.worker2",
         "pass": "x"},
    ],
    "api-listen": True,
    "api-network": True,
    "api-groups": "A:stats:pools:devs:summary:version",
    "api-allow": "A:0/0,W:*",
    "bitmain-use-vil": True,
    "bitmain-freq": "384",
    "bitmain-freq1": "0",
    "bitmain-freq2": "0",
    "bitmain-freq3": "0",
    "bitmain-freq4": "0",
    "bitmain-voltage": "0725",
    "multi-version": "1",
}

# Runs the sandboxed command after starting the simulated miner the way the
# device does; the command then takes the shell's place (exec), so it stays
# the child of the sandbox's pid 1.
MINER_WRAPPER = '/etc/init.d/cgminer.sh start >/dev/null 2>&1; exec "$@"'


def with_miner(cmd):
    """`cmd` preceded by the start of the simulated miner (see MINER_WRAPPER)."""
    return ["/bin/sh", "-c", MINER_WRAPPER, "sh"] + [str(c) for c in cmd]


# Log lines: "%D{%Y-%m-%d %H:%M:%S} %-5p %m%n"
LOG_PREFIX = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "


def valgrind_enabled():
    return os.environ.get("KVAGENT_VALGRIND", "") not in ("", "0")


def asan_enabled():
    """KVAGENT_ASAN=1: the binary is built with AddressSanitizer and UBSan;
    their reports go to files in the device's /run/sandbox, which
    Device.memory_errors() collects."""
    return os.environ.get("KVAGENT_ASAN", "") not in ("", "0")


SANITIZER_ENV = [
    "ASAN_OPTIONS=log_path=/run/sandbox/asan:detect_leaks=1:abort_on_error=0",
    "UBSAN_OPTIONS=log_path=/run/sandbox/ubsan:print_stacktrace=1:halt_on_error=1",
]

# What counts as a memory error in a valgrind log: the kinds of error report
# and a non-zero error summary (definite leaks are counted there).
VALGRIND_ERROR_RE = re.compile(
    r"(?m)^==\d+== (?:Invalid (?:read|write|free)|Conditional jump|Use of uninitialised"
    r"|Syscall param|Mismatched free|Source and destination overlap"
    r"|.*definitely lost in|ERROR SUMMARY: [1-9]).*$")

# Timeouts for things the agent does are multiplied by this.
# (Not for AddressSanitizer: the agent stays fast enough, and some scenarios
# count the reports made in a scaled wait.)
TIME_SCALE = 10.0 if valgrind_enabled() else 1.0


def agent_binary():
    return Path(os.environ.get("KVAGENT_BIN") or REPO / "build" / "kvagent").resolve()


def is_static(path):
    """True for an executable without a program interpreter (fully static)."""
    out = subprocess.run(["readelf", "-lW", str(path)], capture_output=True, text=True).stdout
    return "INTERP" not in out


def dynamic_agent_binary():
    """agent_binary(), or the shared-library build/kvagent when that one is
    static: for what works through the dynamic loader (LD_PRELOAD)."""
    binary = agent_binary()
    return REPO / "build" / "kvagent" if is_static(binary) else binary


def log_re(level, text, regex=False):
    """Regex for one log line of `level` whose message contains `text`
    (a literal unless regex=True)."""
    body = text if regex else re.escape(text)
    # A line may start with "\r" (the agent clears a "^C" echoed on a terminal).
    return r"(?m)^\r?%s%-5s .*%s" % (LOG_PREFIX, re.escape(level), body)


class Timeout(AssertionError):
    pass


def wait_for(pred, timeout, interval=0.05, what="condition"):
    """Call pred() until it returns something true; return that value.
    Raise Timeout after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        val = pred()
        if val:
            return val
        if time.monotonic() >= deadline:
            raise Timeout("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def terminate(proc, timeout=5):
    """SIGTERM to a child process, SIGKILL after `timeout` seconds; waits."""
    if proc is not None and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def write_atomic(path, data):
    """Replace the file at `path` (str or bytes) through a temporary file in
    the same folder, so that a reader never sees half of it."""
    path = Path(path)
    if isinstance(data, str):
        data = data.encode()
    tmp = path.with_name(".%s.tmp%d" % (path.name, os.getpid()))
    tmp.write_bytes(data)
    os.replace(tmp, path)


def run_cmd(cmd, check=True, timeout=60, **kw):
    """Run a command line (text output captured); with check=True a non-zero
    status raises RuntimeError with the output."""
    res = subprocess.run([str(c) for c in cmd], capture_output=True, text=True,
                         timeout=timeout, **kw)
    if check and res.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s%s" % (" ".join(map(str, cmd)), res.returncode,
                                                     res.stdout, res.stderr))
    return res


# ==========================================================================
# Device
# ==========================================================================

def remove_stale_namespaces():
    """Delete the kvt<pid>_<n> (device) and kvb<pid>_<n> (farm network)
    namespaces left by test runs that were killed."""
    res = run_cmd(["ip", "netns", "list"], check=False)
    for line in res.stdout.splitlines():
        m = re.match(r"kv([tb])(\d+)_\d+$", line.split()[0]) if line.strip() else None
        if m and int(m.group(2)) != os.getpid() and not os.path.exists("/proc/" + m.group(2)):
            down = "netns-down" if m.group(1) == "t" else "bridge-down"
            run_cmd([SANDBOX, down, m.group(0)], check=False)


class Bridge:
    """A farm network: a namespace of its own with a bridge holding the
    devices' gateway address (sandbox bridge-up). Devices made with
    bridge=this have the other end of their eth0 on it; what runs here
    (netns_cmd; a DevServer given this in place of a device, host=self.addr)
    is outside every device and reaches them on their TEST-NET addresses."""

    # The development server's name on the farm network (a .test name, which
    # no DNS resolves): the device's /etc/hosts gives the bridge's address.
    # The agent's static build (libwebsockets on mbed TLS) checks a server
    # certificate against a DNS name only: at wss://192.0.2.1 it refuses
    # even a certificate with IP:192.0.2.1.
    SERVER_NAME = "devserver.test"

    def __init__(self, base, ip=GATEWAY + "/24"):
        self.name = "kvb%d_%d" % (os.getpid(), next(_ns_counter))  # <= 15 chars
        self.base = Path(base)
        self.ip = ip
        self.addr = ip.split("/")[0]
        self.made = False
        self.servers = []
        self._ports = itertools.count(SERVER_PORT)

    def setup(self):
        self.base.mkdir(parents=True, exist_ok=True)
        run_cmd([SANDBOX, "bridge-up", self.name, "--ip", self.ip])
        self.made = True
        return self

    def teardown(self):
        for s in self.servers:
            s.stop()
        if self.made:
            run_cmd([SANDBOX, "bridge-down", self.name], check=False)
            self.made = False

    def next_port(self):
        return next(self._ports)

    def netns_cmd(self, cmd):
        """`cmd` run in the farm network's namespace."""
        return ["ip", "netns", "exec", self.name] + [str(c) for c in cmd]


_ns_counter = itertools.count(1)


class Device:
    """A network namespace plus a device root folder.

    Paths on the host side: root, config_path, log_conf, cert_path, www,
    init_d, var_log, resolv_conf, commands_log; of the simulated miner:
    miner_config_path, chip_hr_path, miner_control_path, miner_args_path,
    miner_request_log, miner_log_path, miner_pidfile, script_delay_path.
    """

    def __init__(self, base, mac=DEFAULT_MAC, route=True, resolv=True, ip="192.0.2.10/24",
                 gateway=None, log_conf=True, bridge=None):
        self.name = "kvt%d_%d" % (os.getpid(), next(_ns_counter))  # <= 15 chars
        self.base = Path(base)
        self.root = self.base / "root"
        self.mac = mac
        self.route = route
        self.resolv = resolv
        self.ip = ip
        self.bridge = bridge  # a Bridge (set up), or None: a namespace on its own
        self.gateway = gateway or (bridge.addr if bridge is not None else GATEWAY)
        self.with_log_conf = log_conf
        self.netns_made = False
        self.agents = []
        self.servers = []
        self._ports = itertools.count(SERVER_PORT)

    # -- life cycle ----------------------------------------------------------
    def setup(self):
        up = [SANDBOX, "netns-up", self.name, "--mac", self.mac, "--ip", self.ip,
              "--gateway", self.gateway]
        if not self.route:
            up.append("--no-route")
        if self.bridge is not None:
            up += ["--bridge", self.bridge.name]
        run_cmd(up)
        self.netns_made = True
        init = [SANDBOX, "root-init", self.root]
        if not self.resolv:
            init.append("--no-resolv")
        run_cmd(init)
        self.write_hosts()
        if not self.with_log_conf and self.log_conf.exists():
            self.log_conf.unlink()
        return self

    def write_hosts(self):
        """On a farm network, the device's own /etc/hosts naming the
        development server there (root-init leaves the host's)."""
        if self.bridge is not None:
            (self.root / "etc" / "hosts").write_text(
                "127.0.0.1\tlocalhost\n::1\tlocalhost\n%s\t%s\n"
                % (self.bridge.addr, Bridge.SERVER_NAME))

    def memory_errors(self):
        """Sanitizer reports left in /run/sandbox and the error reports of
        every agent run under valgrind, as one text ("" when clean)."""
        parts = []
        run = self.root / "run" / "sandbox"
        for f in sorted(list(run.glob("asan.*")) + list(run.glob("ubsan.*"))):
            parts.append("---- %s ----\n%s" % (f.name, f.read_text(errors="replace")))
        for a in self.agents:
            if a.valgrind:
                text = a.valgrind_text()
                if "ERROR SUMMARY" not in text:
                    # Killed before its exit: leaks were never checked.
                    parts.append("---- %s: no error summary ----\n%s"
                                 % (a.valgrind_log.name, text))
                elif VALGRIND_ERROR_RE.search(text):
                    parts.append("---- %s ----\n%s" % (a.valgrind_log.name, text))
        return "\n".join(parts)

    def teardown(self):
        for a in self.agents:
            if (a.valgrind or asan_enabled()) and a.running():
                # An orderly stop, so that the leak check at exit runs too.
                try:
                    a.signal(signal.SIGTERM)
                    a.wait_exit(30)
                except (AssertionError, Timeout):
                    pass
            a.kill()
        for s in self.servers:
            s.stop()
        if self.netns_made:
            run_cmd([SANDBOX, "netns-down", self.name], check=False)
            self.netns_made = False

    # -- paths ---------------------------------------------------------------
    @property
    def config_path(self):
        return self.root / "config" / "korvane.json"

    @property
    def log_conf(self):
        return self.root / "opt" / "korvane" / "etc" / "log.conf"

    @property
    def cert_path(self):
        return self.root / "opt" / "korvane" / "certs" / "letsencrypt.pem"

    @property
    def www(self):
        return self.root / "www"

    @property
    def init_d(self):
        return self.root / "etc" / "init.d"

    @property
    def var_log(self):
        return self.root / "var" / "log"

    @property
    def resolv_conf(self):
        return self.root / "etc" / "resolv.conf"

    @property
    def commands_log(self):
        return self.root / "run" / "sandbox" / "commands.log"

    # -- files ---------------------------------------------------------------
    def write_config(self, config):
        """dict/list -> JSON (indent 2); str/bytes -> as is; None -> no file."""
        p = self.config_path
        if config is None:
            if p.exists():
                p.unlink()
            return
        if isinstance(config, (dict, list)):
            config = json.dumps(config, indent=2)
        if isinstance(config, str):
            config = config.encode()
        p.write_bytes(config)

    def config_text(self):
        return self.config_path.read_text()

    def config_json(self):
        return json.loads(self.config_text())

    def install_ca(self, ca_pem):
        shutil.copyfile(ca_pem, self.cert_path)

    def commands(self):
        """Lines recorded by the fake reboot/shutdown/... commands."""
        if not self.commands_log.exists():
            return []
        return self.commands_log.read_text().splitlines()

    def next_port(self):
        return next(self._ports)

    def unused_url(self):
        """A server URL on which nothing listens in this namespace."""
        return "wss://localhost:%d%s" % (SERVER_PORT - 1, WS_PATH)

    # -- the simulated miner ---------------------------------------------------
    @property
    def miner_config_path(self):
        return self.root / "config" / "cgminer.conf"

    @property
    def chip_hr_path(self):
        return self.www / "pages" / "cgi-bin" / "chip_hr.json"

    @property
    def miner_control_path(self):
        return self.root / "run" / "sandbox" / "minersim.json"

    @property
    def miner_args_path(self):
        return self.root / "run" / "sandbox" / "minersim.args"

    @property
    def miner_request_log(self):
        return self.root / "run" / "sandbox" / "minersim-requests.log"

    @property
    def miner_log_path(self):
        return self.var_log / "minersim.log"

    @property
    def miner_pidfile(self):
        return self.root / "run" / "sandbox" / "cgminer.pid"

    @property
    def script_delay_path(self):
        return self.root / "run" / "sandbox" / "cgminer.sh.delay"

    def write_miner_config(self, config=DEFAULT_MINER_CONFIG):
        """/config/cgminer.conf: dict/list -> JSON (indent 2); str/bytes -> as
        is; None -> no file. Default: DEFAULT_MINER_CONFIG. The miner reads it
        when it starts."""
        p = self.miner_config_path
        if config is None:
            if p.exists():
                p.unlink()
            return
        if isinstance(config, (dict, list)):
            config = json.dumps(config, indent=2)
        write_atomic(p, config)

    def miner_config_json(self):
        return json.loads(self.miner_config_path.read_text())

    def miner_control(self, **members):
        """Replace the miner's control file with these members (mode=...,
        trickle_delay=..., huge_bytes=..., pools_dead=[...]; none: defaults).
        The miner reads it at every connection and every 0.5 s."""
        write_atomic(self.miner_control_path, json.dumps(members))
        return members

    def miner_args(self, text):
        """Extra `minersim.py serve` options for the next start by
        cgminer.sh (e.g. "--warmup 20"); None removes them."""
        p = self.miner_args_path
        if text is None:
            if p.exists():
                p.unlink()
            return
        write_atomic(p, text.strip() + "\n")

    def script_delay(self, seconds):
        """Make cgminer.sh and stop_cgminer.cgi sleep `seconds` before they
        act; None: no delay."""
        p = self.script_delay_path
        if seconds is None:
            if p.exists():
                p.unlink()
            return
        write_atomic(p, "%g\n" % seconds)

    def miner_requests(self, command=None):
        """Requests the miner received, in order: dicts with time, command
        (None for a request that is not a JSON object with a command), mode."""
        try:
            text = self.miner_request_log.read_text()
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            if not line.endswith("}"):
                continue  # a line being written
            r = json.loads(line)
            if command is None or r["command"] == command:
                out.append(r)
        return out

    def wait_miner_requests(self, command=None, count=1, timeout=10):
        """Wait until the miner has received at least `count` requests (of
        `command`); returns them all."""
        def enough():
            r = self.miner_requests(command)
            return r if len(r) >= count else None
        return wait_for(enough, timeout * TIME_SCALE,
                        what="%d miner request(s) %s" % (count, command or ""))

    def miner_log_text(self):
        """The miner's output (/var/log/minersim.log)."""
        try:
            return self.miner_log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def chip_hr_json(self):
        return json.loads(self.chip_hr_path.read_text())

    def miner_pids(self):
        """Host pids of the processes named cgminer in this device's
        namespace (the simulated miner)."""
        res = run_cmd(["ip", "netns", "pids", self.name], check=False)
        pids = []
        for tok in res.stdout.split():
            try:
                comm = Path("/proc/%s/comm" % tok).read_text().strip()
            except OSError:
                continue
            if comm == "cgminer":
                pids.append(int(tok))
        return pids

    # -- running things ------------------------------------------------------
    def sandbox_cmd(self, cmd, info_fd=None, ro_binds=()):
        full = [str(SANDBOX), "run", "--netns", self.name, "--root", str(self.root)]
        if info_fd is not None:
            full += ["--info-fd", str(info_fd)]
        for b in ro_binds:
            # A path, bound read-only at itself, or (source, destination).
            if isinstance(b, tuple):
                full += ["--ro-bind-to", str(b[0]), str(b[1])]
            else:
                full += ["--ro-bind", str(b)]
        return full + ["--"] + [str(c) for c in cmd]

    def run(self, cmd, timeout=60, check=False, ro_binds=(), miner=False):
        """Run a command inside the sandbox; returns CompletedProcess (text).
        miner=True starts the simulated miner in the same sandbox first (it
        ends with the sandbox)."""
        if miner:
            cmd = with_miner(cmd)
        return run_cmd(self.sandbox_cmd(cmd, ro_binds=ro_binds), check=check, timeout=timeout)

    def netns_cmd(self, cmd):
        """Command line running `cmd` in the namespace only (no sandbox)."""
        return ["ip", "netns", "exec", self.name] + [str(c) for c in cmd]


# ==========================================================================
# Development server
# ==========================================================================

def _subset_match(expected, actual):
    """True if `actual` has everything in `expected`: dicts match on the
    expected keys, lists element by element, callables as predicates, ANY
    matches anything."""
    if expected is ANY:
        return True
    if callable(expected) and not isinstance(expected, type):
        try:
            return bool(expected(actual))
        except Exception:
            return False
    if isinstance(expected, re.Pattern):
        return isinstance(actual, str) and expected.search(actual) is not None
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(
            k in actual and _subset_match(v, actual[k]) for k, v in expected.items())
    if isinstance(expected, list):
        return (isinstance(actual, list) and len(actual) == len(expected)
                and all(_subset_match(e, a) for e, a in zip(expected, actual)))
    if isinstance(expected, bool) or isinstance(actual, bool):
        return type(expected) is type(actual) and expected == actual
    return expected == actual


class _Any:
    def __repr__(self):
        return "ANY"


ANY = _Any()


def _pretty(obj):
    def default(o):
        return repr(o)
    return json.dumps(obj, indent=2, sort_keys=True, default=default)


class DevServer:
    """devserver.py running in a device's namespace (on 127.0.0.1), or, given
    a Bridge in place of the device and host=its address, in the farm
    network's namespace, outside the devices (url: at Bridge.SERVER_NAME).

    Record reading: events()/messages() return everything so far.
    wait_message()/expect_message() consume: each returns the first matching
    message after the previous one they returned (the cursor), so successive
    calls see successive messages. mark() + since= give explicit control.
    """

    def __init__(self, device, certs, port=None, auth="accept", refuse_message=None,
                 cert=None, key=None, config_ack=True, host=None):
        self.device = device
        self.host = host
        self.port = port or device.next_port()
        self.auth = auth
        self.refuse_message = refuse_message
        self.config_ack = config_ack
        self.cert = cert or certs["cert"]
        self.key = key or certs["key"]
        d = device.base / ("server%d" % self.port)
        d.mkdir(parents=True, exist_ok=True)
        self.dir = d
        self.record_path = d / "record.jsonl"
        self.control_path = d / "control.sock"
        self.stderr_path = d / "stderr.log"
        self.proc = None
        self._ctl = None
        self._cursor = 0
        self._stderr = None

    @property
    def url(self):
        name = "localhost" if self.host is None else Bridge.SERVER_NAME
        return "wss://%s:%d%s" % (name, self.port, WS_PATH)

    def start(self, timeout=10):
        cmd = [PYTHON, DEVSERVER, "serve", "--port", self.port, "--cert", self.cert,
               "--key", self.key, "--record", self.record_path, "--control", self.control_path,
               "--auth", self.auth]
        if self.refuse_message is not None:
            cmd += ["--refuse-message", self.refuse_message]
        if not self.config_ack:
            cmd.append("--no-config-ack")
        if self.host is not None:
            cmd += ["--host", self.host]
        # A server started again appends to its record: it is ready at its
        # own "listening".
        listened = len(self.events("listening"))
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(self.device.netns_cmd(cmd), stdin=subprocess.DEVNULL,
                                     stdout=self._stderr, stderr=subprocess.STDOUT)
        if self not in self.device.servers:
            self.device.servers.append(self)

        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError("devserver exited (%s):\n%s" % (self.proc.returncode,
                                                                   self.stderr_text()))
            return len(self.events("listening")) > listened
        wait_for(ready, timeout, what="devserver to listen")
        self._ctl = DevCtl(str(self.control_path))
        return self

    def stop(self):
        if self._ctl is not None:
            self._ctl.close_socket()
            self._ctl = None
        terminate(self.proc)
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def stderr_text(self):
        try:
            return self.stderr_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    # -- record --------------------------------------------------------------
    def events(self, event=None, conn=None):
        try:
            text = self.record_path.read_text()
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            if not line.endswith("}"):
                continue  # a line being written
            e = json.loads(line)
            if event is not None and e["event"] != event:
                continue
            if conn is not None and e.get("conn") != conn:
                continue
            out.append(e)
        return out

    def _message_events(self):
        return [(i, e) for i, e in enumerate(self.events()) if e["event"] == "message"]

    def messages(self, type=None, conn=None):
        """Parsed messages the agent sent (None for non-JSON ones)."""
        return [e["msg"] for _, e in self._message_events()
                if (conn is None or e["conn"] == conn)
                and (type is None or (isinstance(e["msg"], dict) and e["msg"].get("type") == type))]

    def mark(self):
        """Position after everything recorded so far (for since=)."""
        return len(self.events())

    def connections(self):
        return len(self.events("connect"))

    def wait_event(self, event, timeout=10, conn=None, where=None, since=0):
        """First recorded event of this kind (e.g. "connect", "close") at or
        after position `since`; returns the event dict."""
        def find():
            for e in self.events()[since:]:
                if e["event"] == event and (conn is None or e.get("conn") == conn) \
                        and (where is None or _subset_match(where, e)):
                    return e
            return None
        try:
            return wait_for(find, timeout * TIME_SCALE, what="server event %r" % event)
        except Timeout as exc:
            raise Timeout("%s\n%s" % (exc, self.describe_events())) from None

    def wait_message(self, type=None, timeout=10, conn=None, where=None, since=None):
        """Next message from the agent (after the cursor, or at/after position
        `since`) of this type / connection / matching `where` (subset dict or
        predicate). Advances the cursor past it and returns the parsed message."""
        start = self._cursor if since is None else since

        def find():
            for i, e in self._message_events():
                if i < start:
                    continue
                m = e["msg"]
                if conn is not None and e["conn"] != conn:
                    continue
                if type is not None and not (isinstance(m, dict) and m.get("type") == type):
                    continue
                if where is not None and not _subset_match(where, m):
                    continue
                return i, m
            return None
        try:
            i, m = wait_for(find, timeout * TIME_SCALE,
                            what="message%s" % (" of type %r" % type if type else ""))
        except Timeout as exc:
            raise Timeout("%s\n%s" % (exc, self.describe_events(start))) from None
        self._cursor = i + 1
        return m

    def expect_message(self, expected, timeout=10, conn=None):
        """Wait for the next message of expected["type"] (any type if absent)
        and assert it contains `expected` (subset match; values may be ANY,
        predicates or compiled regexes). On mismatch fail with a diff."""
        mtype = expected.get("type") if isinstance(expected, dict) else None
        start = self._cursor
        try:
            msg = self.wait_message(type=mtype, timeout=timeout, conn=conn)
        except Timeout as exc:
            seen = [m for i, e in self._message_events() if i >= start for m in [e["msg"]]]
            raise AssertionError(
                "no message%s within %ss; expected:\n%s\nreceived instead:\n%s\n%s"
                % (" of type %r" % mtype if mtype else "", timeout * TIME_SCALE,
                   _pretty(expected), _pretty(seen) if seen else "(nothing)", exc)) from None
        if not _subset_match(expected, msg):
            exp = _pretty(expected).splitlines()
            got = _pretty(msg).splitlines()
            diff = "\n".join(difflib.unified_diff(exp, got, "expected", "received", lineterm=""))
            raise AssertionError("message does not match:\n%s" % diff)
        return msg

    def describe_events(self, since=0):
        lines = ["server record (from #%d):" % since]
        for i, e in enumerate(self.events()):
            if i < since:
                continue
            e = dict(e)
            e.pop("t", None)
            if e.get("event") == "message" and e.get("msg") is not None:
                e.pop("raw", None)  # the parsed form says it all
            lines.append("  #%d %s" % (i, json.dumps(e)))
        if len(lines) == 1:
            lines.append("  (empty)")
        return "\n".join(lines)

    # -- control -------------------------------------------------------------
    def send(self, message):
        return self._ctl.send(message)

    def send_raw(self, text, fragments=None):
        return self._ctl.send_raw(text, fragments)

    def set_auth(self, mode, message=None):
        return self._ctl.set_auth(mode, message)

    def close(self, code=1000, reason=""):
        return self._ctl.close(code, reason)

    def drop(self):
        return self._ctl.drop()

    def status(self):
        return self._ctl.status()


# ==========================================================================
# Agent
# ==========================================================================

class WebPage:
    """The server's page (devserver.py web) on the host's loopback, for a
    DevServer's record and control socket. port 0: any free port."""

    def __init__(self, server, port=0, any_port_if_busy=False):
        self.server = server
        self.port = port
        self.any_port_if_busy = any_port_if_busy
        self.url_path = server.dir / "web.url"
        self.log_path = server.dir / "web.log"
        self.url = None
        self.proc = None

    def start(self, timeout=10):
        self.url_path.unlink(missing_ok=True)
        cmd = [PYTHON, DEVSERVER, "web", "--record", self.server.record_path,
               "--control", self.server.control_path, "--port", self.port,
               "--url-file", self.url_path]
        if self.any_port_if_busy:
            cmd.append("--any-port-if-busy")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([str(c) for c in cmd], stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT)

        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError("the page's server exited (%s):\n%s" % (
                    self.proc.returncode, self.log_path.read_text(errors="replace")))
            return self.url_path.exists()
        wait_for(ready, timeout, what="the page's server to listen")
        self.url = self.url_path.read_text().strip()
        return self

    def stop(self):
        terminate(self.proc)


class Agent:
    """The agent binary running in a device's sandbox.

    Output: stdout and stderr are captured separately (stdout_text(),
    stderr_text()) and merged line by line in arrival order (log_text(),
    also in the file log_path).

    miner=True starts the simulated miner in the same sandbox (so in the
    agent's pid namespace) just before the agent.
    """

    def __init__(self, device, args, valgrind=None, ro_binds=(), miner=False, wrapper=None):
        self.device = device
        self.args = [str(a) for a in args]
        # A command prefix run inside the sandbox in front of the agent (and of
        # valgrind, if used), e.g. ["strace", "-f", "-o", FILE]; the process
        # started in the sandbox (pid) is then the wrapper's.
        self.wrapper = [str(w) for w in wrapper] if wrapper else []
        self.valgrind = valgrind_enabled() if valgrind is None else valgrind
        self.binary = agent_binary()
        n = len(device.agents) + 1
        self.log_path = device.base / ("agent%d.log" % n)
        self.valgrind_log = device.root / "run" / "sandbox" / ("valgrind%d.log" % n)
        self.proc = None
        self.ns_init_pid = None  # bwrap's pid 1 of the sandbox, host pid
        self._pid = None
        self._lock = threading.Lock()
        self._out = []
        self._err = []
        self._all = []
        self._threads = []
        self._logf = None
        self._ro_binds = list(ro_binds)
        self.miner = miner

    def command(self):
        cmd = [str(self.binary)] + self.args
        if self.valgrind:
            cmd = ["valgrind", "--error-exitcode=99", "--leak-check=full",
                   "--errors-for-leak-kinds=definite", "--track-fds=no",
                   "--log-file=/run/sandbox/%s" % self.valgrind_log.name] + cmd
        if asan_enabled():
            cmd = ["env"] + SANITIZER_ENV + cmd
        cmd = self.wrapper + cmd
        if self.miner:
            cmd = with_miner(cmd)
        return cmd

    def start(self):
        if not self.binary.exists():
            raise AssertionError("agent binary %s not found: build it (cmake --build build) "
                                 "or set KVAGENT_BIN" % self.binary)
        ro = list(self._ro_binds)
        if REPO not in self.binary.parents:
            ro.append(self.binary.parent)
        rfd, wfd = os.pipe()
        self._logf = open(self.log_path, "w")
        try:
            self.proc = subprocess.Popen(
                self.device.sandbox_cmd(self.command(), info_fd=wfd, ro_binds=ro),
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                pass_fds=(wfd,))
        finally:
            os.close(wfd)
        self.device.agents.append(self)
        for stream, name in ((self.proc.stdout, "out"), (self.proc.stderr, "err")):
            t = threading.Thread(target=self._reader, args=(stream, name), daemon=True)
            t.start()
            self._threads.append(t)
        # bwrap writes {"child-pid": N} once the sandbox exists; the pipe then
        # reaches EOF when bwrap closes it (or the sandbox fails to start).
        # Read up to the end of that object: the fd may stay open in the sandbox.
        data = b""
        deadline = time.monotonic() + 30
        with os.fdopen(rfd, "rb", buffering=0) as info:
            while b"}" not in data and time.monotonic() < deadline:
                ready, _, _ = select.select([info], [], [], 0.2)
                if ready:
                    chunk = info.read(4096)
                    if not chunk:
                        break
                    data += chunk
        if b"}" in data:
            self.ns_init_pid = json.loads(data[:data.index(b"}") + 1])["child-pid"]
        return self

    def _reader(self, stream, name):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", errors="replace")
            with self._lock:
                (self._out if name == "out" else self._err).append(line)
                self._all.append(line)
                self._logf.write(line)
                self._logf.flush()
        stream.close()

    # -- pids and signals ------------------------------------------------------
    @property
    def pid(self):
        """Host pid of the agent process itself: the child of the sandbox's
        pid 1 that is not the miner (a started miner is reparented to pid 1
        too)."""
        if self._pid is None:
            def child():
                if self.ns_init_pid is None:
                    raise AssertionError("sandbox did not start:\n" + self.log_text())
                try:
                    p = Path("/proc/%d/task/%d/children" % (self.ns_init_pid, self.ns_init_pid))
                    kids = p.read_text().split()
                except OSError:
                    raise AssertionError("sandbox is gone (agent exited?)") from None
                for k in kids:
                    try:
                        comm = Path("/proc/%s/comm" % k).read_text().strip()
                    except OSError:
                        continue  # just ended
                    if comm != "cgminer":
                        return int(k)
                return None
            self._pid = wait_for(child, 10, what="agent process")
        return self._pid

    def signal(self, sig):
        pid = self.pid
        # The pid must still be the agent: a child of the sandbox's pid 1.
        try:
            ppid = int(Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            raise AssertionError("agent (pid %d) is not running" % pid) from None
        if ppid != self.ns_init_pid:
            raise AssertionError("agent (pid %d) is not running" % pid)
        os.kill(pid, sig)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=10):
        """Wait for the agent to end; returns its exit status (128+N if killed
        by signal N - the sandbox's pid 1 reports it so)."""
        try:
            rc = self.proc.wait(timeout * TIME_SCALE)
        except subprocess.TimeoutExpired:
            raise Timeout("agent still running after %.1fs; output:\n%s"
                          % (timeout * TIME_SCALE, self.log_text())) from None
        for t in self._threads:
            t.join(5)
        return rc

    def kill(self):
        """End the sandbox with everything in it (SIGKILL to its pid 1)."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            if self.ns_init_pid:
                try:
                    os.kill(self.ns_init_pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for t in self._threads:
            t.join(5)
        if self._logf is not None:
            with self._lock:
                self._logf.close()
                self._logf = None

    # -- output ----------------------------------------------------------------
    def settle_output(self, timeout=5):
        """Wait until what the agent has written so far is in log_text(): a
        reply can reach the server before the reader threads have taken the
        log line written just before it out of the pipe (on a busy machine)."""
        deadline = time.monotonic() + timeout * TIME_SCALE
        streams = [s for s in (self.proc.stdout, self.proc.stderr) if s is not None]
        while time.monotonic() < deadline:
            pending = 0
            for s in streams:
                try:
                    pending += struct.unpack("i", fcntl.ioctl(s.fileno(), termios.FIONREAD,
                                                              b"\0\0\0\0"))[0]
                except (OSError, ValueError):
                    pass  # closed: the reader has it all
            if pending == 0:
                break
            time.sleep(0.02)
        # What a reader took from the pipe is appended at once (no blocking read).
        time.sleep(0.05)

    def log_text(self):
        with self._lock:
            return "".join(self._all)

    def stdout_text(self):
        with self._lock:
            return "".join(self._out)

    def stderr_text(self):
        with self._lock:
            return "".join(self._err)

    def log_lines(self):
        return self.log_text().splitlines()

    def file_log_text(self):
        """The agent's /var/log/kvagent.log."""
        try:
            return (self.device.var_log / "kvagent.log").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def valgrind_text(self):
        try:
            return self.valgrind_log.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, regex, timeout=10, since=0):
        """Wait until the merged output (from character `since`) matches
        `regex` (re.search, MULTILINE); returns the match."""
        rx = re.compile(regex, re.MULTILINE) if isinstance(regex, str) else regex

        def find():
            m = rx.search(self.log_text(), since)
            if m:
                return m
            if not self.running():
                # One last look once the readers have drained the pipes.
                for t in self._threads:
                    t.join(5)
                m = rx.search(self.log_text(), since)
                if m:
                    return m
                raise Timeout("agent exited (status %s) without logging /%s/; output:\n%s"
                              % (self.proc.returncode, rx.pattern, self.log_text()))
            return None
        try:
            return wait_for(find, timeout * TIME_SCALE, what="agent log /%s/" % rx.pattern)
        except Timeout as exc:
            if "exited" in str(exc):
                raise
            raise Timeout("%s; output so far:\n%s" % (exc, self.log_text())) from None

    def wait_log_line(self, level, text, timeout=10, since=0):
        return self.wait_log(log_re(level, text), timeout, since)

    def report(self):
        parts = ["---- agent %s (status %s) ----" % (" ".join(self.command()),
                                                       self.proc.returncode if self.proc else None),
                 self.log_text() or "(no output)"]
        if self.valgrind:
            parts += ["---- valgrind ----", self.valgrind_text()]
        return "\n".join(parts)
