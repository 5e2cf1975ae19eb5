#!/usr/bin/env bash
# Runs every test: the size budget of the binary, unit tests, unit tests again
# under AddressSanitizer+UBSan and ThreadSanitizer and, cross-built for the
# device's ARM board, under qemu-user; a short run of every fuzzing harness;
# the end-to-end scenarios against the real binary in the device sandbox, a
# chosen set of them again with the agent under AddressSanitizer and under
# valgrind; and a short fault soak.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== build"
bash scripts/build.sh build
echo "== size of the stripped binary (budget 250 KB)"
bash scripts/check-size.sh build/kvagent

echo "== unit tests"
ctest --test-dir build --output-on-failure

echo "== unit tests (AddressSanitizer + UBSan)"
bash scripts/build.sh build-asan -DKVAGENT_ASAN=ON -DKVAGENT_BENCH=OFF
ctest --test-dir build-asan --output-on-failure

echo "== unit tests (ThreadSanitizer)"
bash scripts/build.sh build-tsan -DKVAGENT_TSAN=ON -DKVAGENT_BENCH=OFF
ctest --test-dir build-tsan --output-on-failure

echo "== armhf cross-build, unit tests under qemu-user"
bash scripts/build-armhf.sh --test

echo "== fuzzing smoke run (every harness, FUZZ_SECONDS each)"
FUZZ_SECONDS=${FUZZ_SECONDS:-5} bash scripts/fuzz.sh

echo "== end-to-end tests"
/usr/bin/python3 -m pytest -q tests/e2e "$@"

echo "== end-to-end scenarios, agent under AddressSanitizer + UBSan"
KVAGENT_ASAN=1 KVAGENT_BIN=build-asan/kvagent /usr/bin/python3 -m pytest -q -m asan tests/e2e

echo "== end-to-end scenarios, agent under valgrind memcheck"
KVAGENT_VALGRIND=1 /usr/bin/python3 -m pytest -q -m memcheck tests/e2e

echo "== fault soak (SOAK_SECONDS)"
SOAK_SECONDS=${SOAK_SECONDS:-120} /usr/bin/python3 -m pytest -q -m soak tests/e2e
