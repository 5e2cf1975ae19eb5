"""Fault soak (devtools/soak.py) and the pieces it stands on: the development
server's fault controls and the reconnect bound derived from the agent's
back-off table.

The soak itself is marked `soak` and runs only when selected (-m soak):
SOAK_SECONDS (default 120) of faults, then its checks; SOAK_SEED replays a
schedule. The other tests here are quick and always run.
"""

import json
import os
import subprocess
import textwrap
import time
from pathlib import Path

import pytest

import kvtest
from kvdev import soak


# ------------------------------------------------------ reconnect bound

def test_reconnect_bound_follows_the_backoff_table():
    delays, jitter = soak.backoff_policy()
    assert delays == [0.0, 5.0, 10.0, 30.0, 60.0] and jitter == 0.2
    # A break without an outage: the first step, at once.
    assert soak.reconnect_bound(100.0, 100.0, delays, jitter) == (100.0, 0.0)
    # Attempts at the earliest 0, 5, 15, 45, 105 s after the start; the one
    # pending when the outage ends comes at most a jittered step later.
    for outage, step in ((3, 5.0), (5.5, 10.0), (20, 30.0), (44, 30.0), (46, 60.0),
                         (100, 60.0), (500, 60.0)):
        bound, used = soak.reconnect_bound(0.0, outage, delays, jitter)
        assert used == step, outage
        assert bound == pytest.approx(outage + step * 1.2), outage


def test_every_fault_kind_has_a_handler():
    """The kinds the schedule picks, the server-side faults (in the order of
    the first round, which a seed replays) and the garbage kinds each have
    their handler in the soak's tables."""
    s = soak.Soak
    assert set(s.EPISODES) == set(s.EPISODE_WEIGHTS)
    assert list(s.SERVER_FAULTS) == ["drop", "close", "refuse_stop", "refuse_reset",
                                     "refuse_junk", "login_refused", "slow_login", "garbage"]
    assert all(s.EPISODES[k] is s.server_episode for k in s.SERVER_FAULTS)
    assert set(s.GARBAGE) == set(s.GARBAGE_KINDS)
    for table in (s.EPISODES, s.SERVER_FAULTS, s.GARBAGE):
        assert all(callable(h) for h in table.values()), table


# ---------------------------------------------------- server fault controls

CLIENT = textwrap.dedent('''
    import asyncio, json, socket, ssl, sys, time
    import websockets
    from kvdev.devctl import DevCtl

    port, ca = int(sys.argv[1]), sys.argv[2]
    ctl = DevCtl(sys.argv[3])
    out = {}

    def tcp(read):
        s = socket.socket()
        s.settimeout(5)
        try:
            s.connect(("127.0.0.1", port))
            return s.recv(4096) if read else b""
        except ConnectionRefusedError:
            raise
        except OSError as exc:  # a reset may come before connect() returns
            return type(exc).__name__
        finally:
            s.close()

    ctl.listen("stop")
    try:
        tcp(False)
        out["stop"] = "connected"
    except ConnectionRefusedError:
        out["stop"] = "refused"
    ctl.listen("reset")
    r = tcp(True)
    out["reset"] = r if isinstance(r, str) else r.decode("latin-1")
    ctl.listen("junk")
    out["junk"] = tcp(True).decode("latin-1")
    ctl.listen("normal")

    async def session():
        ctx = ssl.create_default_context(cafile=ca)
        url = "wss://localhost:%d/api/v1/ws" % port
        ctl.set_delay(auth=1.5)
        ws = await websockets.connect(url, ssl=ctx, subprotocols=["korvane-agent"],
                                      ping_interval=None, max_size=None)
        t = time.monotonic()
        await ws.send(json.dumps({"type": "auth"}))
        out["auth"] = json.loads(await ws.recv())
        out["auth_after"] = time.monotonic() - t
        ctl.set_delay(auth=0)
        ctl.send_bytes(bytes(range(256)), binary=True)
        out["binary"] = list(await ws.recv())
        ctl.send_padded({"type": "logs", "request_id": "big"}, 20000)
        text = await ws.recv()
        out["padded"] = [len(text.encode()), json.loads(text)["request_id"]]
        ctl.send_bytes(b'{"type": "\\xff\\xfe"}')
        try:
            await ws.recv()
            out["bad_utf8"] = "received"
        except websockets.ConnectionClosed as exc:
            out["bad_utf8"] = exc.code
    asyncio.run(session())
    print(json.dumps(out))
''')


def test_devserver_fault_controls(device, server, certs):
    """listen stop/reset/junk/normal, a delayed login answer, a binary frame,
    a padded message and a text frame of bad UTF-8, as a client sees them."""
    res = subprocess.run(
        device.netns_cmd([kvtest.PYTHON, "-c", CLIENT, server.port, certs["ca"],
                          server.control_path]),
        env=kvtest.python_env(), capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stdout + res.stderr + server.stderr_text()
    out = json.loads(res.stdout.splitlines()[-1])
    assert out["stop"] == "refused"
    assert out["reset"] in ("ConnectionResetError", ""), out
    assert out["junk"].startswith("\x00\xffnot a TLS server"), out
    assert out["auth"] == {"type": "auth", "ok": True}
    assert out["auth_after"] >= 1.4, out
    assert out["binary"] == list(range(256))
    assert out["padded"] == [20000, "big"]
    assert out["bad_utf8"] in (1006, 1007), out  # the client refuses the frame
    sent = [e for e in server.events("sent") if "bytes" in e]
    assert [e["binary"] for e in sent] == [True, False], server.describe_events()
    refused = [e["mode"] for e in server.events("refused")]
    assert refused == ["reset", "junk"], server.describe_events()
    assert [e["mode"] for e in server.events("listen")] == ["stop", "reset", "junk", "normal"]


# ------------------------------------------------------------------ soak

def _selected(config):
    return "soak" in (config.getoption("-m") or "") or any(
        "test_11_soak.py::test_soak" in a for a in config.args)


@pytest.mark.soak
def test_soak(request, tmp_path):
    """The agent rides out random server, miner and kernel-log faults with
    flat memory and descriptors, timely reconnects, an orderly stop and
    intact configuration files (devtools/soak.py checks them)."""
    if not _selected(request.config):
        pytest.skip("the fault soak runs only when selected: -m soak")
    if kvtest.valgrind_enabled():
        pytest.skip("not under valgrind")
    if os.geteuid() != 0:
        pytest.skip("needs root (network namespaces)")
    seconds = os.environ.get("SOAK_SECONDS") or "120"
    report = tmp_path / "soak-report.json"
    env = dict(os.environ, SOAK_SECONDS=seconds, SOAK_WORK=str(tmp_path / "work"),
               SOAK_REPORT=str(report))
    res = subprocess.run([kvtest.PYTHON, str(kvtest.REPO / "devtools" / "soak.py")], env=env,
                         capture_output=True, text=True, timeout=float(seconds) + 900)
    print(res.stdout[-20000:])
    print(res.stderr[-5000:])
    assert report.exists(), res.stdout[-5000:] + res.stderr[-5000:]
    r = json.loads(Path(report).read_text())
    assert res.returncode == 0 and r["ok"], "soak failed (seed %s): %s" % (r["seed"],
                                                                         r["failures"])
    # It did inject faults and watch the agent recover from them.
    assert r["faults_total"] >= 5, r["faults"]
    assert r["reconnects"]["count"] >= 3, r["reconnects"]
    assert r["stop"]["exit_status"] == 0
    assert r["resources"]["samples"] >= float(seconds) / 10


# ------------------------------------------------ memory after a huge answer

def _rss_kb(pid):
    text = Path("/proc/%d/status" % pid).read_text()
    return int(next(l.split()[1] for l in text.splitlines() if l.startswith("VmRSS:")))


@pytest.mark.device(miner_config=True)
def test_oversized_miner_answers_leave_no_memory_behind(device, server, start_agent):
    """A miner that answers beyond the 8 MiB cap, for long enough that every
    thread calling its API meets it: once it answers normally again the agent
    is back to about its earlier size (the soak found +16 MiB kept for good)."""
    if kvtest.valgrind_enabled():
        pytest.skip("RSS under valgrind says nothing")
    agent = start_agent(device, server=server, miner=True)
    server.wait_message("metrics", timeout=30)
    time.sleep(5)
    before = max(_rss_kb(agent.pid) for _ in range(3) if time.sleep(1) is None)
    device.miner_control(mode="huge", huge_bytes=9 << 20)
    mark = len(device.miner_requests())
    kvtest.wait_for(lambda: len([r for r in device.miner_requests()[mark:]
                                 if r["mode"] == "huge" and r["command"] == "stats"]) >= 4,
                    40, what="four stats requests answered oversized")
    device.miner_control()
    server.wait_message("metrics", timeout=30)
    time.sleep(3)
    after = _rss_kb(agent.pid)
    assert agent.running()
    assert after <= before + 4096, "RSS %d kB before the oversized answers, %d kB after" \
        % (before, after)
