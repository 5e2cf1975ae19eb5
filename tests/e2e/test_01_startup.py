"""Start-up and command line: help, config file, device id, stop signals, logging."""

import json
import os
import re
import signal
import subprocess
import time

import pytest

import kvtest
from kvtest import API_KEY, HELP_TEXT, log_re

CONFIG = "/config/korvane.json"
LOG_CONF = "/opt/korvane/etc/log.conf"
ID_FROM_MAC = "0000000000000000-001122AABBCC"


def two_key_text(api_key, dev_id):
    return json.dumps({"api_key": api_key, "dev_id": dev_id}, indent=2)


def assert_config_is(device, api_key, dev_id):
    """The file holds exactly these two keys, in this order, indented by 2."""
    text = device.config_text()
    data = json.loads(text)
    assert list(data.items()) == [("api_key", api_key), ("dev_id", dev_id)], text
    assert text.rstrip("\n") == two_key_text(api_key, dev_id), text


def wait_config_rewritten(device, original, timeout=10):
    def changed():
        try:
            text = device.config_text()
        except FileNotFoundError:
            return None
        if text == original:
            return None
        try:
            json.loads(text)  # not half-written
        except ValueError:
            return None
        return text
    return kvtest.wait_for(changed, timeout * kvtest.TIME_SCALE, what="config rewrite")


def stop(agent, sig=signal.SIGTERM):
    agent.signal(sig)
    agent.wait_log_line("INFO", "Stopping agent")
    assert agent.wait_exit() == 0


def settle():
    """A moment for the agent to get past start-up before a signal."""
    time.sleep(0.3 * kvtest.TIME_SCALE)


# ------------------------------------------------------------------- help

@pytest.mark.parametrize("args", [["-h"], ["-c", "/nonexistent", "-h"], ["-u", "-h"],
                                  ["-h", "-c", "/nonexistent"]])
def test_help(device, start_agent, args):
    agent = start_agent(device, args=args, server_url=None)
    assert agent.wait_exit() == 0
    assert agent.stdout_text() == HELP_TEXT
    assert agent.stderr_text() == ""


def test_help_reads_no_config(device, start_agent):
    """-h works without a configuration file and writes none."""
    agent = start_agent(device, args=["-h"], config=None, server_url=None)
    assert agent.wait_exit() == 0
    assert agent.stdout_text() == HELP_TEXT
    assert not device.config_path.exists()


# ------------------------------------------------------------- config file

def test_missing_config(device, start_agent):
    agent = start_agent(device, config=None)
    assert agent.wait_exit() == 1
    version = agent.wait_log_line("INFO", "Agent version: 2.0.0")
    error = agent.wait_log_line("ERROR", "Failed to load %s file" % CONFIG)
    assert version.start() < error.start()
    assert not device.config_path.exists()
    # The same lines go to the log file of log.conf.
    assert re.search(log_re("ERROR", "Failed to load %s file" % CONFIG), agent.file_log_text())


@pytest.mark.parametrize("text", ["{\"api_key\": \"%s\"" % API_KEY, "", "not json at all"])
def test_invalid_json(device, start_agent, text):
    agent = start_agent(device, config=text)
    assert agent.wait_exit() == 1
    agent.wait_log_line("ERROR", "Failed to load %s file" % CONFIG)
    assert "Failed to parse config file" not in agent.log_text()
    assert device.config_text() == text


@pytest.mark.parametrize("text", ["[\"%s\"]" % API_KEY, "{\"api_key\": 12345}",
                                  "{\"api_key\": \"%s\", \"dev_id\": 7}" % API_KEY])
def test_config_of_wrong_shape(device, start_agent, text):
    agent = start_agent(device, config=text)
    assert agent.wait_exit() == 1
    agent.wait_log_line("ERROR", "Failed to parse config file")
    agent.wait_log_line("ERROR", "Failed to load %s file" % CONFIG)
    assert device.config_text() == text


@pytest.mark.parametrize("config", [
    {"api_key": "A" * 24},
    {"api_key": "B" * 24, "dev_id": "0000000000000000-001122AABBCC"},
])
def test_short_api_key(device, start_agent, config):
    text = json.dumps(config, indent=4)
    agent = start_agent(device, config=text)
    assert agent.wait_exit() == 1
    agent.wait_log_line("ERROR", "API key length is to short")
    agent.wait_log_line("ERROR", "Failed to parse config file")
    assert device.config_text() == text


def test_api_key_of_25_chars_is_enough(device, start_agent):
    key = "K" * 25
    agent = start_agent(device, config={"api_key": key})
    agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
    wait_config_rewritten(device, json.dumps({"api_key": key}, indent=2))
    assert_config_is(device, key, ID_FROM_MAC)
    assert "to short" not in agent.log_text()
    stop(agent)


# --------------------------------------------------------------- device id

@pytest.mark.parametrize("mac,dev_id", [
    ("00:11:22:aa:bb:cc", ID_FROM_MAC),
    ("02:ab:cd:ef:01:23", "0000000000000000-02ABCDEF0123"),
])
def test_fresh_install_id_from_mac(make_device, start_agent, mac, dev_id):
    device = make_device(mac=mac)
    original = json.dumps({"api_key": API_KEY})
    agent = start_agent(device, config=original)
    agent.wait_log_line("INFO", "Device Id: " + dev_id)
    wait_config_rewritten(device, original)
    assert_config_is(device, API_KEY, dev_id)
    stop(agent)
    assert_config_is(device, API_KEY, dev_id)


def test_fresh_install_drops_extra_keys(device, start_agent):
    original = json.dumps({"server": "wss://example.invalid/", "api_key": API_KEY,
                           "other": {"a": [1, 2]}, "debug": True}, indent=2)
    agent = start_agent(device, config=original)
    agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
    wait_config_rewritten(device, original)
    assert_config_is(device, API_KEY, ID_FROM_MAC)
    stop(agent)


def test_long_api_key_is_cut_to_50(device, start_agent):
    key = "".join("%d" % (i % 10) for i in range(30)) + "abcdefghijklmnopqrstuvwxyz0123"[:30]
    assert len(key) == 60
    agent = start_agent(device, config={"api_key": key})
    agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
    wait_config_rewritten(device, json.dumps({"api_key": key}, indent=2))
    assert_config_is(device, key[:50], ID_FROM_MAC)
    stop(agent)


@pytest.mark.device(route=False)
def test_fresh_install_without_route_gets_random_id(device, make_device, start_agent):
    ids = []
    for dev in (device, make_device(route=False)):
        original = json.dumps({"api_key": API_KEY})
        agent = start_agent(dev, config=original)
        m = agent.wait_log(log_re("INFO", r"Device Id: ([0-9A-F]{32})$", regex=True))
        wait_config_rewritten(dev, original)
        assert_config_is(dev, API_KEY, m.group(1))
        ids.append(m.group(1))
        stop(agent)
    assert ids[0] != ids[1]
    assert not any(i.startswith("0000000000000000") for i in ids)


@pytest.mark.parametrize("dev_id", ["0000000000000000-A1B2C3D4E5F6",
                                    "89ABCDEF0123456789ABCDEF01234567"])
def test_existing_dev_id_is_kept(device, start_agent, dev_id):
    text = json.dumps({"api_key": API_KEY, "dev_id": dev_id}, indent=4)
    device.write_config(text)
    old = time.time() - 3600
    os.utime(device.config_path, (old, old))
    agent = start_agent(device, keep_config=True)
    agent.wait_log_line("INFO", "Device Id: " + dev_id)
    settle()
    stop(agent)
    assert device.config_text() == text
    assert device.config_path.stat().st_mtime == old


def test_config_option_selects_file(device, start_agent):
    (device.root / "config" / "other.json").write_text(json.dumps({"api_key": API_KEY}))
    agent = start_agent(device, args=["-c", "/config/other.json"], config=None)
    agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
    kvtest.wait_for(lambda: "dev_id" in (device.root / "config" / "other.json").read_text(),
                    10 * kvtest.TIME_SCALE, what="other.json rewrite")
    assert json.loads((device.root / "config" / "other.json").read_text()) == {
        "api_key": API_KEY, "dev_id": ID_FROM_MAC}
    assert not device.config_path.exists()
    stop(agent)


def test_long_config_option(device, start_agent):
    agent = start_agent(device, args=["--config", "/config/none.json"])
    assert agent.wait_exit() == 1
    agent.wait_log_line("ERROR", "Failed to load /config/none.json file")


# ------------------------------------------------------------------ stopping

@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_stop_signal_without_server(device, start_agent, sig):
    agent = start_agent(device)
    agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
    settle()
    stop(agent, sig)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
@pytest.mark.asan
@pytest.mark.memcheck
def test_stop_signal_while_connected(device, server, start_agent, sig):
    agent = start_agent(device, server=server)
    server.wait_event("connect", timeout=20)
    stop(agent, sig)


@pytest.mark.asan
def test_stop_during_a_connection_attempt_does_not_reconnect(device, start_agent):
    # A peer that accepts the connection and never answers the TLS handshake
    # keeps the attempt under way when the stop comes.
    silent = subprocess.Popen(device.netns_cmd([
        kvtest.PYTHON, "-c",
        "import socket, time\n"
        "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "s.bind(('127.0.0.1', 8443)); s.listen(8); print('ready', flush=True)\n"
        "conns = []\n"
        "while True: conns.append(s.accept())\n"]),
        stdout=subprocess.PIPE, text=True)
    try:
        assert silent.stdout.readline().strip() == "ready"
        agent = start_agent(device, server_url="wss://localhost:8443/api/v1/ws")
        agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
        time.sleep(1.5 * kvtest.TIME_SCALE)  # the attempt is under way
        assert "Trying agent reconnect" not in agent.log_text()
        stop(agent)
        log = agent.log_text()
        assert "Trying agent reconnect" not in log[log.index("Stopping agent"):], log
    finally:
        silent.kill()
        silent.wait()


# ------------------------------------------------------------------- logging

@pytest.mark.device(log_conf=False)
def test_missing_log_conf(device, start_agent):
    agent = start_agent(device)
    assert agent.wait_exit() == 1
    lines = agent.stderr_text().splitlines()
    assert len(lines) == 1 and LOG_CONF in lines[0], agent.stderr_text()
    assert json.loads(device.config_text()) == {"api_key": API_KEY}


# ---------------------------------------------------------------- options

@pytest.mark.parametrize("option,diagnostic", [
    ("-x", "invalid option -- 'x'"),
    ("--bogus", "unrecognized option '--bogus'"),
])
def test_unknown_option_continues(device, start_agent, option, diagnostic):
    agent = start_agent(device, args=[option])
    agent.wait_log_line("INFO", "Agent version: 2.0.0")
    agent.wait_log_line("INFO", "Device Id: " + ID_FROM_MAC)
    assert diagnostic in agent.stderr_text()
    settle()
    stop(agent)
