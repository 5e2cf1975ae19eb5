"""The agent kept in /config/korvane and started at boot, in a device that boots.

A "boot" of the sandboxed device: everything in the sandbox ends, its root
folder is made afresh (the RAM disk) while /config stays, and a new sandbox
runs the part of the device's start-up that matters here, as the device's
shell (BusyBox ash) with only BusyBox applets on PATH - links to Debian's
busybox-static, for those etc/korvane/boot.sh names, plus the few the
firmware's own scripts use:

  S38 network.sh   sources /config/network.conf (in a shell of its own)
  S40 dropbear     the board set-up's copy of /config/dropbear is sourced
                   under `set -e`, then Debian's dropbear is started (on port
                   2222: the installer's tests use an OpenSSH sshd on 22) and
                   "dropbear started" is printed

The device's network namespace (eth0 with its MAC, 192.0.2.10) is on a farm
network (kvtest.Bridge: a namespace of its own with a bridge holding the
gateway 192.0.2.1). The development server and the installer run there,
outside the device: the agent reaches the server through its eth0 and default
route, at wss://devserver.test:8443 (192.0.2.1 by the device's /etc/hosts:
the agent's static build checks certificates by DNS name only). Both outlive the boots. The sandbox is driven
by the shell of test_12_init_script (InitDriver), which also watches the
processes in it.
"""

import os
import re
import shutil
import signal
import subprocess
import time

import pytest

import kvtest
from test_12_init_script import InitDriver, shell_quote

BOOT_SCRIPT = kvtest.REPO / "etc" / "korvane" / "boot.sh"
INSTALLER = kvtest.REPO / "scripts" / "kvagent-install"
INIT_SCRIPT = kvtest.REPO / "etc" / "init.d" / "kvagent.sh"
MAC_DEV_ID = "0000000000000000-001122AABBCC"
PAUSE = 2
HOOK_MARK = "# kvagent boot hook"
NETWORK_CONF = ('hostname=rig7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
                'gateway=192.0.2.1\ndnsservers="192.0.2.53"\n')


def static_busybox():
    """Debian's busybox-static, unpacked into a cache folder outside the clone
    (scripts/busybox-static.sh; fetched once), or None when it cannot be had."""
    res = subprocess.run(["sh", str(kvtest.REPO / "scripts" / "busybox-static.sh")],
                         capture_output=True, text=True, timeout=600)
    if res.returncode != 0:
        print(res.stderr)
        return None
    return res.stdout.strip()


# The device's shell tools: links to it, which the sandbox sees at the same
# path (the folder it was unpacked into, bound read-only).
BUSYBOX = static_busybox()
BUSYBOX_DIR = os.path.dirname(os.path.dirname(BUSYBOX)) if BUSYBOX else None

# The device's start-up, as far as it concerns the agent (see above).
RCS = """set -e
if [ -f /config/network.conf ]; then (. /config/network.conf); fi
if [ -f /config/dropbear ]; then cp /config/dropbear /run/sandbox/default.dropbear; fi
if [ -f /run/sandbox/default.dropbear ]; then . /run/sandbox/default.dropbear; fi
[ -f /run/sandbox/dropbear_key ] || /usr/bin/dropbearkey -t ed25519 -f /run/sandbox/dropbear_key >/run/sandbox/dropbear.err 2>&1
/usr/sbin/dropbear -r /run/sandbox/dropbear_key -p %d -P /run/sandbox/dropbear.pid 2>>/run/sandbox/dropbear.err
echo "dropbear started"
""" % 2222
# Applets the firmware's own scripts (and the agent's commands) use here.
FIRMWARE_APPLETS = ["cp", "pidof", "sync"]

pytestmark = pytest.mark.skipif(BUSYBOX is None,
                                reason="no busybox-static (scripts/busybox-static.sh failed)")


def script_applets():
    """The applets etc/korvane/boot.sh says it (and the init script) may use,
    and those the installer's commands on the device use besides."""
    names = []
    for path, keys in ((BOOT_SCRIPT, ("Applets", "Probed with command -v, with a fallback")),
                       (INSTALLER, ("Device applets", "Probed with command -v"))):
        text = path.read_text()
        for key in keys:
            m = re.search(r"^# %s: (.*)$" % re.escape(key), text, re.M)
            assert m, (path, key)
            names += m.group(1).split()
    return names


class Farm:
    """One sandboxed device with the agent laid out in its /config/korvane."""

    def __init__(self, device, server):
        self.device = device
        self.server = server
        self.drv = None
        self.home = device.root / "config" / "korvane"

    # -- what the installer puts on the device ---------------------------------
    def lay_out(self, certs):
        self.home.mkdir()
        shutil.copyfile(kvtest.agent_binary(), self.home / "kvagent")
        shutil.copyfile(INIT_SCRIPT, self.home / "kvagent.sh")
        shutil.copyfile(BOOT_SCRIPT, self.home / "boot.sh")
        shutil.copyfile(kvtest.REPO / "etc" / "log.conf", self.home / "log.conf")
        shutil.copyfile(certs["ca"], self.home / "letsencrypt.pem")
        for name in ("kvagent", "kvagent.sh", "boot.sh"):
            (self.home / name).chmod(0o755)
        settings = {"KVAGENT_OPTS": "-c /config/korvane.json -s %s" % self.server.url,
                    "KVAGENT_RESPAWN_PAUSE": PAUSE}
        (self.home / "kvagent.default").write_text(
            "".join("%s=%s\n" % (k, shell_quote(v)) for k, v in settings.items()))
        self.device.write_config({"api_key": kvtest.API_KEY})
        self.fresh_root()

    # -- boots -----------------------------------------------------------------
    def power_off(self):
        if self.drv is not None:
            self.drv.kill()
            self.drv = None

    def fresh_root(self):
        """The RAM disk as the firmware unpacks it: nothing of the agent's
        outside /config."""
        root = self.device.root
        keep = root.parent / "config.kept"
        os.rename(root / "config", keep)
        shutil.rmtree(root)
        kvtest.run_cmd([kvtest.SANDBOX, "root-init", root])
        self.device.write_hosts()
        shutil.rmtree(root / "config")
        os.rename(keep, root / "config")
        for p in (self.device.log_conf, self.device.cert_path):
            if p.exists():
                p.unlink()
        bbin = root / "run" / "sandbox" / "bbin"
        bbin.mkdir()
        for name in sorted(set(script_applets() + FIRMWARE_APPLETS)):
            os.symlink(BUSYBOX, bbin / name)
        (root / "run" / "sandbox" / "rcS").write_text(RCS)

    def boot(self):
        """Power off, fresh RAM disk, start-up; returns the start-up's output."""
        self.power_off()
        self.fresh_root()
        self.drv = self.driver().start()
        rc, out = self.sh("sh /run/sandbox/rcS")
        err = self.device.root / "run" / "sandbox" / "dropbear.err"
        assert (rc, out) == (0, "dropbear started\n"), \
            out + (err.read_text(errors="replace") if err.exists() else "")
        return out

    def driver(self):
        return InitDriver(self.device, ro_binds=[BUSYBOX_DIR])

    def sh(self, cmd, timeout=60):
        """`cmd` run by BusyBox ash in the device, with only the applets on PATH."""
        return self.drv.sh("PATH=/run/sandbox/bbin; export PATH; exec %s sh -c %s"
                           % (BUSYBOX, shell_quote(cmd)), timeout=timeout)

    # -- what runs -------------------------------------------------------------
    def boot_log(self):
        try:
            return (self.device.var_log / "kvagent-boot.log").read_text()
        except FileNotFoundError:
            return ""

    def logged_in(self, conn, timeout=60):
        return self.server.wait_message("auth", conn=conn, timeout=timeout)


@pytest.fixture
def bridge(tmp_path):
    """The farm's network, outside every device."""
    b = kvtest.Bridge(tmp_path / "farmnet").setup()
    yield b
    b.teardown()


@pytest.fixture
def device(bridge, request, make_device):
    """The device on the farm's network (options from the device marker)."""
    marker = request.node.get_closest_marker("device")
    opts = dict(marker.kwargs) if marker else {}
    return make_device(bridge=bridge, **opts)


@pytest.fixture
def server(bridge, device, certs):
    """The development server on the farm's network, at the gateway's address."""
    s = kvtest.DevServer(bridge, certs, host=bridge.addr).start()
    # Also the device's, for the check of the agent's messages at teardown.
    device.servers.append(s)
    return s


@pytest.fixture
def farm(device, server, certs):
    f = Farm(device, server)
    f.lay_out(certs)
    yield f
    if f.drv is not None and f.drv.running():
        print(f.drv.report())
        print("---- kvagent-boot.log ----\n" + f.boot_log())
    f.power_off()


def hook(farm):
    farm.drv = farm.drv or farm.driver().start()
    return farm.sh("sh /config/korvane/boot.sh hook")


# --------------------------------------------------------------------- the hook

def test_hook_line(farm):
    """The hook line: created with /config/dropbear when there was none (and
    that file deleted again by unhook, which says so), appended to an
    operator's file without a final newline, never twice; sourced under
    `set -e` it neither fails, blocks nor prints, even when the agent's files
    are gone."""
    dropbear = farm.device.root / "config" / "dropbear"
    assert (hook(farm)) == (0, "")
    lines = dropbear.read_text().splitlines()
    assert len(lines) == 1 and lines[0].endswith(HOOK_MARK), lines
    # The line the README and DESIGN show operators is this one.
    for doc in ("README.md", "DESIGN.md"):
        assert "\n    %s\n" % lines[0] in (kvtest.REPO / doc).read_text(), doc
    assert (farm.home / "dropbear.created").exists()
    assert farm.sh("sh /config/korvane/boot.sh hook") == (0, "")
    assert dropbear.read_text().splitlines() == lines
    assert farm.sh("sh /config/korvane/boot.sh unhook") == (
        0, "removed /config/dropbear (the install had created it)\n")
    assert not dropbear.exists() and not (farm.home / "dropbear.created").exists()

    operator = 'DROPBEAR_PORT=22\nDROPBEAR_EXTRA_ARGS="-w"'
    dropbear.write_text(operator)
    assert hook(farm) == (0, "")
    assert dropbear.read_text() == operator + "\n" + lines[0] + "\n"
    assert not (farm.home / "dropbear.created").exists()

    # The agent's files gone (a half-finished removal): the hook does nothing.
    os.rename(farm.home / "boot.sh", farm.home / "boot.sh.away")
    rc, out = farm.sh("set -e; . /config/dropbear; echo \"after $DROPBEAR_PORT\"")
    assert (rc, out) == (0, "after 22\n")
    os.rename(farm.home / "boot.sh.away", farm.home / "boot.sh")

    assert farm.sh("sh /config/korvane/boot.sh unhook") == (0, "")
    assert dropbear.read_text() == operator + "\n"


# --------------------------------------------------------------------- boots

@pytest.mark.slow
def test_boot_starts_the_supervised_agent(farm):
    """Boot: links on the RAM disk, the agent under its supervisor logs in
    with the MAC-derived device id; a second run of the hook leaves that one
    agent; kill -9 is repaired by the supervisor; network.conf rewritten by
    the agent's own config_network and then by the web page, a reboot: the
    agent starts again, with the same device id."""
    net_conf = farm.device.root / "config" / "network.conf"
    net_conf.write_text(NETWORK_CONF)
    assert hook(farm) == (0, "")
    farm.boot()
    auth = farm.logged_in(1)
    assert auth["device_id"] == MAC_DEV_ID, auth
    # From outside the device: to the gateway's address, from the device's eth0.
    assert farm.server.url == "wss://devserver.test:8443" + kvtest.WS_PATH
    assert farm.server.events("listening")[0]["host"] == "192.0.2.1"
    assert farm.server.events("connect", conn=1)[0]["peer"].startswith("192.0.2.10:")
    # dropbear listens after the hook line was sourced: its start went on.
    rc, tcp = farm.sh("cat /proc/net/tcp")
    assert rc == 0 and re.search(r"(?m)^\s*\d+: 00000000:08AE 00000000:0000 0A ", tcp), tcp
    agent, supervisor = farm.drv.one_agent()
    assert agent.argv[0] == "/config/korvane/kvagent", agent
    # The supervisor runs under the shell that ran the boot script: the
    # static BusyBox the device's tools link to.
    assert supervisor.argv[0] == BUSYBOX, supervisor
    assert farm.device.config_json()["dev_id"] == MAC_DEV_ID
    rc, out = farm.sh("for f in /opt/korvane/etc/log.conf /opt/korvane/certs/letsencrypt.pem "
                      "/etc/init.d/kvagent.sh; do readlink $f; done")
    assert (rc, out.split()) == (0, ["/config/korvane/log.conf",
                                     "/config/korvane/letsencrypt.pem",
                                     "/config/korvane/kvagent.sh"]), out
    # The start's own report follows its poll of the supervisor's pid file,
    # which a busy machine can let come after the agent's login.
    kvtest.wait_for(lambda: "Starting kvagent: OK" in farm.boot_log(), 20,
                    what="the start's report in kvagent-boot.log")

    # The hook again (dropbear restarted by hand): still the one agent.
    rc, out = farm.sh(". /run/sandbox/default.dropbear")
    assert (rc, out) == (0, "")
    kvtest.wait_for(lambda: "the agent runs already" in farm.boot_log(), 20,
                    what="the second start to finish")
    assert [p.host for p in farm.drv.one_agent()] == [agent.host, supervisor.host]
    assert farm.server.connections() == 1

    # kill -9: the supervisor starts it again after the pause.
    os.kill(agent.host, signal.SIGKILL)
    farm.logged_in(2, timeout=PAUSE + 30)
    new_agent, same_supervisor = farm.drv.one_agent()
    assert new_agent.host != agent.host and same_supervisor.host == supervisor.host

    # network.conf rewritten by the agent (config_network), then by the web page.
    farm.server.send({"type": "config_network", "mode": "dhcp", "hostname": "rig8"})
    assert farm.server.wait_message("config_network", conn=2, timeout=15) == {
        "type": "config_network", "ok": True}
    assert net_conf.read_text() == "hostname=rig8\ndhcp=true\n"
    farm.logged_in(3)
    net_conf.write_text(NETWORK_CONF.replace("rig7", "rig9"))

    farm.boot()
    auth = farm.logged_in(4)
    assert auth["device_id"] == MAC_DEV_ID
    farm.drv.one_agent()
    assert farm.device.config_json() == {"api_key": kvtest.API_KEY, "dev_id": MAC_DEV_ID}


def waiting_starts(farm):
    return [p for p in farm.drv.procs() if p.argv[-2:] == ["/config/korvane/boot.sh", "start"]]


@pytest.mark.slow
@pytest.mark.device(route=False)
def test_late_network(farm):
    """eth0 without an address or a default route at boot: the boot script
    waits, in the background (a stop ends it), and the agent starts once both
    are there, with the MAC-derived device id. A wait that runs out before the device id was
    ever saved starts nothing."""
    ns = farm.device.name
    kvtest.run_cmd(["ip", "-n", ns, "addr", "flush", "dev", "eth0"])
    (farm.home / "kvagent.default").write_text(
        (farm.home / "kvagent.default").read_text() + "KVAGENT_NET_WAIT=4\n")
    assert hook(farm) == (0, "")
    farm.boot()
    kvtest.wait_for(lambda: "not starting (the device id would not be the board's)"
                    in farm.boot_log(), 30, what="the wait to run out")
    assert not farm.drv.agents() and farm.server.connections() == 0
    assert "dev_id" not in farm.device.config_json()

    text = (farm.home / "kvagent.default").read_text().replace("KVAGENT_NET_WAIT=4\n", "")
    (farm.home / "kvagent.default").write_text(text)
    farm.boot()
    kvtest.wait_for(lambda: "waiting for an address" in farm.boot_log(), 20,
                    what="the boot script to wait")
    time.sleep(3)
    assert not farm.drv.agents() and farm.server.connections() == 0
    # A stop ends the waiting start; the hook run again waits anew.
    assert len(waiting_starts(farm)) == 1, farm.drv.procs()
    assert farm.sh("sh /config/korvane/boot.sh stop") == (0, "Stopping kvagent: not running\n")
    assert not waiting_starts(farm)
    assert farm.sh(". /run/sandbox/default.dropbear") == (0, "")
    kvtest.wait_for(lambda: waiting_starts(farm), 10, what="the hook's start")
    kvtest.run_cmd(["ip", "-n", ns, "addr", "add", "192.0.2.10/24", "dev", "eth0"])
    time.sleep(3)
    assert not farm.drv.agents(), "started without a default route"
    kvtest.run_cmd(["ip", "-n", ns, "route", "add", "default", "via", "192.0.2.1"])
    auth = farm.logged_in(1)
    assert auth["device_id"] == MAC_DEV_ID
    assert re.search(r"eth0 is up after \d+ s", farm.boot_log()), farm.boot_log()
    assert farm.device.config_json()["dev_id"] == MAC_DEV_ID


# --------------------------------------------------------------- the installer

API_KEY_2 = "kvtest-second-key-0123456789abcdef"
ROOT_PASSWORD = "kvtest-root-pw"
# An OpenSSH sshd in the device's sandbox, as close to the device's dropbear
# 2012.55 as its options allow: only the old key exchange, host key, cipher
# and MAC algorithms, no SFTP, commands run by BusyBox ash with the applets.
SSHD_CONFIG = """ListenAddress 192.0.2.10
HostKey /run/sandbox/ssh/host_rsa
KexAlgorithms diffie-hellman-group14-sha1
HostKeyAlgorithms ssh-rsa
PubkeyAcceptedAlgorithms ssh-rsa
Ciphers aes128-ctr,aes256-ctr
MACs hmac-sha1
PermitRootLogin yes
PasswordAuthentication yes
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
AuthorizedKeysFile /run/sandbox/ssh/authorized_keys
PidFile /run/sandbox/ssh/sshd.pid
ForceCommand /usr/bin/env PATH=/run/sandbox/bbin %s sh -c "$SSH_ORIGINAL_COMMAND"
""" % BUSYBOX


@pytest.fixture(scope="session")
def ssh_keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("ssh")
    for name in ("host_rsa", "client_rsa"):
        kvtest.run_cmd(["ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-N", "", "-f", d / name])
    return d


class SshFarm(Farm):
    """A device with an sshd, reached by scripts/kvagent-install run on the
    farm's network outside the device (the operator's machine)."""

    def __init__(self, device, server, keys, tmp):
        super().__init__(device, server)
        self.keys = keys
        self.tmp = tmp

    def fresh_root(self):
        super().fresh_root()
        ssh = self.device.root / "run" / "sandbox" / "ssh"
        ssh.mkdir()
        shutil.copyfile(self.keys / "host_rsa", ssh / "host_rsa")
        (ssh / "host_rsa").chmod(0o600)
        shutil.copyfile(self.keys / "client_rsa.pub", ssh / "authorized_keys")
        (ssh / "sshd_config").write_text(SSHD_CONFIG)

    def driver(self):
        # root's password, for sshd's password login (sshpass).
        shadow = self.tmp / "shadow"
        if not shadow.exists():
            hashed = kvtest.run_cmd(["openssl", "passwd", "-6", ROOT_PASSWORD]).stdout.strip()
            shadow.write_text("root:%s:19000:0:99999:7:::\n" % hashed)
        return InitDriver(self.device, ro_binds=[BUSYBOX_DIR, (shadow, "/etc/shadow")])

    def boot(self):
        out = super().boot()
        rc, text = self.drv.sh("mkdir -p /run/sshd && /usr/sbin/sshd -f /run/sandbox/ssh/sshd_config "
                               "-E /run/sandbox/ssh/sshd.log")
        assert rc == 0, text
        return out

    def install(self, *args, hosts=("root@192.0.2.10",), password=None):
        """Runs the installer (logging in with the client key, or with
        `password`); returns (exit status, result lines)."""
        # OpenSSH's sshd announces rsa-sha2-* signatures (server-sig-algs),
        # which the client then prefers; dropbear 2012.55 announces none, so
        # the client falls back to ssh-rsa. Said here by the first value.
        env = dict(os.environ, KVAGENT_SSH_OPTS="-F /dev/null -o UserKnownHostsFile=%s "
                   "-o IdentitiesOnly=yes -o PubkeyAcceptedAlgorithms=ssh-rsa"
                   % (self.tmp / "known_hosts"))
        for k in ("KVAGENT_API_KEY", "KVAGENT_ACCEPT_MACHINE", "KVAGENT_SSH_PASSWORD"):
            env.pop(k, None)
        login = ["-i", self.keys / "client_rsa"]
        if password is not None:
            env["KVAGENT_SSH_PASSWORD"] = password
            login = []
        cmd = self.device.bridge.netns_cmd(["bash", INSTALLER, *login, "-l", self.tmp / "logs",
                                     *args, *hosts])
        res = kvtest.run_cmd(cmd, check=False, timeout=600, env=env)
        print(res.stdout, res.stderr)
        return res.returncode, res.stdout.splitlines()

    def config_files(self):
        return sorted(p.name for p in (self.device.root / "config").iterdir())


@pytest.mark.slow
@pytest.mark.skipif(not os.path.exists("/usr/sbin/sshd") or shutil.which("ssh") is None,
                    reason="needs openssh-server and openssh-client (and sshpass for the "
                    "password login)")
@pytest.mark.device(miner_config=True)
def test_installer_over_ssh(device, server, certs, ssh_keys, tmp_path):
    """check, install, reboot, upgrade (refused binary, a binary that does not
    stay up, a good one with a new key), remove, reboot, through an sshd
    that speaks only the device's old algorithms; a second host that does
    not answer fails on its own line without stopping the first."""
    farm = SshFarm(device, server, ssh_keys, tmp_path)
    try:
        run_installer_scenario(farm, certs, tmp_path)
    finally:
        if farm.drv is not None:
            print(farm.drv.report())
            print("---- kvagent-boot.log ----\n" + farm.boot_log())
        farm.power_off()


def run_installer_scenario(farm, certs, tmp_path):
    dev = ["-m", "x86_64", "-s", farm.server.url, "-c", certs["ca"]]
    farm.boot()
    before = farm.config_files()

    rc, out = farm.install("check")
    assert (rc, out) == (1, ["root@192.0.2.10: FAILED: not an antminer-l3plus: "
                             "uname -m is 'x86_64', not ARMv7"]), out
    not_installed = ["root@192.0.2.10: ok: antminer-l3plus (x86_64), kvagent not installed"]
    rc, out = farm.install("-m", "x86_64", "check")
    assert (rc, out) == (0, not_installed), out
    # A password login, through sshpass.
    if shutil.which("sshpass"):
        rc, out = farm.install("-m", "x86_64", "check", password=ROOT_PASSWORD)
        assert (rc, out) == (0, not_installed), out
        rc, out = farm.install("-m", "x86_64", "check", password="not-the-password")
        assert (rc, out) == (1, ["root@192.0.2.10: FAILED: no answer over SSH"]), out

    # No binary for this processor: refused before anything is copied.
    garbage = tmp_path / "kvagent"
    garbage.write_bytes(b"\x7fELF not really\n")
    rc, out = farm.install("-k", kvtest.API_KEY, "-b", garbage, *dev, "install")
    assert (rc, out) == (1, ["root@192.0.2.10: FAILED: %s is no x86-64 binary for this device "
                             "(x86_64)" % garbage]), out
    # An agent that does not stay up: the install is taken out again, and a
    # korvane.json of an earlier agent is as it was.
    failing = tmp_path / "failing" / "kvagent"
    failing.parent.mkdir()
    shutil.copyfile("/bin/false", failing)
    failing.chmod(0o755)
    earlier = b'{"api_key": "an-earlier-key-0123456789abcdef", "dev_id": "EARLIER"}'
    farm.device.config_path.write_bytes(earlier)
    rc, out = farm.install("-k", kvtest.API_KEY, "-b", failing, *dev, "install")
    assert rc == 1 and len(out) == 1 and "FAILED: install did not complete" in out[0], out
    assert farm.device.config_path.read_bytes() == earlier
    farm.device.config_path.unlink()
    assert farm.config_files() == before
    farm.drv.wait_nothing_runs()

    rc, out = farm.install("-k", kvtest.API_KEY, "-b", kvtest.agent_binary(), *dev, "install",
                           hosts=("root@192.0.2.10", "root@127.0.0.2"))
    assert rc == 1 and out == ["root@192.0.2.10: ok: kvagent %s installed and running"
                               % kvtest.VERSION,
                               "root@127.0.0.2: FAILED: no answer over SSH"], out
    auth = farm.logged_in(1)
    assert (auth["api_key"], auth["device_id"]) == (kvtest.API_KEY, MAC_DEV_ID)
    dropbear = (farm.device.root / "config" / "dropbear").read_text()
    assert dropbear.count(HOOK_MARK) == 1 and dropbear.count("\n") == 1, dropbear
    rc, out = farm.install("-m", "x86_64", "check")
    assert rc == 0 and re.match(r"root@192.0.2.10: ok: antminer-l3plus \(x86_64\), kvagent "
                                r"%s installed, kvagent is running \(pid \d+, supervisor pid "
                                r"\d+\), hook present, dev_id %s$"
                                % (re.escape(kvtest.VERSION), MAC_DEV_ID), out[0]), out

    farm.boot()
    farm.logged_in(2)
    agent, _ = farm.drv.one_agent()

    # Upgrades that fail: the running agent is left, or put back.
    rc, out = farm.install("-b", garbage, *dev, "upgrade")
    assert rc == 1 and "is no x86-64 binary" in out[0], out
    assert farm.drv.one_agent()[0].host == agent.host
    rc, out = farm.install("-k", API_KEY_2, "-b", failing, *dev, "upgrade")
    assert rc == 1 and "the previous version runs again" in out[0], out
    auth = farm.logged_in(3, timeout=60)
    assert (auth["api_key"], auth["device_id"]) == (kvtest.API_KEY, MAC_DEV_ID)
    assert (farm.home / "kvagent").read_bytes() == kvtest.agent_binary().read_bytes()

    rc, out = farm.install("-k", API_KEY_2, "-b", kvtest.agent_binary(), *dev, "upgrade")
    assert (rc, out) == (0, ["root@192.0.2.10: ok: upgraded to kvagent %s, running "
                             "(dev_id %s)" % (kvtest.VERSION, MAC_DEV_ID)]), out
    auth = farm.logged_in(4)
    assert (auth["api_key"], auth["device_id"]) == (API_KEY_2, MAC_DEV_ID)
    assert farm.device.config_json() == {"api_key": API_KEY_2, "dev_id": MAC_DEV_ID}

    rc, out = farm.install("remove")
    assert (rc, out) == (0, ["root@192.0.2.10: ok: removed (and /config/dropbear, which the "
                             "install had created)"]), out
    assert farm.config_files() == before
    farm.drv.wait_nothing_runs()
    connections = farm.server.connections()
    farm.boot()
    time.sleep(5)
    assert not farm.drv.agents() and farm.server.connections() == connections
