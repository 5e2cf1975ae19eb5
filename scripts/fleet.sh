#!/usr/bin/env bash
# A farm on one machine: N sandboxed devices (agent + simulated miner each,
# own namespace, MAC, address and /config) on one TEST-NET farm network with
# one development server, for the figures a server implementer needs.
#
#   bash scripts/fleet.sh N SCENARIO [SECONDS]
#
# SCENARIO: steady (measure SECONDS, default 90), restart (the server process
# restarted; until every device is back), outage (the server down SECONDS,
# default 120, then back). Prints the figures at the end and keeps them, the
# server record and each device's files in FLEET_DIR (default
# /tmp/kvagent-fleet, emptied first). Ctrl-C stops everything cleanly.
#   KVAGENT_BIN=path  the agent (default: the static x86-64 build, built here)
#   FLEET_SEED=N      the devices' miners and faults (printed in the figures)
# As root. Part of no test run: it takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 2 ]]; then
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
bash scripts/install-deps.sh
if [[ -z ${KVAGENT_BIN:-} ]]; then
  bash scripts/build-static.sh x86_64
  export KVAGENT_BIN=$PWD/build-static-x86_64/kvagent
fi
out=${FLEET_DIR:-/tmp/kvagent-fleet}
rm -rf "$out"
# Each device holds a few descriptors here (its agent's pipes, its sandbox).
ulimit -n 65536 2>/dev/null || true
args=("$@" --out "$out")
if [[ -n ${FLEET_SEED:-} ]]; then
  args+=(--seed "$FLEET_SEED")
fi
exec /usr/bin/python3 devtools/fleet.py "${args[@]}"
