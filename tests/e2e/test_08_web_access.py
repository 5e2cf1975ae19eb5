"""The web interface password ("config_web_access") on a live session, checked
against lighttpd's digest authentication in the device sandbox; and the
firmware update steps, driven by build/tests/e2e/drivers/kvfirmwarectl against
a local HTTP server in the sandbox."""

import hashlib
import io
import re
import shutil
import tarfile
import types

import pytest

import kvtest
from test_03_dispatch import log_entries

HTDIGEST = "/config/lighttpd-htdigest.user"
REALM = "antMiner Configuration"
WRONG_REQUEST = "Wrong set web password request: "
WEB_PORT = 8081
LIGHTTPD_CONF = """\
server.port = %d
server.bind = "127.0.0.1"
server.document-root = "/run/sandbox/web/htdocs"
server.errorlog = "/var/log/lighttpd.log"
server.pid-file = "/tmp/lighttpd.pid"
server.modules = ("mod_auth", "mod_authn_file")
index-file.names = ("index.html")
auth.backend = "htdigest"
auth.backend.htdigest.userfile = "%s"
auth.require = ("/" => ("method" => "digest", "realm" => "%s", "require" => "valid-user"))
""" % (WEB_PORT, HTDIGEST, REALM)

# Starts lighttpd, waits until it answers, prints the status code of one
# digest request per "user:password" argument, stops it.
WEB_CHECK = """
lighttpd -D -f /run/sandbox/web/lighttpd.conf &
pid=$!
i=0
until curl -s -o /dev/null http://127.0.0.1:%d/; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "lighttpd does not answer" >&2; kill $pid; exit 1; }
    sleep 0.1
done
for cred in "$@"; do
    curl -s -o /dev/null -w '%%{http_code}\\n' --digest -u "$cred" http://127.0.0.1:%d/
done
kill $pid
""" % (WEB_PORT, WEB_PORT)


def htdigest_line(password):
    text = "root:%s:%s" % (REALM, password)
    return "root:%s:%s" % (REALM, hashlib.md5(text.encode()).hexdigest())


def set_password(server, message):
    server.send(dict(message, type="config_web_access"))
    return server.wait_message("config_web_access")


@pytest.mark.asan
@pytest.mark.memcheck
def test_web_password(device, server, start_agent):
    """Each accepted password replaces the file's one line; refused requests
    leave it alone; lighttpd lets in the new password only."""
    path = device.root / HTDIGEST.lstrip("/")
    agent = start_agent(device, server=server)
    agent.wait_log_line("INFO", "Agent successfully authenticated", timeout=20)
    old, new = "old secret", "n3w:P\u00e4ss w\u00f6rd!"
    for password in (old, new):
        assert set_password(server, {"new_password": password}) == \
            {"type": "config_web_access", "ok": True}
        assert path.read_bytes() == htdigest_line(password).encode()

    # The ERROR line and what the log holds after it: the request, or nothing.
    refused = [({}, WRONG_REQUEST, '\n{\n  "type": "config_web_access"\n}\n'),
               ({"new_password": 7}, WRONG_REQUEST,
                '\n{\n  "new_password": 7,\n  "type": "config_web_access"\n}\n'),
               ({"new_password": "x" * 300},
                WRONG_REQUEST + "password of 300 bytes is too long (at most 227)", "\n")]
    for message, error, rest in refused:
        mark = len(agent.log_text())
        assert set_password(server, message) == {"type": "config_web_access", "ok": False}
        assert log_entries(agent, mark) == [("ERROR", error)]
        assert agent.log_text()[mark:].split(error, 1)[1].startswith(rest)
        assert path.read_bytes() == htdigest_line(new).encode()

    if shutil.which("lighttpd") is None:
        pytest.skip("lighttpd is not installed: the digest file was not tried on a web server")
    web = device.root / "run" / "sandbox" / "web"
    (web / "htdocs").mkdir(parents=True)
    (web / "htdocs" / "index.html").write_text("miner status\n")
    (web / "lighttpd.conf").write_text(LIGHTTPD_CONF)
    res = device.run(["/bin/sh", "-c", WEB_CHECK, "sh", "root:" + new, "root:" + old,
                      "admin:" + new])
    assert res.returncode == 0, res.stdout + res.stderr
    assert res.stdout.split() == ["200", "401", "401"], res.stdout + res.stderr


# --------------------------------------------------------------- firmware update

FW_PORT = 8000
PACKAGE = "/tmp/firmware_update.tar.gz"
FOLDER = r"/tmp/firmware_update\.\w{6}"
UPDATE_LOG = "/var/log/firmware_update.log"
# Serves /run/sandbox/fw, runs the driver on the URL of $2, then lists what
# the update left in /tmp.
FW_RUN = """
cd /run/sandbox/fw && %s -m http.server --bind 127.0.0.1 %d >/dev/null 2>&1 &
srv=$!
i=0
until curl -s -o /dev/null http://127.0.0.1:%d/; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "http.server does not answer" >&2; kill $srv; exit 1; }
    sleep 0.1
done
"$1" "http://127.0.0.1:%d/$2"
for f in /tmp/firmware_update*; do [ -e "$f" ] && echo "LEFT $f"; done
kill $srv
""" % (kvtest.PYTHON, FW_PORT, FW_PORT, FW_PORT)


def package(script):
    """A .tar.gz holding update.sh with that body."""
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as tar:
        body = ("#!/bin/sh\n" + script).encode()
        info = tarfile.TarInfo("./update.sh")
        info.size, info.mode = len(body), 0o755
        tar.addfile(info, io.BytesIO(body))
    return data.getvalue()


GOOD = 'echo "updating in $(pwd)"\npwd > /run/sandbox/fw/updated\n'
FIRMWARE_CASES = [
    # name, served file (None: none), result, steps taken, ERROR texts,
    # left in /tmp, update log
    ("good", package(GOOD), 0, 3, [], [], r"updating in %s\n" % FOLDER),
    ("failing script", package('echo "bad image"\nexit 3\n'), -1, 3,
     [r"Failed to apply firmware update, check %s for details" % UPDATE_LOG], [], "bad image\n"),
    ("missing", None, -1, 1, ["Failed to download firmware update, code: 22"], [PACKAGE], None),
    ("not gzip", b"garbage", -1, 2,
     ["Failed to extract firmware update, code: 2",
      r"Command: tar -xzf %s -C %s && rm -f %s" % (PACKAGE, FOLDER, PACKAGE)], [PACKAGE], None),
]
STEPS = ["Downloading firmware update", "Extracting update package", "Applying firmware update"]


@pytest.mark.parametrize("data,result,steps,errors,left,update_log",
                         [c[1:] for c in FIRMWARE_CASES], ids=[c[0] for c in FIRMWARE_CASES])
def test_firmware_update(device, data, result, steps, errors, left, update_log):
    """Download, unpack into a new folder, run update.sh there, remove the
    folder; a failed step ends the update and still removes the folder."""
    driver = kvtest.REPO / "build" / "tests" / "e2e" / "drivers" / "kvfirmwarectl"
    assert driver.exists(), "%s not built" % driver
    fw = device.root / "run" / "sandbox" / "fw"
    fw.mkdir()
    if data is not None:
        (fw / "fw.tar.gz").write_bytes(data)
    res = device.run(["/bin/sh", "-c", FW_RUN, "sh", driver, "fw.tar.gz"], timeout=120)
    out = res.stdout
    assert res.returncode == 0 and "RESULT firmware_update %d\n" % result in out, \
        out + res.stderr
    found = log_entries(types.SimpleNamespace(log_text=lambda: out))
    assert len(found) == len(errors), found
    for (level, text), expected in zip(found, errors):
        assert level == "ERROR" and re.fullmatch(expected, text), (text, expected)
    assert re.findall(r"(?m)^LEFT (.*)$", out) == left
    assert re.findall(r"(?m) INFO  (.*)$", out) == STEPS[:steps], out
    log_path = device.var_log / "firmware_update.log"
    if update_log is None:
        assert not log_path.exists()
    else:
        assert re.fullmatch(update_log, log_path.read_text()), log_path.read_text()
    if data is not None and result == 0:
        assert re.fullmatch(FOLDER + "\n", (fw / "updated").read_text())
