"""Device commands from the server: reboot, kernel logs, chip metrics, stop
and start of mining, and the server's "status" request, on a live session
in the device sandbox."""

import time

import pytest

import kvtest
from kvtest import TIME_SCALE
from test_03_dispatch import log_entries, probe
from test_05_reporting import raw_keys

# Chips with a frequency of their own: (chain, chip) -> MHz. Chain 2 has its
# own frequency too; the others fall back to the global 384.
CHIP_FREQS = {(1, 7): 396, (2, 3): 400, (2, 19): 350, (2, 70): 425}
GLOBAL_FREQ, CHAIN2_FREQ = 384, 410
# Chips of chain 2 the simulated miner makes slow (about 0.6 of their rate).
SLOW_CHIPS = {19, 44, 61}
MINER_CONFIG = dict(kvtest.DEFAULT_MINER_CONFIG, **{
    "bitmain-freq2": str(CHAIN2_FREQ),
    "bitmain-chip-freq": ":".join(str(CHIP_FREQS.get((chain, chip), 0))
                                  for chain in range(1, 5) for chip in range(1, 73)),
})
CHIP_HR = "/www/pages/cgi-bin/chip_hr.json"
LOAD_WARN = ("WARN", "Failed to load chip hash rates from " + CHIP_HR)
PARSE_WARN = ("WARN", "Failed to parse chip hash rates from dump")


def session(device, server, start_agent, miner):
    agent = start_agent(device, server=server, miner=miner)
    agent.wait_log_line("INFO", "Agent successfully authenticated", timeout=20)
    return agent


def request(server, msg, reply_type=None, timeout=10):
    server.send(msg)
    return server.wait_message(reply_type or msg["type"], timeout=timeout)


def last_event(server, mtype):
    return [e for e in server.events("message") if (e["msg"] or {}).get("type") == mtype][-1]


def expected_freq(chain, chip):
    return CHIP_FREQS.get((chain, chip), CHAIN2_FREQ if chain == 2 else GLOBAL_FREQ)


# --------------------------------------------------------------- chip metrics

@pytest.mark.device(miner_config=MINER_CONFIG)
@pytest.mark.asan
@pytest.mark.memcheck
def test_chip_metrics(device, server, start_agent):
    """Frequencies from the configuration's fallbacks, hash rates and states
    from the miner's chip dump; refused requests get the failure reply only."""
    agent = session(device, server, start_agent, miner=True)
    kvtest.wait_for(device.chip_hr_path.exists, 10 * TIME_SCALE, what="chip dump")
    since = len(agent.log_text())
    for chain in (2, 1):
        msg = request(server, {"type": "chip_metrics", "request_id": "c%d" % chain,
                               "chain_id": str(chain)})
        assert raw_keys(last_event(server, "chip_metrics")) == \
            ["chain_id", "chips", "type", "request_id", "ok"]
        assert (msg["chain_id"], msg["request_id"], msg["ok"]) == (str(chain), "c%d" % chain, True)
        chips = msg["chips"]
        assert [c["id"] for c in chips] == [str(k) for k in range(1, 73)]
        for k, c in enumerate(chips, 1):
            custom = (chain, k) in CHIP_FREQS
            slow = chain == 2 and k in SLOW_CHIPS
            assert set(c) == {"id", "hr", "freq", "state"} | ({"custom_freq"} if custom else set())
            assert c.get("custom_freq", True) is True
            assert c["freq"] == expected_freq(chain, k), c
            assert c["state"] == ("slow" if slow else "fast"), c
            # The dump's rate (about freq / 222 per chip) in thousands.
            ideal = c["freq"] / 222.0 * (0.6 if slow else 1.0) / 1000.0
            assert c["hr"] == pytest.approx(ideal, rel=0.1), c

    refused = [("0", "Invalid chain id: 0"), ("5", "Invalid chain id: 5"),
               ("x", "Invalid chain id: 0"), (2, "Failed to parse chip metrics request:")]
    for chain_id, error in refused:
        mark = len(agent.log_text())
        msg = request(server, {"type": "chip_metrics", "request_id": "bad", "chain_id": chain_id})
        assert msg == {"type": "chip_metrics", "ok": False}, chain_id
        entries = log_entries(agent, mark)
        assert len(entries) == 1 and entries[0][0] == "ERROR" and \
            entries[0][1].startswith(error), entries
    assert not [e for e in log_entries(agent, since) if e[0] == "WARN"]


# The chip dump as the agent finds it.
DUMPS = [
    ("missing", None, [LOAD_WARN, PARSE_WARN]),
    ("garbage", b"{\"chiphr\": [garbage", [LOAD_WARN, PARSE_WARN]),
    ("no chiphr member", b'{"chips": []}', [PARSE_WARN]),
    ("chiphr not an array", b'{"chiphr": {"Asic00": "1.0"}}', []),
]


@pytest.mark.device(miner_config=MINER_CONFIG)
def test_chip_metrics_without_a_usable_dump(device, server, start_agent):
    """Without hash rates every chip is "unknown" (frequencies still from the
    configuration); without the configuration the request fails."""
    # The miner runs but writes its dump elsewhere.
    device.miner_args("--chip-hr /run/sandbox/chip_hr-elsewhere.json")
    agent = session(device, server, start_agent, miner=True)
    for name, dump, warnings in DUMPS:
        if dump is None:
            if device.chip_hr_path.exists():
                device.chip_hr_path.unlink()
        else:
            kvtest.write_atomic(device.chip_hr_path, dump)
        mark = len(agent.log_text())
        msg = request(server, {"type": "chip_metrics", "request_id": name, "chain_id": "2"})
        assert msg["ok"] is True and msg["request_id"] == name
        assert [(c["id"], c["hr"], c["freq"], c["state"]) for c in msg["chips"]] == \
            [(str(k), 0.0, expected_freq(2, k), "unknown") for k in range(1, 73)], name
        assert log_entries(agent, mark) == warnings, name

    device.write_miner_config(None)
    mark = len(agent.log_text())
    msg = request(server, {"type": "chip_metrics", "request_id": "n", "chain_id": "2"})
    assert msg == {"type": "chip_metrics", "ok": False}
    assert ("ERROR", "Failed to load cgminer config from /config/cgminer.conf") in \
        log_entries(agent, mark)


# ----------------------------------------------------------------------- logs

HANGING_LOG_SCRIPT = "#!/bin/sh\necho partial; sleep 600\n"


@pytest.mark.device(miner_config=MINER_CONFIG)
@pytest.mark.asan
@pytest.mark.memcheck
def test_logs(device, server, start_agent):
    """The kernel log script's output under the request's id; a request
    without a text id gets the failure reply; a script that hangs is given
    up after 20 s with the session kept."""
    agent = session(device, server, start_agent, miner=True)
    msg = request(server, {"type": "logs", "request_id": "r1"})
    assert set(msg) == {"type", "request_id", "logs"} and msg["request_id"] == "r1"
    assert "Booting Linux" in msg["logs"]
    assert "get_kernel_log.cgi" in device.commands()

    for bad in ({"type": "logs"}, {"type": "logs", "request_id": 7}):
        mark = len(agent.log_text())
        assert request(server, bad) == {"type": "logs", "ok": False}, bad
        assert log_entries(agent, mark) == [("ERROR", "Failed to parse get logs request:")]
        # The request follows, indented by 2.
        assert 'request:\n{\n  "type": "logs"' in agent.log_text()[mark:]

    (device.www / "pages" / "cgi-bin" / "get_kernel_log.cgi").write_text(HANGING_LOG_SCRIPT)
    sent = time.monotonic()
    msg = request(server, {"type": "logs", "request_id": "r2"}, reply_type="get_logs",
                  timeout=40)
    assert time.monotonic() - sent >= 19
    assert msg == {"type": "get_logs", "request_id": "r2", "ok": False,
                   "message": "Fetching logs failed"}
    # Still the same session: the next command is answered on it.
    msg = request(server, {"type": "chip_metrics", "request_id": "after", "chain_id": "9"})
    assert msg == {"type": "chip_metrics", "ok": False}
    assert server.connections() == 1
    assert [m for m in server.messages("logs") if m.get("request_id") == "r2"] == []


# ------------------------------------------- mining control, status, reboot

@pytest.mark.device(miner_config=MINER_CONFIG)
@pytest.mark.asan
def test_mining_control_status_and_reboot(device, server, start_agent):
    agent = session(device, server, start_agent, miner=True)
    server.wait_message("status", where={"state": {"name": "mining"}}, timeout=15)

    assert request(server, {"type": "stop_mining"}) == {"type": "stop_mining", "ok": True}
    server.wait_message("status", where={"state": {"name": "pause"}}, timeout=15)
    assert "stop_cgminer.cgi" in device.commands()

    assert request(server, {"type": "start_mining"}) == {"type": "start_mining", "ok": True}
    server.wait_message("status", where={"state": {"name": "mining"}}, timeout=20)
    assert device.commands() == ["cgminer.sh start", "stop_cgminer.cgi", "cgminer.sh start"]

    # The server's status request: no reply, nothing logged.
    mark, events = len(agent.log_text()), len(server.events())
    server.send({"type": "status"})
    probe(agent, server, "probe-after-status")
    assert log_entries(agent, mark) == [("WARN", "Unknown message received: probe-after-status")]
    replies = [e["msg"] for e in server.events()[events:]
               if e["event"] == "message" and "ok" in (e["msg"] or {})]
    assert replies == []

    # Any reboot request is a hard one: sync, then the (fake) reboot.
    assert request(server, {"type": "reboot", "mode": "soft"}) == {"type": "reboot", "ok": True}
    agent.wait_log_line("INFO", "Rebooting asic, mode = hard")
    assert device.commands()[-1] == "reboot"
    assert device.commands().count("reboot") == 1
