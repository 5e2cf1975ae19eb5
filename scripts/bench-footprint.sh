#!/usr/bin/env bash
# The agent's footprint, for the budget in README.md ("Footprint"):
#
#   size      stripped size of the x86-64 binary, and of the armhf one when a
#             cross-build exists (build-armhf/kvagent, arm-linux-gnueabihf-strip)
#   run       the demo device (the sandbox, the simulated miner mining, the
#             demo's /config, the development server; as scripts/demo.sh and
#             scripts/bench-device.sh set it up, here in namespace kvfp and
#             /tmp/kvagent-footprint) for BENCH_SECONDS (default 600) of the
#             agent's life: peak and steady RSS (RssAnon / RssFile), the
#             largest file-backed mappings (/proc/PID/smaps), threads, CPU
#             seconds per hour (agent alone, and with the processes it spawns),
#             processes spawned per hour (exec events under `perf stat`, the
#             whole device; the simulated miner execs nothing once it runs),
#             bytes per hour sent to the server
#   massif    the same device with the agent under valgrind massif for
#             MASSIF_SECONDS (default 180): heap peak and growth (minute 1 to
#             the end)
#   callgrind bench/bench_cycle under callgrind against the simulated miner,
#             CYCLES (default 20) status cycles and as many metrics cycles:
#             instructions per cycle, split into the miner API exchanges
#             (api_call_cmd, api_is_alive) and the agent's own work, plus the
#             instructions of the processes a cycle spawns (traced too);
#             then NATIVE_CYCLES (default 300) of each, and of the API
#             exchanges alone, without valgrind for the CPU time per cycle
#
#   bash scripts/bench-footprint.sh                 # everything
#   FOOTPRINT_PARTS=size,callgrind BENCH_SECONDS=90 bash scripts/bench-footprint.sh
#
# AGENT_ENV="VAR=VALUE ..." runs the agent of the run and massif parts with
# those variables (experiments, e.g. AGENT_ENV=MALLOC_ARENA_MAX=1).
# KVAGENT_BIN picks the agent (default: build-fp/kvagent, built here with
# `nice -n 19` unless KVAGENT_BIN is given); bench_cycle comes from the same
# build folder (FOOTPRINT_BUILD, default build-fp). Root, like the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
py=/usr/bin/python3

secs=${BENCH_SECONDS:-600}
massif_secs=${MASSIF_SECONDS:-180}
cycles=${CYCLES:-20}
native_cycles=${NATIVE_CYCLES:-300}
parts=${FOOTPRINT_PARTS:-size,run,massif,callgrind}
build=${FOOTPRINT_BUILD:-build-fp}
work=/tmp/kvagent-footprint
ns=kvfp
port=8443
first_minute=60
for v in secs massif_secs cycles native_cycles; do
  if [[ ! ${!v} =~ ^[0-9]+$ ]]; then echo "footprint: $v must be a number" >&2; exit 2; fi
done
if [ "$secs" -lt 20 ] || [ "$massif_secs" -lt 20 ] || [ "$cycles" -lt 1 ]; then
  echo "footprint: BENCH_SECONDS and MASSIF_SECONDS need 20 or more, CYCLES 1 or more" >&2
  exit 2
fi
want() { [[ ,$parts, == *,$1,* ]]; }

if [ -z "${KVAGENT_BIN:-}" ]; then
  echo "footprint: building $build"
  nice -n 19 bash scripts/build.sh "$build" >/dev/null
fi
bin=$(readlink -f "${KVAGENT_BIN:-$build/kvagent}")
driver=$repo/$build/bench/bench_cycle
[ -x "$bin" ] || { echo "footprint: no agent at $bin" >&2; exit 1; }

exec 9>"$work.lock"
if ! flock -n 9; then
  echo "footprint: another run holds $work.lock" >&2
  exit 1
fi

# ------------------------------------------------------------------ device
server_pid=
agent_job=
ns_init=
agent_pid=

ended() {
  [ ! -e "/proc/$1" ] || grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# The device of the demo: namespace, root folder, configuration, server.
device_up() {
  rm -rf "$work"
  mkdir -p "$work"
  $py devtools/devserver.py gen-certs --out "$work/certs" >/dev/null
  bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
  bash devtools/sandbox netns-up "$ns" --mac 00:11:22:aa:bb:cc >/dev/null
  bash devtools/sandbox root-init "$work/root" >/dev/null
  cp "$work/certs/ca.pem" "$work/root/opt/korvane/certs/letsencrypt.pem"
  echo '{"api_key": "demo-api-key-0123456789abcdef"}' > "$work/root/config/korvane.json"
  cat > "$work/root/config/cgminer.conf" <<'JSON'
{
  "pools": [
    {"url": "stratum+tcp://pool.example.invalid:3333", "user": "demo.worker1", "pass": "x"},
    {"url": "stratum+tcp://backup.example.invalid:3333", "user": "demo.worker2", "pass": "x"}
  ],
  "api-listen": true,
  "api-network": true,
  "api-groups": "A:stats:pools:devs:summary:version",
  "api-allow": "A:0/0,W:*",
  "bitmain-use-vil": true,
  "bitmain-freq": "384",
  "bitmain-freq1": "0",
  "bitmain-freq2": "0",
  "bitmain-freq3": "0",
  "bitmain-freq4": "0",
  "bitmain-voltage": "0725",
  "multi-version": "1"
}
JSON
  cat > "$work/root/config/network.conf" <<'CONF'
hostname=antminer
ipaddress=192.0.2.10
netmask=255.255.255.0
gateway=192.0.2.1
dnsservers="192.0.2.53"
CONF
  echo "--warmup ${MINER_WARMUP:-20}" > "$work/root/run/sandbox/minersim.args"
  setsid ip netns exec "$ns" $py devtools/devserver.py serve --port "$port" \
    --cert "$work/certs/server.pem" --key "$work/certs/server.key" \
    --record "$work/server.jsonl" --control "$work/control.sock" --auth accept \
    </dev/null >"$work/server.log" 2>&1 9>&- &
  server_pid=$!
  for _ in $(seq 100); do [ -S "$work/control.sock" ] && break; sleep 0.1; done
  [ -S "$work/control.sock" ] || { cat "$work/server.log" >&2; return 1; }
}

# Starts the miner, then "$@" in its place (the agent, possibly under a tool),
# inside the device; PREFIX (a command word list) runs on the host around the
# sandbox (perf). Sets agent_pid (host pid of the sandbox's second child).
agent_start() {
  local -a prefix=()
  while [ "$1" != -- ]; do prefix+=("$1"); shift; done
  shift
  setsid "${prefix[@]}" bash devtools/sandbox run --netns "$ns" --root "$work/root" --info-fd 3 -- \
    /bin/sh -c '/etc/init.d/cgminer.sh start; exec "$@"' sh "$@" \
    </dev/null >"$work/agent.log" 2>&1 3>"$work/sandbox-info.json" 9>&- &
  agent_job=$!
  ns_init=
  agent_pid=
  for _ in $(seq 300); do
    ns_init=$(grep -o '"child-pid": *[0-9]*' "$work/sandbox-info.json" 2>/dev/null \
      | grep -o '[0-9]*$' || true)
    [ -n "$ns_init" ] && break
    kill -0 "$agent_job" 2>/dev/null || break
    sleep 0.1
  done
  for _ in $(seq 300); do
    [ -n "$ns_init" ] || break
    for kid in $(cat "/proc/$ns_init/task/$ns_init/children" 2>/dev/null); do
      comm=$(cat "/proc/$kid/comm" 2>/dev/null || true)
      case $comm in cgminer|sh|'') ;; *) agent_pid=$kid ;; esac
    done
    [ -n "$agent_pid" ] && break
    sleep 0.1
  done
  if [ -z "$agent_pid" ]; then
    echo "footprint: the agent did not start:" >&2
    cat "$work/agent.log" >&2
    return 1
  fi
}

agent_stop() {
  local i
  if [ -n "$agent_job" ]; then
    [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null || true
    for ((i = 0; i < 600; i++)); do ended "$agent_job" && break; sleep 0.1; done
    ended "$agent_job" || kill -KILL "${ns_init:-$agent_job}" 2>/dev/null || true
    wait "$agent_job" 2>/dev/null || true
    agent_job=
  fi
}

device_down() {
  agent_stop
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
  bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
}
trap 'device_down; exit 130' INT TERM
trap 'device_down' EXIT

# The agent's age in seconds.
agent_age() {
  $py -c '
import os, sys
f = open("/proc/%s/stat" % sys.argv[1]).read().rsplit(")", 1)[1].split()
up = float(open("/proc/uptime").read().split()[0])
print(int(up - int(f[19]) / os.sysconf("SC_CLK_TCK")))' "$agent_pid"
}
until_age() {
  local age
  age=$(agent_age)
  if [ "$age" -lt "$1" ]; then sleep $(( $1 - age )); fi
}

# /proc figures of the agent and the server record, one JSON line.
sampler=$(cat <<'PY'
import json, os, sys
pid, record = int(sys.argv[1]), sys.argv[2]
f = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
tick = os.sysconf("SC_CLK_TCK")
status = {}
for line in open("/proc/%d/status" % pid):
    k, _, v = line.partition(":")
    status[k] = v.split()[0] if v.split() else ""
sent = count = 0
try:
    for line in open(record, encoding="utf-8"):
        if line.endswith("}\n"):
            e = json.loads(line)
            if e.get("event") == "message" and isinstance(e.get("raw"), str):
                sent += len(e["raw"].encode("utf-8"))
                count += 1
except FileNotFoundError:
    pass
up = float(open("/proc/uptime").read().split()[0])
print(json.dumps({
    "age": up - int(f[19]) / tick,
    "cpu": (int(f[11]) + int(f[12])) / tick, "cpu_children": (int(f[13]) + int(f[14])) / tick,
    "hwm_kb": int(status["VmHWM"]), "rss_kb": int(status["VmRSS"]),
    "anon_kb": int(status["RssAnon"]), "file_kb": int(status["RssFile"]),
    "threads": int(status["Threads"]), "sent": sent, "messages": count}))
PY
)

# The file-backed RSS of the agent by file (smaps), with the share of
# libcurl's own dependency tree (libraries nothing else the agent links needs).
mappings=$(cat <<'PY'
import os, re, subprocess, sys
pid, exe = sys.argv[1], sys.argv[2]
rss, anon, libanon, path = {}, {}, {}, None
for line in open("/proc/%s/smaps" % pid):
    if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
        parts = line.split(None, 5)
        path = parts[5].strip() if len(parts) > 5 else ""
        path = path or "[anon]"
    elif line.startswith("Rss:") and path.startswith("/"):
        rss[path] = rss.get(path, 0) + int(line.split()[1])
    elif line.startswith("Anonymous:"):
        # private pages: heaps, stacks, and the libraries' written data (relocations, .data, .bss)
        key = path if not path.startswith("/") else "libraries' data (copy-on-write pages)"
        anon[key] = anon.get(key, 0) + int(line.split()[1])
        if path.startswith("/"):
            libanon[path] = libanon.get(path, 0) + int(line.split()[1])
def deps(lib):
    out = subprocess.run(["ldd", lib], capture_output=True, text=True).stdout
    return {os.path.realpath(m.group(1)) for m in re.finditer(r"=> (/\S+)", out)}
needed = subprocess.run(["readelf", "-d", exe], capture_output=True, text=True).stdout
direct = re.findall(r"\(NEEDED\).*\[(.+)\]", needed)
alldeps = deps(exe)
bylib = {}
for p in alldeps:
    if os.path.basename(p).split(".so")[0] in [d.split(".so")[0] for d in direct]:
        bylib[os.path.basename(p).split(".so")[0]] = p
curl = bylib.get("libcurl")
curl_only = set()
if curl:
    others = set()
    for name, p in bylib.items():
        if name != "libcurl":
            others |= deps(p) | {p}
    curl_only = (deps(curl) | {curl}) - others
total = sum(rss.values())
print("  file-backed RSS by file (%d KiB in all):" % total)
for p, kb in sorted(rss.items(), key=lambda kv: -kv[1])[:14]:
    print("    %6d KiB  %s" % (kb, p))
real = {os.path.realpath(p): kb for p, kb in rss.items()}
print("  libcurl and the %d libraries only it needs: %d KiB (%s)" % (
    len(curl_only) - 1 if curl else 0, sum(real.get(p, 0) for p in curl_only),
    ", ".join(sorted(os.path.basename(p) for p in curl_only))))
print("  anonymous RSS by mapping (%d KiB in all): %s" % (sum(anon.values()), ", ".join(
    "%s %d KiB" % kv for kv in sorted(anon.items(), key=lambda kv: -kv[1]) if kv[1])))
print("  the libraries' copy-on-write pages by library: %s" % ", ".join(
    "%s %d KiB" % (os.path.basename(p), kb) for p, kb in sorted(libanon.items(), key=lambda kv: -kv[1])[:10]))
reala = {os.path.realpath(p): kb for p, kb in libanon.items()}
print("  of which libcurl and the libraries only it needs: %d KiB" % sum(reala.get(p, 0) for p in curl_only))
PY
)

mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
field() { $py -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }

# ------------------------------------------------------------------ size
if want size; then
  tmp=$(mktemp)
  strip -o "$tmp" "$bin"
  echo "size: x86-64 stripped $(stat -c %s "$tmp") bytes ($bin, $(stat -c %s "$bin") unstripped)"
  if [ -x build-armhf/kvagent ] && command -v arm-linux-gnueabihf-strip >/dev/null; then
    arm-linux-gnueabihf-strip -o "$tmp" build-armhf/kvagent
    echo "size: armhf stripped $(stat -c %s "$tmp") bytes (build-armhf/kvagent," \
      "$(stat -c %s build-armhf/kvagent) unstripped)"
  else
    echo "size: armhf: no cross-build at build-armhf/kvagent"
  fi
  rm -f "$tmp"
fi

# ------------------------------------------------------------------ run
if want run; then
  echo "run: the demo device for $secs s of the agent's life (work folder $work)"
  device_up
  perf_prefix=()
  if command -v perf >/dev/null && perf stat -e sched:sched_process_exec -x, -o /dev/null true 2>/dev/null; then
    perf_prefix=(perf stat -I 10000 -x, -e sched:sched_process_exec -o "$work/perf.csv")
  fi
  agent_start "${perf_prefix[@]}" -- env ${AGENT_ENV:-} "$bin" -s "wss://localhost:$port/api/v1/ws"
  echo "run: agent pid $agent_pid"
  samples=$work/samples.jsonl
  : > "$samples"
  one=
  next=10
  while [ "$next" -le "$secs" ]; do
    until_age "$next"
    s=$($py -c "$sampler" "$agent_pid" "$work/server.jsonl")
    echo "$s" >> "$samples"
    [ "$next" -eq "$first_minute" ] && one=$s
    next=$(( next + 10 ))
  done
  end=$s
  smaps=$($py -c "$mappings" "$agent_pid" "$bin")
  agent_stop
  $py - "$samples" "$end" "${one:-}" "$work/perf.csv" "$first_minute" <<'PY'
import json, sys
samples = [json.loads(l) for l in open(sys.argv[1])]
end = json.loads(sys.argv[2])
one = json.loads(sys.argv[3]) if sys.argv[3] else None
first = int(sys.argv[5])
def ph(a, s): return a * 3600.0 / s if s > 0 else float("nan")
def mib(kb): return "%.1f MiB" % (kb / 1024.0)
steady = [s for s in samples if s["age"] >= first] or samples
print()
print("run: %.0f s of the agent's life" % end["age"])
print("  peak RSS (VmHWM)                       %s" % mib(end["hwm_kb"]))
print("  steady RSS (after minute 1, min..max)  %s .. %s" % (
    mib(min(s["rss_kb"] for s in steady)), mib(max(s["rss_kb"] for s in steady))))
print("  RSS at the end: RssAnon / RssFile      %s / %s" % (mib(end["anon_kb"]), mib(end["file_kb"])))
print("  RssAnon after minute 1, min..max       %d .. %d KiB" % (
    min(s["anon_kb"] for s in steady), max(s["anon_kb"] for s in steady)))
if one:
    print("  RssAnon growth (minute 1 -> end)       %+d KiB" % (end["anon_kb"] - one["anon_kb"]))
print("  threads                                %d" % end["threads"])
span = end["age"] - one["age"] if one else 0
both = lambda s: s["cpu"] + s["cpu_children"]
print("  CPU s/hour, agent alone                %.2f (after minute 1: %s)" % (
    ph(end["cpu"], end["age"]), "%.2f" % ph(end["cpu"] - one["cpu"], span) if one else "-"))
print("  CPU s/hour, with spawned processes     %.2f (after minute 1: %s)" % (
    ph(both(end), end["age"]), "%.2f" % ph(both(end) - both(one), span) if one else "-"))
print("  bytes/hour sent to the server          %.0f (%d messages/hour)" % (
    ph(end["sent"], end["age"]), ph(end["messages"], end["age"])))
try:
    rows = [l.strip().split(",") for l in open(sys.argv[4]) if l.strip()[:1].isdigit()]
    # interval end time, count; the first minute (start-up, the miner) left out
    late = [(float(r[0]), int(r[1])) for r in rows if r[1].isdigit() and float(r[0]) > first + 10]
    if late:
        t0 = min(t for t, _ in late) - 10
        t1 = max(t for t, _ in late)
        n = sum(c for _, c in late)
        print("  processes spawned per hour             %.0f (exec events %.0f s .. %.0f s: %d)" % (
            ph(n, t1 - t0), t0, t1, n))
except FileNotFoundError:
    print("  processes spawned per hour             n/a (no perf)")
PY
  echo "$smaps"
  device_down
fi

# ------------------------------------------------------------------ massif
if want massif; then
  echo
  echo "massif: the demo device, the agent under valgrind massif for $massif_secs s"
  device_up
  agent_start -- env ${AGENT_ENV:-} valgrind --tool=massif --time-unit=ms --massif-out-file=/run/sandbox/massif.out \
    "$bin" -s "wss://localhost:$port/api/v1/ws"
  # Valgrind's start is slow: time from the tool's start.
  sleep "$massif_secs"
  agent_stop
  device_down
  # Kept out of the work folder, which the next part starts afresh.
  cp "$work/root/run/sandbox/massif.out" "$work-massif.out"
  $py - "$work-massif.out" "$first_minute" "$massif_secs" <<'PY'
import re, sys
snaps, cur = [], {}
for line in open(sys.argv[1]):
    m = re.match(r"(time|mem_heap_B|mem_heap_extra_B|mem_stacks_B)=(\d+)", line)
    if m:
        cur[m.group(1)] = int(m.group(2))
        if m.group(1) == "mem_stacks_B":
            snaps.append(cur); cur = {}
first = int(sys.argv[2]) * 1000
tot = lambda s: s["mem_heap_B"] + s["mem_heap_extra_B"]
peak = max(snaps, key=tot)
# up to a few seconds before the stop (the teardown frees everything)
late = [s for s in snaps if first <= s["time"] <= (int(sys.argv[3]) - 5) * 1000]
print("  heap peak %d KiB (useful %d + allocator overhead %d) at %.0f s" % (
    tot(peak) / 1024, peak["mem_heap_B"] / 1024, peak["mem_heap_extra_B"] / 1024, peak["time"] / 1000))
if late:
    a, b = late[0], late[-1]
    print("  heap at %.0f s %d B, before the stop (%.0f s) %d B: growth %+d B; after minute 1 min..max %d..%d B" % (
        a["time"] / 1000, tot(a), b["time"] / 1000, tot(b), tot(b) - tot(a),
        min(tot(s) for s in late), max(tot(s) for s in late)))
    # Snapshots fall anywhere in a cycle: compare the least heap of the
    # first and the last third of the window.
    third = max(1, len(late) // 3)
    lo1, lo3 = min(tot(s) for s in late[:third]), min(tot(s) for s in late[-third:])
    print("  least heap in the first / last third of that window: %d / %d B (%+d B)" % (
        lo1, lo3, lo3 - lo1))
PY
  echo "  (ms_print $work-massif.out shows the allocation trees)"
fi

# ------------------------------------------------------------------ callgrind
if want callgrind; then
  echo
  echo "callgrind: bench_cycle, $cycles status and $cycles metrics cycles against the simulated miner"
  [ -x "$driver" ] || { echo "footprint: no $driver (build $build)" >&2; exit 1; }
  MINER_WARMUP=0 device_up
  mkdir -p "$work/root/run/sandbox/cg"
  # Logging at WARN, as on a quiet device (the DEBUG line of each command is not written).
  bash devtools/sandbox run --netns "$ns" --root "$work/root" -- /bin/sh -c '
    /etc/init.d/cgminer.sh start >/dev/null 2>&1 || exit 1
    sleep 1
    for kind in status metrics; do
      mkdir -p /run/sandbox/cg/$kind
      valgrind -q --tool=callgrind --trace-children=yes \
        --callgrind-out-file=/run/sandbox/cg/$kind/callgrind.%p "$1" -n "$2" -k $kind || exit 1
    done
    for kind in status api-status metrics api-metrics; do "$1" -n "$3" -k $kind || exit 1; done' \
    sh "$driver" "$cycles" "$native_cycles" | sed 's/^/  native: /' 
  device_down
  for kind in status metrics; do
    $py - "$work/root/run/sandbox/cg/$kind" "$kind" "$cycles" <<'PY'
import glob, os, re, subprocess, sys
folder, kind, cycles = sys.argv[1], sys.argv[2], int(sys.argv[3])
files = glob.glob(os.path.join(folder, "callgrind.*"))
def cmd(f):
    for line in open(f):
        if line.startswith("cmd:"):
            return line[4:].strip()
    return ""
def total(f):
    for line in open(f):
        if line.startswith("totals:") or line.startswith("summary:"):
            return int(line.split()[1])
    return 0
main = [f for f in files if "bench_cycle" in cmd(f)][0]
out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", main],
                     capture_output=True, text=True).stdout
incl = {}
for line in out.splitlines():
    m = re.match(r"\s*([\d,]+)\s+\(.*?\)\s+(\S.*?):(\S+)", line) or re.match(r"\s*([\d,]+)\s+(\S.*?):(\S+)", line)
    if m:
        name = re.sub(r"\(.*", "", m.group(3)).strip()
        n = int(m.group(1).replace(",", ""))
        incl[name] = max(incl.get(name, 0), n)
cycle = incl.get(kind + "_cycle", 0)
api = incl.get("api_call_cmd", 0) + incl.get("api_is_alive", 0)
kids = {}
for f in files:
    if f == main:
        continue
    prog = os.path.basename(cmd(f).split()[0]) if cmd(f) else "?"
    n, t = kids.get(prog, (0, 0))
    kids[prog] = (n + 1, t + total(f))
own = cycle - api
print("  %s cycle: %d instructions in the agent's process per cycle: miner API exchanges %d, "
      "the agent's own work %d (%.2fx the API)" % (kind, cycle / cycles, api / cycles, own / cycles,
                                                   own / api if api else float("nan")))
print("    spawned per cycle: %s" % (", ".join(
    "%s %.1f x %d instr" % (p, n / (cycles + 1), t / n) for p, (n, t) in sorted(kids.items()))
    or "nothing"))
allkids = sum(t for _, t in kids.values()) * cycles / (cycles + 1)
print("    with the spawned processes: %d per cycle (%.2fx the API)" % (
    (cycle + allkids) / cycles, (own + allkids) / api if api else float("nan")))
PY
  done
  echo "  (callgrind_annotate --inclusive=yes $work/root/run/sandbox/cg/status/callgrind.<pid> for the tree)"
fi
