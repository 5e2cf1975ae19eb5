"""The demo (scripts/demo.sh) from its start to its own orderly stop.

The demo has fixed names (namespace kvdemo, work folder /tmp/kvagent-demo,
lock /tmp/kvagent-demo.lock): the test is skipped while a demo runs, and it
leaves neither a namespace nor a process behind.
"""

import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

import browser
import kvtest
import webpage
from kvdev import schemas

DEMO = kvtest.REPO / "scripts" / "demo.sh"
WORK = Path("/tmp/kvagent-demo")
LOCK = Path("/tmp/kvagent-demo.lock")
NS = "kvdemo"
SECONDS = 80
# The demo's miner hashes only after a 20 s warm-up.
WARMUP = 20
# install-deps (nothing to install) and an incremental build come first.
TIMEOUT = 900

CONFIG_MEMBERS = {"pools", "fans", "perf", "chains", "autotuner", "watchdog", "network"}
CONFIG_ACK = {"type": "update_config", "ok": True}


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return [line.split()[0] for line in out.splitlines() if line.strip()]


def processes_using(text):
    """Host pids whose command line mentions `text` (this process aside)."""
    pids = []
    for d in Path("/proc").iterdir():
        if not d.name.isdigit() or int(d.name) == os.getpid():
            continue
        try:
            cmd = (d / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if text in cmd:
            pids.append(int(d.name))
    return pids


@pytest.fixture
def demo_slot(_sandbox_ok):
    """The demo's names are free: no namespace kvdemo, nobody holding the
    demo's lock. Afterwards nothing of the demo is left."""
    if NS in namespaces():
        pytest.skip("namespace %s exists: a demo is running (or was killed; remove it "
                    "with devtools/sandbox netns-down %s)" % (NS, NS))
    if LOCK.exists():
        with open(LOCK, "a") as f:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                pytest.skip("a demo is running (%s is locked)" % LOCK)
    yield
    if NS in namespaces():
        subprocess.run([str(kvtest.SANDBOX), "netns-down", NS], capture_output=True)


def run_demo(during=None):
    """DEMO_SECONDS=80 bash scripts/demo.sh -> (status, output). during(url)
    runs while the demo does, with the address of its page; what it raises
    is raised once the demo has ended."""
    env = dict(os.environ, DEMO_SECONDS=str(SECONDS), DEMO_WEB_PORT="0")
    out_path = WORK.parent / "kvagent-demo-test.out"
    out_file = open(out_path, "w+")
    proc = subprocess.Popen(["bash", str(DEMO)], env=env, stdin=subprocess.DEVNULL,
                            stdout=out_file, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    failure = None
    try:
        if during is not None:
            try:
                url = kvtest.wait_for(lambda: proc.poll() is not None or re.search(
                    r"^demo: the live page: open (\S+) ", out_path.read_text(), re.M),
                    TIMEOUT, interval=0.2, what="the demo's page")
                if not hasattr(url, "group"):
                    raise AssertionError("the demo ended before its page was up")
                during(url.group(1))
            except Exception as exc:  # the demo still ends in order first
                failure = exc
        proc.wait(timeout=TIMEOUT)
        out_file.seek(0)
        out = out_file.read()
    except subprocess.TimeoutExpired:
        # Its own orderly stop first, then whatever of its group is left.
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        out_file.seek(0)
        raise AssertionError("the demo did not end within %d s:\n%s"
                             % (TIMEOUT, out_file.read()[-6000:]))
    finally:
        out_file.close()
        out_path.unlink(missing_ok=True)
    if failure is not None:
        raise failure
    return proc.returncode, out


def record():
    events = []
    for line in (WORK / "server.jsonl").read_text().splitlines():
        if line.endswith("}"):
            events.append(json.loads(line))
    return events


def miner_start():
    """When the simulated miner started (its log, whole seconds)."""
    log = (WORK / "root" / "var" / "log" / "minersim.log").read_text()
    m = re.search(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) minersim\[\d+\]: listening ", log, re.M)
    assert m, log
    return time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"))


def messages(events, mtype):
    return [(i, e) for i, e in enumerate(events)
            if e["event"] == "message" and isinstance(e["msg"], dict)
            and e["msg"].get("type") == mtype]


def look_at_the_page(url):
    """The demo's page in a browser: the device as the record has it, with
    its charts and messages, and a command from the page answered."""
    with browser.Browser() as b:
        b.open(url)
        # Mining: the miner's 20 s warm-up and the next metrics.
        b.wait("(() => { const r = %s; return r.length === 1 && r[0].cells.state === 'mining'"
               " && r[0].metrics_t !== null && r[0].cells.hash_rate !== '0.0 MH/s'; })()"
               % webpage.ROWS_JS, 60 * kvtest.TIME_SCALE, what="the device mining on the page")
        rows = webpage.rows(b)
        webpage.check_rows(rows, webpage.record(WORK / "server.jsonl"))
        webpage.detail_shown(b, rows[0]["id"])
        b.screenshot(webpage.SHOTS / "demo-device.png")
        # A status request is taken and not answered: the page says so
        # rather than taking the next periodic report for an answer.
        text = webpage.send_and_wait_reply(b, "status", expect="delivered")
        assert "does not answer" in text, text
        # Start while mining: answered, nothing else changes.
        text = webpage.send_and_wait_reply(b, "start_mining")
        assert text == 'start_mining: the agent answered {"type":"start_mining","ok":true}', text
        assert b.errors() == []
        b.screenshot(webpage.SHOTS / "demo-status-command.png")


@pytest.mark.slow
def test_demo_reaches_mining_and_stops_cleanly(demo_slot):
    status, out = run_demo(during=look_at_the_page)
    failed = "demo output (last part):\n%s" % out[-6000:]
    assert status == 0, failed
    assert re.search(r"^demo: agent exited with status 0$", out, re.M), failed

    events = record()
    desc = "\n".join(json.dumps(e)[:300] for e in events)
    assert [e["conn"] for e in events if e["event"] == "connect"] == [1], desc

    # Every message of the agent fits its schema (protocol/schemas): the
    # server checked them live, and they are checked once more here.
    assert [e["schema_check"] for e in events if e["event"] == "listening"] == [True], desc
    assert [e for e in events if e["event"] == "schema_violation"] == [], desc
    bad = [(i, err) for i, e in enumerate(events) if e["event"] == "message"
           for err in schemas.validate_agent_message(e["msg"])]
    assert bad == [], bad

    # The registration: the server asks for it, the agent uploads its
    # configuration, the server acknowledges, and only then come statuses.
    sent = [(i, json.loads(e["text"])) for i, e in enumerate(events) if e["event"] == "sent"]
    assert sent[0][1] == {"type": "auth", "ok": True, "registration": True}, desc
    uploads = messages(events, "update_config")
    assert uploads, desc
    up_i, up = uploads[0]
    assert set(up["msg"]) - {"type"} == CONFIG_MEMBERS, up["msg"]
    acks = [i for i, m in sent if m == CONFIG_ACK and i > up_i]
    assert acks, desc
    statuses = messages(events, "status")
    assert statuses and statuses[0][0] > acks[0], desc

    # The device mines once the miner's warm-up is over; the status says so.
    warm = miner_start() + WARMUP - 1  # the log has whole seconds
    mining = [e for _, e in statuses if (e["msg"].get("state") or {}).get("name") == "mining"]
    assert mining, [e["msg"].get("state") for _, e in statuses]
    assert mining[0]["t"] >= warm, (mining[0], warm)

    # Metrics with the four chains of 72 chips, hashing after the warm-up.
    metrics = [e["msg"] for _, e in messages(events, "metrics")]
    assert metrics, desc
    for m in metrics:
        assert [c["id"] for c in m["chains"]] == ["1", "2", "3", "4"], m
        assert all(c["num_chips"] == 72 for c in m["chains"]), m
    hashing = [e for _, e in messages(events, "metrics") if e["msg"]["hash_rate"] > 0]
    assert hashing, metrics
    assert hashing[0]["t"] >= warm, (hashing[0], warm)
    assert all(c["hash_rate"] > 0 for c in hashing[-1]["msg"]["chains"]), hashing[-1]

    # The page's two commands reached the agent; start_mining was answered.
    assert [m for _, m in sent if m.get("type") in ("status", "start_mining")] == \
        [{"type": "status"}, {"type": "start_mining"}], desc
    asked = [i for i, m in sent if m == {"type": "start_mining"}][0]
    assert [e["msg"] for i, e in messages(events, "start_mining") if i > asked] == \
        [{"type": "start_mining", "ok": True}], desc

    # The agent closed with 1000 when the demo stopped it.
    closes = [e for e in events if e["event"] == "close"]
    assert [(c["code"], c["initiated_by"]) for c in closes] == [(1000, "agent")], closes

    # The terminal showed the live view of all that.
    assert re.search(r"^\S+ #1 +status +mining ", out, re.M), failed
    assert re.search(r"^\S+ #1 +metrics +\d+\.\d MH/s ", out, re.M), failed
    assert re.search(r"^\S+ #1 +close +1000 \(started by agent\)$", out, re.M), failed
    m = re.search(r"agent log +(\S+)", out)
    assert m and Path(m.group(1)).is_file() and Path(m.group(1)).stat().st_size > 0, failed
    assert (WORK / "root" / "var" / "log" / "kvagent.log").stat().st_size > 0

    # Nothing is left: no namespace, no process of the demo.
    assert NS not in namespaces()
    assert processes_using(str(WORK)) == []
    agent_pid = int((WORK / "agent.pid").read_text())
    assert not Path("/proc/%d" % agent_pid).exists() or \
        Path("/proc/%d/comm" % agent_pid).read_text().strip() != "kvagent"
    shutil.rmtree(WORK, ignore_errors=True)
    LOCK.unlink(missing_ok=True)


# ------------------------------------------------------------ the live view

DEMOVIEW = kvtest.REPO / "devtools" / "demoview.py"
T0 = 1700000000.0
POOL = {"boost": False, "difficulty": "131K", "accepted": 12, "rejected": 1, "stale": 0,
        "status": "active"}
CHAIN = {"num_chips": 72, "hash_rate": 0.12566, "freq": 384.0, "volt": 8.9, "watt": 200.0,
         "hw_errors": 1, "pcb_temp": 50}
VIEW_RECORD = [
    {"event": "listening", "conn": None, "host": "127.0.0.1", "port": 8443, "auth": "register",
     "config_ack": True},
    {"event": "connect", "conn": 1, "path": "/api/v1/ws", "subprotocol": "korvane-agent",
     "extensions": ["permessage-deflate"], "peer": "127.0.0.1:40000"},
    {"event": "message", "conn": 1, "msg": {
        "type": "auth", "api_key": "demo-api-key-0123456789abcdef",
        "device_id": "0000000000000000-001122AABBCC", "model": "antminer-l3plus"}},
    {"event": "sent", "conn": 1, "text": '{"type": "auth", "ok": true, "registration": true}'},
    {"event": "message", "conn": 1, "msg": {"type": "update_config", "pools": {}, "fans": {},
                                            "network": {}}},
    {"event": "sent", "conn": 1, "text": '{"type": "update_config", "ok": true}'},
    {"event": "message", "conn": 1, "msg": {
        "type": "status", "uptime": 3725, "state": {"name": "mining"},
        "network": {"ip": "192.0.2.10"},
        "pools": {"main": POOL, "reserved": dict(POOL, status="alive"),
                  "service_fee": [POOL]}}},
    {"event": "message", "conn": 1, "msg": {"type": "status", "uptime": 5}},
    {"event": "message", "conn": 1, "msg": {
        "type": "metrics", "hash_rate": 0.50221, "hashrate_avg": 0.4979, "temp": 62,
        "watt": 801.6, "hw_errors": 3,
        "fans": [{"id": "1", "speed": 70, "rpm": 4200}, {"id": "2", "speed": 69, "rpm": 4140}],
        "chains": [dict(CHAIN, id=str(n), chip_temp=60 + n) for n in range(1, 5)]}},
    {"event": "ping", "conn": 1, "data": ""},
    {"event": "sent", "conn": 1, "text": '{"type": "reboot"}'},
    {"event": "message", "conn": 1, "msg": {"type": "reboot", "ok": False,
                                            "message": "x" * 100}},
    {"event": "message", "conn": 1, "msg": {"type": "metrics", "hash_rate": "bad"}},
    {"event": "message", "conn": 1, "msg": None, "raw": "garbage"},
    {"event": "close", "conn": 1, "code": 1000, "reason": "", "initiated_by": "agent"},
]
VIEW_LINES = [
    r"    listening 127\.0\.0\.1:8443  auth register  config ack on",
    r"#1  connect   127\.0\.0\.1:40000 /api/v1/ws \(korvane-agent, permessage-deflate\)",
    r"#1  login     dev 0000000000000000-001122AABBCC  antminer-l3plus  key demo\.\.\.cdef",
    r"#1  ->        auth ok, registration asked",
    r"#1  config    update_config: pools fans network \(\d+ B\)",
    r"#1  ->        update_config ok",
    r"#1  status    mining +up 1:02:05  main active 12/1  pools 2\+1 fee  ip 192\.0\.2\.10",
    r"#1  status    - +up 0:00:05  pools -",
    r"#1  metrics   502\.2 MH/s \(avg 497\.9\)  temp max 64C  fans 4200rpm/70% 4140rpm/69%  "
    r"chains 125\.7@61C 125\.7@62C 125\.7@63C 125\.7@64C  802 W  hw 3",
    r"#1  ->        reboot $",
    r'#1  reboot    \{"ok":false,"message":"<100 chars>"\}',
    r"#1  metrics   \? MH/s \(avg \?\)  temp max \?C  \? W  hw \?",
    r"#1  message   \(not JSON\) garbage",
    r"#1  close     1000 \(started by agent\)",
]


def record_lines(records, t0=T0):
    out = []
    for i, r in enumerate(records):
        rec = {"t": t0 + i}
        rec.update(r)
        if rec["event"] == "message" and rec["msg"] is not None:
            rec["raw"] = json.dumps(rec["msg"])
        out.append(json.dumps(rec) + "\n")
    return out


def check_view(text, expected):
    lines = text.splitlines()
    assert len(lines) == len(expected), text
    for line, rx in zip(lines, expected):
        assert re.match(r"\d\d:\d\d:\d\d %s" % rx, line), (line, rx)


def test_demoview_once(tmp_path):
    rec = tmp_path / "record.jsonl"
    # The last line is being written: left out.
    rec.write_text("".join(record_lines(VIEW_RECORD)) + '{"t": 1, "conn": 2, "event": "conn')
    r = subprocess.run([kvtest.PYTHON, DEMOVIEW, "--once", rec], capture_output=True, text=True,
                       timeout=30)
    assert r.returncode == 0, r.stderr
    check_view(r.stdout, VIEW_LINES)
    r = subprocess.run([kvtest.PYTHON, DEMOVIEW, "--once", "--pings", rec], capture_output=True,
                       text=True, timeout=30)
    assert "#1  ping" in r.stdout


def test_demoview_follows_a_growing_record(tmp_path):
    """Lines are shown as they complete; a record that does not exist yet is
    waited for; after SIGTERM what was written before is shown, then it ends."""
    rec = tmp_path / "record.jsonl"
    lines = record_lines(VIEW_RECORD[:6])
    errf = tmp_path / "stderr"
    with open(errf, "w") as err:
        view = subprocess.Popen([kvtest.PYTHON, DEMOVIEW, rec], stdout=subprocess.PIPE,
                                stderr=err, text=True)
    try:
        kvtest.wait_for(lambda: "waiting for" in errf.read_text(), 10, what="the view to wait")
        with open(rec, "w") as f:
            f.write(lines[0] + lines[1][:25])
            f.flush()
            time.sleep(0.5)  # the view may read the half line meanwhile
            f.write(lines[1][25:] + "".join(lines[2:]))
        view.send_signal(signal.SIGTERM)
        out, _ = view.communicate(timeout=10)
    finally:
        if view.poll() is None:
            view.kill()
            view.wait()
    assert view.returncode == 0, errf.read_text()
    check_view(out, VIEW_LINES[:6])
