"""The configuration commands from the server, on a live session in the device
sandbox: pools, one chain and its chips, watchdog, fans, performance profile,
autotuner, network and the full configuration. Each is checked from the reply,
the files under /config (/config/cgminer.conf in the miner's own layout,
/config/network.conf), the device scripts it ran (miner restart, network
restart), the messages that follow it and the ERROR lines of refusals."""

import json
import re
import time

import pytest

import kvtest
from kvtest import TIME_SCALE

POOL_A = "stratum+tcp://pool-a.example.invalid:3333"
POOL_B = "stratum+tcp://pool-b.example.invalid:25"
POOL_C = "stratum+tcp://pool-c.example.invalid:3334"
NETWORK_CONF = ('hostname=rig7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
                'gateway=192.0.2.1\ndnsservers="192.0.2.53"\n')
STATIC_NET = {"mode": "static", "ip": "192.0.2.10", "netmask": "255.255.255.0",
              "gateway": "192.0.2.1", "hostname": "rig7", "dnsservers": ["192.0.2.53"]}
DEFAULT_CHAINS = [{"id": str(c), "use_global_freq": True, "use_global_volt": True, "freq": 384,
                   "volt": 8, "chips": []} for c in range(1, 5)]
RESTART = "cgminer.sh restart"

# Per-chain values and chips of their own, for the commands that reset them.
CHIP_FREQS = {(1, 7): 396, (2, 3): 400, (4, 72): 425}
TUNED_CONFIG = dict(kvtest.DEFAULT_MINER_CONFIG, **{
    "bitmain-freq2": "410",
    "bitmain-voltage1": "9",
    "bitmain-chip-freq": ":".join(str(CHIP_FREQS.get((chain, chip), 0))
                                  for chain in range(1, 5) for chip in range(1, 73)),
})


# ------------------------------------------------------------------ helpers

def session(device, server, start_agent, miner=True):
    agent = start_agent(device, server=server, miner=miner)
    agent.wait_log_line("INFO", "Agent successfully authenticated", timeout=20)
    return agent


def request(server, msg, timeout=15):
    """Send a command; its reply's "ok"."""
    server.send(msg)
    reply = server.wait_message(msg["type"], timeout=timeout)
    assert set(reply) == {"type", "ok"}, reply
    return reply["ok"]


def snapshot(path):
    """Contents, inode and modification time: the agent replaces a file it
    writes through a new one, so an untouched file keeps all three."""
    st = path.stat()
    return path.read_bytes(), st.st_ino, st.st_mtime_ns


def miner_conf(device):
    return device.miner_config_json()


def chip_freqs(stored):
    """bitmain-chip-freq as {(chain, chip): MHz} for the chips with a value."""
    values = [int(v) for v in stored["bitmain-chip-freq"].split(":")]
    assert len(values) == 4 * 72
    return {(k // 72 + 1, k % 72 + 1): v for k, v in enumerate(values) if v}


def check_layout(text):
    """The miner's layout: valid JSON, no line starting with a blank, string
    members written `"key" : "value"`, the others `"key": value`,
    "multi-version" last."""
    stored = json.loads(text)
    assert list(stored)[-1] == "multi-version", list(stored)
    members = 0
    for line in text.splitlines():
        assert line and not line[0].isspace(), repr(line)
        m = re.match(r'"(?:[^"\\]|\\.)*"( ?):( ?)(.)', line)
        if m:
            members += 1
            string = m.group(3) == '"'
            assert (m.group(1), m.group(2)) == (" " if string else "", " "), repr(line)
    assert members >= len(stored)
    for key, value in stored.items():
        if isinstance(value, str):
            assert '"%s" : %s' % (key, json.dumps(value)) in text, key
        elif not isinstance(value, (dict, list)):
            assert '"%s": %s' % (key, json.dumps(value)) in text, key
    return stored


def restarts_done(agent):
    return len(re.findall(kvtest.log_re("INFO", "Miner restarted"), agent.log_text()))


def wait_restarts(device, agent, count):
    """Wait for the count-th miner restart (script run and finished)."""
    kvtest.wait_for(lambda: device.commands().count(RESTART) >= count
                    and restarts_done(agent) >= count, 20 * TIME_SCALE,
                    what="miner restart #%d" % count)
    assert device.commands().count(RESTART) == count, device.commands()


def check_restarts(device, agent, count):
    """Exactly `count` restarts so far, none of them skipped as overlapping."""
    assert device.commands().count(RESTART) == count, device.commands()
    assert restarts_done(agent) == count
    assert "Miner is already restarting" not in agent.log_text()


def refusals_logged(agent, since, errors):
    """Each ERROR line of `errors` appears after character `since`."""
    for text in errors:
        agent.wait_log(kvtest.log_re("ERROR", text), timeout=5, since=since)


def full_uploads(server, since=0):
    """The configuration uploads (with the pools) recorded at/after `since`."""
    return [e["msg"] for i, e in enumerate(server.events())
            if i >= since and e["event"] == "message"
            and (e["msg"] or {}).get("type") == "update_config" and "pools" in e["msg"]]


# -------------------------------------------------------------------- pools

POOL_REFUSALS = [
    # request members, ERROR line
    ({"reserved": {"stratum_url": POOL_B, "worker": "farm.w2"}},
     "Pools configuration failed, at least the main pool must be"),
    ({"main": {"stratum_url": POOL_A}}, "Failed to config pool[0]"),
    ({"main": {"stratum_url": POOL_A, "worker": "farm.w1"},
      "reserved": {"stratum_url": POOL_B, "worker": 7}}, "Failed to config pool[1]"),
]


@pytest.mark.device(miner_config=True)
@pytest.mark.asan
@pytest.mark.memcheck
def test_config_pools(device, server, start_agent):
    """Pools: absent slots emptied, the file in the miner's layout with its
    other members kept, the running miner restarted; the same pools again
    change nothing; refused requests leave the file alone."""
    agent = session(device, server, start_agent)
    path = device.miner_config_path

    assert request(server, {"type": "config_pools",
                            "main": {"stratum_url": POOL_A, "worker": "farm.w1",
                                     "password": "p1"},
                            "reserved2": {"stratum_url": POOL_C, "worker": "farm.w3"}}) is True
    wait_restarts(device, agent, 1)
    stored = check_layout(path.read_text())
    assert stored["pools"] == [{"url": POOL_A, "user": "farm.w1", "pass": "p1"},
                               {"url": "", "user": "", "pass": ""},
                               {"url": POOL_C, "user": "farm.w3", "pass": ""}]
    for key in ("api-listen", "api-network", "api-groups", "api-allow", "bitmain-use-vil",
                "bitmain-freq"):
        assert stored[key] == kvtest.DEFAULT_MINER_CONFIG[key], key

    before = snapshot(path)
    assert request(server, {"type": "config_pools",
                            "main": {"stratum_url": POOL_A, "worker": "farm.w1",
                                     "password": "p1"},
                            "reserved2": {"stratum_url": POOL_C, "worker": "farm.w3",
                                          "password": ""}}) is True
    for members, error in POOL_REFUSALS:
        since = len(agent.log_text())
        assert request(server, dict(members, type="config_pools")) is False, members
        refusals_logged(agent, since, [error])
    assert snapshot(path) == before

    assert request(server, {"type": "config_pools",
                            "main": {"stratum_url": POOL_B, "worker": "farm.w1",
                                     "password": "p1"},
                            "reserved": {"stratum_url": POOL_A, "worker": "farm.w2",
                                         "password": "p2"},
                            "reserved2": {"stratum_url": POOL_C, "worker": "farm.w3",
                                          "password": "p3"}}) is True
    wait_restarts(device, agent, 2)
    stored = check_layout(path.read_text())
    assert stored["pools"] == [{"url": POOL_B, "user": "farm.w1", "pass": "p1"},
                               {"url": POOL_A, "user": "farm.w2", "pass": "p2"},
                               {"url": POOL_C, "user": "farm.w3", "pass": "p3"}]
    check_restarts(device, agent, 2)


# ------------------------------------------------------------ chain and chips

def chain_msg(chain_id="2", freq=410, volt=9, chips=(), use_global_freq=False,
              use_global_volt=False, **extra):
    msg = {"type": "config_chain", "id": chain_id, "use_global_freq": use_global_freq,
           "use_global_volt": use_global_volt, "freq": freq, "volt": volt, "chips": list(chips)}
    msg.update(extra)
    return msg


CHAIN_REFUSALS = [
    # request, ERROR line
    (chain_msg("9"), "Invalid chain id: 9"),
    (chain_msg("0"), "Invalid chain id: 0"),
    (chain_msg("5"), "Invalid chain id: 5"),
    (chain_msg(2), "Failed to parse config chain request"),
    (chain_msg(freq=-1), "Failed to parse config chain request - frequency -1 out of range"),
    (chain_msg(freq=65536),
     "Failed to parse config chain request - frequency 65536 out of range"),
    (chain_msg(volt="9"), "Failed to parse config chain request"),
    ({k: v for k, v in chain_msg().items() if k != "chips"},
     "Failed to parse config chain request - Object item not found: chips"),
    ({k: v for k, v in chain_msg().items() if k != "use_global_volt"},
     "Failed to parse config chain request"),
    # The chain's own values were taken before the chips failed: nothing is stored.
    (dict(chain_msg("1", freq=999), chips={"id": "5", "freq": 400}),
     "Chips must be an array object"),
]


@pytest.mark.device(miner_config=TUNED_CONFIG)
@pytest.mark.asan
def test_config_chain(device, server, start_agent):
    """One chain's frequency, voltage and chips: the chips replace the
    chain's whole set (bad entries logged and skipped), the global flags
    store 0, other chains keep theirs; refusals leave the file alone."""
    agent = session(device, server, start_agent)
    path = device.miner_config_path

    since = len(agent.log_text())
    chips = [{"id": "5", "freq": 400}, {"id": "72", "freq": 425}, {"id": "1", "freq": 0},
             {"id": "0", "freq": 390}, {"id": "73", "freq": 390}, {"id": 6, "freq": 390},
             {"id": "8"}, {"id": "9", "freq": 70000}]
    assert request(server, chain_msg("2", freq=410, volt=9, chips=chips)) is True
    refusals_logged(agent, since, ["Chain 2: chip 0 is out of range",
                                   "Chain 2: chip 73 is out of range",
                                   "Chain 2: failed to parse chip settings",
                                   "Chain 2: chip 9 frequency 70000 is out of range"])
    assert len(re.findall(kvtest.log_re("ERROR", "Chain 2: failed to parse chip settings"),
                          agent.log_text()[since:])) == 2
    wait_restarts(device, agent, 1)
    stored = check_layout(path.read_text())
    assert (stored["bitmain-freq2"], stored["bitmain-voltage2"]) == ("410", "9")
    # Chain 2's chip 3 is gone; chains 1 and 4 keep theirs; chain 1 its voltage.
    assert chip_freqs(stored) == {(1, 7): 396, (2, 5): 400, (2, 72): 425, (4, 72): 425}
    assert (stored["bitmain-voltage1"], stored["bitmain-freq"]) == ("9", "384")

    before = snapshot(path)
    for msg, error in CHAIN_REFUSALS:
        since = len(agent.log_text())
        assert request(server, msg) is False, msg
        refusals_logged(agent, since, [error])
    # The same settings again (the chips in another order) change nothing.
    assert request(server, chain_msg("2", freq=410, volt=9,
                                     chips=[{"id": "72", "freq": 425},
                                            {"id": "5", "freq": 400}])) is True
    assert snapshot(path) == before

    # Global values: the chain's frequency and voltage go back to 0 (whatever
    # the request's numbers), its chips are only the new set.
    assert request(server, chain_msg("2", freq=500, volt=12, chips=[{"id": "6", "freq": 380}],
                                     use_global_freq=True, use_global_volt=True)) is True
    wait_restarts(device, agent, 2)
    stored = check_layout(path.read_text())
    assert (stored["bitmain-freq2"], stored["bitmain-voltage2"]) == ("0", "0")
    assert chip_freqs(stored) == {(1, 7): 396, (2, 6): 380, (4, 72): 425}
    # The fourth chain, all chips back to the chain's frequency.
    assert request(server, chain_msg("4", freq=420, volt=8)) is True
    wait_restarts(device, agent, 3)
    stored = check_layout(path.read_text())
    assert (stored["bitmain-freq4"], stored["bitmain-voltage4"]) == ("420", "8")
    assert chip_freqs(stored) == {(1, 7): 396, (2, 6): 380}
    check_restarts(device, agent, 3)


# ----------------------------------------------- watchdog, fans and autotuner

AUTOTUNER = {"stage1": True, "stage2": True, "stage3": True, "stage3_interval": 5,
             "downclock_step": 3, "min_freq": 350, "hashrate_deviation": 80, "test_time": 4,
             "down_freq_hw": 10}
# Each change: the request, then the members the file holds after it (None:
# absent; a false value is dropped from the file).
SETTINGS_CHANGES = [
    ({"type": "config_watchdog", "min_hr": "400", "max_xchips": "3", "max_temp": "95"},
     {"bitmain-minhr": "400", "bitmain-maxx": "3", "bitmain-tempoff": "95"}),
    # Absent limits are 0 (not set); a temperature limit of 0 leaves the file.
    ({"type": "config_watchdog", "max_xchips": "4", "max_temp": "0"},
     {"bitmain-minhr": "0", "bitmain-maxx": "4", "bitmain-tempoff": None}),
    # Manual speeds below 20 are stored as 20.
    ({"type": "config_fans", "mode": "manual", "speed": 10, "target_temp": 70,
      "silent_start": True},
     {"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "20", "bitmain-silentstart": True}),
    ({"type": "config_fans", "mode": "manual", "speed": 55, "target_temp": 70,
      "silent_start": True},
     {"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "55", "bitmain-silentstart": True}),
    ({"type": "config_fans", "mode": "auto", "speed": 80, "target_temp": 72,
      "silent_start": False},
     {"bitmain-fan-ctrl": None, "bitmain-fan-pwm": "55", "bitmain-silentstart": None,
      "bitmain-target-temp": "72"}),
    (dict(AUTOTUNER, type="config_autotuner"),
     {"bitmain-autodownscale": True, "bitmain-autodownscale-watch": True,
      "bitmain-autodownscale-watchtimer": True, "bitmain-autodownscale-timer": "5",
      "bitmain-autodownscale-step": "3", "bitmain-autodownscale-min": "350",
      "bitmain-autodownscale-prec": "80", "bitmain-autodownscale-after": "4",
      "bitmain-autodownscale-hw": "10", "bitmain-chip-freq": TUNED_CONFIG["bitmain-chip-freq"]}),
    # Without stage 3 its interval is 0; reset_chips clears every chip.
    (dict(AUTOTUNER, type="config_autotuner", stage1=False, stage3=False, reset_chips=True,
          min_freq=300),
     {"bitmain-autodownscale": None, "bitmain-autodownscale-watch": True,
      "bitmain-autodownscale-watchtimer": None, "bitmain-autodownscale-timer": "0",
      "bitmain-autodownscale-min": "300", "bitmain-chip-freq": ":".join(["0"] * 288)}),
]
# Requests that change nothing after the last change of their command above.
SETTINGS_UNCHANGED = [
    {"type": "config_watchdog", "max_xchips": "4"},
    {"type": "config_watchdog", "min_hr": "0", "max_xchips": "4", "max_temp": "0"},
    # Any mode other than "manual" is the automatic one.
    {"type": "config_fans", "mode": "quiet", "speed": 30, "target_temp": 72,
     "silent_start": False},
    dict(AUTOTUNER, type="config_autotuner", stage1=False, stage3=False, stage3_interval=9,
         min_freq=300),
]
SETTINGS_REFUSALS = [
    ({"type": "config_watchdog", "min_hr": 400}, "Failed to parse watchdog req"),
    ({"type": "config_watchdog", "max_temp": 95.0}, "Failed to parse watchdog req"),
    ({"type": "config_fans", "speed": 50}, "Failed to parse config fans request"),
    ({"type": "config_fans", "mode": "manual", "speed": "50"},
     "Failed to parse config fans request"),
    ({"type": "config_fans", "mode": "manual", "speed": 50, "silent_start": 1},
     "Failed to parse config fans request"),
    ({k: v for k, v in dict(AUTOTUNER, type="config_autotuner").items() if k != "test_time"},
     "Failed to parse config autotuner request"),
    (dict(AUTOTUNER, type="config_autotuner", stage1="yes"),
     "Failed to parse config autotuner request"),
    (dict(AUTOTUNER, type="config_autotuner", min_freq=70000),
     "Failed to parse config autotuner request - min_freq 70000 out of range"),
    (dict(AUTOTUNER, type="config_autotuner", reset_chips=True, min_freq=-5),
     "Failed to parse config autotuner request - min_freq -5 out of range"),
]


@pytest.mark.device(miner_config=TUNED_CONFIG)
def test_config_watchdog_fans_autotuner(device, server, start_agent):
    """Watchdog limits, fan modes and the autotuner's stages, one change
    after the other (each stored and followed by one miner restart), then
    requests that change nothing and refused ones (file untouched)."""
    agent = session(device, server, start_agent)
    path = device.miner_config_path
    for n, (msg, expected) in enumerate(SETTINGS_CHANGES, 1):
        assert request(server, msg) is True, msg
        wait_restarts(device, agent, n)
        stored = check_layout(path.read_text())
        assert {k: stored.get(k) for k in expected} == expected, msg

    before = snapshot(path)
    for msg in SETTINGS_UNCHANGED:
        assert request(server, msg) is True, msg
    for msg, error in SETTINGS_REFUSALS:
        since = len(agent.log_text())
        assert request(server, msg) is False, msg
        refusals_logged(agent, since, [error])
    assert snapshot(path) == before
    # A last change: by the time it restarts the miner, a restart of any of
    # the requests above would have shown.
    assert request(server, {"type": "config_watchdog", "min_hr": "380"}) is True
    wait_restarts(device, agent, len(SETTINGS_CHANGES) + 1)
    assert miner_conf(device)["bitmain-minhr"] == "380"
    check_restarts(device, agent, len(SETTINGS_CHANGES) + 1)


# ------------------------------------------------------ performance profile

def messages_since(server, since):
    return [e["msg"] for i, e in enumerate(server.events())
            if i >= since and e["event"] == "message"]


def perf_exchange(server, msg):
    """Send a config_perf request; (its reply's ok, the types of what the
    agent sent from the request up to the reply, the update_config
    messages among them)."""
    since = server.mark()
    ok = request(server, msg)
    sent = messages_since(server, since)
    types = [m.get("type") for m in sent]
    upto = types[:types.index("config_perf") + 1]
    return ok, upto, [m for m in sent[:len(upto)] if m.get("type") == "update_config"]


@pytest.mark.device(miner_config=TUNED_CONFIG)
def test_config_perf(device, server, start_agent):
    """A profile other than "0" stores the profile and global values and
    resets every chain and chip; the server is told the default chains just
    before the reply. Profile "0" keeps the per-chain values; the autotuner
    goes in the same transaction; refused or failed commits send no notice."""
    agent = session(device, server, start_agent)
    path = device.miner_config_path

    # A commit that fails (the temporary file cannot be made): no notice.
    blocker = path.with_name(path.name + ".tmp")
    blocker.mkdir()
    before = snapshot(path)
    since = len(agent.log_text())
    ok, types, notices = perf_exchange(server, {"type": "config_perf",
                                                "perf": {"profile": "5", "freq": 400,
                                                         "volt": 9}})
    assert (ok, notices) == (False, []), types
    refusals_logged(agent, since, ["Failed to save config file to /config/cgminer.conf"])
    blocker.rmdir()
    assert snapshot(path) == before

    ok, types, notices = perf_exchange(server, {"type": "config_perf",
                                                "perf": {"profile": "3", "freq": 400,
                                                         "volt": 9}})
    assert ok is True
    # Before the reply (perf_exchange looks no further).
    assert notices == [{"type": "update_config", "chains": DEFAULT_CHAINS}], types
    wait_restarts(device, agent, 1)
    stored = check_layout(path.read_text())
    assert (stored["bitmain-autodownscale-profile"], stored["bitmain-freq"],
            stored["bitmain-voltage"]) == ("3", "400", "9")
    for chain in range(1, 5):
        assert (stored["bitmain-freq%d" % chain], stored["bitmain-voltage%d" % chain]) == \
            ("0", "0")
    assert chip_freqs(stored) == {}

    # Per-chain values again, then profile "0" with the autotuner: they stay.
    assert request(server, chain_msg("3", freq=405, volt=9,
                                     chips=[{"id": "2", "freq": 410}])) is True
    wait_restarts(device, agent, 2)
    before = snapshot(path)
    refusals = [({"perf": {"profile": "4", "freq": 70000, "volt": 9}},
                 "Failed to prase perf req - frequency 70000 out of range"),
                ({"perf": {"profile": "4", "freq": 400}}, "Failed to prase perf req"),
                ({"perf": {"profile": 4, "freq": 400, "volt": 9}}, "Failed to prase perf req"),
                ({"perf": {"profile": "0", "freq": 390, "volt": 9},
                  "autotuner": dict(AUTOTUNER, test_time="4")},
                 "Failed to parse config autotuner request")]
    for members, error in refusals:
        since = len(agent.log_text())
        ok, types, notices = perf_exchange(server, dict(members, type="config_perf"))
        assert (ok, notices) == (False, []), members
        refusals_logged(agent, since, [error])
    # Neither section: nothing to change.
    ok, types, notices = perf_exchange(server, {"type": "config_perf"})
    assert (ok, notices) == (True, [])
    assert snapshot(path) == before

    ok, types, notices = perf_exchange(server, {"type": "config_perf",
                                                "perf": {"profile": "0", "freq": 390,
                                                         "volt": 8},
                                                "autotuner": AUTOTUNER})
    assert (ok, notices) == (True, [])
    wait_restarts(device, agent, 3)
    stored = check_layout(path.read_text())
    assert (stored["bitmain-autodownscale-profile"], stored["bitmain-freq"],
            stored["bitmain-voltage"]) == ("0", "390", "8")
    assert (stored["bitmain-freq3"], stored["bitmain-voltage3"]) == ("405", "9")
    assert chip_freqs(stored) == {(3, 2): 410}
    assert (stored["bitmain-autodownscale-timer"], stored["bitmain-autodownscale-min"]) == \
        ("5", "350")
    # Profile "12" alone (no autotuner), the per-chain values go again.
    ok, types, notices = perf_exchange(server, {"type": "config_perf",
                                                "perf": {"profile": "12", "freq": 390,
                                                         "volt": 8}})
    assert (ok, notices) == (True, [{"type": "update_config", "chains": DEFAULT_CHAINS}])
    wait_restarts(device, agent, 4)
    stored = check_layout(path.read_text())
    assert stored["bitmain-autodownscale-profile"] == "12"
    assert (stored["bitmain-freq3"], stored["bitmain-voltage3"], chip_freqs(stored)) == \
        ("0", "0", {})
    check_restarts(device, agent, 4)


# ------------------------------------------------------------------- network

NET_REFUSALS = [
    # request members (over STATIC_NET), ERROR line
    ({"ip": "192.0.2.300"}, "Failed to parse net config request - 192.0.2.300"),
    ({"gateway": "192.0.2"}, "Failed to parse net config request - 192.0.2"),
    ({"hostname": "rig 7"}, "Failed to parse net config request - rig 7"),
    ({"hostname": "a#b"}, "Failed to parse net config request - a#b"),
    ({"hostname": "x\ny"}, "Failed to parse net config request - x"),
    ({"mode": "dhcp", "hostname": "rig=8"}, "Failed to parse net config request - rig=8"),
    ({"hostname": None}, "Static network mode requires ALL parameters"),
    ({"netmask": None}, "Static network mode requires ALL parameters"),
    ({"dnsservers": "192.0.2.53"}, "dnsservers must be an array"),
    ({"dnsservers": ["192.0.2.999"]}, "Failed to parse ns-servers"),
    ({"ip": 3221225994}, "Failed to parse net config request"),
    ({"mode": None}, "Failed to parse net config request"),
]


def net_msg(**members):
    msg = dict(STATIC_NET, type="config_network", **members)
    return {k: v for k, v in msg.items() if v is not None}


def reply_then_reconnect(server, conn):
    """The reply on connection `conn`, then its close and a new login on
    connection conn + 1."""
    reply = server.wait_message("config_network", conn=conn)
    assert reply == {"type": "config_network", "ok": True}
    server.wait_event("close", conn=conn, timeout=10)
    server.wait_event("connect", conn=conn + 1, timeout=20)
    server.wait_message("auth", conn=conn + 1, timeout=10)
    events = server.events()
    pos = [i for i, e in enumerate(events) if e.get("conn") == conn and (
        e["event"] == "close" or (e["event"] == "message"
                                  and (e["msg"] or {}).get("type") == "config_network"))]
    assert events[pos[0]]["event"] == "message", "closed before the reply"


@pytest.mark.device(miner_config=True)
@pytest.mark.asan
def test_config_network_and_stopped_miner(device, server, start_agent):
    """Without a running miner a pool change is stored but nothing is
    restarted, and the watcher does not report the agent's own write. The
    network: refusals and an unchanged request touch nothing; a change
    rewrites /config/network.conf, restarts networking and makes the
    connection again after the reply, and the watcher uploads the whole
    configuration; DHCP keeps the host name when none (or "") is given."""
    net_path = device.root / "config" / "network.conf"
    net_path.write_text(NETWORK_CONF)
    agent = session(device, server, start_agent, miner=False)
    assert request(server, {"type": "config_pools",
                            "main": {"stratum_url": POOL_A, "worker": "farm.w1"}}) is True
    written = time.monotonic()
    assert miner_conf(device)["pools"][0]["url"] == POOL_A

    before = snapshot(net_path)
    for members, error in NET_REFUSALS:
        since = len(agent.log_text())
        assert request(server, net_msg(**members)) is False, members
        refusals_logged(agent, since, [error])
    assert request(server, net_msg()) is True
    # The same settings written another way (a mode other than "dhcp" is static).
    assert request(server, net_msg(mode="fixed")) is True
    assert snapshot(net_path) == before

    # The watcher's quiet period is about 3 s: twice that without an upload.
    time.sleep(max(0.0, written + 6 * TIME_SCALE - time.monotonic()))
    assert full_uploads(server) == []
    assert server.connections() == 1
    assert "network.sh restart" not in device.commands()

    mark = server.mark()
    server.send(net_msg(ip="192.0.2.20", hostname="rig8", dnsservers=["192.0.2.53", "192.0.2.54"]))
    reply_then_reconnect(server, 1)
    assert device.commands().count("network.sh restart") == 1
    assert net_path.read_text() == ('hostname=rig8\nipaddress=192.0.2.20\n'
                                    'netmask=255.255.255.0\ngateway=192.0.2.1\n'
                                    'dnsservers="192.0.2.53 192.0.2.54"\n')
    upload = server.wait_message("update_config", where=lambda m: "pools" in m, timeout=15)
    assert upload["network"] == {"mode": "static", "hostname": "rig8", "ip": "192.0.2.20",
                                 "netmask": "255.255.255.0", "gateway": "192.0.2.1",
                                 "dnsservers": ["192.0.2.53", "192.0.2.54"]}
    assert upload["pools"]["main"]["stratum_url"] == POOL_A
    assert len(full_uploads(server, mark)) == 1

    # DHCP without a host name: the current one stays.
    server.send({"type": "config_network", "mode": "dhcp"})
    reply_then_reconnect(server, 2)
    assert net_path.read_text() == "hostname=rig8\ndhcp=true\n"
    assert device.commands().count("network.sh restart") == 2
    before = snapshot(net_path)
    assert request(server, {"type": "config_network", "mode": "dhcp", "hostname": ""}) is True
    assert request(server, {"type": "config_network", "mode": "dhcp",
                            "hostname": "rig8"}) is True
    assert snapshot(net_path) == before
    # DHCP with a new name.
    server.send({"type": "config_network", "mode": "dhcp", "hostname": "rig-9.farm"})
    reply_then_reconnect(server, 3)
    assert net_path.read_text() == "hostname=rig-9.farm\ndhcp=true\n"

    assert device.commands().count("network.sh restart") == 3
    assert not [c for c in device.commands() if c.startswith("cgminer.sh")], device.commands()
    assert server.connections() == 4


# -------------------------------------------------------- full configuration

FULL_CONFIG = {
    "type": "config",
    "ok": True,
    "network": dict(STATIC_NET, ip="192.0.2.30", hostname="rig9"),
    "pools": {"main": {"stratum_url": POOL_C, "worker": "farm.w9", "password": "x9"}},
    "fans": {"mode": "manual", "speed": 60, "target_temp": 70, "silent_start": False},
    # The profile resets every chain, the chains below then set theirs.
    "perf": {"profile": "3", "freq": 400, "volt": 9},
    "chains": [{"id": "2", "use_global_freq": False, "use_global_volt": False, "freq": 410,
                "volt": 9, "chips": [{"id": "5", "freq": 420}]},
               {"id": "4", "use_global_freq": True, "use_global_volt": False, "freq": 500,
                "volt": 10, "chips": []}],
    "autotuner": dict(AUTOTUNER, stage3=False),
    "watchdog": {"max_temp": "90"},
}


def without(msg, *keys):
    return {k: v for k, v in msg.items() if k not in keys}


def config_handled(server, watchdog):
    """The full configuration sends no reply: a watchdog request with the
    values the file holds (so it changes nothing) is answered once the
    configuration before it has been handled."""
    assert request(server, dict(watchdog, type="config_watchdog")) is True


@pytest.mark.device(miner_config=TUNED_CONFIG)
@pytest.mark.asan
def test_config_full(device, server, start_agent):
    """The full configuration: a failure answer or any invalid section
    applies nothing; a valid one writes the network file without restarting
    networking, then every miner section in one transaction (one write, one
    miner restart), in order: the chains after the profile's reset."""
    net_path = device.root / "config" / "network.conf"
    net_path.write_text(NETWORK_CONF)
    agent = session(device, server, start_agent)
    mpath = device.miner_config_path
    before = snapshot(mpath), snapshot(net_path)
    miner_sections = without(FULL_CONFIG, "network")
    cases = [
        ({"type": "config", "ok": False, "message": "no configuration for this device"},
         "Request config failed - no configuration for this device"),
        (dict(FULL_CONFIG, network=dict(STATIC_NET, ip="192.0.2.300")),
         "Failed to parse net config request - 192.0.2.300"),
        (dict(FULL_CONFIG, network=dict(STATIC_NET, hostname="rig 9")),
         "Failed to parse net config request - rig 9"),
        # A refused miner section (the last one, or one in the middle) leaves
        # the sections before it unstored too.
        (dict(miner_sections, watchdog={"min_hr": 400}), "Failed to parse watchdog req"),
        (dict(miner_sections, chains=[dict(FULL_CONFIG["chains"][0], id="7")]),
         "Invalid chain id: 7"),
        (dict(miner_sections, pools={"reserved": FULL_CONFIG["pools"]["main"]}),
         "Pools configuration failed, at least the main pool must be"),
    ]
    for msg, error in cases:
        since = len(agent.log_text())
        server.send(msg)
        config_handled(server, {})
        refusals_logged(agent, since, [error])
        assert (snapshot(mpath), snapshot(net_path)) == before, error
    assert not [m for m in server.messages() if m.get("type") == "config"]

    server.send(FULL_CONFIG)
    config_handled(server, FULL_CONFIG["watchdog"])
    wait_restarts(device, agent, 1)
    assert net_path.read_text() == NETWORK_CONF.replace("rig7", "rig9").replace(".10", ".30")
    stored = check_layout(mpath.read_text())
    assert stored["pools"] == [{"url": POOL_C, "user": "farm.w9", "pass": "x9"},
                               {"url": "", "user": "", "pass": ""},
                               {"url": "", "user": "", "pass": ""}]
    assert (stored.get("bitmain-fan-ctrl"), stored["bitmain-fan-pwm"]) == (True, "60")
    assert (stored["bitmain-autodownscale-profile"], stored["bitmain-freq"],
            stored["bitmain-voltage"]) == ("3", "400", "9")
    assert [(stored["bitmain-freq%d" % c], stored["bitmain-voltage%d" % c])
            for c in range(1, 5)] == [("0", "0"), ("410", "9"), ("0", "0"), ("0", "10")]
    assert chip_freqs(stored) == {(2, 5): 420}
    assert (stored.get("bitmain-autodownscale"), stored.get("bitmain-autodownscale-watchtimer"),
            stored["bitmain-autodownscale-min"]) == (True, None, "350")
    assert (stored.get("bitmain-tempoff"), stored["bitmain-minhr"]) == ("90", "0")

    assert "network.sh restart" not in device.commands()
    assert server.connections() == 1
    check_restarts(device, agent, 1)


# ------------------------------------------- the full configuration and the watcher

@pytest.mark.device(miner_config=True)
def test_full_config_profile_notice_matches_the_chains(device, server, start_agent):
    """Profile "3" and a chains section in one full configuration: whatever
    the agent tells the server about the chains must be what it stored."""
    session(device, server, start_agent)
    since = server.mark()
    server.send(without(FULL_CONFIG, "network"))
    config_handled(server, FULL_CONFIG["watchdog"])
    stored = miner_conf(device)
    assert (stored["bitmain-freq2"], chip_freqs(stored)) == ("410", {(2, 5): 420})
    # The chains the section left reset reach the server with the whole view.
    server.wait_message("update_config", where=lambda m: "chains" in m and "pools" in m,
                        since=since, timeout=10)
    notices = [m for m in messages_since(server, since)
               if m.get("type") == "update_config" and "chains" in m]
    for notice in notices:
        assert notice["chains"][1] == {"id": "2", "use_global_freq": False,
                                       "use_global_volt": False, "freq": 410, "volt": 9,
                                       "chips": [{"id": "5", "freq": 420}]}, notice


@pytest.mark.parametrize("who", ["outside", "full-config"])
@pytest.mark.device(miner_config=True)
def test_network_change_reported_despite_own_miner_write(device, server, start_agent, who):
    """A network.conf written just before the agent writes cgminer.conf:
    by someone else, then a pool change; or by the full configuration's
    network section, then its miner sections."""
    net_path = device.root / "config" / "network.conf"
    net_path.write_text(NETWORK_CONF)
    agent = session(device, server, start_agent)
    pools = {"main": {"stratum_url": POOL_A, "worker": "farm.w1"}}
    if who == "outside":
        kvtest.write_atomic(net_path, NETWORK_CONF.replace("rig7", "rig9"))
        assert request(server, dict(pools, type="config_pools")) is True
    else:
        server.send({"type": "config", "network": dict(STATIC_NET, hostname="rig9"),
                     "pools": pools})
        config_handled(server, {})
    wait_restarts(device, agent, 1)
    assert net_path.read_text().startswith("hostname=rig9\n")
    upload = server.wait_message("update_config", where=lambda m: "pools" in m, timeout=10)
    assert upload["network"]["hostname"] == "rig9"
