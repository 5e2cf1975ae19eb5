"""Fixtures for the end-to-end tests (the objects: kvdev.runners, through kvtest.py).

  certs, other_certs, expired_certs,
  future_certs, wrong_host_certs      session: development certificates
  make_device(**opts) / device        a sandboxed device (netns + root folder)
  start_server(device, ...) / server  devserver.py in the device's namespace
  start_agent(device, ...)            the agent binary in the device's sandbox
                                      (miner=True: with the simulated miner)

Device options, as keyword arguments to make_device or on a marker:
  @pytest.mark.device(mac="02:00:00:00:00:01", route=False, resolv=False,
                      log_conf=False, install_ca=False,
                      miner_config=kvtest.DEFAULT_MINER_CONFIG)
"""

import os
import shutil
import subprocess

import pytest

import kvtest
from kvdev import schemas

_UNSET = object()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "device(**opts): options for the `device` fixture "
        "(mac, route, resolv, log_conf, install_ca, ip, gateway, miner_config)")
    config.addinivalue_line("markers", "slow: takes a minute or more (deselect: -m 'not slow')")
    config.addinivalue_line("markers", "soak: the fault soak (devtools/soak.py, SOAK_SECONDS, "
                            "default 120); runs only when selected: -m soak")
    config.addinivalue_line("markers", "asan: in the set run again with the AddressSanitizer "
                            "build (KVAGENT_ASAN=1 KVAGENT_BIN=build-asan/kvagent -m asan)")
    config.addinivalue_line("markers", "memcheck: in the set run again under valgrind "
                            "(KVAGENT_VALGRIND=1 -m memcheck)")


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)


def _failed(request):
    return any(getattr(request.node, "rep_" + w, None) is not None
               and getattr(request.node, "rep_" + w).failed for w in ("setup", "call"))


@pytest.fixture(scope="session")
def _sandbox_ok():
    if os.geteuid() != 0:
        pytest.skip("end-to-end tests need root (network namespaces)")
    for tool in ("ip", "bwrap", "openssl"):
        if shutil.which(tool) is None:
            pytest.skip("end-to-end tests need %s" % tool)
    kvtest.remove_stale_namespaces()
    return True


def _gen(out, *extra):
    subprocess.run([kvtest.PYTHON, str(kvtest.DEVSERVER), "gen-certs", "--out", str(out), *extra],
                   check=True, capture_output=True)
    return {"dir": out, "ca": out / "ca.pem", "ca_key": out / "ca.key",
            "cert": out / "server.pem", "key": out / "server.key"}


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """Development CA and a server certificate for localhost/127.0.0.1."""
    return _gen(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="session")
def other_certs(tmp_path_factory):
    """A server certificate from an unrelated CA (the agent must refuse it)."""
    return _gen(tmp_path_factory.mktemp("other-certs"), "--ca-name", "Unrelated test CA")


@pytest.fixture(scope="session")
def expired_certs(tmp_path_factory, certs):
    """An expired server certificate from the development CA."""
    return _gen(tmp_path_factory.mktemp("expired-certs"), "--ca-dir", str(certs["dir"]),
                "--expired")


@pytest.fixture(scope="session")
def future_certs(tmp_path_factory, certs):
    """A server certificate from the development CA that is not valid yet."""
    return _gen(tmp_path_factory.mktemp("future-certs"), "--ca-dir", str(certs["dir"]),
                "--not-yet-valid")


@pytest.fixture(scope="session")
def wrong_host_certs(tmp_path_factory, certs):
    """A server certificate from the development CA for another host name
    (wrong-host.example only: neither localhost nor 127.0.0.1)."""
    return _gen(tmp_path_factory.mktemp("wrong-host-certs"), "--ca-dir", str(certs["dir"]),
                "--host", "wrong-host.example")


def _dump(request, devices):
    if not _failed(request):
        return
    for d in devices:
        print("==== device %s root %s" % (d.name, d.root))
        for a in d.agents:
            print(a.report())
        for s in d.servers:
            print("---- devserver :%d ----" % s.port)
            print(s.stderr_text())
            print(s.describe_events())
        cmds = d.commands()
        if cmds:
            print("---- commands.log ----\n" + "\n".join(cmds))
        miner_log = d.miner_log_text()
        if miner_log:
            print("---- minersim.log ----\n" + miner_log)
        reqs = d.miner_requests()
        if reqs:
            print("---- miner requests (last 20 of %d) ----" % len(reqs))
            for r in reqs[-20:]:
                print("  %.3f %s (%s)" % (r["time"], r["command"], r["mode"]))


@pytest.fixture
def make_device(request, tmp_path, certs, _sandbox_ok):
    """make_device(mac=..., route=True, resolv=True, log_conf=True,
    install_ca=True, ip=..., gateway=..., miner_config=None) -> kvtest.Device
    (set up; torn down after the test). miner_config: written as
    /config/cgminer.conf (dict, str or bytes; True: kvtest.DEFAULT_MINER_CONFIG;
    None: no file)."""
    devices = []

    def make(install_ca=True, miner_config=None, **opts):
        base = tmp_path / ("dev%d" % (len(devices) + 1))
        base.mkdir()
        dev = kvtest.Device(base, **opts)
        devices.append(dev)
        dev.setup()
        if install_ca:
            dev.install_ca(certs["ca"])
        if miner_config is True:
            miner_config = kvtest.DEFAULT_MINER_CONFIG
        if miner_config is not None:
            dev.write_miner_config(miner_config)
        return dev

    yield make
    _dump(request, devices)
    for d in devices:
        d.teardown()
    errors = "\n".join(filter(None, (d.memory_errors() for d in devices)))
    violations = _schema_violations(devices)
    if errors:
        pytest.fail("memory errors reported:\n" + errors, pytrace=False)
    if violations:
        pytest.fail("agent messages that break protocol/schemas (%d):\n%s"
                    % (len(violations), "\n".join(violations[:40])), pytrace=False)


def _schema_violations(devices):
    """Every message the agent sent to a devserver of the test, checked
    against protocol/schemas (kvdev.schemas). Devices where no agent
    ran are left out: their servers only saw the harness's own clients."""
    out = []
    for d in devices:
        if not d.agents:
            continue
        for s in d.servers:
            for i, e in enumerate(s.events()):
                if e["event"] != "message":
                    continue
                for err in schemas.validate_agent_message(e["msg"]):
                    out.append("devserver :%d record #%d conn %s: %s"
                               % (s.port, i, e.get("conn"), err))
    return out


@pytest.fixture
def device(request, make_device):
    marker = request.node.get_closest_marker("device")
    opts = dict(marker.kwargs) if marker else {}
    return make_device(**opts)


@pytest.fixture
def start_server(certs):
    """start_server(device, auth="accept", refuse_message=None, certs=None,
    port=None, config_ack=True) -> kvtest.DevServer, running in the device's namespace.
    `certs` may be other_certs / expired_certs to serve a different
    certificate. Stopped with the device."""
    def start(device, auth="accept", refuse_message=None, certs=None, port=None,
              config_ack=True):
        c = certs or certs_default
        return kvtest.DevServer(device, c, port=port, auth=auth, refuse_message=refuse_message,
                                config_ack=config_ack).start()
    certs_default = certs
    return start


@pytest.fixture
def server(device, start_server):
    """A devserver (auth=accept) in the `device` fixture's namespace."""
    return start_server(device)


@pytest.fixture
def start_agent():
    """start_agent(device, args=(), config=<valid>, server=None,
    server_url="auto", valgrind=None, ro_binds=(), keep_config=False,
    miner=False, wrapper=None) -> kvtest.Agent.

    config: dict (written as JSON) / str / bytes (written as is) / None (no
    /config/korvane.json); default {"api_key": kvtest.API_KEY}; pass
    keep_config=True to leave the file alone.
    server_url "auto": "-s <server.url>" (or a URL where nothing listens if
    no server) is put before `args`; None: `args` only; a string: that URL.
    miner=True: /etc/init.d/cgminer.sh start runs first in the agent's
    sandbox (the simulated miner; see Device.miner_* for its files).
    wrapper: a command prefix run in the sandbox in front of the agent (e.g.
    strace, a restart loop); Agent.pid is then the wrapper's process.
    """
    def start(device, args=(), config=_UNSET, server=None, server_url="auto",
              valgrind=None, ro_binds=(), keep_config=False, miner=False, wrapper=None):
        if not keep_config:
            device.write_config({"api_key": kvtest.API_KEY} if config is _UNSET else config)
        full = []
        if server_url == "auto":
            server_url = server.url if server is not None else device.unused_url()
        if server_url is not None:
            full += ["-s", server_url]
        full += list(args)
        return kvtest.Agent(device, full, valgrind=valgrind, ro_binds=ro_binds,
                            miner=miner, wrapper=wrapper).start()
    return start
