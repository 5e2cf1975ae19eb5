#!/usr/bin/env bash
# What the agent costs on a device over a while: runs the demo's device
# (scripts/demo.sh: sandbox, simulated miner, realistic /config, development
# server; here in its own namespace kvbench and work folder /tmp/kvagent-bench,
# the server in "accept" mode) for SECONDS (default 600) of the agent's life,
# then stops it the orderly way and reports, for the agent's process:
#
#   CPU seconds per hour, the agent alone (utime+stime) and with the
#       processes it spawned and waited for (+ cutime+cstime), over the whole
#       run and after the first minute
#   peak RSS (VmHWM), RSS at the end (VmRSS, split RssAnon / RssFile),
#   heap growth (RssAnon one minute after the start vs at the end), threads
#   bytes sent to the server per hour (the messages' text as the server
#       received it, before compression), and the messages by type
#
#   bash scripts/bench-device.sh [SECONDS]
#
# KVAGENT_BIN picks the agent (default: the static build-static-x86_64/kvagent
# that ships; see scripts/demo.sh). BENCH_NAME (default bench) names the work
# folder /tmp/kvagent-NAME and the namespace kvNAME, so that two benches (for
# example the static and the shared-library build) can run side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

secs=${1:-600}
if [[ ! $secs =~ ^[0-9]+$ ]] || [ "$secs" -lt 20 ]; then
  echo "usage: $0 [SECONDS] (20 or more; default 600)" >&2
  exit 2
fi
py=/usr/bin/python3
name=${BENCH_NAME:-bench}
[[ $name =~ ^[a-z0-9]{1,12}$ ]] || { echo "bench: BENCH_NAME must be 1-12 of a-z0-9" >&2; exit 2; }
work=/tmp/kvagent-$name
out=/tmp/kvagent-$name.log
first_minute=60

# Reads the agent's /proc figures and the server record into one JSON line.
sampler=$(cat <<'PY'
import json, os, sys
pid, record = int(sys.argv[1]), sys.argv[2]
stat = open("/proc/%d/stat" % pid).read()
f = stat.rsplit(")", 1)[1].split()
# Fields after the command: f[0] is field 3 (state); utime is field 14.
tick = os.sysconf("SC_CLK_TCK")
status = {}
for line in open("/proc/%d/status" % pid):
    k, _, v = line.partition(":")
    status[k] = v.split()[0] if v.split() else ""
uptime = float(open("/proc/uptime").read().split()[0])
sent, count, types = 0, 0, {}
try:
    for line in open(record, encoding="utf-8"):
        if not line.endswith("}\n"):
            continue
        e = json.loads(line)
        if e.get("event") == "message":
            raw = e.get("raw")
            size = len(raw.encode("utf-8")) if isinstance(raw, str) else 0
            sent += size
            count += 1
            m = e.get("msg")
            t = m.get("type") if isinstance(m, dict) else None
            types[str(t)] = types.get(str(t), 0) + 1
except FileNotFoundError:
    pass
print(json.dumps({
    "age": uptime - int(f[19]) / tick,
    "cpu": (int(f[11]) + int(f[12])) / tick,
    "cpu_children": (int(f[13]) + int(f[14])) / tick,
    "hwm_kb": int(status["VmHWM"]), "rss_kb": int(status["VmRSS"]),
    "anon_kb": int(status["RssAnon"]), "file_kb": int(status["RssFile"]),
    "threads": int(status["Threads"]), "sent": sent, "messages": count, "types": types,
}))
PY
)

report=$(cat <<'PY'
import json, sys
secs = int(sys.argv[1])
end = json.loads(sys.argv[2])
one = json.loads(sys.argv[3]) if sys.argv[3] else None
agent_status = sys.argv[4]

def per_hour(amount, seconds):
    return amount * 3600.0 / seconds if seconds > 0 else float("nan")

def mib(kb):
    return "%.1f MiB" % (kb / 1024.0)

def row(name, whole, steady=""):
    print("  %-44s %16s   %s" % (name, whole, steady))

span = end["age"] - one["age"] if one else 0
print()
print("kvagent on the demo device: %.0f s of the agent's life (agent exit status %s)"
      % (end["age"], agent_status))
print()
row("", "whole run", "after the first minute" if one else "")
row("CPU s/hour, agent alone (utime+stime)", "%.2f" % per_hour(end["cpu"], end["age"]),
    "%.2f" % per_hour(end["cpu"] - one["cpu"], span) if one else "")
both = end["cpu"] + end["cpu_children"]
row("CPU s/hour, with spawned processes", "%.2f" % per_hour(both, end["age"]),
    "%.2f" % per_hour(both - one["cpu"] - one["cpu_children"], span) if one else "")
row("bytes/hour sent to the server", "%.0f" % per_hour(end["sent"], end["age"]),
    "%.0f" % per_hour(end["sent"] - one["sent"], span) if one else "")
row("messages/hour sent to the server", "%.0f" % per_hour(end["messages"], end["age"]),
    "%.0f" % per_hour(end["messages"] - one["messages"], span) if one else "")
print()
row("peak RSS (VmHWM)", mib(end["hwm_kb"]))
row("RSS at the end (VmRSS)", mib(end["rss_kb"]))
row("  RssAnon / RssFile", "%s / %s" % (mib(end["anon_kb"]), mib(end["file_kb"])))
if one:
    row("heap growth (RssAnon at 1 min -> end)", "%+d KiB" % (end["anon_kb"] - one["anon_kb"]),
        "%s -> %s" % (mib(one["anon_kb"]), mib(end["anon_kb"])))
row("threads", str(end["threads"]))
print()
print("  messages: %d, %d bytes: %s" % (end["messages"], end["sent"], ", ".join(
    "%s %d" % kv for kv in sorted(end["types"].items(), key=lambda kv: -kv[1]))))
PY
)

demo=
agent_status="?"
stop_demo() {
  if [ -n "$demo" ]; then
    kill -TERM "$demo" 2>/dev/null || true
    agent_status=0
    wait "$demo" || agent_status=$?
    demo=
  fi
}
trap 'stop_demo; exit 130' INT TERM
trap 'stop_demo' EXIT

if ! flock -n "$work.lock" true; then
  echo "bench: another bench is running ($work.lock is locked)" >&2
  exit 1
fi
rm -f "$work/agent.pid"
echo "bench: starting the demo device (output in $out)"
DEMO_WORK=$work DEMO_NS=kv$name DEMO_AUTH=accept DEMO_VIEW=0 \
  bash scripts/demo.sh >"$out" 2>&1 &
demo=$!

# The agent's pid, once the demo has built and started it.
pid=
for _ in $(seq 9000); do
  if [ -s "$work/agent.pid" ]; then pid=$(cat "$work/agent.pid"); break; fi
  if ! kill -0 "$demo" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ -z "$pid" ]; then
  echo "bench: the demo device did not start; its output:" >&2
  cat "$out" >&2
  exit 1
fi
echo "bench: agent pid $pid; measuring for $secs s"

sample() { $py -c "$sampler" "$pid" "$work/server.jsonl"; }
# Sleeps until the agent is $1 seconds old.
until_age() {
  local age
  age=$(sample | $py -c 'import json,sys; print(int(json.load(sys.stdin)["age"]))')
  if [ "$age" -lt "$1" ]; then sleep $(( $1 - age )); fi
}

one=
if [ "$secs" -gt $(( first_minute + 10 )) ]; then
  until_age "$first_minute"
  one=$(sample)
fi
until_age "$secs"
end=$(sample)
echo "bench: stopping the demo device"
stop_demo
$py -c "$report" "$secs" "$end" "$one" "$agent_status"
echo
echo "(demo output: $out; agent log $work/agent.log; server record $work/server.jsonl)"
