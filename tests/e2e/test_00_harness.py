"""Checks of the test harness itself (sandbox, devserver), without the agent."""

import json
import signal
import subprocess
import time
from pathlib import Path

import pytest

import kvtest

WSCLIENT = Path(__file__).with_name("wsclient.py")


# -------------------------------------------------------------------- sandbox

def test_sandbox_device_view(device):
    r = device.run(["/bin/sh", "-c",
                    "cat /sys/class/net/eth0/address; ip -4 route show default; "
                    "cat /etc/resolv.conf; echo $(ls /sys/class/net); "
                    "echo hello > /config/probe; echo $?; "
                    "touch /etc/probe 2>/dev/null; echo $?; touch /usr/probe 2>/dev/null; echo $?"],
                   check=True)
    lines = r.stdout.splitlines()
    assert lines[0] == device.mac
    assert lines[1].startswith("default via 192.0.2.1 dev eth0")
    assert lines[2] == "nameserver 192.0.2.53"
    assert lines[3].split() == ["eth0", "lo", "vpeer"]
    assert lines[4:] == ["0", "1", "1"]
    assert (device.root / "config" / "probe").read_text() == "hello\n"
    assert not Path("/config/probe").exists()


@pytest.mark.device(mac="02:ab:cd:ef:01:23", route=False, resolv=False, log_conf=False)
def test_sandbox_options(device):
    r = device.run(["/bin/sh", "-c",
                    "cat /sys/class/net/eth0/address; ip -4 route show default | wc -l; "
                    "test -e /etc/resolv.conf && echo resolv || echo no-resolv; "
                    "test -e /opt/korvane/etc/log.conf && echo logconf || echo no-logconf"],
                   check=True)
    assert r.stdout.split() == ["02:ab:cd:ef:01:23", "0", "no-resolv", "no-logconf"]


def test_sandbox_root_layout(device, certs):
    for p in ("config", "www/pages/cgi-bin", "opt/korvane/etc", "opt/korvane/certs",
              "etc/init.d", "var/log", "run/sandbox"):
        assert (device.root / p).is_dir(), p
    assert device.log_conf.read_text() == (kvtest.REPO / "etc" / "log.conf").read_text()
    assert device.cert_path.read_bytes() == Path(certs["ca"]).read_bytes()


def test_sandbox_fake_power_commands(device):
    script = ("reboot; /sbin/reboot -f; /usr/sbin/reboot now; shutdown -r now; halt; poweroff; "
              "echo rc=$?; grep -c 'Sandbox fake' \"$(readlink -f \"$(command -v reboot)\")\"")
    r = device.run(["/bin/sh", "-c", script], check=True)
    assert r.stdout.split() == ["rc=0", "1"]
    assert device.commands() == ["reboot", "reboot -f", "reboot now", "shutdown -r now",
                                 "halt", "poweroff"]


def test_sandbox_exit_status_and_missing_namespace(device):
    assert device.run(["/bin/sh", "-c", "exit 7"]).returncode == 7
    r = subprocess.run([kvtest.SANDBOX, "run", "--netns", "kvtnonexist", "--root", device.root,
                        "--", "true"], capture_output=True, text=True)
    assert r.returncode != 0 and "no namespace" in r.stderr


def test_sandbox_refuses_non_test_addresses():
    r = subprocess.run([kvtest.SANDBOX, "netns-up", "kvtbadaddr", "--ip", "10.1.2.3/24"],
                       capture_output=True, text=True)
    assert r.returncode != 0
    assert "kvtbadaddr" not in subprocess.run(["ip", "netns", "list"], capture_output=True,
                                              text=True).stdout


def test_agent_process_pid_and_signal(device, tmp_path):
    """The Agent helper finds the real process, signals it and reports its status."""
    prog = tmp_path / "fake-agent.sh"
    prog.write_text("#!/bin/bash\n"
                    "trap 'echo got TERM; echo bye >&2; exit 3' TERM\n"
                    "echo ready $$\n"
                    "while :; do sleep 0.05; done\n")
    prog.chmod(0o755)
    agent = kvtest.Agent(device, ["x"], valgrind=False)
    agent.binary = prog
    agent.start()
    m = agent.wait_log(r"^ready (\d+)$")
    assert m.group(1) == "2"  # pid 2 inside the sandbox's pid namespace
    assert Path("/proc/%d/cmdline" % agent.pid).read_bytes().split(b"\0")[1] == str(prog).encode()
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit(5) == 3
    assert "got TERM" in agent.stdout_text()
    assert agent.stderr_text() == "bye\n"
    with pytest.raises(AssertionError):
        agent.signal(signal.SIGTERM)


def test_agent_wait_log_fails_when_text_never_comes(device, tmp_path):
    prog = tmp_path / "quiet.sh"
    prog.write_text("#!/bin/sh\necho something else\nexit 1\n")
    prog.chmod(0o755)
    agent = kvtest.Agent(device, [], valgrind=False)
    agent.binary = prog
    agent.start()
    with pytest.raises(AssertionError, match="exited"):
        agent.wait_log("never printed", timeout=5)
    assert agent.wait_exit(5) == 1


# ------------------------------------------------------------------ devserver

def client(device, server, duration, *messages, ca=None):
    """Start wsclient.py in the device's namespace; returns the Popen."""
    cmd = device.netns_cmd([kvtest.PYTHON, WSCLIENT, server.url, ca or device.cert_path,
                            duration, *messages])
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def client_events(proc, timeout=20):
    out, err = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, err
    return [json.loads(line) for line in out.splitlines()]


AUTH = json.dumps({"type": "auth", "api_key": kvtest.API_KEY})


@pytest.mark.parametrize("mode,reply", [
    ("accept", {"type": "auth", "ok": True}),
    ("register", {"type": "auth", "ok": True, "registration": True}),
    ("refuse", {"type": "auth", "ok": False, "message": "Key is not valid"}),
])
def test_devserver_auth_modes(device, start_server, mode, reply):
    srv = start_server(device, auth=mode, refuse_message="Key is not valid")
    ev = client_events(client(device, srv, 1.5, AUTH))
    assert ev[0] == {"connected": "korvane-agent", "extensions": ["permessage-deflate"]}
    assert [json.loads(e["recv"]) for e in ev if "recv" in e] == [reply]
    assert ev[-1]["closed"] == 1000 and ev[-1]["by"] == "client"
    con = srv.wait_event("connect")
    assert con["path"] == kvtest.WS_PATH and con["subprotocol"] == "korvane-agent"
    assert con["extensions"] == ["permessage-deflate"]
    assert srv.expect_message({"type": "auth", "api_key": kvtest.API_KEY}) is not None
    assert srv.wait_event("close")["code"] == 1000


def test_devserver_silent_then_runtime_mode_change(device, start_server):
    srv = start_server(device, auth="silent")
    ev = client_events(client(device, srv, 1.0, AUTH))
    assert not [e for e in ev if "recv" in e]
    srv.set_auth("refuse", "Go away")
    ev = client_events(client(device, srv, 1.0, AUTH, AUTH))
    # Only the first auth message of a connection is answered.
    assert [json.loads(e["recv"]) for e in ev if "recv" in e] == [
        {"type": "auth", "ok": False, "message": "Go away"}]
    assert [e["conn"] for e in srv.events("connect")] == [1, 2]


def test_devserver_send_fragments_close(device, server):
    proc = client(device, server, 5, AUTH, "not json")
    server.wait_event("connect")
    server.wait_message("auth")
    assert server.status() == {"ok": True, "connected": True, "connections": 1, "auth": "accept"}
    server.send({"type": "status", "n": 1})
    text = json.dumps({"type": "cmd", "text": "d\u00e9j\u00e0 vu " * 50})
    server.send_raw(text, [5, 1, 200])  # splits fall inside two-byte characters too
    server.close(4001, "bye")
    ev = client_events(proc)
    got = [e["recv"] for e in ev if "recv" in e]
    assert got[1:] == [json.dumps({"type": "status", "n": 1}), text]
    assert ev[-1] == {"closed": 4001, "reason": "bye", "by": "server"}
    close = server.wait_event("close")
    assert close["code"] == 4001 and close["initiated_by"] == "server"
    assert server.messages() == [json.loads(AUTH), None]
    assert server.events("message")[1]["raw"] == "not json"
    with pytest.raises(Exception, match="no connection"):
        server.send({"type": "late"})


def test_devserver_drop(device, server):
    proc = client(device, server, 5)
    server.wait_event("connect")
    server.drop()
    ev = client_events(proc)
    assert ev[-1]["closed"] == 1006
    assert server.wait_event("close")["code"] is None


def test_devserver_expect_message_reports_mismatch(device, server):
    proc = client(device, server, 1, json.dumps({"type": "hello", "v": 1}))
    with pytest.raises(AssertionError) as info:
        server.expect_message({"type": "hello", "v": 2}, timeout=5)
    assert '-  "v": 2' in str(info.value) and '+  "v": 1' in str(info.value)
    with pytest.raises(AssertionError, match="received instead"):
        server.expect_message({"type": "other"}, timeout=0.5)
    client_events(proc)


def test_devserver_unrelated_ca_is_refused(device, start_server, other_certs):
    srv = start_server(device, certs=other_certs)
    ev = client_events(client(device, srv, 1))
    assert "CERTIFICATE_VERIFY_FAILED" in ev[0]["error"]
    assert srv.events("connect") == []


def test_expired_certificate_chains_to_dev_ca(certs, expired_certs):
    def verify(*extra):
        return subprocess.run(["openssl", "verify", *extra, "-CAfile", certs["ca"],
                               expired_certs["cert"]], capture_output=True, text=True)
    r = verify()
    assert r.returncode != 0 and "expired" in r.stdout + r.stderr
    assert verify("-no_check_time").returncode == 0
