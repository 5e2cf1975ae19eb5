#!/usr/bin/python3
"""A farm on one machine: N sandboxed devices and one development server.

  fleet.py N SCENARIO [SECONDS] [--out DIR] [--seed S] [--warmup SECS]
           [--web PORT | --no-web]

SCENARIO (SECONDS: its length; the default in brackets):
  steady    everything runs; measured for SECONDS [90]
  restart   the server process is restarted after a warm-up; measured until
            every device is back or SECONDS [120] have passed
  outage    the server is down for SECONDS [120], then back; measured until
            every device is back (at most 120 s more)

Each device is its own network namespace on one farm network (a bridge on
TEST-NET-1: 192.0.2.1 is the gateway and the server, devices from
192.0.2.10 up), with an address, a default route and a resolv.conf, so that
its device id comes from its own MAC; its own /config; the simulated miner
with its own seed and chip frequency; the agent (the static x86-64 build
unless KVAGENT_BIN says otherwise). Every few seconds one device's miner
misbehaves for a while (no answer, garbage, a dead pool). The server runs in
the farm network's namespace.

The server's page (devserver.py web) shows the farm live in a browser at
http://127.0.0.1:8080/ (--web PORT; another free port when it is taken: the
address is printed).

Everything goes into one folder (--out, default /tmp/kvagent-fleet): per
device dev<NNN>/ (root, agent log), the server's record
farmnet/server<port>/record.jsonl, and figures.json with what is printed at
the end: messages and bytes per second at the server (per device and in
all), connections per second after the server came back, the largest
one-second burst of TLS handshakes, the time to the last device, the
server's CPU, and what each device costs (agent and simulated miner: RSS and
CPU seconds per hour). Ctrl-C (or the end) stops everything in order: the
agents (SIGTERM), the miners, the server, the namespaces.

Run as root, with Debian's /usr/bin/python3; scripts/fleet.sh builds the
binary first.
"""

import argparse
import json
import os
import random
import signal
import sys
import time
from collections import Counter
from pathlib import Path

from kvdev import runners

DEFAULT_SECONDS = {"steady": 90, "restart": 120, "outage": 120}
# Devices take 192.0.2.10 and up; the /24 ends at .254.
FIRST_HOST = 10
MAX_DEVICES = 245
# The back-off's last step is 60 s with up to 20 % jitter: every device is
# back within this long after the server returns.
RETURN_LIMIT = 120
FAULT_MODES = ("hang", "garbage", "pools_dead")


def log(text):
    print("[fleet %s] %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def cpu_seconds(pid):
    """utime + stime of a process in seconds, or None when it is gone."""
    try:
        fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    try:
        for line in Path("/proc/%d/status" % pid).read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    except OSError:
        pass
    return None


def largest_burst(times, window=1.0):
    """The most entries of times within any window seconds."""
    times = sorted(times)
    best, lo = 0, 0
    for hi, t in enumerate(times):
        while t - times[lo] >= window:
            lo += 1
        best = max(best, hi - lo + 1)
    return best


def per_second(times, start, end):
    """Counts per whole second from start (a list, one entry per second)."""
    n = max(int(end - start) + 1, 1)
    counts = [0] * n
    for t in times:
        if start <= t < start + n:
            counts[int(t - start)] += 1
    return counts


class Fleet:
    def __init__(self, n, scenario, seconds, out, seed, warmup=30, web=None):
        self.n = n
        self.web_port = web
        self.page = None
        self.warmup = warmup
        self.scenario = scenario
        self.seconds = seconds
        self.out = Path(out)
        self.rng = random.Random(seed)
        self.seed = seed
        self.bridge = None
        self.server = None
        self.devices = []
        self.agents = []
        self.stopping = False
        self.figures = {"n": n, "scenario": scenario, "seconds": seconds, "seed": seed,
                        "machine": machine()}

    # -- set-up --------------------------------------------------------------
    def setup(self):
        self.out.mkdir(parents=True, exist_ok=True)
        runners.remove_stale_namespaces()
        certs_dir = self.out / "certs"
        runners.run_cmd([runners.PYTHON, runners.DEVSERVER, "gen-certs", "--out", certs_dir])
        certs = {"ca": certs_dir / "ca.pem", "cert": certs_dir / "server.pem",
                 "key": certs_dir / "server.key"}
        self.bridge = runners.Bridge(self.out / "farmnet").setup()
        self.server = runners.DevServer(self.bridge, certs, host=self.bridge.addr).start()
        log("server at %s (record %s)" % (self.server.url, self.server.record_path))
        if self.web_port is not None:
            self.page = runners.WebPage(self.server, self.web_port,
                                        any_port_if_busy=self.web_port != 0).start()
            log("page at %s" % self.page.url)
        for i in range(self.n):
            if self.stopping:
                return
            mac = "02:4b:56:%02x:%02x:%02x" % (i >> 16 & 0xff, i >> 8 & 0xff, i & 0xff)
            dev = runners.Device(self.out / ("dev%03d" % i), mac=mac,
                                 ip="192.0.2.%d/24" % (FIRST_HOST + i),
                                 bridge=self.bridge).setup()
            self.devices.append(dev)
            dev.install_ca(certs["ca"])
            dev.write_config({"api_key": runners.API_KEY})
            config = dict(runners.DEFAULT_MINER_CONFIG,
                          **{"bitmain-freq": str(self.rng.choice(range(350, 426, 6)))})
            dev.write_miner_config(config)
            dev.miner_args("--seed %d --warmup %d" % (self.rng.randrange(1 << 30),
                                                      self.rng.randrange(5, 20)))
            agent = runners.Agent(dev, ["-s", self.server.url], miner=True, valgrind=False)
            self.agents.append(agent.start())
        log("%d devices started" % len(self.agents))

    def logged_in(self):
        """Devices with an open connection that logged in."""
        st = self.server.status()
        return sum(1 for d in st.get("devices", {}).values() if d["connected"])

    def wait_all_in(self, limit):
        """Waits until every device is connected to the server process that
        runs now; the seconds it took, or None."""
        start = time.monotonic()
        while time.monotonic() - start < limit and not self.stopping:
            if self.logged_in() >= self.n:
                return time.monotonic() - start
            self.faults()
            time.sleep(0.5)
        return None

    # -- the miners' faults ------------------------------------------------------
    _fault = None  # (device, until)
    _t_up = None  # when the restarted server listened (epoch)

    def faults(self):
        """Now and then one miner misbehaves for a few seconds."""
        now = time.monotonic()
        if self._fault is not None:
            dev, until = self._fault
            if now >= until:
                dev.miner_control()
                self._fault = None
            return
        if self.devices and self.rng.random() < 0.05:
            dev = self.rng.choice(self.devices)
            mode = self.rng.choice(FAULT_MODES)
            if mode == "pools_dead":
                dev.miner_control(pools_dead=[0])
            else:
                dev.miner_control(mode=mode)
            self._fault = (dev, now + self.rng.uniform(3, 12))

    def run_for(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end and not self.stopping:
            self.faults()
            time.sleep(0.5)

    # -- costs -----------------------------------------------------------------
    def costs_begin(self):
        self._cost0 = (time.monotonic(), self.process_cpu())

    def process_cpu(self):
        agents, miners = {}, {}
        for dev, agent in zip(self.devices, self.agents):
            try:
                agents[dev.name] = (agent.pid, cpu_seconds(agent.pid))
            except (AssertionError, runners.Timeout):
                pass
            for p in dev.miner_pids()[:1]:
                miners[dev.name] = (p, cpu_seconds(p))
        server = self.server.proc.pid if self.server and self.server.proc else None
        return {"agents": agents, "miners": miners,
                "server": (server, cpu_seconds(server) if server else None)}

    def costs_end(self):
        t0, c0 = self._cost0
        t1, c1 = time.monotonic(), self.process_cpu()
        hours = (t1 - t0) / 3600

        def per_hour(kind):
            rates, rss = [], []
            for name, (pid, cpu) in c1[kind].items():
                before = c0[kind].get(name)
                if before and before[0] == pid and cpu is not None and before[1] is not None:
                    rates.append((cpu - before[1]) / hours)
                r = rss_kib(pid)
                if r:
                    rss.append(r)
            return {"cpu_s_per_hour_mean": mean(rates), "cpu_s_per_hour_max": max(rates or [0]),
                    "rss_kib_mean": mean(rss), "rss_kib_max": max(rss or [0]),
                    "processes": len(rates)}
        # The server's share of one core; a restarted server's since it came back.
        server_cpu = None
        (pid0, cpu0), (pid1, cpu1) = c0["server"], c1["server"]
        if cpu1 is not None and pid0 == pid1 and cpu0 is not None:
            server_cpu = (cpu1 - cpu0) / (t1 - t0)
        elif cpu1 is not None and self._t_up is not None:
            server_cpu = cpu1 / max(time.time() - self._t_up, 1)
        return {"window_s": round(t1 - t0, 1), "agent": per_hour("agents"),
                "miner": per_hour("miners"),
                "server_cpu_share": None if server_cpu is None else round(server_cpu, 4)}

    # -- scenarios -----------------------------------------------------------
    def run(self):
        self.setup()
        if self.stopping:
            return
        took = self.wait_all_in(RETURN_LIMIT + 60)
        log("all %d devices logged in" % self.n if took is not None
            else "only %d of %d devices logged in" % (self.logged_in(), self.n))
        self.figures["start_s"] = None if took is None else round(took, 1)
        # Past the logins, the first uploads and the miners' warm-up.
        self.run_for(self.warmup)
        getattr(self, "scenario_" + self.scenario)()

    def scenario_steady(self):
        t0 = time.time()
        self.costs_begin()
        self.run_for(self.seconds)
        self.figures["costs"] = self.costs_end()
        self.figures["steady"] = self.traffic(t0, time.time())

    def server_down(self):
        self._t_down = time.time()
        self.server.stop()

    def server_back(self):
        self.server.start(timeout=30)
        # From the moment the new process listens.
        t_up = self._t_up = self.server.events("listening")[-1]["t"]
        took = self.wait_all_in(RETURN_LIMIT)
        fig = self.returns(t_up, time.time(), took)
        fig["server_down_s"] = round(t_up - self._t_down, 2)
        return fig

    def scenario_restart(self):
        self.costs_begin()
        self.server_down()
        log("server restarted")
        self.figures["restart"] = self.server_back()
        self.figures["costs"] = self.costs_end()

    def scenario_outage(self):
        self.costs_begin()
        self.server_down()
        log("server down for %d s" % self.seconds)
        self.run_for(self.seconds)
        log("server back")
        self.figures["outage"] = self.server_back()
        self.figures["costs"] = self.costs_end()

    # -- figures from the server's record ---------------------------------------
    def traffic(self, start, end):
        msgs = [e for e in self.server.events("message") if start <= e["t"] < end]
        secs = end - start
        nbytes = sum(len((e.get("raw") or "").encode()) for e in msgs)
        kinds = Counter((e.get("msg") or {}).get("type") for e in msgs)
        return {"window_s": round(secs, 1),
                "messages_per_s": round(len(msgs) / secs, 3),
                "bytes_per_s": round(nbytes / secs, 1),
                "messages_per_s_per_device": round(len(msgs) / secs / self.n, 4),
                "bytes_per_s_per_device": round(nbytes / secs / self.n, 1),
                "by_type_per_s": {k: round(v / secs, 3) for k, v in sorted(kinds.items(),
                                                                          key=str)}}

    def returns(self, t_up, end, took):
        events = self.server.events()
        connects = [e["t"] for e in events if e["event"] == "connect" and e["t"] >= t_up]
        first_login = {}
        for e in events:
            if e["event"] == "message" and e["t"] >= t_up and \
                    (e.get("msg") or {}).get("type") == "auth":
                first_login.setdefault(e["msg"].get("device_id"), e["t"])
        counts = per_second(connects, t_up, end)
        logins = sorted(first_login.values())
        return {"devices_back": len(first_login),
                "time_to_last_s": None if len(first_login) < self.n
                else round(logins[-1] - t_up, 2),
                "time_to_first_s": round(logins[0] - t_up, 2) if logins else None,
                "largest_1s_handshakes": largest_burst(connects),
                "connections_per_s": trim(counts),
                "wait_s": None if took is None else round(took, 1)}

    # -- the end -----------------------------------------------------------------
    def teardown(self):
        for agent in self.agents:
            try:
                if agent.running():
                    agent.signal(signal.SIGTERM)
            except (AssertionError, runners.Timeout):
                pass
        for agent in self.agents:
            try:
                agent.wait_exit(30)
            except runners.Timeout:
                pass
        for dev in self.devices:
            for p in dev.miner_pids():
                try:
                    os.kill(p, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            dev.teardown()
        if self.page is not None:
            self.page.stop()
        if self.bridge is not None:
            self.bridge.teardown()


def mean(values):
    return round(sum(values) / len(values), 2) if values else None


def trim(counts):
    """The per-second counts without the trailing zeros."""
    while counts and counts[-1] == 0:
        counts = counts[:-1]
    return counts


def machine():
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = 0
    try:
        mem = int(Path("/proc/meminfo").read_text().split()[1]) // (1024 * 1024)
    except (OSError, ValueError, IndexError):
        pass
    return "%d cores, %s, %d GiB" % (os.cpu_count() or 0, cpu, mem)


def report(fig):
    log("figures (N=%d, %s, %s):" % (fig["n"], fig["scenario"], fig["machine"]))
    print(json.dumps(fig, indent=2), flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("n", type=int)
    p.add_argument("scenario", choices=sorted(DEFAULT_SECONDS))
    p.add_argument("seconds", type=int, nargs="?")
    p.add_argument("--out", default="/tmp/kvagent-fleet")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--warmup", type=int, default=30,
                   help="seconds between the last login and the measurement")
    p.add_argument("--web", type=int, default=8080, metavar="PORT",
                   help="the server's page on 127.0.0.1:PORT (taken: any free port; "
                   "0: any free port)")
    p.add_argument("--no-web", dest="web", action="store_const", const=None,
                   help="no page")
    args = p.parse_args(argv)
    if not 1 <= args.n <= MAX_DEVICES:
        p.error("N must be 1 to %d" % MAX_DEVICES)
    if os.geteuid() != 0:
        p.error("run as root (namespaces and sandboxes)")
    seed = args.seed if args.seed is not None else random.randrange(1 << 31)
    seconds = args.seconds or DEFAULT_SECONDS[args.scenario]
    fleet = Fleet(args.n, args.scenario, seconds, args.out, seed, args.warmup, args.web)

    def on_signal(signum, frame):
        if not fleet.stopping:
            log("stopping (signal %d)" % signum)
        fleet.stopping = True
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    status = 0
    try:
        fleet.run()
    except Exception as exc:  # stop everything before reporting
        log("failed: %s: %s" % (type(exc).__name__, exc))
        status = 1
    finally:
        log("stopping %d devices" % len(fleet.agents))
        fleet.teardown()
    (Path(args.out) / "figures.json").write_text(json.dumps(fleet.figures, indent=2) + "\n")
    report(fleet.figures)
    log("done; files in %s" % args.out)
    return status


if __name__ == "__main__":
    sys.exit(main())
