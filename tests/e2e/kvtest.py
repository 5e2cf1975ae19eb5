"""End-to-end test helpers: the runners of kvdev.runners (a sandboxed device,
the development server, the agent) as the tests use them, and what only the
tests need.

The device, server and agent runners live in devtools/kvdev/runners.py (the
fault soak uses them too); they are re-exported here, so tests write
kvtest.Device, kvtest.wait_for, kvtest.API_KEY. The fixtures in conftest.py
build these objects.

Environment (see kvdev.runners):
  KVAGENT_BIN=path      agent binary (default <repo>/build/kvagent; the test script
                        runs the static build-static-x86_64/kvagent, which ships)
  KVAGENT_VALGRIND=1    run the agent under valgrind (timeouts scaled by 10)
"""

import os
import re

from kvdev import runners
from kvdev.runners import *  # noqa: F401,F403 (re-exported for the tests)
from kvdev.runners import DEVTOOLS, LOG_PREFIX

# What the agent under test says about itself.
VERSION = "2.0.0"
HELP_TEXT = (
    "Korvane agent v2.0.0\n"
    "\n"
    "USAGE: kvagent [OPTIONS]\n"
    "    -c,--config <file>        Set agent config file\n"
    "    -u,--upload               Force upload miner config\n"
    "    -h                        Display this message\n"
)


def python_env(env=None):
    """Environment for a Python child process that imports kvdev: `env`
    (default: this one's) with devtools/ first on PYTHONPATH."""
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(DEVTOOLS), env.get("PYTHONPATH")]))
    return env


# ---------------------------------------------------------------- log lines
# The agent polls the miner's API from its status and metrics threads every
# few seconds; each failed call logs ERROR lines of the API client
# (src/miner/api.cpp): while no miner answers, at any moment of a scenario.
# Assertions on what a step logged leave them out through log_lines() /
# without_periodic() rather than timing around them.

# One line of the agent's log: level, then (on ERROR lines) "file:line: ".
LOG_LINE = re.compile(r"^\r?%s(?P<level>[A-Z]+) +(?:(?P<source>[\w./-]+):\d+: )?(?P<text>.*?)\r?$"
                      % LOG_PREFIX)
# The API client's messages: by their source file, or by their text.
PERIODIC_SOURCE = "miner/api.cpp"
PERIODIC_TEXTS = ("Connection failed to API at ", "Failed to send API request",
                  "Failed to receive API response", "Failed to parse API response:",
                  "Can't resove hostname: ", "Can't create a socket: ")


def is_periodic(line):
    """True for a log line of the agent's miner-API polling."""
    m = LOG_LINE.match(line)
    if not m or m.group("level") != "ERROR":
        return False
    return (m.group("source") or "").endswith(PERIODIC_SOURCE) \
        or m.group("text").startswith(PERIODIC_TEXTS)


def without_periodic(lines):
    """`lines` (of the agent's output) less its periodic miner-API lines and
    the lines that continue one (those without a log line's prefix, such as
    the answer after "Failed to parse API response:")."""
    out = []
    dropping = False
    for line in lines:
        if LOG_LINE.match(line):
            dropping = is_periodic(line)
        if not dropping:
            out.append(line)
    return out


def log_lines(source, since=0, ignore_periodic=True):
    """The lines of an agent's merged output from character `since` (split
    at "\\n" only; a line may keep a "\\r"). `source`: an Agent (what it has
    written so far is read in first), anything with log_text(), or a text.
    ignore_periodic=True leaves out the periodic miner-API lines."""
    if isinstance(source, str):
        text = source
    else:
        settle = getattr(source, "settle_output", None)
        if settle is not None:
            settle()
        text = source.log_text()
    lines = text[since:].split("\n")
    if lines[-1] == "":
        lines.pop()
    return without_periodic(lines) if ignore_periodic else lines


__all__ = runners.__all__ + ["HELP_TEXT", "VERSION", "python_env", "LOG_LINE", "is_periodic",
                             "without_periodic", "log_lines"]
