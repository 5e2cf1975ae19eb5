"""Miner supervision inside the device sandbox: the agent's process control
against the device's scripts, and its API client, snapshot and pool parsing
against the simulated miner. Driven by build/tests/e2e/drivers/kvminerctl,
which runs the agent's own miner code step by step."""

import json
import re

import pytest

import kvtest

CTL_REL = "tests/e2e/drivers/kvminerctl"
MINING, STOPPED = 1, 4
POOL_ACTIVE, POOL_ALIVE, POOL_DEAD = 1, 2, 3


def ctl_binary(build="build"):
    return kvtest.REPO / build / CTL_REL


def run_ctl(device, steps, build="build", timeout=120):
    """Runs the driver in the device's sandbox next to the simulated miner;
    returns (list of (step, value), completed process)."""
    binary = ctl_binary(build)
    if not binary.exists():
        if build == "build":
            raise AssertionError("%s not built" % binary)
        pytest.skip("%s not built" % binary)
    res = device.run([binary] + steps, miner=True, timeout=timeout)
    results = []
    for line in res.stdout.splitlines():
        m = re.match(r"RESULT (\S+) (.*)$", line)
        if m:
            results.append((m.group(1), json.loads(m.group(2))))
    return results, res


def values(results):
    return [v for _, v in results]


@pytest.mark.device(miner_config=True)
def test_process_control_runs_the_device_scripts(device):
    """Stop, a second stop, restart after the stop, start: the scripts run in
    order, the stop marker and the stop flag follow, and the snapshot's state
    and the pool lists come from the simulated miner."""
    steps = ["running", "metrics", "pools",
             "stop", "wait", "stopped", "marker", "running",
             "stop",
             "restart", "wait", "stopped", "marker", "running",
             "start", "wait", "stopped", "marker", "running", "ready", "metrics"]
    results, res = run_ctl(device, steps)
    assert [s for s, _ in results] == steps, res.stdout + res.stderr
    v = values(results)

    assert v[0] is True  # the miner the device started
    metrics = v[1]
    assert metrics["state"] == MINING
    assert [c["id"] for c in metrics["chains"]] == [1, 2, 3, 4]
    assert all(c["num_chips"] == 72 and c["hash_rate"] > 0 for c in metrics["chains"])
    assert metrics["freq"] == pytest.approx(384.0, abs=1)
    assert metrics["hashrate"] > 0 and metrics["uptime"] >= 0
    assert 1 <= len(metrics["fans"]) <= 2
    pools = v[2]
    assert pools["main"]["status"] == POOL_ACTIVE
    assert pools["reserved"]["status"] == POOL_ALIVE
    assert pools["reserved2"]["status"] == 0  # two pools configured
    assert len(pools["svc_fee"]) == 1

    # stop: the web interface's stop script, then the marker
    assert v[3:8] == [0, True, True, "1\n", False]
    # a second stop finds no miner process
    assert v[8] == 0
    # restart: the init script; flag and marker stay
    assert v[9:14] == [0, True, True, "1\n", True]
    # start while running: stop, marker removed, start
    assert v[14:20] == [0, True, False, None, True, True]
    assert v[20]["state"] == MINING

    assert device.commands() == [
        "cgminer.sh start",  # the device's own start, before the driver
        "stop_cgminer.cgi",
        "cgminer.sh restart",
        "cgminer.sh stop",
        "cgminer.sh start",
    ]
    out = res.stdout
    assert re.search(kvtest.log_re("WARN", "Miner is not running"), out)
    order = [m.group(1) for m in re.finditer(
        r"INFO  (Restarting miner|Miner restarted|Starting miner|Miner started)", out)]
    assert order == ["Restarting miner", "Miner restarted", "Starting miner", "Miner started"]


@pytest.mark.parametrize("build", ["build", "build-asan"])
@pytest.mark.device(miner_config=True)
def test_teardown_while_a_worker_runs_a_slow_script(device, build):
    """The stop waits for a worker that is inside a slow script; a worker
    that outlasts the wait is left running and the process leaves without
    tearing down what it uses. Neither trips the sanitizers."""
    device.script_delay(3)
    results, res = run_ctl(device, ["restart", "exit"], build=build)
    assert values(results) == [0, True], res.stdout + res.stderr
    assert res.returncode == 0
    assert "Miner restarted" in res.stdout
    assert "Sanitizer" not in res.stderr, res.stderr

    results, res = run_ctl(device, ["restart", "exit:1"], build=build)
    assert values(results) == [0, False], res.stdout + res.stderr
    assert res.returncode == 0
    assert "Miner worker still running, exiting without cleanup" in res.stdout
    assert "Sanitizer" not in res.stderr, res.stderr


# What the snapshot and pool statistics make of a misbehaving miner.
MODES = [
    # mode, snapshot?, pools?, error lines expected in the output
    ("garbage", False, False, ["Failed to parse API response:"]),
    ("empty", False, False, ["Failed to parse API response:"]),
    ("hang", False, False, ["Failed to receive API response: Connection timed out"]),
    ("trickle", False, False, ["Failed to receive API response: Connection timed out"]),
    ("die", False, False, ["Connection failed to API at 127.0.0.1:4028"]),
    ("stock", False, True, ["Failed to unpack global metrics"]),
    ("huge", True, True, []),
]


@pytest.mark.parametrize("mode,snapshot,pools,errors", MODES, ids=[m[0] for m in MODES])
@pytest.mark.device(miner_config=True)
def test_misbehaving_miner(device, mode, snapshot, pools, errors):
    device.miner_control(mode=mode, trickle_delay=0.05)
    results, res = run_ctl(device, ["metrics", "pools", "exit"])
    v = values(results)
    assert (v[0] is not None) == snapshot, res.stdout
    assert (v[1] is not None) == pools, res.stdout
    assert res.returncode == 0
    for e in errors:
        assert e in res.stdout, res.stdout
    if snapshot:
        assert v[0]["state"] == MINING


# ----------------------------------------------------------- configuration files

NETWORK_CONF = ('hostname=rig7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
                'gateway=192.0.2.1\ndnsservers="192.0.2.53 192.0.2.54"\n')


@pytest.mark.device(miner_config=dict(kvtest.DEFAULT_MINER_CONFIG,
                                      **{"bitmain-autodownscale": True, "api-allow-x": False}))
def test_transaction_and_views_on_the_device_files(device):
    """A pool change stored through a transaction on /config/cgminer.conf,
    the server's views of both configuration files, the auto-tune flag."""
    (device.root / "config" / "network.conf").write_text(NETWORK_CONF)
    new_url = "stratum+tcp://third.example.invalid:3333"
    steps = ["autotune", "begin", "pool:2,%s,farm.w3,x" % new_url, "pool:1,%s,farm.w3,x" % new_url,
             "end", "end", "view", "autotune", "netview", "pool:0,a,b,c"]
    # The watcher runs throughout: the transaction's own write is not reported.
    results, res = run_ctl(device, ["watch"] + steps + ["sleep:4.5", "unwatch"])
    assert [s for s, _ in results] == (["watch"] + [s.split(":")[0] for s in steps]
                                       + ["sleep", "unwatch"]), res.stdout
    results = results[1:-2]
    v = values(results)
    assert v[:6] == [False, 0, 1, 1, 1, 0], res.stdout
    view, net = v[6], v[8]
    assert view["pools"]["reserved2"] == {"stratum_url": new_url, "worker": "farm.w3",
                                          "password": "x"}
    assert view["pools"]["reserved"]["stratum_url"] == new_url
    assert view["autotuner"]["stage1"] is True
    assert [c["freq"] for c in view["chains"]] == [384] * 4
    assert v[7] is True  # the view refreshed the flag
    assert net == {"network": {"mode": "static", "hostname": "rig7", "ip": "192.0.2.10",
                               "netmask": "255.255.255.0", "gateway": "192.0.2.1",
                               "dnsservers": ["192.0.2.53", "192.0.2.54"]}}
    assert v[9] == -1 and "Miner config is not loaded!" in res.stdout

    text = device.miner_config_path.read_text()
    stored = json.loads(text)
    assert [p["url"] for p in stored["pools"]][2] == new_url
    assert "api-allow-x" not in stored and list(stored)[-1] == "multi-version"
    assert stored["api-groups"] == kvtest.DEFAULT_MINER_CONFIG["api-groups"]
    assert all(not line.startswith((" ", "\t")) for line in text.splitlines())
    assert '"api-groups" : "A:' in text


@pytest.mark.device(miner_config=None)
def test_no_configuration_files(device):
    results, res = run_ctl(device, ["begin", "view", "netview"])
    assert values(results) == [-1, None, None], res.stdout
    for line in ("Failed to load cgminer config from /config/cgminer.conf",
                 "Failed to load miner config /config/cgminer.conf",
                 "Failed to load network config /config/network.conf"):
        assert line in res.stdout, res.stdout
