#!/usr/bin/env bash
# Miner API benchmark: bench/bench_api inside the device sandbox against the
# simulated miner. Usage: scripts/bench-api.sh [CALLS]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
calls=${1:-2000}

bash scripts/install-deps.sh
bash scripts/build.sh build

work=$(mktemp -d /tmp/kvagent-bench-api.XXXXXX)
ns=kvbapi$$
cleanup() {
  bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

bash devtools/sandbox netns-up "$ns" >/dev/null
bash devtools/sandbox root-init "$work/root" >/dev/null
cat > "$work/root/config/cgminer.conf" <<JSON
{"pools": [{"url": "stratum+tcp://pool.example.invalid:3333", "user": "bench.1", "pass": "x"},
           {"url": "stratum+tcp://backup.example.invalid:3333", "user": "bench.2", "pass": "x"}],
 "bitmain-freq": "384"}
JSON
# Log only warnings and errors: the benchmark measures the client, not the logger.
sed -i 's/^log4cplus.rootLogger=INFO/log4cplus.rootLogger=WARN/; s/^log4cplus.logger.agent=INFO/log4cplus.logger.agent=WARN/' \
  "$work/root/opt/korvane/etc/log.conf"

bash devtools/sandbox run --netns "$ns" --root "$work/root" -- /bin/sh -c '
  /etc/init.d/cgminer.sh start >/dev/null 2>&1 || exit 1
  for kind in stats pools; do "$1" -n "$2" -k $kind || exit 1; done
  "$1" -n $(($2 / 10)) -k metrics' sh "$repo/build/bench/bench_api" "$calls"
