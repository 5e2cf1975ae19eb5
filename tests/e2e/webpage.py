"""Checks of the development server's page (devserver.py web) in a real
browser, against the server's record: shared by the demo's test and the
page's own tests."""

import json
import os
import re
from pathlib import Path


# Where the tests keep their screenshots for a person to look at.
SHOTS = Path(os.environ.get("KVAGENT_SCREENSHOTS", "/tmp/kvagent-screenshots"))

ROWS_JS = """[...document.querySelectorAll('#devices tbody tr')].map(tr => ({
  id: tr.dataset.device, connected: tr.dataset.connected === 'true',
  status_t: tr.dataset.statusT === undefined ? null : Number(tr.dataset.statusT),
  metrics_t: tr.dataset.metricsT === undefined ? null : Number(tr.dataset.metricsT),
  cells: Object.fromEntries([...tr.querySelectorAll('td[data-field]')]
                            .map(td => [td.dataset.field, td.textContent]))}))"""


def record(path):
    events = []
    for line in Path(path).read_text().splitlines():
        if line.endswith("}"):
            events.append(json.loads(line))
    return events


def by_device(events):
    """(device id -> the record's events on its connections, in order, each
    with "key": (server run, connection); the number of server runs). A
    server run ("listening") starts its connection numbers over."""
    run, owner, out = 0, {}, {}
    for e in events:
        if e["event"] == "listening":
            run += 1
            continue
        msg = e.get("msg") if e["event"] == "message" else None
        key = (run, e.get("conn"))
        if isinstance(msg, dict) and msg.get("type") == "auth" and key not in owner:
            owner[key] = msg["device_id"]
        if key in owner:
            out.setdefault(owner[key], []).append(dict(e, key=key))
    return out, run


def received(evs, mtype, t):
    """The message of this type the server received at time t."""
    found = [e["msg"] for e in evs if e["event"] == "message" and isinstance(e["msg"], dict)
             and e["msg"].get("type") == mtype and abs(e["t"] - t) < 1e-6]
    assert len(found) == 1, (mtype, t, found)
    return found[0]


def check_rows(rows, events):
    """Every row shows what the record has for its device: the status and the
    metrics the row names by their time, the logins, the connection state."""
    devs, last_run = by_device(events)
    assert sorted(r["id"] for r in rows) == sorted(devs), (rows, sorted(devs))
    for row in rows:
        evs, cells = devs[row["id"]], row["cells"]
        logins = [e for e in evs if e["event"] == "message" and isinstance(e["msg"], dict)
                  and e["msg"].get("type") == "auth"]
        assert cells["connections"] == str(len(logins)), row
        key = logins[-1]["key"]
        open_now = key[0] == last_run and not any(
            e["event"] == "close" and e["key"] == key for e in evs)
        assert row["connected"] == open_now, (row, key)
        if row["status_t"] is not None:
            st = received(evs, "status", row["status_t"])
            assert cells["state"] == st["state"]["name"], (row, st)
            main = st.get("pools", {}).get("main")
            if main:
                assert cells["pools"].startswith("main %s %d/%d " % (
                    main["status"], main["accepted"], main["rejected"])), (row, st)
        if row["metrics_t"] is not None:
            m = received(evs, "metrics", row["metrics_t"])
            shown = re.fullmatch(r"(\d+\.\d) MH/s", cells["hash_rate"])
            assert shown and abs(float(shown.group(1)) - m["hash_rate"] * 1000) <= 0.05 + 1e-9, \
                (row, m["hash_rate"])
            hottest = max([m["temp"]] + [c["chip_temp"] for c in m["chains"]])
            assert cells["hottest"] == "%d °C" % hottest, (row, m)
            fans = [(int(a), int(b)) for a, b in re.findall(r"(\d+) rpm/(\d+)%", cells["fans"])]
            assert fans == [(f["rpm"], f["speed"]) for f in m["fans"]], (row, m["fans"])
            last = max(t for t in (row["status_t"], row["metrics_t"]) if t is not None)
            assert re.fullmatch(r"\d+ s ago|\d+ min \d+ s ago", cells["last_report"]), row
            assert last >= max(e["t"] for e in evs if e["event"] == "message"
                               and isinstance(e["msg"], dict)
                               and e["msg"].get("type") in ("status", "metrics")) - 1e-6, row


def rows(browser):
    return browser.eval(ROWS_JS)


def wait_rows(browser, count, with_metrics=True, timeout=60):
    """Waits until the list has `count` devices (each with metrics that show a
    hash rate, if asked); returns the rows."""
    cond = "r.length === %d" % count
    if with_metrics:
        cond += " && r.every(x => x.metrics_t !== null && x.cells.hash_rate !== '0.0 MH/s')"
    browser.wait("(() => { const r = %s; return %s; })()" % (ROWS_JS, cond), timeout,
                 what="%d devices on the page" % count)
    return rows(browser)


def send_and_wait_reply(browser, button=None, timeout=30, expect="replied"):
    """Clicks a command button (or submits the pools form) and waits for the
    page to show the agent's answer (or, expect="delivered", that no answer
    comes to this command); returns the result line's text."""
    browser.eval("document.querySelector('#send-result').setAttribute('data-state', '')")
    if button is None:
        browser.click("#pools-form button[type=submit]")
    else:
        browser.click("button[data-command=%s]" % button)
    state = browser.wait(
        "(() => { const s = document.querySelector('#send-result').dataset.state;"
        " return ['replied', 'refused', 'no-reply', 'delivered'].includes(s) && s; })()", timeout,
        what="the answer to %s" % (button or "config_pools"))
    text = browser.eval("document.querySelector('#send-result').textContent")
    assert state == expect, text
    return text


def detail_shown(browser, dev_id, timeout=30):
    """Waits until the device's detail shows its charts and messages."""
    browser.wait("(() => { const d = document.querySelector('#detail');"
                 " return !d.hidden && d.dataset.device === %s"
                 " && Number(document.querySelector('#chart-hashrate').dataset.points) > 0"
                 " && Number(document.querySelector('#chart-temps').dataset.points) > 0"
                 " && document.querySelectorAll('#messages li').length > 0; })()"
                 % json.dumps(dev_id), timeout, what="the detail of %s" % dev_id)


def messages_shown(browser):
    return browser.eval("[...document.querySelectorAll('#messages li')].map(li =>"
                        " ({dir: li.dataset.dir, type: li.dataset.type || null,"
                        " t: Number(li.dataset.t)}))")

