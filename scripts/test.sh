#!/usr/bin/env bash
# Runs every test: the fully static binaries that ship (x86-64 and the
# device's armhf, built from Debian's packages and sources; no interpreter, no
# shared library, within their size budgets), the size budget of the
# shared-library build, unit tests, unit tests again under
# AddressSanitizer+UBSan and ThreadSanitizer and, cross-built for the device's
# ARM board, under qemu-user; a short run of every fuzzing harness; the
# end-to-end scenarios against the static binary in the device sandbox (the
# armhf one under qemu-arm among them), a chosen set of them again with the
# agent under AddressSanitizer and under valgrind; and, with SOAK_SECONDS set,
# a fault soak.
#
# Extra arguments go to the main end-to-end pytest run. Each stage prints the
# seconds it took. The end-to-end scenarios mostly wait on the agent's own
# timers, so they run in parallel (pytest-xdist; E2E_WORKERS, default 4; each
# device has its own namespace).
set -euo pipefail
cd "$(dirname "$0")/.."

stage_name=
stage_start=$SECONDS
stage() {
  if [ -n "$stage_name" ]; then
    echo "-- $stage_name: $((SECONDS - stage_start)) s"
  fi
  stage_name=$1
  stage_start=$SECONDS
  echo "== $1"
}

# Debian's Chromium: the development server's page is tested in a real
# (headless) browser.
bash scripts/install-deps.sh chromium

# Compilations are cached outside the clone (ccache, keyed by content with
# paths relative to the checkout), so a later run on this machine rebuilds
# only what changed. The static builds that ship do not use it.
export CCACHE_DIR=${CCACHE_DIR:-/var/cache/kvagent-ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-3G}
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
# Unit tests run one at a time: a fake miner's "nothing listens here" port
# may be taken by another test's listener meanwhile.

stage "build"
bash scripts/build.sh build
stage "size of the stripped binary (budget 250 KB)"
bash scripts/check-size.sh build/kvagent

stage "static binaries (what ships; dependencies cached in ${KVAGENT_STATIC_CACHE:-/var/cache/kvagent-static})"
bash scripts/build-static.sh x86_64
bash scripts/build-static.sh armhf
bash scripts/check-size.sh build-static-armhf/kvagent $((4 * 1024 * 1024))

# Each unit test runs as a process of its own in folders of its own; most of
# their time is waiting (watchers, threads), so two run side by side.
stage "unit tests"
ctest --test-dir build --output-on-failure -j2

stage "unit tests (AddressSanitizer + UBSan)"
bash scripts/build.sh build-asan -DKVAGENT_ASAN=ON -DKVAGENT_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j2

stage "unit tests (ThreadSanitizer)"
bash scripts/build.sh build-tsan -DKVAGENT_TSAN=ON -DKVAGENT_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure -j2

stage "armhf cross-build, unit tests under qemu-user"
bash scripts/build-armhf.sh --test

stage "fuzzing smoke run (every harness, FUZZ_SECONDS each)"
FUZZ_SECONDS=${FUZZ_SECONDS:-5} bash scripts/fuzz.sh

stage "end-to-end tests (the static binary)"
workers=${E2E_WORKERS:-4}
KVAGENT_BIN=build-static-x86_64/kvagent /usr/bin/python3 -m pytest -q -n "$workers" tests/e2e "$@"

stage "end-to-end scenarios, agent under AddressSanitizer + UBSan"
KVAGENT_ASAN=1 KVAGENT_BIN=build-asan/kvagent /usr/bin/python3 -m pytest -q -n "$workers" -m asan tests/e2e

stage "end-to-end scenarios, agent under valgrind memcheck"
KVAGENT_VALGRIND=1 /usr/bin/python3 -m pytest -q -n 2 -m memcheck tests/e2e

# The fault soak is a long run: only with SOAK_SECONDS set (e.g. 120). Its
# quick checks of the fault controls run with the end-to-end tests above.
if [ -n "${SOAK_SECONDS:-}" ]; then
  stage "fault soak (SOAK_SECONDS=$SOAK_SECONDS)"
  KVAGENT_BIN=build-static-x86_64/kvagent /usr/bin/python3 -m pytest -q -m soak tests/e2e
else
  echo "(fault soak left out: SOAK_SECONDS=120 bash scripts/test.sh runs it)"
fi
stage "done"
