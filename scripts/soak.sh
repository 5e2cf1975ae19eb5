#!/usr/bin/env bash
# Fault soak of the agent in a sandboxed device (devtools/soak.py): faults on
# the server's side, the miner's and the kernel-log script's for SOAK_SECONDS
# (default 150; a day: SOAK_SECONDS=86400), with the agent's liveness, memory,
# descriptors, reconnect delays, stop and configuration files checked.
# SOAK_SEED=N replays a schedule, SOAK_REPORT=FILE keeps the JSON summary;
# the other settings are at the top of devtools/kvdev/soak.py. As root.
# Exit status: 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z ${KVAGENT_BIN:-} && ! -x build/kvagent ]]; then
  bash scripts/build.sh build
fi
exec /usr/bin/python3 devtools/soak.py "$@"
