#!/usr/bin/env bash
# The agent's main job, on this machine: a simulated device (network namespace
# + sandbox with the device's folders, and the simulated miner
# devtools/minersim.py in place of cgminer) running the real kvagent against a
# local development management server over TLS. The agent's log is shown until
# Ctrl-C.
#
# While it runs, talk to the agent through the server from another terminal:
#   /usr/bin/python3 devtools/devctl.py /tmp/kvagent-demo/control.sock send '{"type":"status"}'
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/install-deps.sh
bash scripts/build.sh build

work=/tmp/kvagent-demo
ns=kvdemo
port=8443
server_pid=

cleanup() {
  trap - EXIT INT TERM
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
  echo "demo: stopped; the device's files are in $work/root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 devtools/devserver.py gen-certs --out "$work/certs" >/dev/null
bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
bash devtools/sandbox netns-up "$ns" --mac 00:11:22:aa:bb:cc
bash devtools/sandbox root-init "$work/root" >/dev/null
cp "$work/certs/ca.pem" "$work/root/opt/korvane/certs/letsencrypt.pem"
cat > "$work/root/config/korvane.json" <<JSON
{"api_key": "demo-api-key-0123456789abcdef"}
JSON
# The miner's configuration; the simulated miner needs 20 s before it hashes,
# like a real one initialising its chains.
cat > "$work/root/config/cgminer.conf" <<JSON
{
  "pools": [
    {"url": "stratum+tcp://pool.example.invalid:3333", "user": "demo.worker1", "pass": "x"},
    {"url": "stratum+tcp://backup.example.invalid:3333", "user": "demo.worker2", "pass": "x"}
  ],
  "api-listen": true,
  "api-network": true,
  "bitmain-use-vil": true,
  "bitmain-freq": "384",
  "bitmain-voltage": "0725"
}
JSON
echo "--warmup 20" > "$work/root/run/sandbox/minersim.args"

# The server asks for a registration, so the demo shows the configuration upload too.
ip netns exec "$ns" /usr/bin/python3 devtools/devserver.py serve --port "$port" \
  --cert "$work/certs/server.pem" --key "$work/certs/server.key" \
  --record "$work/server.jsonl" --control "$work/control.sock" --auth register \
  2> >(sed 's/^/    /' >&2) &
server_pid=$!
for _ in $(seq 50); do [ -S "$work/control.sock" ] && break; sleep 0.1; done

echo "demo: miner and agent starting; Ctrl-C stops them (server record: $work/server.jsonl," \
  "miner log: $work/root/var/log/minersim.log)"
set +e
# The miner starts first in the agent's sandbox (its pid namespace: the agent
# finds it with pidof), then the shell becomes the agent.
bash devtools/sandbox run --netns "$ns" --root "$work/root" -- \
  /bin/sh -c '/etc/init.d/cgminer.sh start; exec "$@"' sh \
  "$repo/build/kvagent" -s "wss://localhost:$port/api/v1/ws"
status=$?
set -e
echo "demo: agent exited with status $status"
