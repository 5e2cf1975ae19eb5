#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz into build-fuzz (clang,
# AddressSanitizer + UBSan) and runs each one for FUZZ_SECONDS (default 10) on
# a copy of its checked-in corpus (tests/fuzz/corpus/<harness>), so the run
# never changes the checkout. Fails on any crash, leak, timeout, out-of-memory
# or sanitizer report, printing the input that caused it. Root is needed: each
# harness confines itself to private mount and network namespaces.
#
#   FUZZ_SECONDS=3600 bash scripts/fuzz.sh     a long run
#   FUZZ_MERGE=1 bash scripts/fuzz.sh          also merge new findings into the corpora
#   FUZZ_HARNESS="fuzz_api fuzz_url" ...       only these harnesses
#   FUZZ_KEEP=1                                keep the work folder (/tmp/kvagent-fuzz.*)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

seconds=${FUZZ_SECONDS:-10}
merge=${FUZZ_MERGE:-0}
rss_mb=${FUZZ_RSS_MB:-2048}
timeout_s=${FUZZ_TIMEOUT:-10}
all=(fuzz_dispatch fuzz_sections fuzz_miner_config fuzz_network_config fuzz_api fuzz_chip_hr
     fuzz_url)
read -r -a harnesses <<< "${FUZZ_HARNESS:-${all[*]}}"

[[ $(id -u) -eq 0 ]] || { echo "fuzz.sh: must run as root (namespaces)" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || { echo "fuzz.sh: bad FUZZ_SECONDS" >&2; exit 2; }

bash scripts/install-deps.sh

echo "== build (build-fuzz)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKVAGENT_FUZZ=ON -DKVAGENT_TESTS=OFF \
  -DKVAGENT_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${harnesses[@]}"

work=$(mktemp -d /tmp/kvagent-fuzz.XXXXXX)
if [[ ${FUZZ_KEEP:-0} == 0 ]]; then
  trap 'rm -rf "$work"' EXIT
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
rows=()
for h in "${harnesses[@]}"; do
  bin=$repo/build-fuzz/tests/fuzz/$h
  seeds=$repo/tests/fuzz/corpus/$h
  [[ -x $bin && -d $seeds ]] || { echo "fuzz.sh: no harness or corpus for $h" >&2; exit 2; }
  dir=$work/$h
  mkdir -p "$dir/tmp" "$dir/artifacts"
  cp -r "$seeds" "$dir/corpus"
  args=(-max_total_time="$seconds" -rss_limit_mb="$rss_mb" -timeout="$timeout_s"
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/")
  if [[ -f $repo/tests/fuzz/$h.dict ]]; then
    # Beside the corpus: a checkout under /tmp is out of the harness's sight
    # (it gets a scratch /tmp of its own).
    cp "$repo/tests/fuzz/$h.dict" "$dir/dict"
    args+=(-dict=dict)
  fi
  echo "== $h (${seconds}s)"
  rc=0
  (cd "$dir" && TMPDIR=$dir/tmp "$bin" "${args[@]}" corpus >"$dir/log" 2>&1) || rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -n 1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$dir/log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$last")
  mapfile -t found < <(find "$dir/artifacts" -type f | sort)
  status=ok
  if [[ $rc -ne 0 || ${#found[@]} -gt 0 ]]; then
    status=FAILED
    failed=1
    echo "-- $h failed (exit $rc); the end of its log ($dir/log):"
    grep -E 'ERROR|SUMMARY|runtime error|^[a-z].*(record|settings|snapshot|view|message)' \
      "$dir/log" | head -n 20 || true
    tail -n 25 "$dir/log"
    for f in "${found[@]}"; do
      # Kept beside the checkout's corpus: the work folder goes away.
      keep=$repo/build-fuzz/findings/$h/$(basename "$f")
      mkdir -p "$(dirname "$keep")"
      cp "$f" "$keep"
      echo "-- input: $keep"
    done
  fi
  rows+=("$(printf '%-20s %12s %10s %7s %7s  %s' "$h" "${execs:-?}" "${speed:-?}" "${cov:-?}" \
    "${ft:-?}" "$status")")

  if [[ $merge == 1 && $status == ok ]]; then
    # The checked-in corpus takes the inputs that add coverage.
    (cd "$dir" && KVFUZZ_RW=$seeds TMPDIR=$dir/tmp "$bin" -merge=1 -rss_limit_mb="$rss_mb" \
      -timeout="$timeout_s" "$seeds" corpus >"$dir/merge.log" 2>&1) || {
      echo "fuzz.sh: merge of $h failed, see $dir/merge.log" >&2
      failed=1
    }
  fi
done

echo
printf '%-20s %12s %10s %7s %7s  %s\n' harness executions exec/s cov ft result
for r in "${rows[@]}"; do
  echo "$r"
done
exit $failed
