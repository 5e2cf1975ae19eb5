"""Checks of the test harness itself (sandbox, devserver), without the agent."""

import json
import os
import re
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


def test_sandbox_refuses_non_test_bridge_and_missing_bridge():
    r = subprocess.run([kvtest.SANDBOX, "bridge-up", "kvbbadaddr", "--ip", "10.1.2.1/24"],
                       capture_output=True, text=True)
    assert r.returncode != 0 and "TEST-NET" in r.stderr
    assert not os.path.exists("/run/netns/kvbbadaddr")
    r = subprocess.run([kvtest.SANDBOX, "netns-up", "kvtnobridge", "--bridge", "kvbnonexist"],
                       capture_output=True, text=True)
    assert r.returncode != 0 and "no farm network" in r.stderr
    assert not os.path.exists("/run/netns/kvtnobridge")


def test_farm_network(make_device, tmp_path, certs):
    """Two devices on one farm network: each its own address and MAC, a
    development server on the bridge reached from inside a device through
    eth0 (it listens on 192.0.2.1 only); teardown of the bridge removes its
    namespace, and a bridge left by a killed run is cleaned up."""
    bridge = kvtest.Bridge(tmp_path / "net").setup()
    try:
        d1 = make_device(bridge=bridge)
        d2 = make_device(bridge=bridge, ip="192.0.2.11/24", mac="00:11:22:aa:bb:cd")
        ports = kvtest.run_cmd(["ip", "-n", bridge.name, "-o", "link", "show", "master",
                             "br0"]).stdout
        assert len(ports.splitlines()) == 2, ports
        srv = kvtest.DevServer(bridge, certs, host=bridge.addr).start()
        assert srv.events("listening")[0]["host"] == "192.0.2.1"
        probe = ("import socket, sys; s = socket.create_connection(('devserver.test', %d), 10); "
                 "print(s.getsockname()[0])" % srv.port)
        for dev, addr in ((d1, "192.0.2.10"), (d2, "192.0.2.11")):
            out = dev.run([kvtest.PYTHON, "-c", probe], check=True).stdout.split()
            assert out == [addr]
    finally:
        bridge.teardown()
    assert not os.path.exists("/run/netns/" + bridge.name)

    # A farm network whose test run was killed (pid 1 never runs tests, so
    # take a pid that is not running).
    pid = 4194303
    while os.path.exists("/proc/%d" % pid):
        pid -= 1
    stale = "kvb%d_1" % pid
    kvtest.run_cmd([kvtest.SANDBOX, "bridge-up", stale])
    try:
        kvtest.remove_stale_namespaces()
        assert not os.path.exists("/run/netns/" + stale)
    finally:
        kvtest.run_cmd([kvtest.SANDBOX, "bridge-down", stale], check=False)


@pytest.mark.parametrize("miner", [False, True])
def test_agent_process_pid_and_signal(device, tmp_path, miner):
    """The Agent helper finds the real process (not the miner started next to
    it), signals it and reports its status."""
    prog = tmp_path / "fake-agent.sh"
    prog.write_text("#!/bin/bash\n"
                    "trap 'echo got TERM; echo bye >&2; exit 3' TERM\n"
                    "echo ready $$ miner $(pidof -s cgminer || echo none)\n"
                    "while :; do sleep 0.05; done\n")
    prog.chmod(0o755)
    agent = kvtest.Agent(device, ["x"], valgrind=False, miner=miner)
    agent.binary = prog
    agent.start()
    m = agent.wait_log(r"^ready (\d+) miner (\w+)$")
    assert m.group(1) == "2"  # pid 2 inside the sandbox's pid namespace
    assert (m.group(2) != "none") == miner
    assert Path("/proc/%d/cmdline" % agent.pid).read_bytes().split(b"\0")[1] == str(prog).encode()
    miners = device.miner_pids()
    assert len(miners) == (1 if miner else 0) and agent.pid not in miners
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


# Agent output with the miner-API polling's lines among the others.
OUTPUT = [
    "2026-01-02 03:04:05 INFO  Agent version: 2.0.0",
    "2026-01-02 03:04:05 ERROR ../src/miner/api.cpp:228: Connection failed to API at "
    "127.0.0.1:4028",
    "2026-01-02 03:04:06 WARN  Unknown message received: zz",
    "2026-01-02 03:04:07 ERROR /b/src/miner/api.cpp:258: '[' or '{' expected near 'garbage'",
    "2026-01-02 03:04:07 ERROR /b/src/miner/api.cpp:259: Failed to parse API response:",
    "garbage}{",
    "inf",
    "\r2026-01-02 03:04:08 ERROR ../src/protocol.cpp:10: Failed to decode msg - x",
    "{",
    '  "type": "x"',
    "}",
    "2026-01-02 03:04:09 ERROR Failed to receive API response: Connection timed out",
    "2026-01-02 03:04:10 ERROR ../src/miner/support.cpp:438: Failed to unpack STATS",
]
KEPT = [0, 2, 7, 8, 9, 10, 12]


def test_log_lines_without_periodic_lines():
    """kvtest.log_lines / without_periodic leave out the miner-API client's
    lines (by source file or text) with the lines that continue them, and
    nothing else."""
    text = "\n".join(OUTPUT) + "\n"
    assert kvtest.log_lines(text, ignore_periodic=False) == OUTPUT
    assert kvtest.log_lines(text) == [OUTPUT[i] for i in KEPT]
    assert kvtest.without_periodic(OUTPUT[1:3]) == [OUTPUT[2]]
    since = text.index(OUTPUT[7])
    assert kvtest.log_lines(text, since) == [OUTPUT[i] for i in KEPT if i >= 7]
    assert [kvtest.is_periodic(line) for line in OUTPUT[:5]] == [False, True, False, True, True]


def test_log_lines_of_an_agent_without_miner(device, start_agent):
    """The real agent's polling lines while no miner answers are the ones
    log_lines() leaves out."""
    agent = start_agent(device)
    agent.wait_log(kvtest.log_re("ERROR", "Connection failed to API at"), timeout=20)
    agent.settle_output()
    text = agent.log_text()  # one snapshot: the agent goes on logging
    every = kvtest.log_lines(text, ignore_periodic=False)
    kept = kvtest.log_lines(text)
    assert any(kvtest.is_periodic(line) for line in every), every
    assert [line for line in every if not kvtest.is_periodic(line)] == kept
    assert not any("API" in line and "ERROR" in line for line in kept), kept
    assert any("Agent version: " in line for line in kept), kept


MEMORY_FAULTS = {
    "clean": "int main(void) { return 0; }",
    "leak": "#include <stdlib.h>\nvoid *volatile p;\n"
            "int main(void) { p = malloc(77); p = 0; return 0; }",
    "overflow": "#include <stdlib.h>\n"
                "int main(int c, char **v) { char *p = malloc(8); p[8 + c - 1] = 1; "
                "return p[0]; }",
}


@pytest.mark.parametrize("tool,fault,expected", [
    ("asan", "clean", None),
    ("asan", "leak", "detected memory leaks"),
    ("asan", "overflow", "heap-buffer-overflow"),
    ("valgrind", "clean", None),
    ("valgrind", "leak", "definitely lost"),
    ("valgrind", "overflow", "Invalid write"),
])
def test_memory_errors_are_caught(device, tmp_path, monkeypatch, tool, fault, expected):
    """What the sanitizer and valgrind runs rely on: a report made inside the
    sandbox reaches Device.memory_errors()."""
    src = tmp_path / "prog.c"
    src.write_text(MEMORY_FAULTS[fault] + "\n")
    prog = tmp_path / "prog"
    flags = ["-fsanitize=address,undefined", "-g"] if tool == "asan" else ["-g", "-O0"]
    subprocess.run(["gcc", *flags, "-o", str(prog), str(src)], check=True)
    monkeypatch.setenv("KVAGENT_ASAN", "1" if tool == "asan" else "0")
    agent = kvtest.Agent(device, [], valgrind=(tool == "valgrind"))
    agent.binary = prog
    agent.start()
    agent.wait_exit(60)
    errors = device.memory_errors()
    if expected is None:
        assert errors == ""
    else:
        assert expected in errors, errors
        # Only the harness's own check of this test: the report is expected.
        for f in (device.root / "run" / "sandbox").glob("*san.*"):
            f.unlink()
        agent.valgrind = False


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
    assert server.status() == {"ok": True, "connected": True, "connections": 1, "auth": "accept",
                               "devices": {}}
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


def test_devserver_control_refusals(device, server):
    """Each control command is answered by its own handler: without a
    connection the commands on it are refused, bad arguments and unknown
    commands get their error; devctl.py exits 1 on a refusal."""
    ctl = server._ctl
    for cmd in ("send", "send_raw", "send_bytes", "send_padded", "close", "drop"):
        assert ctl.request({"cmd": cmd, "message": {"type": "x"}}, check=False) == {
            "ok": False, "error": "no connection"}, cmd
    for req, error in (({"cmd": "zz"}, "unknown cmd 'zz'"),
                       ({"cmd": ["status"]}, "unknown cmd ['status']"),
                       ({}, "unknown cmd None"),
                       ({"cmd": "set_auth", "mode": "maybe"},
                        "mode must be one of accept, refuse, register, silent"),
                       ({"cmd": "listen", "mode": "off"},
                        "mode must be one of normal, stop, reset, junk"),
                       ({"cmd": "set_delay", "auth": -1}, "auth must be a number >= 0"),
                       ({"cmd": "set_config_ack"}, "set_config_ack needs 'on' (true or false)")):
        assert ctl.request(req, check=False) == {"ok": False, "error": error}, req
    assert server.status() == {"ok": True, "connected": False, "connections": 0,
                               "auth": "accept", "devices": {}}
    assert ctl.request({"cmd": "set_delay", "reply": 0.5}) == {"ok": True, "auth": 0.0,
                                                                "reply": 0.5}
    devctl = [kvtest.PYTHON, kvtest.DEVTOOLS / "devctl.py", server.control_path]
    ok = kvtest.run_cmd(devctl + ["status"], check=False)
    assert ok.returncode == 0 and json.loads(ok.stdout)["connections"] == 0, ok
    refused = kvtest.run_cmd(devctl + ["request", '{"cmd": "zz"}'], check=False)
    assert refused.returncode == 1 and json.loads(refused.stdout) == {
        "ok": False, "error": "unknown cmd 'zz'"}, refused


def test_devserver_keeps_connections_by_device(device, server):
    """Three logins of two devices: each device's newest connection answers
    to its id, the latest one to commands without a device, logins counted
    per device; a device without an open connection is refused."""
    def login(dev_id):
        return json.dumps({"type": "auth", "api_key": kvtest.API_KEY, "device_id": dev_id})
    first = client(device, server, 4, login("dev-a"))
    server.wait_message("auth", where={"device_id": "dev-a"})
    gone = client(device, server, 0.5, login("dev-b"))
    server.wait_message("auth", where={"device_id": "dev-b"})
    client_events(gone)
    second = client(device, server, 4, login("dev-b"))
    server.wait_message("auth", where={"device_id": "dev-b"})
    ctl = server._ctl
    assert ctl.send({"type": "to-a"})["conn"] == 3  # the latest connection: dev-b's
    st = server.status()
    assert st["devices"] == {"dev-a": {"connected": True, "logins": 1},
                             "dev-b": {"connected": True, "logins": 2}}, st
    assert ctl.request({"cmd": "send", "device": "dev-a", "message": {"type": "to-a"}})["conn"] == 1
    assert ctl.request({"cmd": "send", "device": "nobody", "message": {}}, check=False) == {
        "ok": False, "error": "no connection of device 'nobody'"}
    devctl = [kvtest.PYTHON, kvtest.DEVTOOLS / "devctl.py", server.control_path]
    sent = kvtest.run_cmd(devctl + ["--device", "dev-b", "send", '{"type": "to-b"}'])
    assert json.loads(sent.stdout)["conn"] == 3, sent
    got_a = [json.loads(e["recv"]) for e in client_events(first) if "recv" in e]
    got_b = [json.loads(e["recv"]) for e in client_events(second) if "recv" in e]
    assert [m["type"] for m in got_a] == ["auth", "to-a"], got_a
    assert [m["type"] for m in got_b] == ["auth", "to-a", "to-b"], got_b


UPLOAD = json.dumps({"type": "update_config", "pools": {"main": {"url": "x"}}, "fans": {}})
CONFIG_ACK = {"type": "update_config", "ok": True}
PROBE = json.dumps({"type": "probe"})


def uploads_answered(srv, conn):
    """For each update_config message of connection `conn`: whether the
    server sent the acknowledgement before it read the next message (it
    answers one message before it reads the next one)."""
    ev = [e for e in srv.events() if e.get("conn") == conn and e["event"] in ("message", "sent")]
    out = []
    for i, e in enumerate(ev):
        if e["event"] == "message" and (e["msg"] or {}).get("type") == "update_config":
            nxt = ev[i + 1] if i + 1 < len(ev) else None
            out.append(nxt is not None and nxt["event"] == "sent"
                       and json.loads(nxt["text"]) == CONFIG_ACK)
    return out


def test_devserver_acknowledges_config_uploads(device, start_server):
    srv = start_server(device)
    ev = client_events(client(device, srv, 1.0, AUTH, UPLOAD, PROBE))
    assert [json.loads(e["recv"]) for e in ev if "recv" in e] == [
        {"type": "auth", "ok": True}, CONFIG_ACK]
    assert uploads_answered(srv, 1) == [True]

    # Switched off at run time: the upload is recorded, nothing is answered
    # before the next message is read; then on again (before any auth too).
    assert srv._ctl.request({"cmd": "set_config_ack", "on": False}) == {
        "ok": True, "config_ack": False}
    ev = client_events(client(device, srv, 1.0, AUTH, UPLOAD, PROBE))
    assert [json.loads(e["recv"]) for e in ev if "recv" in e] == [{"type": "auth", "ok": True}]
    assert srv.messages(conn=2) == [json.loads(AUTH), json.loads(UPLOAD), json.loads(PROBE)]
    assert uploads_answered(srv, 2) == [False]
    srv._ctl.request({"cmd": "set_config_ack", "on": True})
    ev = client_events(client(device, srv, 1.0, UPLOAD, PROBE))
    assert [json.loads(e["recv"]) for e in ev if "recv" in e] == [CONFIG_ACK]
    assert srv._ctl.request({"cmd": "set_config_ack", "on": "yes"}, check=False)["ok"] is False

    # Off from the start (--no-config-ack).
    quiet = start_server(device, config_ack=False)
    assert quiet.events("listening")[0]["config_ack"] is False
    ev = client_events(client(device, quiet, 1.0, AUTH, UPLOAD, PROBE))
    assert [json.loads(e["recv"]) for e in ev if "recv" in e] == [{"type": "auth", "ok": True}]
    assert len(quiet.messages(conn=1)) == 3 and uploads_answered(quiet, 1) == [False]


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


# ------------------------------------------------------------ simulated miner

# Runs inside the sandbox next to the miner: each argument is one JSON step,
# each step prints one JSON line.
#   {"op": "call", "send": TEXT or [CHUNKS], "pause": S, "shut": BOOL, "read_for": S}
#       one API connection: the chunks sent `pause` apart, the write side shut
#       if asked, then read until the miner closes (or `read_for` seconds)
#       -> {"data": text (latin-1), "error": null | "timeout" | "refused" | ...}
#   {"op": "hold", "send": TEXT}        send, keep the connection open unread
#   {"op": "held"}                      bytes readable on it within 0.5 s
#   {"op": "control", "members": {...}} rewrite the miner's control file
#   {"op": "sh", "cmd": TEXT}           -> {"out": stdout, "rc": status}
#   {"op": "gone", "secs": S}           -> true once `pidof cgminer` finds nothing
#   {"op": "sleep", "secs": S}
MINER_CLIENT = r'''
import json, os, socket, subprocess, sys, time
held = []
def call(step):
    s = socket.socket()
    s.settimeout(5)
    try:
        s.connect(("127.0.0.1", 4028))
    except OSError as exc:
        return {"data": "", "error": "refused" if isinstance(exc, ConnectionRefusedError)
                else str(exc)}
    chunks = step.get("send", "")
    for i, c in enumerate([chunks] if isinstance(chunks, str) else chunks):
        if i:
            time.sleep(step.get("pause", 0.2))
        s.sendall(c.encode())
    if step.get("shut"):
        s.shutdown(socket.SHUT_WR)
    data, error = b"", None
    end = time.monotonic() + step.get("read_for", 10)
    try:
        while True:
            s.settimeout(max(0.01, end - time.monotonic()))
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        error = "timeout"
    except OSError as exc:
        error = str(exc)
    s.close()
    return {"data": data.decode("latin-1"), "error": error}
for arg in sys.argv[1:]:
    step = json.loads(arg)
    op = step["op"]
    if op == "call":
        out = call(step)
    elif op == "hold":
        s = socket.create_connection(("127.0.0.1", 4028), timeout=5)
        s.sendall(step["send"].encode())
        held.append(s)
        out = True
    elif op == "held":
        s = held[-1]
        s.settimeout(0.5)
        try:
            out = len(s.recv(65536))
        except socket.timeout:
            out = "timeout"
    elif op == "control":
        with open("/run/sandbox/minersim.json.tmp", "w") as f:
            json.dump(step["members"], f)
        os.replace("/run/sandbox/minersim.json.tmp", "/run/sandbox/minersim.json")
        out = True
    elif op == "sh":
        r = subprocess.run(["/bin/sh", "-c", step["cmd"]], capture_output=True, text=True)
        out = {"out": r.stdout, "rc": r.returncode}
    elif op == "gone":
        end = time.monotonic() + step["secs"]
        while subprocess.run(["pidof", "-s", "cgminer"], capture_output=True).returncode == 0:
            if time.monotonic() > end:
                break
            time.sleep(0.05)
        out = subprocess.run(["pidof", "-s", "cgminer"], capture_output=True).returncode != 0
    elif op == "sleep":
        time.sleep(step["secs"])
        out = True
    print(json.dumps(out), flush=True)
'''


def miner_steps(device, *steps, timeout=90):
    """Run MINER_CLIENT with these steps in the device's sandbox, next to a
    freshly started simulated miner; returns one result per step."""
    r = device.run([kvtest.PYTHON, "-c", MINER_CLIENT] + [json.dumps(s) for s in steps],
                   timeout=timeout, miner=True)
    assert r.returncode == 0, r.stderr + device.miner_log_text()
    out = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(out) == len(steps), r.stdout
    return out


def call(command, **kw):
    return dict({"op": "call", "send": json.dumps({"command": command})}, **kw)


def repaired(raw):
    """The agent's two repairs of a miner answer, then the parsed JSON."""
    assert raw.endswith("\0") and raw.count("\0") == 1, raw[-40:]
    return json.loads(raw[:-1].replace("}{", "},{").replace(":inf", ":0"))


def decimal_text(v):
    return isinstance(v, str) and re.fullmatch(r"\d+\.\d+", v) is not None


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


STATS_TYPES = {"Elapsed": is_int, "GHS 5s": decimal_text, "GHS av": float,
               "miner_count": is_int, "fan_num": is_int, "fan1": is_int, "fan2": is_int,
               "temp_max": is_int}
CHAIN_TYPES = {"chain_acn%d": is_int, "chain_rate%d": decimal_text, "freq_avg%d": float,
               "voltage%d": is_int, "temp%d": is_int, "temp2_%d": is_int, "chain_hw%d": is_int,
               "consumption%d": float}
POOL_TYPES = {"POOL": is_int, "URL": str, "Status": str, "Priority": is_int, "Quota": is_int,
              "Long Poll": str, "Getworks": is_int, "Accepted": is_int, "Rejected": is_int,
              "Stale": is_int, "Discarded": is_int, "Get Failures": is_int,
              "Remote Failures": is_int, "User": str, "Last Share Time": str, "Diff": str,
              "Diff1 Shares": is_int, "Proxy Type": str, "Proxy": str,
              "Difficulty Accepted": float, "Difficulty Rejected": float,
              "Difficulty Stale": float, "Last Share Difficulty": float, "Has Stratum": bool,
              "Stratum Active": bool, "Stratum URL": str, "Has GBT": bool, "Best Share": is_int,
              "Pool Rejected%": float, "Pool Stale%": float}


def type_errors(obj, types):
    """Members of `obj` missing or not of their type (a type or a predicate)."""
    def ok(v, t):
        return isinstance(v, t) if isinstance(t, type) else t(v)
    return ["%s=%r" % (k, obj.get(k)) for k, t in types.items()
            if k not in obj or not ok(obj[k], t)]


def stats_object(raw):
    answer = repaired(raw)
    assert answer["STATUS"][0]["STATUS"] == "S" and answer["STATUS"][0]["Code"] == 70
    ident, stats = answer["STATS"]
    assert ident["Type"] == "Antminer L3+"
    return stats


POOL1 = {"url": "stratum+tcp://pool.example.invalid:3333", "user": "w.1", "pass": "x"}
POOL2 = {"url": "stratum+tcp://backup.example.invalid:3333", "user": "w.2", "pass": "x"}
# Chain 1 at 400 MHz, chain 3 with four chips at 420 (average 386), the rest global.
SIM_CONFIG = {"pools": [POOL1, POOL2], "bitmain-freq": "384", "bitmain-freq1": "400",
              "bitmain-freq2": "0",
              "bitmain-chip-freq": ":".join(["0"] * 144 + ["420"] * 4 + ["0"] * 140)}


def test_minersim_answers(make_device):
    device = make_device(miner_config=SIM_CONFIG)
    res = miner_steps(
        device,
        {"op": "sh", "cmd": "p=$(pidof -s cgminer); echo $p; cat /run/sandbox/cgminer.pid; "
                            "cat /proc/$p/comm; tr '\\0' '\\n' < /proc/$p/cmdline | head -n 1"},
        call("stats"),
        {"op": "sleep", "secs": 2.2},
        # The request arrives in two parts: the miner reads until it parses.
        {"op": "call", "send": ['{"command":', '"stats"}'], "pause": 0.3},
        call("pools", shut=True),
        call("summary"),
        {"op": "call", "send": "not json", "shut": True})
    pid, pidfile, comm, argv0 = res[0]["out"].split()
    assert (pid, comm, argv0) == (pidfile, "cgminer", "cgminer")

    raw = res[1]["data"]
    assert "}{" in raw and ":inf" in raw
    with pytest.raises(ValueError):
        json.loads(raw[:-1])
    s1, s2 = stats_object(raw), stats_object(res[3]["data"])
    for s in (s1, s2):
        assert type_errors(s, STATS_TYPES) == []
        for n in range(1, 5):
            assert type_errors(s, {k % n: t for k, t in CHAIN_TYPES.items()}) == [], n
            assert s["temp2_%d" % n] > s["temp%d" % n] and s["chain_acn%d" % n] == 72
        assert (s["miner_count"], s["fan_num"]) == (4, 2)
        assert all(3000 <= s[f] <= 4800 for f in ("fan1", "fan2"))
        assert [s["freq_avg%d" % n] for n in range(1, 5)] == [400.0, 384.0, 386.0, 384.0]
        rates = [float(s["chain_rate%d" % n]) for n in range(1, 5)]
        for rate, freq in zip(rates, (400, 384, 386, 384)):
            assert abs(rate / (72 * freq / 222) - 1) < 0.06, rates
        assert abs(float(s["GHS 5s"]) - sum(rates)) < 0.05
        assert abs(s["GHS av"] / float(s["GHS 5s"]) - 1) < 0.05
    assert s2["Elapsed"] >= s1["Elapsed"] + 2
    assert any(s1[k] != s2[k] for k in ("chain_rate1", "chain_rate2", "chain_rate3",
                                         "chain_rate4", "fan1", "fan2"))

    pools = repaired(res[4]["data"])["POOLS"]
    assert [(p["URL"], p["Priority"], p["Status"], p["Stratum Active"]) for p in pools] == [
        (POOL1["url"], 0, "Alive", True), (POOL2["url"], 1, "Alive", False),
        (pools[2]["URL"], 999, "Alive", False)]
    assert pools[2]["URL"].startswith("DevFee ")
    assert [p["User"] for p in pools[:2]] == ["w.1", "w.2"]
    for p in pools:
        assert type_errors(p, POOL_TYPES) == [], p["URL"]

    for r, code, msg in ((res[5], 14, "Invalid command"), (res[6], 23, "Invalid JSON")):
        st = repaired(r["data"])["STATUS"][0]
        assert (st["STATUS"], st["Code"], st["Msg"]) == ("E", code, msg)

    chips = device.chip_hr_json()["chiphr"]
    assert len(chips) == 4
    names = ["Asic%02d" % i for i in range(72)]
    for n, chain in enumerate(chips, 1):
        assert list(chain) == names and all(decimal_text(v) for v in chain.values())
        rates = sorted(float(v) for v in chain.values())
        ideal = (400 if n == 1 else 384) / 222
        assert abs(rates[36] / ideal - 1) < 0.05, (n, rates)
        slow = [r for r in rates if r < 0.75 * ideal]
        assert (len(slow) >= 2) == (n == 2), (n, slow)

    assert [(r["command"], r["mode"]) for r in device.miner_requests()] == [
        ("stats", "normal"), ("stats", "normal"), ("pools", "normal"), ("summary", "normal"),
        (None, "normal")]


def test_minersim_warmup_and_unreadable_config(device):
    device.write_miner_config("{not json")
    device.miner_args("--warmup 60")
    stats_raw, pools_raw = [r["data"] for r in miner_steps(device, call("stats"), call("pools"))]
    s = stats_object(stats_raw)
    assert (s["GHS 5s"], s["GHS av"]) == ("0.00", 0.0)
    assert [s["chain_rate%d" % n] for n in range(1, 5)] == ["0.00"] * 4
    assert [s["freq_avg%d" % n] for n in range(1, 5)] == [384.0] * 4
    pools = repaired(pools_raw)["POOLS"]
    assert [(p["Priority"], p["URL"][:6], p["Stratum Active"]) for p in pools] == [
        (999, "DevFee", True)]
    assert "warm-up 60s" in device.miner_log_text()
    assert "cannot read /config/cgminer.conf" in device.miner_log_text()


STATS_PREFIX = '{"STATUS":[{"STATUS":"S","When":'


def check_garbage(res, device):
    data = res[-1]["data"]
    assert data and res[-1]["error"] is None
    with pytest.raises(ValueError):
        repaired(data)


def check_empty(res, device):
    assert res[-1] == {"data": "", "error": None}


def check_hang(res, device):
    # The held connection gets nothing, while a second one is answered.
    assert res[2] == "timeout"
    assert stats_object(res[4]["data"])["miner_count"] == 4
    assert res[5] == "timeout"


def check_trickle(res, device):
    data = res[-1]["data"]
    assert res[-1]["error"] == "timeout"
    assert 1 <= len(data) < 200 and STATS_PREFIX.startswith(data[:len(STATS_PREFIX)])


def check_die(res, device):
    assert res[0]["rc"] == 0  # running before
    assert res[2] is True
    assert res[3]["error"] == "refused"
    assert res[4]["rc"] == 0  # the pid file stays


def check_stock(res, device):
    s = stats_object(res[-1]["data"])
    assert not [k for k in s if k.startswith("freq_avg")]
    assert all(isinstance(s["voltage%d" % n], float) for n in range(1, 5))
    assert decimal_text(s["chain_rate1"]) and is_int(s["chain_acn1"])


def check_huge(res, device):
    data = res[-1]["data"]
    assert len(data) == 300000
    assert stats_object(data)["miner_count"] == 4


def check_pools_dead(res, device):
    pools = repaired(res[-1]["data"])["POOLS"]
    assert [(p["Status"], p["Stratum Active"]) for p in pools] == [
        ("Dead", False), ("Alive", True), ("Alive", False)]


def control(**members):
    return {"op": "control", "members": members}


@pytest.mark.parametrize("mode,steps,check", [
    ("garbage", [control(mode="garbage"), call("stats")], check_garbage),
    ("empty", [control(mode="empty"), call("stats")], check_empty),
    ("hang", [control(mode="hang"), {"op": "hold", "send": '{"command":"stats"}'},
              {"op": "held"}, control(), call("stats"), {"op": "held"}], check_hang),
    ("trickle", [control(mode="trickle", trickle_delay=0.05), call("stats", read_for=1.0)],
     check_trickle),
    ("die", [{"op": "sh", "cmd": "pidof -s cgminer"}, control(mode="die"),
             {"op": "gone", "secs": 10}, call("stats"),
             {"op": "sh", "cmd": "test -s /run/sandbox/cgminer.pid"}], check_die),
    ("stock", [control(mode="stock"), call("stats")], check_stock),
    ("huge", [control(mode="huge", huge_bytes=300000), call("stats")], check_huge),
    ("normal", [control(pools_dead=[0]), call("pools")], check_pools_dead),
], ids=["garbage", "empty", "hang", "trickle", "die", "stock", "huge", "pools_dead"])
def test_minersim_control_modes(make_device, mode, steps, check):
    """Each control of the miner, set from inside the sandbox while it runs."""
    device = make_device(miner_config=SIM_CONFIG)
    res = miner_steps(device, *steps)
    check(res, device)
    if mode != "die":
        assert device.miner_requests()[0]["mode"] == mode


DEVICE_SCRIPTS = r'''
pids() { echo $(pidof cgminer); }
ms() { echo $(( $(date +%s%N) / 1000000 )); }
/etc/init.d/cgminer.sh start; echo "start $? $(pids)"
first=$(pids)
/etc/init.d/cgminer.sh start; echo "again $? $(pids)"
/etc/init.d/cgminer.sh restart; echo "restart $? $(pids)"
/etc/init.d/cgminer.sh stop
echo "stop $? [$(pids)] $(test -e /run/sandbox/cgminer.pid && echo pidfile)"
/etc/init.d/cgminer.sh stop; echo "stop-idle $?"
/etc/init.d/cgminer.sh start; echo '{"mode": "die"}' > /run/sandbox/minersim.json
i=0; while [ -n "$(pids)" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
echo '{}' > /run/sandbox/minersim.json
/etc/init.d/cgminer.sh start; echo "after-crash $? $(pids)"
echo 1 > /run/sandbox/cgminer.sh.delay
t0=$(ms); /www/pages/cgi-bin/stop_cgminer.cgi > /tmp/cgi.out
echo "cgi $? [$(pids)] $(( $(ms) - t0 ))"
rm /run/sandbox/cgminer.sh.delay
/etc/init.d/network.sh restart; echo "network $?"
/www/pages/cgi-bin/get_kernel_log.cgi > /tmp/klog; echo "klog $? $(wc -l < /tmp/klog)"
/etc/init.d/cgminer.sh bogus 2>/dev/null; echo "bogus $?"
echo "first $first"
cat /tmp/cgi.out; head -n 1 /tmp/klog
'''


def test_device_miner_scripts(device):
    r = device.run(["/bin/sh", "-c", DEVICE_SCRIPTS], check=True)
    lines = r.stdout.splitlines()
    out = {line.split()[0]: line.split()[1:] for line in lines if line and line[0].islower()}
    first = out["first"][0]
    assert out["start"] == ["0", first]
    assert out["again"] == ["0", first]  # no second miner
    assert out["restart"][0] == "0" and out["restart"][1:] != [first] and \
        len(out["restart"]) == 2
    assert out["stop"] == ["0", "[]"]  # gone, and so is its pid file
    assert out["stop-idle"] == ["0"]
    assert out["after-crash"][0] == "0" and len(out["after-crash"]) == 2  # stale pid file
    assert out["cgi"][:2] == ["0", "[]"] and int(out["cgi"][2]) >= 1000
    assert out["network"] == ["0"] and out["bogus"] == ["1"]
    assert out["klog"][0] == "0" and int(out["klog"][1]) >= 20
    assert "cgminer stopped" in r.stdout
    assert "[    0.000000] Booting Linux on physical CPU 0x0" in lines
    assert device.commands() == [
        "cgminer.sh start", "cgminer.sh start", "cgminer.sh restart", "cgminer.sh stop",
        "cgminer.sh stop", "cgminer.sh start", "cgminer.sh start", "stop_cgminer.cgi",
        "network.sh restart", "get_kernel_log.cgi", "cgminer.sh bogus"]
    # The last miner started may not have logged yet.
    kvtest.wait_for(lambda: device.miner_log_text().count("listening on 127.0.0.1:4028") == 4,
                    10, what="four miner starts in the miner log")


def test_fleet_driver(tmp_path):
    """The fleet driver end to end on two devices: both log in, the server
    is restarted, both come back within the back-off's 5 s step (plus
    jitter and a slow machine's slack), and everything is stopped."""
    def ended_namespaces():
        names = [line.split()[0] for line in
                 kvtest.run_cmd(["ip", "netns", "list"]).stdout.splitlines() if line.strip()]
        return {n for n in names if re.match(r"kv[tb]\d+_", n)
                and not os.path.exists("/proc/" + re.match(r"kv[tb](\d+)_", n).group(1))}
    before = ended_namespaces()
    out = tmp_path / "fleet"
    res = subprocess.run([kvtest.PYTHON, kvtest.DEVTOOLS / "fleet.py", "2", "restart",
                          "--warmup", "0", "--seed", "7", "--no-web", "--out", out],
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    fig = json.loads((out / "figures.json").read_text())
    back = fig["restart"]
    assert back["devices_back"] == 2, fig
    assert 0 < back["time_to_last_s"] < 20 * kvtest.TIME_SCALE, fig
    assert back["largest_1s_handshakes"] >= 1
    assert fig["costs"]["agent"]["processes"] == 2, fig
    assert "stopping 2 devices" in res.stdout
    # Nothing left behind: no namespace of the ended run (named after its
    # pid), and every agent stopped in order.
    assert ended_namespaces() - before == set()
    for agent_log in out.glob("dev*/agent*.log"):
        assert "Stopping agent" in agent_log.read_text(), agent_log
