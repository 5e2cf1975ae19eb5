#!/usr/bin/env bash
# Cross-builds the agent and its unit tests for the device's ARM board (armhf)
# into build-armhf/ with Debian's cross compiler and armhf multiarch packages
# (installed first, as root: scripts/install-deps-armhf.sh). Extra arguments go
# to cmake.
#
#   bash scripts/build-armhf.sh            # build-armhf/kvagent and the unit tests
#   bash scripts/build-armhf.sh --test     # also run the unit tests under qemu-user
#   ARMHF_TESTS=1 bash scripts/build-armhf.sh
#
# BUILD_JOBS (default: the number of cores) and NICE (default 0; e.g. 19 on a
# shared machine) tune the build.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-armhf

run_tests=${ARMHF_TESTS:-0}
args=()
for a in "$@"; do
  case "$a" in
    --test) run_tests=1 ;;
    *) args+=("$a") ;;
  esac
done

bash scripts/install-deps-armhf.sh "$dir/deps"

nice -n "${NICE:-0}" cmake -S . -B "$dir" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/debian-armhf.cmake \
  -DKVAGENT_LWS_ARMHF_DIR="$PWD/$dir/deps/lws" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVAGENT_BENCH=OFF -DKVAGENT_TESTS=ON \
  ${args[@]+"${args[@]}"} >/dev/null
nice -n "${NICE:-0}" cmake --build "$dir" -j"${BUILD_JOBS:-$(nproc)}"

if [ "$run_tests" = 1 ]; then
  echo "== unit tests (armhf, under qemu-user)"
  # The emulator command (toolchain file) sets KVAGENT_EMULATED=1 for the tests.
  nice -n "${NICE:-0}" ctest --test-dir "$dir" --output-on-failure
fi
