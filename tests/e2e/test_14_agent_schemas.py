"""The schemas of the agent's messages (protocol/schemas/agent) and their checkers.

The check of every scenario's messages runs in conftest.py (make_device
teardown); here: the schemas themselves, that drift is caught, that the
teardown check and the devserver's own check report it.
"""

import copy
import json
import os
import subprocess
from pathlib import Path
from types import SimpleNamespace

import pytest

import conftest
import kvtest
from kvdev import schemas

WSCLIENT = Path(__file__).with_name("wsclient.py")
AGENT_SCHEMAS = sorted((schemas.SCHEMA_DIR / "agent").glob("*.json"))


def example(name, index=0):
    return copy.deepcopy(json.loads((schemas.SCHEMA_DIR / "agent" / name).read_text())
                         ["examples"][index])


def test_schemas_are_complete_and_their_examples_valid():
    store = schemas.load_store()
    names = {p.name for p in AGENT_SCHEMAS}
    assert {"auth.json", "status.json", "metrics.json", "update_config.json", "logs.json",
            "get_logs.json", "chip_metrics.json", "reply.json"} <= names
    for p in AGENT_SCHEMAS:
        s = store["agent/" + p.name]
        assert s["$schema"] == "https://json-schema.org/draft/2020-12/schema"
        assert s["title"] and s["description"] and s["examples"], p.name
    assert schemas.check_examples() == []


# One drift per line: (schema file, example index, change, expected error text).
def _drop(key):
    return lambda m: m.pop(key)


def _set(path, value):
    def change(m):
        obj = m
        for k in path[:-1]:
            obj = obj[k]
        obj[path[-1]] = value
    return change


DRIFTS = [
    ("auth.json", 0, _drop("device_id"), "'device_id' is a required property"),
    ("auth.json", 0, _set(["model"], "antminer-s9"), "was expected"),
    ("status.json", 0, _drop("uptime"), "'uptime' is a required property"),
    ("status.json", 0, _set(["uptime"], 42.0), "is not of type 'integer'"),
    ("status.json", 0, _set(["state", "name"], "running"), "is not one of"),
    ("status.json", 0, _set(["network", "mac"], "02-00-00-00-00-01"), "does not match"),
    ("status.json", 0, _set(["pools", "main", "accepted"], "12"), "is not of type"),
    ("status.json", 0, _set(["extra"], 1), "Additional properties"),
    ("metrics.json", 0, _set(["hash_rate"], "504.2"), "is not of type 'number'"),
    ("metrics.json", 0, _set(["fans", 0, "id"], 1), "is not one of"),
    ("metrics.json", 0, lambda m: m["chains"].pop(), "the array is too short"),
    ("metrics.json", 0, _set(["chains", 1, "id"], "1"), "is not one of"),
    ("update_config.json", 0, _set(["watchdog", "min_hr"], 0), "should not be valid"),
    ("update_config.json", 0, _drop("fans"), "is a dependency of"),
    ("update_config.json", 0, _set(["chains", 0, "chips"], [{"id": "73", "freq": 400}]),
     "does not match"),
    ("update_config.json", 1, _set(["network", "dnsservers"], ["1.1.1"]), "none of the allowed"),
    ("update_config.json", 2, _set(["chains", 0, "freq"], 400), "none of the allowed"),
    ("logs.json", 0, _drop("request_id"), "'request_id' is a required property"),
    ("get_logs.json", 0, _set(["ok"], True), "False was expected"),
    ("get_logs.json", 0, _set(["message"], "nope"), "is not one of"),
    ("chip_metrics.json", 0, _set(["chain_id"], "5"), "is not one of"),
    ("chip_metrics.json", 0, _set(["chips", 0, "custom_freq"], False), "True was expected"),
    ("reply.json", 0, _set(["ok"], 1), "is not of type 'boolean'"),
    ("reply.json", 2, _set(["ok"], True), "False was expected"),
    ("reply.json", 0, _set(["message"], "why"), "Additional properties"),
]


@pytest.mark.parametrize("name,index,change,expected", DRIFTS,
                         ids=["%s-%d" % (d[0], i) for i, d in enumerate(DRIFTS)])
def test_drift_is_caught(name, index, change, expected):
    msg = example(name, index)
    assert schemas.validate_agent_message(msg) == []
    change(msg)
    errors = schemas.validate_agent_message(msg)
    assert errors and any(expected in e for e in errors), errors


@pytest.mark.parametrize("msg,expected", [
    (None, "not a JSON text message"),
    ([1], "not a JSON object"),
    ({"ok": True}, "no string 'type'"),
    ({"type": "config", "ok": True}, "unknown message type"),
    ({"type": "update_firmware", "ok": True}, "unknown message type"),
])
def test_unknown_shapes_are_errors(msg, expected):
    errors = schemas.validate_agent_message(msg)
    assert len(errors) == 1 and expected in errors[0], errors


def test_reply_and_report_shapes_are_told_apart():
    assert schemas.schema_for({"type": "logs", "ok": False}) == "agent/reply.json"
    assert schemas.schema_for({"type": "logs", "logs": ""}) == "agent/logs.json"
    assert schemas.schema_for({"type": "chip_metrics", "ok": False}) == "agent/reply.json"
    assert schemas.schema_for({"type": "chip_metrics", "chips": []}) == "agent/chip_metrics.json"
    assert schemas.schema_for({"type": "reboot", "ok": True}) == "agent/reply.json"


def _fake_server(port, events):
    return SimpleNamespace(port=port, events=lambda: events)


def test_teardown_check_reports_violations_of_agent_sessions_only():
    good = {"event": "message", "conn": 1, "msg": example("reply.json")}
    bad = {"event": "message", "conn": 1, "msg": {"type": "status"}}
    binary = {"event": "message", "conn": 2, "msg": None, "binary": "AA=="}
    events = [{"event": "listening"}, good, bad, {"event": "close", "conn": 1}, binary]
    with_agent = SimpleNamespace(agents=[object()], servers=[_fake_server(8443, events)])
    harness_only = SimpleNamespace(agents=[], servers=[_fake_server(8444, events)])
    out = conftest._schema_violations([with_agent, harness_only])
    assert any(o.startswith("devserver :8443 record #2 conn 1: status:") and "'uptime'" in o
               for o in out), out
    assert any("record #4 conn 2: not a JSON text message" in o for o in out), out
    assert not any(":8444" in o or "#1 " in o for o in out), out


def test_devserver_records_and_logs_violations(device, start_server):
    srv = start_server(device)
    assert srv.events("listening")[0]["schema_check"] is True
    bad = dict(example("status.json"), uptime="42")
    msgs = [json.dumps(example("auth.json")), json.dumps(bad), "not json",
            json.dumps(example("reply.json"))]
    cmd = device.netns_cmd([kvtest.PYTHON, WSCLIENT, srv.url, device.cert_path, 1.0, *msgs])
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    kvtest.wait_for(lambda: len(srv.events("message")) == 4, 10, what="4 messages")
    kvtest.wait_for(lambda: len(srv.events("schema_violation")) >= 2, 10, what="violations")
    v = srv.events("schema_violation")
    assert [(e["conn"], e["type"]) for e in v] == [(1, "status"), (1, None)]
    assert v[0]["errors"] == ["status: uptime: '42' is not of type 'integer'"]
    assert v[1]["errors"] == ["not a JSON text message"]
    assert "schema violation: status: uptime: '42' is not of type 'integer'" in srv.stderr_text()


def test_devserver_serves_unchecked_without_jsonschema(tmp_path):
    """Without python3-jsonschema (here a module of that name that fails to
    import, found first) the server's checker is off, and it says so once."""
    (tmp_path / "jsonschema.py").write_text('raise ImportError("no jsonschema here")\n')
    env = kvtest.python_env(dict(os.environ, PYTHONPATH=str(tmp_path)))
    code = "from kvdev import devserver; print(devserver.load_schema_checker())"
    r = subprocess.run([kvtest.PYTHON, "-c", code], env=env, capture_output=True, text=True,
                       timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "None"
    assert r.stderr.count("schema checking off") == 1
    assert "no jsonschema here" in r.stderr
