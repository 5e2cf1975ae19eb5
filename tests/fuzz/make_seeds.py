#!/usr/bin/python3
"""Writes the starting corpora of the fuzzing harnesses into corpus/<harness>/.

The seeds have the real shapes: the server's messages as the end-to-end tests
and the development server send them, the miner configuration of the
end-to-end tests, answers and chip dumps of the simulated miner
(devtools/kvdev/minersim.py), network.conf files as the device writes them.
Run it once to (re)create the seeds; scripts/fuzz.sh only reads them, and
FUZZ_MERGE=1 adds what a run found.
"""
import importlib.util
import json
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
OUT = HERE / "corpus"


def load_minersim():
    path = REPO / "devtools" / "kvdev" / "minersim.py"
    spec = importlib.util.spec_from_file_location("minersim", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def put(harness, name, data):
    d = OUT / harness
    d.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    (d / ("seed-" + name)).write_bytes(data)


def js(obj):
    return json.dumps(obj, separators=(",", ":"))


MINER_CONFIG = {
    "pools": [
        {"url": "stratum+tcp://pool.example.invalid:3333", "user": "kvtest.worker1", "pass": "x"},
        {"url": "stratum+tcp://backup.example.invalid:3333", "user": "kvtest.worker2",
         "pass": "x"},
    ],
    "api-listen": True, "api-network": True,
    "api-groups": "A:stats:pools:devs:summary:version", "api-allow": "A:0/0,W:*",
    "bitmain-use-vil": True, "bitmain-freq": "384",
    "bitmain-freq1": "0", "bitmain-freq2": "0", "bitmain-freq3": "0", "bitmain-freq4": "0",
    "bitmain-voltage": "0725", "multi-version": "1",
}
CHIP_FREQS = {(1, 7): 396, (2, 3): 400, (4, 72): 425}
TUNED_CONFIG = dict(MINER_CONFIG, **{
    "bitmain-freq2": "410", "bitmain-voltage1": "9",
    "bitmain-chip-freq": ":".join(str(CHIP_FREQS.get((c, k), 0))
                                  for c in range(1, 5) for k in range(1, 73)),
})
FULL_MINER_CONFIG = dict(TUNED_CONFIG, **{
    "bitmain-fan-ctrl": True, "bitmain-fan-pwm": "55", "bitmain-target-temp": "72",
    "bitmain-silentstart": True, "bitmain-autodownscale": True,
    "bitmain-autodownscale-watch": True, "bitmain-autodownscale-watchtimer": True,
    "bitmain-autodownscale-timer": "5", "bitmain-autodownscale-step": "3",
    "bitmain-autodownscale-min": "350", "bitmain-autodownscale-prec": "80",
    "bitmain-autodownscale-after": "4", "bitmain-autodownscale-hw": "10",
    "bitmain-autodownscale-profile": "3", "bitmain-minhr": "400", "bitmain-maxx": "3",
    "bitmain-tempoff": "95",
})

POOL_A = "stratum+tcp://pool-a.example.invalid:3333"
POOL_C = "stratum+tcp://pool-c.example.invalid:3334"
STATIC_NET = {"mode": "static", "ip": "192.0.2.10", "netmask": "255.255.255.0",
              "gateway": "192.0.2.1", "hostname": "rig7", "dnsservers": ["192.0.2.53"]}
AUTOTUNER = {"stage1": True, "stage2": True, "stage3": True, "stage3_interval": 5,
             "downclock_step": 3, "min_freq": 350, "hashrate_deviation": 80, "test_time": 4,
             "down_freq_hw": 10}
POOLS = {"main": {"stratum_url": POOL_A, "worker": "farm.w1", "password": "x"},
         "reserved": {"stratum_url": POOL_C, "worker": "farm.w2", "password": "x"}}
CHAIN = {"id": "2", "use_global_freq": False, "use_global_volt": False, "freq": 410, "volt": 9,
         "chips": [{"id": "5", "freq": 420}, {"id": "72", "freq": 0}]}
FANS = {"mode": "manual", "speed": 60, "target_temp": 70, "silent_start": False}
PERF = {"profile": "3", "freq": 400, "volt": 9}
WATCHDOG = {"min_hr": "400", "max_xchips": "3", "max_temp": "95"}
FULL_CONFIG = {
    "type": "config", "ok": True,
    "network": dict(STATIC_NET, ip="192.0.2.30", hostname="rig9"),
    "pools": {"main": {"stratum_url": POOL_C, "worker": "farm.w9", "password": "x9"}},
    "fans": FANS, "perf": PERF,
    "chains": [CHAIN, {"id": "4", "use_global_freq": True, "use_global_volt": False,
                       "freq": 500, "volt": 10, "chips": []}],
    "autotuner": dict(AUTOTUNER, stage3=False), "watchdog": {"max_temp": "90"},
}

MESSAGES = {
    "auth-ok": {"type": "auth", "ok": True},
    "auth-registration": {"type": "auth", "ok": True, "registration": True},
    "auth-refused": {"type": "auth", "ok": False, "message": "unknown device"},
    "update-config-ack": {"type": "update_config", "ok": True},
    "status": {"type": "status"},
    "logs": {"type": "logs", "request_id": "r-1"},
    "chip-metrics": {"type": "chip_metrics", "request_id": "r-2", "chain_id": "3"},
    "config-pools": dict(POOLS, type="config_pools"),
    "config-chain": dict(CHAIN, type="config_chain"),
    "config-fans": dict(FANS, type="config_fans"),
    "config-watchdog": dict(WATCHDOG, type="config_watchdog"),
    "config-perf": {"type": "config_perf", "perf": PERF, "autotuner": AUTOTUNER},
    "config-autotuner": dict(AUTOTUNER, type="config_autotuner", reset_chips=True),
    "config-network-static": dict(STATIC_NET, type="config_network"),
    "config-network-dhcp": {"type": "config_network", "mode": "dhcp", "hostname": "rig-9.farm"},
    "config-web-access": {"type": "config_web_access", "new_password": "n3w:P\u00e4ss"},
    "config-full": FULL_CONFIG,
    "config-failed": {"type": "config", "ok": False, "message": "no configuration"},
    "reboot": {"type": "reboot"},
    "start-mining": {"type": "start_mining"},
    "stop-mining": {"type": "stop_mining"},
    "update-firmware": {"type": "update_firmware", "url": "https://fw.example.invalid/x.tar.gz"},
    "error": {"ok": False, "message": "bad request"},
    "unknown": {"type": "zz_unknown"},
}


def dispatch_seeds():
    for name, msg in MESSAGES.items():
        put("fuzz_dispatch", name, b"\0" + js(msg).encode())
    # A session: login, then commands; one in small fragments.
    put("fuzz_dispatch", "session", b"\0" + b"\0".join(
        js(m).encode() for m in (MESSAGES["auth-registration"], MESSAGES["update-config-ack"],
                                 MESSAGES["config-pools"], MESSAGES["chip-metrics"])))
    put("fuzz_dispatch", "fragments", b"\x07" + js(MESSAGES["config-chain"]).encode())
    put("fuzz_dispatch", "not-json", b"\0{\"type\":")


def sections_seeds():
    # Selector byte: section + 12 * argument (see fuzz_sections.cpp).
    sections = ["pools", "pool", "chains", "chain", "chips", "watchdog", "fans", "perf",
                "autotuner", "network", "web_access", "model_keys"]
    sec = {n: i for i, n in enumerate(sections)}
    items = [
        ("pools", 0, POOLS), ("pool", 1, POOLS["main"]), ("pool", 3, POOLS["main"]),
        ("chains", 0, FULL_CONFIG["chains"]), ("chain", 0, CHAIN),
        ("chips", 2, CHAIN["chips"]), ("chips", 4, [{"id": "1", "freq": 65535}]),
        ("watchdog", 0, WATCHDOG), ("fans", 0, FANS),
        ("fans", 0, {"mode": "auto", "speed": 80, "target_temp": 72, "silent_start": True}),
        ("perf", 0, PERF), ("perf", 0, {"profile": "0", "freq": 390, "volt": 8}),
        ("autotuner", 0, AUTOTUNER), ("autotuner", 0, dict(AUTOTUNER, reset_chips=True)),
        ("network", 0, STATIC_NET), ("network", 0, {"mode": "dhcp", "hostname": ""}),
        ("web_access", 0, {"new_password": "old secret"}),
        ("model_keys", 0, FULL_MINER_CONFIG),
    ]
    for i, (name, arg, value) in enumerate(items):
        put("fuzz_sections", "%02d-%s" % (i, name), bytes([sec[name] + 12 * arg]) + js(value).encode())


def miner_config_seeds():
    put("fuzz_miner_config", "default", json.dumps(MINER_CONFIG, indent=2))
    put("fuzz_miner_config", "tuned", json.dumps(TUNED_CONFIG, indent=2))
    put("fuzz_miner_config", "full", json.dumps(FULL_MINER_CONFIG, indent=2))
    put("fuzz_miner_config", "no-pools", js({"bitmain-freq": "384"}))
    put("fuzz_miner_config", "empty-pool", js(dict(MINER_CONFIG, pools=[
        {"url": "", "user": "", "pass": ""}])))


def network_seeds():
    put("fuzz_network_config", "static",
        'hostname=rig7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
        'gateway=192.0.2.1\ndnsservers="192.0.2.53 192.0.2.54"\n')
    put("fuzz_network_config", "dhcp", "hostname=antminer\ndhcp=true\n")
    put("fuzz_network_config", "comments",
        "# device network\nhostname=\nDHCP=false # static\nipaddress=192.0.2.20\r\n")


def api_seeds(minersim):
    rng = random.Random(7)
    model = minersim.Model(MINER_CONFIG, 0.0, rng)
    model.tick()
    put("fuzz_api", "stats", model.stats_answer() + "\0")
    put("fuzz_api", "stats-stock", model.stats_answer(stock=True) + "\0")
    put("fuzz_api", "pools", model.pools_answer() + "\0")
    model.set_dead([1])
    put("fuzz_api", "pools-dead", model.pools_answer() + "\0")
    put("fuzz_api", "error", js(minersim.error_answer(14, "Invalid command")) + "\0")
    return model


def chip_seeds(model):
    put("fuzz_chip_hr", "dump", json.dumps(model.chip_dump()))
    put("fuzz_chip_hr", "partial", js({"chiphr": [{"Asic00": "1.5", "Asic71": "inf"}, None]}))


def url_seeds():
    for i, u in enumerate(["wss://api.example.invalid:8443/agent?x=1",
                           "wss://api.example.invalid/agent", "https://example.invalid",
                           "ws://127.0.0.1:9000/", "stratum+tcp://pool.example.invalid:3333"]):
        put("fuzz_url", "%d" % i, u)


def main():
    minersim = load_minersim()
    dispatch_seeds()
    sections_seeds()
    miner_config_seeds()
    network_seeds()
    model = api_seeds(minersim)
    chip_seeds(model)
    url_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
