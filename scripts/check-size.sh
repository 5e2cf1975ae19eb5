#!/usr/bin/env bash
# Fails when the stripped agent grows beyond its budget (README.md, "Footprint").
#
#   bash scripts/check-size.sh [BINARY] [LIMIT_BYTES]
#
# BINARY defaults to build/kvagent, LIMIT_BYTES to 250 KB (256000 bytes); the
# binary itself is left as it is (strip writes a copy; an ARM binary is
# stripped with the cross toolchain's strip).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/kvagent}
limit=${2:-256000}
[ -f "$bin" ] || { echo "check-size: no $bin (build it first)" >&2; exit 2; }
[[ $limit =~ ^[0-9]+$ ]] || { echo "check-size: LIMIT_BYTES must be a number" >&2; exit 2; }
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
strip=strip
if readelf -h "$bin" | grep -q 'Machine:.*ARM'; then
  strip=arm-linux-gnueabihf-strip
fi
"$strip" -o "$tmp" "$bin"
size=$(stat -c %s "$tmp")
if [ "$size" -gt "$limit" ]; then
  echo "check-size: stripped $bin is $size bytes, over the budget of $limit bytes" >&2
  exit 1
fi
echo "check-size: stripped $bin is $size bytes (budget $limit)"
