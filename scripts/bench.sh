#!/usr/bin/env bash
# Outgoing queue benchmark: bench/bench_queue inside the device sandbox against
# the development server. Usage: scripts/bench.sh [MESSAGES] [THREADS]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
messages=${1:-20000}
threads=${2:-4}

bash scripts/install-deps.sh
bash scripts/build.sh build

work=$(mktemp -d /tmp/kvagent-bench.XXXXXX)
ns=kvbench$$
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 devtools/devserver.py gen-certs --out "$work/certs" >/dev/null
bash devtools/sandbox netns-up "$ns" >/dev/null
bash devtools/sandbox root-init "$work/root" >/dev/null
cp "$work/certs/ca.pem" "$work/root/opt/korvane/certs/letsencrypt.pem"
echo '{"api_key": "bench-api-key-0123456789abcdef"}' > "$work/root/config/korvane.json"
# Log only warnings and errors: the benchmark measures the queue, not the logger.
sed -i 's/^log4cplus.rootLogger=INFO/log4cplus.rootLogger=WARN/; s/^log4cplus.logger.agent=INFO/log4cplus.logger.agent=WARN/' \
  "$work/root/opt/korvane/etc/log.conf"

ip netns exec "$ns" /usr/bin/python3 devtools/devserver.py serve --port 8443 \
  --cert "$work/certs/server.pem" --key "$work/certs/server.key" \
  --record "$work/server.jsonl" --control "$work/control.sock" --auth accept 2>/dev/null &
server_pid=$!
for _ in $(seq 50); do [ -S "$work/control.sock" ] && break; sleep 0.1; done

bash devtools/sandbox run --netns "$ns" --root "$work/root" -- \
  "$repo/build/bench/bench_queue" -n "$messages" -t "$threads" -- -s wss://localhost:8443/api/v1/ws
received=$(grep -c '"type": "bench"' "$work/server.jsonl" || true)
echo "bench: the server recorded $received bench messages"
