"""kvdev: the development tools of kvagent as one library.

Modules:
  devserver   the development management server (the agent's WebSocket peer)
  devctl      the client of a running devserver's control socket
  minersim    the simulated cgminer of the device sandbox
  demoview    a live view of a devserver record
  webview     the devserver's page (devserver.py web): the devices of a
              record live in a browser, commands through the control socket
  soak        the fault soak driver
  schemas     the loader and checker of the agent's message schemas
              (protocol/schemas)
  runners     a sandboxed device, the development server and the agent as
              the end-to-end tests and the soak run them

The command-line tools are the scripts beside this folder (devtools/devserver.py
and the others); each runs the module of the same name. The modules also run
with `python3 -m kvdev.<module>` when devtools/ is on the import path, as it
is for the end-to-end tests (tests/e2e/pytest.ini).

Standard library only, apart from what a module says it needs; run with
Debian's /usr/bin/python3.
"""

from pathlib import Path

# The checkout this library is part of.
REPO = Path(__file__).resolve().parents[2]
