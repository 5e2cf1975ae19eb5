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

from kvdev import runners
from kvdev.runners import *  # noqa: F401,F403 (re-exported for the tests)
from kvdev.runners import DEVTOOLS

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


__all__ = runners.__all__ + ["HELP_TEXT", "VERSION", "python_env"]
