"""Server session: login request, login answers, back-off, timeouts, TLS trust,
stop and reconnection after the server ends a session."""

import json
import re
import signal
import time

import pytest

import kvtest
from kvtest import API_KEY, TIME_SCALE, WS_PATH, log_re

ID_FROM_MAC = "0000000000000000-001122AABBCC"
AUTHENTICATED = ("INFO", "Agent successfully authenticated")


def auth_members(api_key=API_KEY, dev_id=ID_FROM_MAC):
    return [("type", "auth"), ("api_key", api_key), ("device_id", dev_id),
            ("model", "antminer-l3plus"), ("firmware_id", "pelto-antminer-l3plus"),
            ("firmware_ver", "3.9.0")]


def members(raw):
    """Top-level members of a JSON object text as (key, value) pairs, in
    order, duplicates kept."""
    return json.loads(raw, object_pairs_hook=list)


def events_of(server, conn):
    return [e for e in server.events() if e.get("conn") == conn]


def count(agent, level, text):
    return len(re.findall(log_re(level, text), agent.log_text()))


def wait_count(agent, level, text, n, timeout=10):
    """Wait until `text` has been logged at least n times."""
    return kvtest.wait_for(lambda: count(agent, level, text) >= n, timeout * TIME_SCALE,
                           what="%d x %r in the agent log; log:\n%s"
                           % (n, text, agent.log_text()))


def warnings(agent, since=0):
    """WARN and ERROR lines logged from position `since`, without the time,
    less the agent's periodic miner-API lines (kvtest.log_lines)."""
    rx = re.compile(r"^\r?%s((?:WARN|ERROR) .*?)\r?$" % kvtest.LOG_PREFIX)
    return [m.group(1) for m in map(rx.match, kvtest.log_lines(agent, since)) if m]


def login(device, server, start_agent, **kw):
    agent = start_agent(device, server=server, **kw)
    agent.wait_log_line(*AUTHENTICATED, timeout=20)
    return agent


def assert_still_connected(server, conns=1):
    assert server.connections() == conns, server.describe_events()
    assert server.events("close") == [], server.describe_events()
    assert server.status()["connected"]


# ------------------------------------------------------------------ login

@pytest.mark.parametrize("config,dev_id", [
    ({"api_key": API_KEY}, ID_FROM_MAC),
    ({"api_key": API_KEY, "dev_id": "89ABCDEF0123456789ABCDEF01234567"},
     "89ABCDEF0123456789ABCDEF01234567"),
], ids=["id-from-mac", "id-from-config"])
@pytest.mark.asan
def test_login_request_and_accepted_session(device, server, start_agent, config, dev_id):
    agent = login(device, server, start_agent, config=config)

    con = server.wait_event("connect")
    assert con["conn"] == 1
    assert con["path"] == WS_PATH
    assert con["subprotocol"] == "korvane-agent"
    assert con["extensions"] == ["permessage-deflate"]

    # The first thing on the connection is the login request, exactly so.
    # (The server records its answer as sent after the send: the agent may
    # have logged the login before that.)
    server.wait_event("sent", conn=1)
    ev = events_of(server, 1)
    assert [e["event"] for e in ev[:3]] == ["connect", "message", "sent"], \
        server.describe_events()
    assert members(ev[1]["raw"]) == auth_members(API_KEY, dev_id)
    assert json.loads(ev[2]["text"]) == {"type": "auth", "ok": True}
    # Authenticated only once the answer came.
    assert agent.log_text().count("Agent successfully authenticated") == 1

    # An unknown command is logged and otherwise ignored.
    since = len(agent.log_text())
    server.send({"type": "zz"})
    agent.wait_log_line("WARN", "Unknown message received: zz", since=since)
    time.sleep(1.0 * TIME_SCALE)
    # Nothing but the login and the one status report that follows it was
    # sent: no reply, no configuration upload outside a registration.
    assert [m["type"] for m in server.messages()] == ["auth", "status"], \
        server.describe_events()
    assert_still_connected(server)
    assert warnings(agent, since) == ["WARN  Unknown message received: zz"]


@pytest.mark.parametrize("config,key,dev_id", [
    # A two-byte character across the 50-byte cut of the key, on the first
    # start: the configuration file (with the new device id) must be saved.
    ({"api_key": "k" * 49 + "\u00e9tail"}, "k" * 49, ID_FROM_MAC),
    # A three-byte character across the 32-byte cut of the device id.
    ({"api_key": API_KEY, "dev_id": "D" * 31 + "\u20acX"}, API_KEY, "D" * 31),
], ids=["key", "dev-id"])
def test_overlong_values_are_cut_between_characters(device, server, start_agent, config, key,
                                                   dev_id):
    agent = login(device, server, start_agent, config=config)
    assert members(server.events("message")[0]["raw"]) == auth_members(key, dev_id)
    if "dev_id" not in config:
        assert device.config_json() == {"api_key": key, "dev_id": dev_id}
    for failure in ("Failed to build auth request", "Failed to write to config fle",
                    "Failed to save"):
        assert failure not in agent.log_text()


def test_registration_uploads_config(device, start_server, start_agent):
    server = start_server(device, auth="register", config_ack=False)
    agent = login(device, server, start_agent)
    upload = server.wait_message("update_config", timeout=10)
    assert upload["type"] == "update_config"

    # Order on the connection: login, its answer, then the upload.
    ev = [e for e in events_of(server, 1) if e["event"] in ("message", "sent")]
    kinds = [(e["event"], (e.get("msg") or json.loads(e.get("text", "null")) or {}).get("type"))
             for e in ev]
    assert kinds[:3] == [("message", "auth"), ("sent", "auth"), ("message", "update_config")], \
        server.describe_events()
    assert json.loads(ev[1]["text"]) == {"type": "auth", "ok": True, "registration": True}

    since = len(agent.log_text())
    server.send({"type": "update_config", "ok": True})
    agent.wait_log_line("INFO", "Successfully update config on the server", since=since)
    since = len(agent.log_text())
    server.send({"type": "update_config", "ok": False})
    agent.wait_log_line("INFO", "Update config failed", since=since)
    assert "Successfully update config" not in agent.log_text()[since:]
    time.sleep(0.5 * TIME_SCALE)
    # The acknowledged registration lets the first status report out.
    assert [m["type"] for m in server.messages()] == ["auth", "update_config", "status"], \
        server.describe_events()
    assert_still_connected(server)

    # A new session asked to register uploads again (its own queue).
    server.drop()
    server.wait_message("update_config", conn=2, timeout=10)
    assert [m["type"] for m in server.messages(conn=2)] == ["auth", "update_config"]


# ------------------------------------------------------------ login refused

def test_refused_login_backs_off_0_5_10(device, start_server, start_agent):
    server = start_server(device, auth="refuse", refuse_message="Invalid API key")
    agent = start_agent(device, server=server)
    kvtest.wait_for(lambda: server.connections() >= 4, 30 * TIME_SCALE,
                    what="4 connections; record:\n" + server.describe_events())
    connects = server.events("connect")
    starts = [e["t"] for e in connects[:4]]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    for gap, delay in zip(gaps, (0, 5, 10)):
        assert delay - 0.2 <= gap <= delay * 1.2 + 1.0, (gaps, server.describe_events())

    # Every refused session: the login, the refusal, closed by the agent.
    for conn in (1, 2, 3):
        assert [m["type"] for m in server.messages(conn=conn)] == ["auth"]
        close = server.wait_event("close", conn=conn)
        assert close["initiated_by"] in ("agent", "none"), server.describe_events()

    # The refusal text comes on the line after the log line.
    refused = log_re("WARN", "Authentication failed: ") + r"\r?\nInvalid API key\r?$"
    wait_count(agent, "WARN", "Authentication failed: ", 3)
    assert len(re.findall(refused, agent.log_text())) >= 3, agent.log_text()
    tries = re.findall(log_re("INFO", "Trying agent reconnect ") + r"(\d+)\s*$",
                       agent.log_text())
    assert tries[:3] == ["1", "2", "3"], agent.log_text()
    assert "Agent successfully authenticated" not in agent.log_text()


# ------------------------------------------------------- login not answered

def test_unanswered_login_times_out_after_60s(device, start_server, start_agent):
    server = start_server(device, auth="silent")
    agent = start_agent(device, server=server)
    server.wait_message("auth", conn=1, timeout=20)
    t_auth = [e for e in events_of(server, 1) if e["event"] == "message"][0]["t"]
    # Conn 1 is not answered (decided on arrival); the next one will be.
    server.set_auth("accept")

    agent.wait_log_line("WARN", "Aborting agent connection on timeout", timeout=75)
    close = server.wait_event("close", conn=1, timeout=5)
    waited = close["t"] - t_auth
    assert 59.0 * TIME_SCALE <= waited <= 62.0 * TIME_SCALE or \
        (TIME_SCALE > 1 and waited >= 59.0), (waited, server.describe_events())
    assert [m["type"] for m in server.messages(conn=1)] == ["auth"], server.describe_events()

    # First back-off step: at once.
    con = server.wait_event("connect", conn=2, timeout=5)
    assert con["t"] - close["t"] <= 1.5 * TIME_SCALE, server.describe_events()
    agent.wait_log_line("INFO", "Trying agent reconnect 1")
    agent.wait_log_line(*AUTHENTICATED)
    assert server.messages(conn=2)[0]["type"] == "auth"


# ---------------------------------------------------------------- TLS trust

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


class SteppedClockAgent(kvtest.Agent):
    """The agent with its wall clock shifted by the offset in the device file
    /run/sandbox/faketime (re-read at every call); its monotonic clock is
    left alone, as NTP would leave it. libfaketime is preloaded: the
    shared-library build runs even when the static one is under test."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.binary = kvtest.dynamic_agent_binary()

    def command(self):
        return ["env", "LD_PRELOAD=" + FAKETIME_LIB,
                "FAKETIME_TIMESTAMP_FILE=/run/sandbox/faketime", "FAKETIME_NO_CACHE=1",
                "DONT_FAKE_MONOTONIC=1"] + super().command()


def log_times(agent):
    return [time.mktime(time.strptime(m, "%Y-%m-%d %H:%M:%S"))
            for m in re.findall(r"(?m)^\r?(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) ",
                                agent.log_text())]


def test_wall_clock_step_does_not_end_a_disconnected_agent(device):
    # NTP sets the clock of a device that booted without one while the agent
    # is still trying to reach its server: the agent must go on trying.
    offset = device.root / "run" / "sandbox" / "faketime"
    offset.write_text("+0\n")
    device.write_config({"api_key": API_KEY})
    agent = SteppedClockAgent(device, ["-s", device.unused_url()]).start()
    wait_count(agent, "INFO", "Trying agent reconnect", 1)
    before = log_times(agent)[-1]
    offset.write_text("+3600\n")
    # Lines logged after the step carry the new time of day.
    kvtest.wait_for(lambda: log_times(agent)[-1] - before >= 3600, 40 * TIME_SCALE,
                    what="a log line after the clock step")
    n = count(agent, "INFO", "Trying agent reconnect")
    wait_count(agent, "INFO", "Trying agent reconnect", n + 1, timeout=40)
    assert "Agent connection hands, restarting" not in agent.log_text()
    assert agent.running(), agent.log_text()
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit() == 0


@pytest.mark.parametrize("os_bundle", ["SSL_CERT_FILE", "SSL_CERT_DIR"])
def test_only_the_agents_own_trust_anchors_count(device, start_server, start_agent, other_certs,
                                                 os_bundle):
    """A server whose CA only the system's trust store holds (here made to
    hold it through OpenSSL's variables) is refused: the agent trusts
    /opt/korvane/certs/letsencrypt.pem and nothing else."""
    import shutil
    import subprocess
    os_dir = device.root / "opt" / "korvane" / "os-certs"
    os_dir.mkdir()
    shutil.copyfile(other_certs["ca"], os_dir / "bundle.pem")
    # The hashed name OpenSSL looks up in a certificate folder.
    subject_hash = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in",
                                   str(other_certs["ca"])], check=True, capture_output=True,
                                  text=True).stdout.strip()
    shutil.copyfile(other_certs["ca"], os_dir / (subject_hash + ".0"))
    value = "/opt/korvane/os-certs" + ("/bundle.pem" if os_bundle == "SSL_CERT_FILE" else "")
    server = start_server(device, certs=other_certs)
    agent = start_agent(device, server=server, wrapper=["env", "%s=%s" % (os_bundle, value)])
    wait_count(agent, "WARN", "Agent connection error - ", 2, timeout=20)
    assert server.events("connect") == [], server.describe_events()
    assert "Agent successfully authenticated" not in agent.log_text()
    assert agent.running()


@pytest.mark.parametrize("certs_fixture", ["other_certs", "wrong_host_certs"])
def test_untrusted_server_certificate_is_refused(request, device, start_server, start_agent,
                                                  certs_fixture):
    server = start_server(device, certs=request.getfixturevalue(certs_fixture))
    agent = start_agent(device, server=server)
    wait_count(agent, "WARN", "Agent connection error - ", 2, timeout=20)
    agent.wait_log_line("INFO", "Trying agent reconnect 2")
    assert server.events("connect") == [], server.describe_events()
    assert server.messages() == []
    assert "Agent successfully authenticated" not in agent.log_text()
    assert agent.running()


@pytest.mark.parametrize("dated", ["expired_certs", "future_certs"])
def test_expired_or_not_yet_valid_certificate_of_the_ca_is_accepted(device, start_server,
                                                                    start_agent, dated, request):
    """The device's clock reads 2000-01-01 until ntpdate has run: the dates of
    a certificate of the agent's own CA are not held against it."""
    server = start_server(device, certs=request.getfixturevalue(dated))
    login(device, server, start_agent)
    assert members(server.events("message")[0]["raw"]) == auth_members()


def test_ws_scheme_with_port_still_uses_tls(device, server, start_agent):
    url = "ws://localhost:%d%s" % (server.port, WS_PATH)
    agent = login(device, server, start_agent, server_url=url)
    assert server.wait_event("connect")["path"] == WS_PATH
    assert "Server URL: " + url in agent.log_text()


# ---------------------------------------------------------------- stopping

def test_stop_while_authenticated_closes_with_1000(device, server, start_agent):
    agent = login(device, server, start_agent)
    agent.signal(signal.SIGTERM)
    agent.wait_log_line("INFO", "Stopping agent")
    assert agent.wait_exit() == 0
    close = server.wait_event("close", conn=1)
    assert close["code"] == 1000 and close["initiated_by"] == "agent", server.describe_events()
    time.sleep(2.0)
    assert server.connections() == 1, server.describe_events()


# --------------------------------------------------- session ended by server

@pytest.mark.parametrize("breaks", [("drop", "close"), ("close", "drop")],
                         ids=["drop-then-close", "close-then-drop"])
@pytest.mark.asan
def test_broken_session_reconnects_at_once(device, server, start_agent, breaks):
    """Each break of an authenticated session reconnects without delay, the
    back-off counter having restarted after the login."""
    agent = login(device, server, start_agent)
    for n, how in enumerate(breaks, start=1):
        since = len(agent.log_text())
        mark = server.mark()
        t0 = time.time()
        if how == "drop":
            server.drop()
        else:
            server.close(1000)
        close = server.wait_event("close", conn=n, timeout=5)
        if how == "close":
            assert close["initiated_by"] == "server" and close["code"] == 1000, \
                server.describe_events(mark)
        # The back-off counter restarted with the login: first step, no delay.
        tried = agent.wait_log(log_re("INFO", "Trying agent reconnect ") + r"(\d+)\s*$",
                               since=since)
        assert tried.group(1) == "1", \
            "break %d (%s): back-off counter not restarted after the login:\n%s" \
            % (n, how, agent.log_text())
        con = server.wait_event("connect", conn=n + 1, timeout=1.5, since=mark)
        assert con["t"] - t0 <= 1.5 * TIME_SCALE, server.describe_events(mark)
        agent.wait_log_line(*AUTHENTICATED, since=since)
        assert server.messages(conn=n + 1)[0]["type"] == "auth"
