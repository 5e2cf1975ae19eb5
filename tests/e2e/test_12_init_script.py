"""The device's init script etc/init.d/kvagent.sh, run inside the sandbox.

The script is installed as the device's /etc/init.d/kvagent.sh and driven by
a long-lived shell in the sandbox (the sandbox lives as long as its first
process, and the supervisor that `start` puts in the background must outlive
the command that started it): the test writes command lines into a FIFO under
/run/sandbox, the shell runs each one and leaves its output and exit status
next to it. Settings come from a defaults file (KVAGENT_DEFAULTS, the
equivalent of the device's /etc/default/kvagent): the agent binary, its
options with `-s` pointing at the development server, a 2 s pause between
restarts.

The agent binary is reached through a small wrapper named `kvagent` that
notes the time of each start and execs the real binary (so the process the
script supervises is the agent itself). The processes are also watched from
the host, in the sandbox's pid namespace, independently of the script's pid
files.

Each scenario runs under dash (Debian's /bin/sh) and under BusyBox ash (the
device's shell) when busybox is installed. test_bundle checks the archive
scripts/bundle.sh makes.
"""

import os
import re
import shutil
import signal
import subprocess
import tarfile
import time
from pathlib import Path

import pytest

import kvtest

INIT_SCRIPT = kvtest.REPO / "etc" / "init.d" / "kvagent.sh"
PAUSE = 2
# Lower bounds on the pause are checked with this much slack (the start times
# come from `date` in the wrapper, the pause from the script's `sleep`).
SLACK = 0.4
SUPERVISOR_LOG = "kvagent-supervisor.log"

SHELLS = [pytest.param("/bin/sh", id="dash")]
if shutil.which("busybox"):
    SHELLS.append(pytest.param("busybox sh", id="busybox-ash"))
else:
    SHELLS.append(pytest.param("busybox sh", id="busybox-ash",
                               marks=pytest.mark.skip(reason="busybox is not installed")))

DRIVER = r'''
export KVAGENT_DEFAULTS=/run/sandbox/kvagent.default
exec 3<> /run/sandbox/driver.fifo
mkdir -p /run/sandbox/driver
: > /run/sandbox/driver/ready
while IFS= read -r line <&3; do
    id=${line%%" "*}
    cmd=${line#*" "}
    /bin/sh -c "$cmd" < /dev/null > "/run/sandbox/driver/$id.out" 2>&1 3<&-
    rc=$?
    echo "[$id] \$ $cmd"
    cat "/run/sandbox/driver/$id.out"
    echo "[$id] exit status $rc"
    echo "$rc" > "/run/sandbox/driver/$id.rc.tmp"
    mv "/run/sandbox/driver/$id.rc.tmp" "/run/sandbox/driver/$id.rc"
done
'''

STARTS_LOG = "/run/sandbox/agent-starts.log"


def wrapper_text(binary):
    return ("#!/bin/sh\n"
            "# Notes the time of each start, then becomes the agent.\n"
            "date +%%s.%%N >> %s\n"
            "exec %s \"$@\"\n" % (STARTS_LOG, binary))


class Proc:
    def __init__(self, host, inner, argv):
        self.host = host
        self.inner = inner
        self.argv = argv

    def __repr__(self):
        return "Proc(host=%d, inner=%d, %r)" % (self.host, self.inner, " ".join(self.argv))


class InitDriver(kvtest.Agent):
    """A shell in the device's sandbox that runs command lines sent through a
    FIFO; its output (every command, its output and exit status) is the
    "agent" output the fixtures print on failure."""

    def __init__(self, device, ro_binds=()):
        super().__init__(device, [], valgrind=False, ro_binds=ro_binds)
        self.run_dir = device.root / "run" / "sandbox"
        self.fifo = self.run_dir / "driver.fifo"
        self.out_dir = self.run_dir / "driver"
        self._n = 0

    def command(self):
        return ["/bin/sh", "-c", DRIVER]

    def start(self):
        os.mkfifo(self.fifo)
        super().start()
        kvtest.wait_for(lambda: (self.out_dir / "ready").exists() or not self.running(),
                        10, what="the driver shell")
        assert self.running(), self.log_text()
        return self

    def sh(self, cmd, timeout=60):
        """Run `cmd` with /bin/sh -c in the sandbox; returns (status, output)."""
        self._n += 1
        n = self._n
        fd = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, ("%d %s\n" % (n, cmd)).encode())
        finally:
            os.close(fd)
        rc_path = self.out_dir / ("%d.rc" % n)

        def done():
            if not self.running():
                raise AssertionError("driver shell ended:\n" + self.log_text())
            return rc_path.exists()
        kvtest.wait_for(done, timeout, what="`%s`" % cmd)
        return int(rc_path.read_text()), (self.out_dir / ("%d.out" % n)).read_text()

    # -- what runs in the sandbox, seen from the host -------------------------
    def procs(self):
        """Live processes in the sandbox's pid namespace."""
        ns = os.readlink("/proc/%d/ns/pid" % self.ns_init_pid)
        out = []
        for d in os.listdir("/proc"):
            if not d.isdigit():
                continue
            try:
                if os.readlink("/proc/%s/ns/pid" % d) != ns:
                    continue
                argv = Path("/proc/%s/cmdline" % d).read_bytes().split(b"\0")
                status = Path("/proc/%s/status" % d).read_text()
            except OSError:
                continue
            if re.search(r"^State:\s*Z", status, re.M):
                continue
            nspid = re.search(r"^NSpid:\s*(.*)$", status, re.M).group(1).split()
            out.append(Proc(int(d), int(nspid[-1]),
                            [a.decode(errors="replace") for a in argv if a]))
        return out

    def agents(self):
        """The agent processes: started as `kvagent` (the wrapper execs the
        binary)."""
        return [p for p in self.procs() if p.argv and os.path.basename(p.argv[0]) == "kvagent"
                or len(p.argv) > 1 and p.argv[1].endswith("/bin/kvagent")]

    def supervisors(self):
        return [p for p in self.procs()
                if len(p.argv) >= 2 and p.argv[-1] == "supervise"
                and p.argv[-2].endswith("kvagent.sh")]

    def one_agent(self, timeout=10):
        """Wait until exactly one agent and one supervisor run; returns them."""
        def found():
            a, s = self.agents(), self.supervisors()
            return (a[0], s[0]) if len(a) == 1 and len(s) == 1 else None
        return kvtest.wait_for(found, timeout, what="one agent under one supervisor")

    def wait_nothing_runs(self, timeout=10):
        kvtest.wait_for(lambda: not self.agents() and not self.supervisors(), timeout,
                        what="no agent and no supervisor")

    # -- files ---------------------------------------------------------------
    def starts(self):
        try:
            text = (self.run_dir / "agent-starts.log").read_text()
        except FileNotFoundError:
            return []
        return [float(t) for t in text.split()]

    def supervisor_log(self):
        try:
            return (self.device.var_log / SUPERVISOR_LOG).read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_supervisor_log(self, regex, count=1, timeout=10):
        rx = re.compile(regex, re.M)
        kvtest.wait_for(lambda: len(rx.findall(self.supervisor_log())) >= count, timeout,
                        what="%d supervisor log line(s) /%s/" % (count, regex))
        return rx.findall(self.supervisor_log())

    def report(self):
        return "\n".join([super().report(),
                          "---- /var/log/%s ----" % SUPERVISOR_LOG, self.supervisor_log(),
                          "---- agent starts ----", repr(self.starts()),
                          "---- /var/log/kvagent.log (end) ----",
                          "\n".join(self.file_log_text().splitlines()[-40:])])


@pytest.fixture
def driver_for():
    def make(device, defaults, daemon=None):
        """A driver shell in `device`'s sandbox; `defaults` (dict) becomes the
        defaults file; the agent wrapper is /run/sandbox/bin/kvagent (or
        `daemon`, a script text, there instead)."""
        shutil.copyfile(INIT_SCRIPT, device.init_d / "kvagent.sh")
        (device.init_d / "kvagent.sh").chmod(0o755)
        bindir = device.root / "run" / "sandbox" / "bin"
        bindir.mkdir()
        wrapper = bindir / "kvagent"
        wrapper.write_text(daemon or wrapper_text(kvtest.agent_binary()))
        wrapper.chmod(0o755)
        (device.root / "run" / "sandbox" / "kvagent.default").write_text(
            "".join("%s=%s\n" % (k, shell_quote(v)) for k, v in defaults.items()))
        drv = InitDriver(device)
        return drv.start()
    return make


def shell_quote(value):
    return "'" + str(value).replace("'", "'\\''") + "'"


def defaults_for(server):
    return {"KVAGENT_DAEMON": "/run/sandbox/bin/kvagent",
            "KVAGENT_OPTS": "-c /config/korvane.json -s %s" % server.url,
            "KVAGENT_RESPAWN_PAUSE": PAUSE}


def assert_pauses(starts):
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    assert all(g >= PAUSE - SLACK for g in gaps), "restarts closer than the %d s pause: %r" % (
        PAUSE, gaps)


RUNNING_RE = r"^kvagent is running \(pid (\d+), supervisor pid (\d+)\)$"


def check_status_running(drv, init, agent, supervisor):
    rc, out = drv.sh(init + " status")
    m = re.search(RUNNING_RE, out, re.M)
    assert rc == 0 and m, out
    assert (int(m.group(1)), int(m.group(2))) == (agent.inner, supervisor.inner), \
        (out, agent, supervisor)


def check_stopped(drv, init):
    rc, out = drv.sh(init + " status")
    assert (rc, out) == (3, "kvagent is stopped\n")
    rc, out = drv.sh("ls -A /var/run")
    assert "kvagent" not in out, "pid files left: " + out


@pytest.mark.parametrize("shell", SHELLS)
def test_supervised_agent(device, server, driver_for, shell):
    """Start with a broken configuration (restarts with the pause between
    them), repair it (the next start logs in), status, a second start refused,
    SIGKILL (restarted), stop (orderly close, no respawn), restart, and the
    agent's own orderly exit ending the supervision."""
    init = "%s /etc/init.d/kvagent.sh" % shell
    drv = driver_for(device, defaults_for(server))

    # -- a broken configuration: exit 1, restarted after the pause ------------
    device.write_config("{ this is not json")
    rc, out = drv.sh(init + " start")
    assert rc == 0 and re.search(r"^Starting kvagent: OK \(supervisor pid \d+\)$", out, re.M), out
    exits = drv.wait_supervisor_log(r"kvagent exited with status 1; restart (\d+) in %d s$"
                                    % PAUSE, count=3, timeout=3 * PAUSE + 20)
    assert exits[:3] == ["1", "2", "3"], drv.supervisor_log()
    starts = drv.starts()
    # Three starts, each failing (a fourth may be under way if this test lags).
    assert len(starts) in (3, 4), (starts, drv.supervisor_log())
    assert_pauses(starts)
    # A supervisor's child between its fork and the agent's exec still shows
    # the supervisor's command line.
    kvtest.wait_for(lambda: len(drv.supervisors()) == 1, 5, what="one supervisor")
    # Meanwhile the service counts as running (it restarts by itself).
    rc, out = drv.sh(init + " status")
    assert rc == 0 and re.match(r"kvagent is (running|restarting) \(.*supervisor pid \d+\)$",
                                out), out
    assert server.connections() == 0

    # -- repaired: the next start logs in ------------------------------------
    fixed_at = time.time()
    device.write_config({"api_key": kvtest.API_KEY})
    server.wait_event("connect", timeout=PAUSE + 20)
    server.wait_message("auth", conn=1, timeout=20)
    starts = drv.starts()
    assert len([t for t in starts if t >= fixed_at]) == 1, (fixed_at, starts)
    assert_pauses(starts)
    agent, supervisor = drv.one_agent()
    # The supervisor runs under the shell that ran the script.
    assert ("busybox" in supervisor.argv[0]) == ("busybox" in shell), supervisor
    n_starts = len(starts)

    # -- status while running -------------------------------------------------
    check_status_running(drv, init, agent, supervisor)

    # -- a second start is refused -------------------------------------------
    rc, out = drv.sh(init + " start")
    assert rc == 1, out
    assert out == "kvagent is already running (pid %d, supervisor pid %d)\n" % (
        agent.inner, supervisor.inner), out
    time.sleep(0.5)
    assert [p.host for p in drv.agents()] == [agent.host]
    assert [p.host for p in drv.supervisors()] == [supervisor.host]
    assert len(drv.starts()) == n_starts and server.connections() == 1

    # -- SIGKILL: restarted after the pause ------------------------------------
    killed_at = time.time()
    os.kill(agent.host, signal.SIGKILL)
    drv.wait_supervisor_log(r"kvagent was killed by signal 9; restart %d in %d s$"
                            % (n_starts, PAUSE))
    mark = server.mark()
    server.wait_event("connect", since=mark, timeout=PAUSE + 20)
    starts = drv.starts()
    assert len(starts) == n_starts + 1 and starts[-1] >= killed_at + PAUSE - SLACK, \
        (killed_at, starts)
    new_agent, same_supervisor = drv.one_agent()
    assert new_agent.host != agent.host and same_supervisor.host == supervisor.host
    server.wait_message("auth", conn=2, timeout=20)
    check_status_running(drv, init, new_agent, supervisor)

    # -- stop: orderly close, nothing left, no respawn -------------------------
    mark = server.mark()
    rc, out = drv.sh(init + " stop")
    assert (rc, out) == (0, "Stopping kvagent: OK\n")
    close = server.wait_event("close", since=mark, conn=2)
    assert close["code"] == 1000 and close["initiated_by"] == "agent", close
    assert not drv.agents() and not drv.supervisors(), drv.procs()
    assert "Stopping agent" in drv.file_log_text()
    # The supervisor went first, leaving the agent to the stop (which ended
    # it in time, without SIGKILL).
    log = drv.supervisor_log()
    assert re.search(r"supervisor stopping \(agent pid %d left to stop\)$" % new_agent.inner,
                     log, re.M), log
    assert "not restarting" not in log and "SIGKILL" not in log, log
    check_stopped(drv, init)
    time.sleep(PAUSE + 1.5)
    assert len(drv.starts()) == n_starts + 1 and server.connections() == 2
    assert not drv.agents() and not drv.supervisors(), drv.procs()
    rc, out = drv.sh(init + " stop")
    assert (rc, out) == (0, "Stopping kvagent: not running\n")

    # -- restart: from stopped, then while running ------------------------------
    rc, out = drv.sh(init + " restart")
    assert rc == 0 and "Starting kvagent: OK" in out, out
    server.wait_message("auth", conn=3, timeout=20)
    agent3, supervisor3 = drv.one_agent()
    mark = server.mark()
    rc, out = drv.sh(init + " restart")
    assert rc == 0 and re.match(r"Stopping kvagent: OK\nStarting kvagent: OK", out), out
    close = server.wait_event("close", since=mark, conn=3)
    assert close["code"] == 1000, close
    server.wait_message("auth", conn=4, timeout=20)
    agent4, supervisor4 = drv.one_agent()
    assert agent4.host != agent3.host and supervisor4.host != supervisor3.host

    # -- the agent's own orderly exit (SIGTERM to it) ends the supervision ------
    mark = server.mark()
    os.kill(agent4.host, signal.SIGTERM)
    close = server.wait_event("close", since=mark, conn=4)
    assert close["code"] == 1000, close
    drv.wait_nothing_runs()
    drv.wait_supervisor_log(r"kvagent stopped \(exit status 0\); not restarting$")
    check_stopped(drv, init)
    assert len(drv.starts()) == n_starts + 3 and server.connections() == 4


FAKE_AGENT = """#!/bin/sh
# An agent that does not stop on SIGTERM.
trap '' TERM
echo $$ >> /run/sandbox/fake-agent.pids
while :; do sleep 0.2; done
"""


@pytest.mark.parametrize("shell", SHELLS)
def test_stop_escalates_and_start_checks(device, driver_for, shell):
    """An agent that ignores SIGTERM is killed after KVAGENT_STOP_TIMEOUT;
    the supervisor's log is rotated at 64 KB; start fails (5) without the
    binary and leaves nothing behind; an environment variable picks the
    binary when no defaults file says otherwise; a stop during the pause
    before a restart."""
    init = "%s /etc/init.d/kvagent.sh" % shell
    drv = driver_for(device, {"KVAGENT_DAEMON": "/run/sandbox/bin/kvagent",
                              "KVAGENT_STOP_TIMEOUT": 2, "KVAGENT_RESPAWN_PAUSE": PAUSE},
                     daemon=FAKE_AGENT)
    old_log = "".join("old line %05d\n" % i for i in range(5000)).encode()  # 75 KB
    (device.var_log / SUPERVISOR_LOG).write_bytes(old_log)

    rc, out = drv.sh(init + " start")
    assert rc == 0, out
    agent, supervisor = drv.one_agent()
    # The log was rotated before the start and holds only new lines.
    assert (device.var_log / (SUPERVISOR_LOG + ".1")).read_bytes() == old_log
    assert "old line" not in drv.supervisor_log()
    drv.wait_supervisor_log(r"started /run/sandbox/bin/kvagent \(pid %d\)$" % agent.inner)
    check_status_running(drv, init, agent, supervisor)

    t0 = time.monotonic()
    rc, out = drv.sh(init + " stop")
    took = time.monotonic() - t0
    assert (rc, out) == (0, "Stopping kvagent: OK\n")
    assert 2 - SLACK <= took < 30, took
    assert re.search(r"kvagent \(pid %d\) still runs 2 s after SIGTERM; sending SIGKILL$"
                     % agent.inner, drv.supervisor_log(), re.M), drv.supervisor_log()
    drv.wait_nothing_runs(timeout=5)
    check_stopped(drv, init)

    # No binary: refused with 5, nothing started.
    env = "KVAGENT_DEFAULTS=/nonexistent KVAGENT_DAEMON=/run/sandbox/bin/missing "
    rc, out = drv.sh(env + init + " start")
    assert (rc, out) == (5, "kvagent: /run/sandbox/bin/missing is missing or not executable\n")
    assert not drv.agents() and not drv.supervisors()
    check_stopped(drv, init)

    # The environment picks the binary when no defaults file is read.
    env = "KVAGENT_DEFAULTS=/nonexistent KVAGENT_DAEMON=/run/sandbox/bin/kvagent "
    rc, out = drv.sh(env + init + " start")
    assert rc == 0, out
    drv.one_agent()
    rc, out = drv.sh(env + "KVAGENT_STOP_TIMEOUT=1 " + init + " stop")
    assert rc == 0, out
    assert "still runs 1 s after SIGTERM" in drv.supervisor_log()
    drv.wait_nothing_runs(timeout=5)

    # A stop during the pause before a restart ends the supervisor at once
    # and leaves no sleep behind.
    failing = device.root / "run" / "sandbox" / "bin" / "failing"
    failing.write_text("#!/bin/sh\nexit 1\n")
    failing.chmod(0o755)
    env = ("KVAGENT_DEFAULTS=/nonexistent KVAGENT_DAEMON=/run/sandbox/bin/failing "
           "KVAGENT_RESPAWN_PAUSE=30 ")
    rc, out = drv.sh(env + init + " start")
    assert rc == 0, out
    drv.wait_supervisor_log(r"kvagent exited with status 1; restart 1 in 30 s$")
    rc, out = drv.sh(env + init + " status")
    assert rc == 0 and re.match(r"kvagent is restarting \(supervisor pid \d+\)$", out), out
    t0 = time.monotonic()
    rc, out = drv.sh(env + init + " stop")
    assert (rc, out) == (0, "Stopping kvagent: OK\n") and time.monotonic() - t0 < 10
    drv.wait_nothing_runs(timeout=5)
    assert not [p for p in drv.procs() if p.argv[:1] == ["sleep"]], drv.procs()
    check_stopped(drv, init)


def test_bundle(tmp_path):
    """scripts/bundle.sh with a given (x86-64) binary: files only, laid out as
    on the device, with their modes, the binary stripped, the architecture in
    the name and a warning that it is not the device's."""
    env = dict(os.environ, KVAGENT_BUNDLE_BIN=str(kvtest.agent_binary()),
               KVAGENT_BUNDLE_DIR=str(tmp_path))
    res = subprocess.run(["bash", str(kvtest.REPO / "scripts" / "bundle.sh")], env=env,
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "WARNING" in res.stderr and "x86_64" in res.stderr, res.stderr
    archives = list(tmp_path.glob("kvagent-*-x86_64.tar.gz"))
    assert len(archives) == 1, list(tmp_path.iterdir())
    with tarfile.open(archives[0]) as tar:
        members = {m.name: m for m in tar.getmembers()}
        assert sorted(members) == sorted([
            "usr/sbin/kvagent", "etc/init.d/kvagent.sh", "opt/korvane/etc/log.conf",
            "config/korvane.json.sample", "usr/share/kvagent/INSTALL",
            "usr/share/kvagent/kvagent-install", "usr/share/kvagent/boot.sh"])
        for name, m in members.items():
            assert m.isfile() and m.uid == 0 and m.gid == 0, name
            want = 0o755 if name in ("usr/sbin/kvagent", "etc/init.d/kvagent.sh",
                                     "usr/share/kvagent/kvagent-install",
                                     "usr/share/kvagent/boot.sh") else 0o644
            assert m.mode & 0o7777 == want, (name, oct(m.mode))
        for name, src in (("etc/init.d/kvagent.sh", "etc/init.d/kvagent.sh"),
                          ("opt/korvane/etc/log.conf", "etc/log.conf"),
                          ("config/korvane.json.sample", "etc/korvane.json.sample"),
                          ("usr/share/kvagent/kvagent-install", "scripts/kvagent-install"),
                          ("usr/share/kvagent/boot.sh", "etc/korvane/boot.sh")):
            assert tar.extractfile(name).read() == (kvtest.REPO / src).read_bytes(), name
        binary = tmp_path / "kvagent"
        binary.write_bytes(tar.extractfile("usr/sbin/kvagent").read())
        install = tar.extractfile("usr/share/kvagent/INSTALL").read().decode()
        tar.extractall(tmp_path / "unpacked")
    # The farm installer finds the archive's files beside it: only the trust
    # anchors (not in this archive) are missing; it stops before any SSH.
    inst = subprocess.run(["bash", str(tmp_path / "unpacked/usr/share/kvagent/kvagent-install"),
                           "-k", kvtest.API_KEY, "install", "root@192.0.2.10"],
                          capture_output=True, text=True, timeout=60)
    assert (inst.returncode, inst.stderr) == (
        2, "kvagent-install: no trust anchors for the server: give -c FILE\n"), inst
    sections = subprocess.run(["readelf", "-S", str(binary)], capture_output=True, text=True,
                              check=True).stdout
    assert ".text" in sections and ".symtab" not in sections and ".debug_info" not in sections
    assert "/etc/init.d/kvagent.sh start" in install and "tar -xzf" in install
    assert archives[0].name in res.stdout and "usr/sbin/kvagent" in res.stdout
