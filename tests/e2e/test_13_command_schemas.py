"""The JSON Schemas of the server's requests (protocol/schemas/server/<command>.json)
checked against the real agent.

Every schema is a valid draft 2020-12 schema whose "examples" validate and
whose "x-invalid-examples" do not (the unit tests hold the agent's dispatch
table to the schema files and their "x-reply"); and every example is fed to the agent on
a live session in the device sandbox, one session per group of commands,
where it must have exactly the effect its "x-example-outcomes" entry states
(the reply, the files under /config it stores anew or leaves alone, the device commands run,
the connection kept or closed, a log line), while every invalid example is
refused: the failure reply where the command has one, an ERROR line, no file
touched, no command run.
"""

import json
import re

import jsonschema
import pytest

import kvtest
from kvdev import schemas
from kvtest import TIME_SCALE

CGMINER_CONF = "/config/cgminer.conf"
NETWORK_CONF_PATH = "/config/network.conf"
HTDIGEST = "/config/lighttpd-htdigest.user"
FILES = (CGMINER_CONF, NETWORK_CONF_PATH, HTDIGEST)
# The state the examples' outcomes are stated for (see the schemas' descriptions).
NETWORK_CONF = ('hostname=rig7\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n'
                'gateway=192.0.2.1\ndnsservers="192.0.2.53"\n')
MINER_CONF = json.dumps(kvtest.DEFAULT_MINER_CONFIG, indent=2)

# One agent session per group, the commands in this order.
GROUPS = {
    "miner-sections": dict(commands=["config_pools", "config_chain", "config_watchdog",
                                     "config_fans", "config_autotuner", "config_perf",
                                     "config"]),
    "device": dict(commands=["config_web_access", "logs", "chip_metrics", "status",
                             "update_config", "update_firmware", "reboot", "config_network"]),
    "mining-control": dict(commands=["stop_mining", "start_mining"], miner=True),
    "login-answers": dict(commands=["auth"], auth="silent"),
}


# ------------------------------------------------------------------ schemas

# The request schemas by command, and every schema by "$id" (integers strict
# in validation, as the agent reads them: 5.0 is no integer).
SCHEMAS, STORE = schemas.request_schemas(), schemas.load_store()
# "x-reply": what the agent answers a request ("result": {"type", "ok"};
# "on failure": its own message, or {"type", "ok": false}; "reconnect": as
# "result", then a new connection when the settings were rewritten; "none").
REPLY_KINDS = ("result", "on failure", "none", "reconnect")
# Commands whose refusal is answered {"type": <command>, "ok": false}; the
# others ("config") refuse silently.
FAILURE_REPLY = schemas.reply_types()


def validator(schema):
    return schemas.validator(schema["$id"])


def test_every_command_has_its_examples_sent_and_a_reply_kind():
    assert {"auth", "config", "config_pools", "reboot", "update_firmware"} <= set(SCHEMAS)
    assert {c: s.get("x-reply") for c, s in SCHEMAS.items()
            if s.get("x-reply") not in REPLY_KINDS} == {}
    grouped = [c for g in GROUPS.values() for c in g["commands"]]
    assert sorted(grouped) == sorted(SCHEMAS), "every command's examples go to the agent"


def test_common_definitions_are_a_valid_schema():
    common = STORE["server/common.json"]
    jsonschema.Draft202012Validator.check_schema(common)
    assert common["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    assert common["$id"] == "server/common.json"
    # Every reference of the command schemas resolves (to a definition that exists).
    for command, schema in SCHEMAS.items():
        for ref in re.findall(r'"\$ref": "([^"]+)"', json.dumps(schema)):
            resolver = jsonschema.RefResolver(
                schemas.BASE_URI + schema["$id"], schema,
                store={schemas.BASE_URI + k: v for k, v in STORE.items()})
            resolver.resolve(ref)


@pytest.mark.parametrize("command", sorted(SCHEMAS))
def test_schema_and_its_examples(command):
    schema = SCHEMAS[command]
    jsonschema.Draft202012Validator.check_schema(schema)
    assert schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    assert schema["$id"] == "server/%s.json" % command
    assert schema["title"] and len(schema["description"]) > 80
    assert schema["properties"]["type"] == {"const": command}
    assert "type" in schema["required"]
    text = json.dumps(schema)
    assert not re.search(r"(?i)\bspec(ification)?\b|\bParts? \d", text)
    v = validator(schema)
    examples, outcomes = schema["examples"], schema["x-example-outcomes"]
    assert examples and len(outcomes) == len(examples)
    for msg in examples:
        errors = [e.message for e in v.iter_errors(msg)]
        assert errors == [], (msg, errors)
    invalid = schema["x-invalid-examples"]
    assert isinstance(invalid, list)
    for case in invalid:
        assert set(case) == {"message", "why"} and case["why"], case
        assert case["message"].get("type") == command, case
        assert not v.is_valid(case["message"]), case
    # Every rule the other way round: the type alone is no message of another command.
    assert not v.is_valid({"type": command + "_x"})


# ------------------------------------------------------------- the agent

class Session:
    def __init__(self, device, server, agent):
        self.device, self.server, self.agent = device, server, agent
        self.probes = 0

    def logins(self):
        return self.agent.log_text().count("Agent successfully authenticated")

    def settle(self):
        """Returns once everything sent before has been handled (dispatch is
        in order): an unknown type is logged."""
        self.probes += 1
        tag = "zz_schema_probe_%d" % self.probes
        since = len(self.agent.log_text())
        self.server.send({"type": tag})
        self.agent.wait_log_line("WARN", "Unknown message received: " + tag, since=since,
                                 timeout=15)

    def file(self, path):
        p = self.device.root / path.lstrip("/")
        return p.read_bytes() if p.exists() else None

    def snapshot(self, path):
        """Contents, inode and modification time: the agent stores a file
        through a new one renamed over it, so a file it leaves alone keeps
        all three and one it stores anew (even unchanged) does not."""
        p = self.device.root / path.lstrip("/")
        if not p.exists():
            return None
        st = p.stat()
        return p.read_bytes(), st.st_ino, st.st_mtime_ns

    def restore(self):
        """The state the outcomes are stated for (written only where it differs,
        so that the agent's file watcher has nothing to report otherwise)."""
        for path, text in ((CGMINER_CONF, MINER_CONF), (NETWORK_CONF_PATH, NETWORK_CONF)):
            if self.file(path) != text.encode():
                kvtest.write_atomic(self.device.root / path.lstrip("/"), text)


def subset(expected, got):
    return isinstance(got, dict) and all(k in got and got[k] == v for k, v in expected.items())


def exchange(s, command, msg, outcome, refused):
    """Send one example; check what the agent did against `outcome`
    (refused: the failure reaction of the command). Returns a list of faults."""
    server, agent, device = s.server, s.agent, s.device
    before = {p: s.snapshot(p) for p in FILES}
    ncmds, conns, logins = len(device.commands()), server.connections(), s.logins()
    mark, logpos = server.mark(), len(agent.log_text())
    faults = []

    server.send(msg)
    if refused:
        reply = {"type": command, "ok": False} if command in FAILURE_REPLY else None
        files, commands, session, log = {}, [], "kept", None
    else:
        reply = outcome["reply"]
        files = outcome.get("files", {})
        commands = outcome.get("commands", [])
        session = outcome.get("session", "kept")
        log = outcome.get("log")

    if reply is not None:
        got = server.wait_message(reply["type"], since=mark, timeout=20)
        plain = set(reply) == {"type", "ok"}
        if (got != reply) if plain else not subset(reply, got):
            faults.append("reply %s, expected %s" % (json.dumps(got), json.dumps(reply)))
    if session == "closed":
        server.wait_event("close", conn=conns, since=mark, timeout=20)
        server.wait_message("auth", conn=conns + 1, since=mark, timeout=30)
        if server.auth == "accept":
            kvtest.wait_for(lambda: s.logins() > logins, 20 * TIME_SCALE, what="login again")
    else:
        s.settle()
        if server.connections() != conns:
            faults.append("the connection was not kept")
    if reply is None:
        # The agent's "auth" messages are its login requests; an answer to
        # a login answer would be a configuration upload.
        silent = {"update_config"} if command == "auth" else {command}
        answers = [e["msg"] for e in server.events()[mark:] if e["event"] == "message"
                   and (e["msg"] or {}).get("type") in silent]
        if answers:
            faults.append("unexpected answer %s" % json.dumps(answers))
    if log is not None:
        try:
            kvtest.wait_for(lambda: log in agent.log_text()[logpos:], 10 * TIME_SCALE,
                            what="log %r" % log)
        except kvtest.Timeout:
            faults.append("no log line %r" % log)
    if refused and not re.search(kvtest.log_re("ERROR", ""), agent.log_text()[logpos:]):
        faults.append("refused without an ERROR line")
    for path in FILES:
        written = s.snapshot(path) != before[path]
        want = files.get(path, "untouched")
        if written != (want == "written"):
            faults.append("%s %s, expected %s" % (path, "written" if written else "untouched",
                                                  want))
    if commands:
        try:
            kvtest.wait_for(lambda: len(device.commands()) - ncmds >= len(commands),
                            20 * TIME_SCALE, what="device commands %s" % commands)
        except kvtest.Timeout:
            pass
    ran = device.commands()[ncmds:]
    if ran != commands:
        faults.append("device commands %s, expected %s" % (ran, commands))
    return faults


@pytest.mark.parametrize("group", sorted(GROUPS))
@pytest.mark.device(miner_config=True)
def test_agent_takes_the_examples_and_refuses_the_invalid_ones(group, device, start_server,
                                                                 start_agent):
    """Each command's examples, then its invalid examples, on one session per
    group; every fault of the group is listed at the end."""
    spec = GROUPS[group]
    (device.root / NETWORK_CONF_PATH.lstrip("/")).write_text(NETWORK_CONF)
    server = start_server(device, auth=spec.get("auth", "accept"))
    agent = start_agent(device, server=server, miner=spec.get("miner", False))
    s = Session(device, server, agent)
    if server.auth == "accept":
        agent.wait_log_line("INFO", "Agent successfully authenticated", timeout=20)
    else:
        server.wait_message("auth", conn=1, timeout=20)
    if spec.get("miner"):
        server.wait_message("status", where={"state": {"name": "mining"}}, timeout=20)

    faults = []
    for command in spec["commands"]:
        schema = SCHEMAS[command]
        s.restore()
        cases = [(m, o, False) for m, o in zip(schema["examples"], schema["x-example-outcomes"])]
        cases += [(c["message"], None, True) for c in schema["x-invalid-examples"]]
        for n, (msg, outcome, refused) in enumerate(cases):
            for fault in exchange(s, command, msg, outcome, refused):
                faults.append("%s %s #%d %s: %s" % (command, "invalid" if refused else "example",
                                                    n, json.dumps(msg)[:160], fault))
            if command == "stop_mining" and not refused and outcome.get("commands"):
                # The next stop finds no miner once this one has ended it.
                server.wait_message("status", where={"state": {"name": "pause"}}, since=0,
                                    timeout=20)
    assert faults == [], "\n".join(faults)
