"""Incoming messages: reassembly of fragments, the size limit, and dispatch of
well-formed, malformed and unknown messages on a live session."""

import json
import re

import pytest

import kvtest
from kvtest import TIME_SCALE, log_re

IN_MSG_MAX = 16384
TOO_BIG = "Unable to compose the incomming message, buffer too small"


def log_entries(agent, since=0):
    """(level, text) of the WARN and ERROR lines from position `since`, less
    the agent's periodic miner-API lines (kvtest.log_lines); an ERROR text
    loses its "file:line: " prefix, which must be there."""
    out = []
    for line in kvtest.log_lines(agent, since):
        m = re.match(r"^\r?%s(WARN|ERROR) +(.*?)\r?$" % kvtest.LOG_PREFIX, line)
        if not m:
            continue
        level, text = m.group(1), m.group(2)
        if level == "ERROR":
            src = re.match(r"[\w./-]+:\d+: ", text)
            assert src, "ERROR line without file:line: prefix: %r" % m.group(0)
            text = text[src.end():]
        out.append((level, text))
    return out


def padded(mtype, size):
    """A JSON object of exactly `size` bytes with this type."""
    head = '{"type":"%s","pad":"' % mtype
    text = head + "x" * (size - len(head) - 2) + '"}'
    assert len(text.encode()) == size
    json.loads(text)
    return text


def probe(agent, server, tag):
    """Send an unknown type; returns once the agent has logged it."""
    since = len(agent.log_text())
    server.send({"type": tag})
    agent.wait_log_line("WARN", "Unknown message received: " + tag, since=since)


@pytest.fixture
def session(device, server, start_agent):
    agent = start_agent(device, server=server)
    agent.wait_log_line("INFO", "Agent successfully authenticated", timeout=20)
    return agent


# ----------------------------------------------------- messages that keep it

KEPT = [
    ("error with text", '{"ok":false,"message":"boom"}', None,
     [("WARN", "Error message received - boom")]),
    ("error without text", '{"ok":false}', None, [("WARN", "Error message received - ")]),
    ("firmware update", '{"type":"update_firmware"}', None,
     [("WARN", "Firmware update not supported")]),
    ("type is case sensitive", '{"type":"Auth"}', None,
     [("WARN", "Unknown message received: Auth")]),
    ("status request", '{"type":"status"}', None, []),
    ("fragmented", '{"type":"zz_frag","n":[1,2,3]}', [3, 9],
     [("WARN", "Unknown message received: zz_frag")]),
    ("exactly the limit", padded("zz_big", IN_MSG_MAX), None,
     [("WARN", "Unknown message received: zz_big")]),
    ("exactly the limit in fragments", padded("zz_big2", IN_MSG_MAX), [8000, 8000, 383],
     [("WARN", "Unknown message received: zz_big2")]),
    ("one byte over the limit", padded("zz_over", IN_MSG_MAX + 1), None, [("ERROR", TOO_BIG)]),
    ("20000 bytes in three fragments", padded("zz_huge", 20000), [7000, 7000],
     [("ERROR", TOO_BIG)]),
    ("limit again after an oversized one", padded("zz_big3", IN_MSG_MAX), [100],
     [("WARN", "Unknown message received: zz_big3")]),
]


def replies(server, conn=None):
    """Types of the messages the agent sent, without its own periodic reports."""
    return [m["type"] for m in server.messages(conn=conn)
            if m["type"] not in ("status", "metrics")]


@pytest.mark.asan
@pytest.mark.memcheck
def test_messages_that_keep_the_session(session, server):
    """Each case on the same connection: exactly the expected log lines, no
    reply, the session kept, and the next message handled normally."""
    agent = session
    for n, (name, text, fragments, expected) in enumerate(KEPT):
        since = len(agent.log_text())
        server.send_raw(text, fragments)
        probe(agent, server, "zz_after_%d" % n)
        got = log_entries(agent, since)
        assert got == expected + [("WARN", "Unknown message received: zz_after_%d" % n)], \
            "case %r:\n%s" % (name, agent.log_text()[since:])
    assert replies(server) == ["auth"], server.describe_events()
    assert server.connections() == 1 and server.events("close") == [], server.describe_events()
    assert agent.log_text().count("Agent successfully authenticated") == 1


# ---------------------------------------------------- messages that close it

CLOSED = [
    ("not JSON", "this is not json", log_re("WARN", "Failed to decode msg - ")),
    ("array", "[1,2]", log_re("WARN", "Root element must be an object") + r"\r?$"),
    ("bare scalar", "42", log_re("WARN", "Failed to decode msg - ")),
    ("empty object", "{}", log_re("WARN", "Malformed message received: {}") + r"\r?$"),
    ("no type", '{"foo":1}', log_re("WARN", 'Malformed message received: {"foo":1}') + r"\r?$"),
    ("type not a string", '{"type":5}',
     log_re("WARN", 'Malformed message received: {"type":5}') + r"\r?$"),
    ("type null with ok", '{"type":null,"ok":true}',
     log_re("WARN", 'Malformed message received: {"type":null,"ok":true}') + r"\r?$"),
]


@pytest.mark.parametrize("text,logged", [c[1:] for c in CLOSED], ids=[c[0] for c in CLOSED])
@pytest.mark.asan
def test_messages_that_close_the_session(session, server, text, logged):
    agent = session
    since = len(agent.log_text())
    server.send_raw(text)
    agent.wait_log(logged, since=since)
    close = server.wait_event("close", conn=1, timeout=5)
    # Nothing else logged as a warning for it, nothing sent back.
    entries = log_entries(agent, since)
    assert len(entries) >= 1
    assert entries[0][0] == "WARN", entries
    assert replies(server, conn=1) == ["auth"], server.describe_events()
    # Reconnects at once (first back-off step) and logs in again.
    con = server.wait_event("connect", conn=2, timeout=5)
    assert con["t"] - close["t"] <= 1.5 * TIME_SCALE, server.describe_events()
    kvtest.wait_for(lambda: agent.log_text().count("Agent successfully authenticated") == 2,
                    10 * TIME_SCALE, what="second login; log:\n" + agent.log_text())
    assert server.messages(conn=2)[0]["type"] == "auth"
    probe(agent, server, "zz_again")
    assert server.connections() == 2


# ------------------------------------------------------ before the login answer

def test_dispatch_before_login_is_answered(device, start_server, start_agent):
    """Messages are dispatched whatever the login state: handled ones are
    handled, malformed ones still end the session, and a late login answer
    still authenticates."""
    server = start_server(device, auth="silent")
    agent = start_agent(device, server=server)
    server.wait_message("auth", conn=1, timeout=20)

    since = len(agent.log_text())
    probe(agent, server, "zz_pre")
    server.send({"ok": False, "message": "pre"})
    agent.wait_log_line("WARN", "Error message received - pre", since=since)
    server.send_raw("{}")
    agent.wait_log_line("WARN", "Malformed message received: {}", since=since)
    server.wait_event("close", conn=1, timeout=5)
    server.wait_message("auth", conn=2, timeout=5)
    assert "Agent successfully authenticated" not in agent.log_text()
    assert [m["type"] for m in server.messages(conn=1)] == ["auth"]

    server.send({"type": "auth", "ok": True})
    agent.wait_log_line("INFO", "Agent successfully authenticated")
    probe(agent, server, "zz_post")
    assert server.connections() == 2
