"""The development server's page (devserver.py web) in headless Chromium:
what it shows is what the server's record holds, it follows the record as it
grows, and its commands go through the control socket to the agent."""

import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import types
import urllib.error
import urllib.request

import browser
import kvtest
import webpage
from kvdev.devctl import DevCtl
from kvdev.runners import WebPage

DEV_A = "0000000000000000-02AA00000001"
DEV_B = "0000000000000000-02AA00000002"
DEV_C = "0000000000000000-02AA00000003"
POOL = {"boost": False, "difficulty": "131K", "accepted": 12, "rejected": 1, "stale": 0,
        "status": "active"}


def auth(dev):
    return {"type": "auth", "api_key": "k" * 32, "device_id": dev, "model": "antminer-l3plus"}


def status(name, accepted):
    return {"type": "status", "uptime": 100, "state": {"name": name},
            "pools": {"main": dict(POOL, accepted=accepted), "service_fee": []}}


def metrics(ghs, temps, rpm=4200):
    return {"type": "metrics", "hash_rate": ghs, "hashrate_avg": ghs, "temp": max(temps) - 1,
            "watt": 800.0, "hw_errors": 0,
            "fans": [{"id": "1", "speed": 70, "rpm": rpm}, {"id": "2", "speed": 69, "rpm": rpm - 60}],
            "chains": [{"id": str(i + 1), "num_chips": 72, "hash_rate": ghs / 4, "freq": 384.0,
                        "volt": 8.9, "watt": 200.0, "hw_errors": 0, "chip_temp": t,
                        "pcb_temp": 50} for i, t in enumerate(temps)]}


def synthetic_record(t0):
    """Two server runs: conn 1 is device A's in the first, device B's in the
    second; A comes back on conn 2; C logs in and is closed."""
    ev = [
        ("listening", None, {"host": "127.0.0.1", "port": 8443, "auth": "accept"}),
        ("connect", 1, {"peer": "192.0.2.10:40000"}),
        ("message", 1, {"msg": auth(DEV_A)}),
        ("sent", 1, {"text": '{"type": "auth", "ok": true}'}),
        ("message", 1, {"msg": status("mining", 5)}),
        ("message", 1, {"msg": metrics(0.5012, [60, 61, 62, 63])}),
        ("listening", None, {"host": "127.0.0.1", "port": 8443, "auth": "accept"}),
        ("connect", 1, {"peer": "192.0.2.11:40000"}),
        ("message", 1, {"msg": auth(DEV_B)}),
        ("message", 1, {"msg": status("initializing", 0)}),
        ("message", 1, {"msg": metrics(0.0, [50, 51, 52, 53], rpm=3000)}),
        ("connect", 2, {"peer": "192.0.2.10:40002"}),
        ("message", 2, {"msg": auth(DEV_A)}),
        ("message", 2, {"msg": metrics(0.4987, [64, 70, 62, 61])}),
        ("connect", 3, {"peer": "192.0.2.12:40000"}),
        ("message", 3, {"msg": auth(DEV_C)}),
        ("message", 3, {"msg": None, "raw": "not json"}),
        ("close", 3, {"code": 1000, "reason": "", "initiated_by": "agent"}),
    ]
    return [dict({"t": t0 + i * 0.5, "conn": c, "event": e}, **f) for i, (e, c, f) in enumerate(ev)]


class FakeControl:
    """A control socket that answers every request with ok and keeps them."""

    def __init__(self, path):
        self.requests = []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(str(path))
        self.sock.listen(8)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn, conn.makefile("rwb") as f:
                for line in f:
                    self.requests.append(json.loads(line))
                    f.write(b'{"ok": true, "conn": 2}\n')
                    f.flush()


def post(url, body, headers):
    req = urllib.request.Request(url + "api/send", data=body, method="POST", headers=headers)
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(req, timeout=10) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as exc:
        return exc.code, json.loads(exc.read())


def test_page_shows_the_record_and_sends_through_the_control_socket(tmp_path):
    path = tmp_path / "record.jsonl"
    events = synthetic_record(time.time() - 20)
    path.write_text("".join(json.dumps(e) + "\n" for e in events))
    control = FakeControl(tmp_path / "control.sock")
    server = types.SimpleNamespace(dir=tmp_path, record_path=path,
                                   control_path=tmp_path / "control.sock")
    page = WebPage(server).start()
    try:
        with browser.Browser() as b:
            b.open(page.url)
            rows = webpage.wait_rows(b, 3, with_metrics=False)
            webpage.check_rows(rows, events)
            by_id = {r["id"]: r for r in rows}
            assert [by_id[d]["cells"]["connections"] for d in (DEV_A, DEV_B, DEV_C)] == \
                ["2", "1", "1"]
            assert [by_id[d]["connected"] for d in (DEV_A, DEV_B, DEV_C)] == [True, True, False]
            assert by_id[DEV_A]["cells"]["hottest"] == "70 °C"
            b.screenshot(webpage.SHOTS / "page-three-devices.png")

            # The record grows: the page follows without a reload.
            more = [{"t": time.time(), "conn": 1, "event": "message",
                     "msg": metrics(0.4731, [55, 56, 57, 58])}]
            with open(path, "a") as f:
                f.write(json.dumps(more[0]) + "\n")
            b.wait("[...document.querySelectorAll('#devices tr')].some(tr =>"
                   " tr.dataset.device === %s && tr.textContent.includes('473.1 MH/s'))"
                   % json.dumps(DEV_B), what="the new metrics of B")
            webpage.check_rows(webpage.rows(b), events + more)

            # The pools form of device B: empty slots are left out, the
            # message goes to B through the control socket, B's answer shows.
            b.click("#devices tr[data-device='%s']" % DEV_B)
            webpage.detail_shown(b, DEV_B)
            b.eval("""(() => { const f = document.querySelector('#pools-form').elements;
              for (const e of f) if (e.name) e.value = '';
              f['main.stratum_url'].value = 'stratum+tcp://pool-a.example.invalid:3333';
              f['main.worker'].value = 'farm.w1';
              f['reserved.stratum_url'].value = 'stratum+tcp://pool-b.example.invalid:25';
              f['reserved.worker'].value = 'farm.w2'; f['reserved.password'].value = 'p2'; })()""")
            b.click("#pools-form button[type=submit]")
            kvtest.wait_for(lambda: control.requests, 10, what="the control request")
            assert control.requests == [{"cmd": "send", "device": DEV_B, "message": {
                "type": "config_pools",
                "main": {"stratum_url": "stratum+tcp://pool-a.example.invalid:3333",
                         "worker": "farm.w1", "password": ""},
                "reserved": {"stratum_url": "stratum+tcp://pool-b.example.invalid:25",
                             "worker": "farm.w2", "password": "p2"}}}]
            b.wait("document.querySelector('#send-result').dataset.state === 'sent'",
                   what="the page to say it sent")
            with open(path, "a") as f:
                f.write(json.dumps({"t": time.time() + 0.1, "conn": 1, "event": "message",
                                    "msg": {"type": "config_pools", "ok": True}}) + "\n")
            b.wait("document.querySelector('#send-result').dataset.state === 'replied'",
                   what="the answer to show")
            assert '"ok":true' in b.eval("document.querySelector('#send-result').textContent")
            assert b.errors() == []

        # Only the page's own commands, only as JSON from its own origin,
        # only for a host named by address.
        good = json.dumps({"device": DEV_A, "message": {"type": "stop_mining"}}).encode()
        js = {"Content-Type": "application/json"}
        cases = [
            (good, dict(js, Origin="http://evil.example"), 403),
            (good, dict(js, Host="rebound.example:8080"), 403),
            (good, {"Content-Type": "text/plain"}, 415),
            (json.dumps({"device": DEV_A, "message": {"type": "reboot"}}).encode(), js, 400),
            (b"{not json", js, 400),
            (good, js, 200),
        ]
        for body, headers, code in cases:
            got, answer = post(page.url, body, headers)
            assert got == code, (headers, body, answer)
        assert control.requests[-1] == {"cmd": "send", "device": DEV_A,
                                        "message": {"type": "stop_mining"}}
        assert len(control.requests) == 2
    finally:
        page.stop()
        control.sock.close()


def read_until(path, pattern, proc, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        m = re.search(pattern, path.read_text(errors="replace"), re.M)
        if m:
            return m
        if proc.poll() is not None:
            break
        time.sleep(0.2)
    raise AssertionError("no %r in the fleet's output:\n%s" % (pattern, path.read_text()[-4000:]))


def test_page_with_a_fleet(tmp_path):
    """Three devices of the fleet script: the list matches the record, a
    dropped connection counts as a second login, and commands from the page
    reach the agent: new pools land in the device's cgminer.conf, the miner
    stops and starts."""
    out = tmp_path / "fleet"
    log = tmp_path / "fleet.out"
    with open(log, "w") as f:
        fleet = subprocess.Popen([kvtest.PYTHON, kvtest.DEVTOOLS / "fleet.py", "3", "steady", "600",
                                  "--warmup", "0", "--seed", "5", "--web", "0", "--out", out],
                                 stdout=f, stderr=subprocess.STDOUT, env=kvtest.python_env())
    try:
        url = read_until(log, r"page at (\S+)", fleet, 120).group(1)
        rec = read_until(log, r"\(record (\S+)\)", fleet, 10).group(1)
        control = str(os.path.join(os.path.dirname(rec), "control.sock"))
        with browser.Browser() as b:
            b.open(url)
            webpage.wait_rows(b, 3, timeout=90 * kvtest.TIME_SCALE)
            rows = webpage.rows(b)
            webpage.check_rows(rows, webpage.record(rec))
            b.screenshot(webpage.SHOTS / "fleet-three-devices.png")

            dev = sorted(r["id"] for r in rows)[1]
            with DevCtl(control, device=dev) as ctl:
                ctl.drop()
            b.wait("[...document.querySelectorAll('#devices tr')].some(tr =>"
                   " tr.dataset.device === %s && tr.dataset.connected === 'true'"
                   " && tr.querySelector('[data-field=connections]').textContent === '2')"
                   % json.dumps(dev), 60 * kvtest.TIME_SCALE, what="the second login of " + dev)
            webpage.check_rows(webpage.rows(b), webpage.record(rec))

            b.click("#devices tr[data-device='%s']" % dev)
            webpage.detail_shown(b, dev)
            b.eval("""(() => { const f = document.querySelector('#pools-form').elements;
              f['main.stratum_url'].value = 'stratum+tcp://page-pool.example.invalid:3333';
              f['main.worker'].value = 'page.worker1'; })()""")
            text = webpage.send_and_wait_reply(b)
            assert '"ok":true' in text, text
            # Device i has the MAC 02:4b:56 + i, which ends its id.
            conf = json.loads((out / ("dev%03d" % int(dev[-6:], 16)) / "root" / "config" /
                               "cgminer.conf").read_text())
            assert conf["pools"][0]["url"] == "stratum+tcp://page-pool.example.invalid:3333"
            assert conf["pools"][0]["user"] == "page.worker1"
            b.screenshot(webpage.SHOTS / "fleet-pools-sent.png")
            for command in ("stop_mining", "start_mining"):
                assert '"ok":true' in webpage.send_and_wait_reply(b, command)
            shown = webpage.messages_shown(b)
            assert [m["type"] for m in shown if m["dir"] == "out"][:3] == \
                ["start_mining", "stop_mining", "config_pools"], shown
            assert b.errors() == []
            b.screenshot(webpage.SHOTS / "fleet-commands.png")
    finally:
        if fleet.poll() is None:
            fleet.send_signal(signal.SIGTERM)
        try:
            fleet.wait(120)
        except subprocess.TimeoutExpired:
            fleet.kill()
            fleet.wait()
    assert "stopping 3 devices" in log.read_text()
