"""Status and metrics reports, configuration uploads, and the threads' stop,
with the simulated miner in the agent's sandbox."""

import json
import signal
import time

import pytest

import kvtest
from kvtest import TIME_SCALE
from test_04_miner import run_ctl, values

NETWORK_CONF = ('hostname=rig7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
                'gateway=192.0.2.1\ndnsservers="192.0.2.53"\n')
STATUS_KEYS = ["type", "firmware_id", "firmware_ver", "uptime", "state", "network", "pools"]
METRICS_KEYS = ["type", "timestamp", "hash_rate", "hashrate_avg", "freq", "temp", "watt",
                "hw_errors", "fans", "chains"]
CHAIN_KEYS = ["id", "num_chips", "hash_rate", "freq", "volt", "watt", "hw_errors", "chip_temp",
              "pcb_temp"]
VIEW_KEYS = ["pools", "fans", "perf", "chains", "autotuner", "watchdog", "network"]



def raw_keys(event):
    """Top-level member names of a recorded message, in wire order."""
    return [k for k, _ in json.loads(event["raw"], object_pairs_hook=list)]


def message_events(server, mtype):
    return [e for e in server.events("message") if (e["msg"] or {}).get("type") == mtype]


def stop(agent):
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit(15) == 0


@pytest.mark.device(miner_config=True)
@pytest.mark.asan
def test_reports_after_login(device, server, start_agent):
    """One status at once after the login (preceded by one metrics message,
    as the miner is already mining), a metrics message about every 10 s with
    four chains, and a status at least every 30 s without changes."""
    agent = start_agent(device, server=server, miner=True)
    server.wait_message("auth")
    first = server.wait_message("status", timeout=15)
    assert first["state"] == {"name": "mining"}
    assert first["network"] == {"ip": "192.0.2.10", "netmask": "255.255.255.0",
                                "gateway": "192.0.2.1", "dnsservers": ["192.0.2.53"],
                                "mac": kvtest.DEFAULT_MAC}
    assert first["firmware_id"] == "pelto-antminer-l3plus" and first["firmware_ver"] == "3.9.0"
    assert first["uptime"] >= 0
    pools = first["pools"]
    assert pools["main"]["status"] == "active" and pools["reserved"]["status"] == "alive"
    assert "reserved2" not in pools and len(pools["service_fee"]) == 1
    assert set(pools["main"]) == {"boost", "difficulty", "accepted", "rejected", "stale",
                                  "status"}
    ev = message_events(server, "status")
    assert raw_keys(ev[0]) == STATUS_KEYS
    # The miner went from "initializing" (the start value) to mining: one
    # metrics message just before that first status.
    types = [m["type"] for m in server.messages()]
    assert types[0] == "auth" and "metrics" in types[1:types.index("status")], types

    # Without changes the next status comes with the 30-second period (the
    # cadence itself is the unit tests'), and metrics flow meanwhile.
    first_t = ev[0]["t"]

    def periodic():
        return [e for e in message_events(server, "status") if e["t"] - first_t >= 25]
    kvtest.wait_for(periodic, 45 * TIME_SCALE, what="the periodic status")
    early = [e for e in message_events(server, "status") if 5 < e["t"] - first_t < 25]
    assert early == [], server.describe_events()
    periodic_t = periodic()[0]["t"]
    metrics = [e for e in message_events(server, "metrics") if first_t < e["t"] <= periodic_t]
    assert len(metrics) >= 2, server.describe_events()
    m = metrics[-1]
    assert raw_keys(m) == METRICS_KEYS
    assert [c["id"] for c in m["msg"]["chains"]] == ["1", "2", "3", "4"]
    chain = json.loads(m["raw"], object_pairs_hook=list)[-1][1][0]
    assert [k for k, _ in chain] == CHAIN_KEYS
    assert isinstance(m["msg"]["hash_rate"], float) and m["msg"]["hash_rate"] > 0
    assert "update_config" not in [x["type"] for x in server.messages()]
    stop(agent)


@pytest.mark.device(miner_config=True)
def test_registration_holds_reports_until_acknowledged(device, start_server, start_agent):
    (device.root / "config" / "network.conf").write_text(NETWORK_CONF)
    server = start_server(device, auth="register", config_ack=False)
    agent = start_agent(device, server=server, miner=True)
    upload = server.wait_message("update_config", timeout=15)
    assert [k for k in upload if k != "type"] == VIEW_KEYS
    assert upload["network"]["hostname"] == "rig7"
    assert upload["pools"]["main"]["stratum_url"] == \
        kvtest.DEFAULT_MINER_CONFIG["pools"][0]["url"]
    assert len(upload["chains"]) == 4

    # Metrics are not held back (the metrics thread's next cycle, within 10 s);
    # status reports are.
    server.wait_message("metrics", timeout=15)
    time.sleep(1 * TIME_SCALE)
    assert message_events(server, "status") == []
    server.send({"type": "update_config", "ok": True})
    server.wait_message("status", timeout=10)
    time.sleep(3 * TIME_SCALE)
    assert len(message_events(server, "status")) == 1
    stop(agent)


@pytest.mark.device(miner_config=True)
def test_outside_changes_and_forced_upload(device, server, start_agent):
    """-u uploads once after the first login (not again after a reconnect);
    an outside write of /config/cgminer.conf uploads about 3 s later."""
    agent = start_agent(device, server=server, miner=True, args=["-u"])
    first = server.wait_message("update_config", timeout=15)
    assert [k for k in first if k != "type"] == VIEW_KEYS[:-1]  # no network.conf
    server.drop()
    server.wait_event("connect", where={"conn": 2}, timeout=20)
    server.wait_message("status", conn=2, timeout=15)
    time.sleep(1 * TIME_SCALE)
    assert len(server.messages("update_config")) == 1

    config = dict(kvtest.DEFAULT_MINER_CONFIG, **{"bitmain-freq": "400"})
    written = time.monotonic()
    device.write_miner_config(config)
    upload = server.wait_message("update_config", timeout=15)
    took = time.monotonic() - written
    assert 2 <= took <= 10 * TIME_SCALE, took
    assert upload["perf"]["freq"] == 400
    time.sleep(4 * TIME_SCALE)
    assert len(server.messages("update_config")) == 2
    stop(agent)


HUNG_NETWORK_SCRIPT = """#!/bin/sh
# A network restart that never ends (a DHCP client left in the foreground).
echo "network.sh${*:+ $*}" >> /run/sandbox/commands.log
exec sleep 3600
"""


def wait_command(device, command):
    kvtest.wait_for(lambda: command in device.commands(), 10 * TIME_SCALE, what=command)


@pytest.mark.device(miner_config=True)
@pytest.mark.asan
@pytest.mark.parametrize("scripts", [False, True], ids=["api", "api-and-scripts"])
def test_stop_with_a_hung_miner(device, server, start_agent, scripts):
    """A miner that accepts and never answers does not block the stop, nor do
    device scripts that never end: the miner worker inside a restart script,
    the service thread inside a network restart. The agent exits 0 within
    25 s of SIGTERM, before the init script's SIGKILL at 30 s; the scripts
    are left running."""
    if scripts:
        (device.root / "config" / "network.conf").write_text(NETWORK_CONF)
        script = device.init_d / "network.sh"
        script.write_text(HUNG_NETWORK_SCRIPT)
        script.chmod(0o755)
    agent = start_agent(device, server=server, miner=True)
    server.wait_message("status", timeout=15)
    if scripts:
        device.script_delay(3600)
        server.send({"type": "config_pools",
                     "main": {"stratum_url": "stratum+tcp://other.example.invalid:3333",
                              "worker": "farm.w9"}})
        assert server.wait_message("config_pools")["ok"] is True
        wait_command(device, "cgminer.sh restart")
    device.miner_control(mode="hang")
    if scripts:
        server.send({"type": "config_network", "mode": "static", "hostname": "rig8",
                     "ip": "192.0.2.20", "netmask": "255.255.255.0", "gateway": "192.0.2.1",
                     "dnsservers": ["192.0.2.53"]})
        wait_command(device, "network.sh restart")
    time.sleep(3 * TIME_SCALE)  # the reporting threads are inside API calls now
    t0 = time.monotonic()
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit(30) == 0
    assert time.monotonic() - t0 < (25 if scripts else 12) * TIME_SCALE
    close = server.wait_event("close")
    assert close["code"] == 1000
    if scripts:
        for cmd in ["/etc/init.d/cgminer.sh restart", "/etc/init.d/network.sh restart"]:
            agent.wait_log_line("WARN", 'Command "%s" left running: the agent is stopping' % cmd)
        assert "Miner restarted" not in agent.log_text()


@pytest.mark.device(miner_config=True)
def test_stopped_miner_reports_pause(device):
    results, res = run_ctl(device, ["state", "stop", "wait", "state", "start", "wait", "state"])
    assert values(results) == ["mining", 0, True, "pause", 0, True, "mining"], res.stdout
