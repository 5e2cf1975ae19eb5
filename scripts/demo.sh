#!/usr/bin/env bash
# The agent's main job, on this machine: a simulated device (network namespace
# + sandbox with the device's folders, and the simulated miner
# devtools/minersim.py in place of cgminer) running the real kvagent against a
# local development management server over TLS. The terminal shows a live view
# of what the agent and the server exchange (devtools/demoview.py); the agent's
# own log goes to a file. Ctrl-C stops everything: the agent gets SIGTERM
# (it closes the connection with 1000 and exits 0), then the server, then the
# namespace is removed. The script's exit status is the agent's.
#
# The server's page shows the device live in a browser on this machine
# (http://127.0.0.1:8080/, or another free port when 8080 is taken: the demo
# prints the address), with buttons that send it commands. Or talk to the
# agent through the server from another terminal:
#   /usr/bin/python3 devtools/devctl.py /tmp/kvagent-demo/control.sock send '{"type":"status"}'
#
# Environment:
#   DEMO_SECONDS=N   stop by itself after N seconds (same orderly stop as Ctrl-C)
#   DEMO_WEB_PORT=P  the page's port (default 8080; 0: any free port; off: no page)
#   DEMO_WORK, DEMO_NS, DEMO_AUTH, DEMO_VIEW=0
#                    work folder (default /tmp/kvagent-demo), namespace (kvdemo),
#                    server auth mode (register), no live view; for
#                    scripts/bench-device.sh, which runs a device of its own
#   KVAGENT_BIN=path the agent to run (default: the fully static
#                    build-static-x86_64/kvagent, the build that ships, built
#                    here by scripts/build-static.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
py=/usr/bin/python3

work=${DEMO_WORK:-/tmp/kvagent-demo}
ns=${DEMO_NS:-kvdemo}
auth=${DEMO_AUTH:-register}
view=${DEMO_VIEW:-1}
seconds=${DEMO_SECONDS:-}
web_port=${DEMO_WEB_PORT:-8080}
port=8443
if [[ -n $seconds && ! $seconds =~ ^[0-9]+$ ]]; then
  echo "demo: DEMO_SECONDS must be a whole number of seconds" >&2
  exit 2
fi
if [[ $web_port != off && ! $web_port =~ ^[0-9]+$ ]]; then
  echo "demo: DEMO_WEB_PORT must be a port number or off" >&2
  exit 2
fi

bash scripts/install-deps.sh
if [ -n "${KVAGENT_BIN:-}" ]; then
  agent_bin=$(readlink -f "$KVAGENT_BIN")
else
  bash scripts/build-static.sh x86_64
  agent_bin=$repo/build-static-x86_64/kvagent
fi
[ -x "$agent_bin" ] || { echo "demo: no agent binary at $agent_bin" >&2; exit 1; }

# One demo per work folder at a time (the lock is held while this script runs).
exec 9>"$work.lock"
if ! flock -n 9; then
  echo "demo: another demo is running with $work (lock $work.lock); stop it first" >&2
  exit 1
fi

server_pid=
web_pid=      # the server's page, on this machine's loopback
agent_job=    # the sandbox (bwrap), a child of this script
ns_init=      # the sandbox's pid 1 (host pid)
agent_pid=    # the agent itself (host pid)
viewer_pid=
timer_pid=
status=
stopped=

# True once child $1 has ended (a zombie until it is waited for).
ended() {
  [ ! -e "/proc/$1" ] || grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# Waits for child $1 at most $2 seconds, then kills $3 (default: $1) and waits.
# Leaves the child's exit status in $waited.
wait_child() {
  local pid=$1 secs=$2 victim=${3:-$1} i
  for ((i = 0; i < secs * 10; i++)); do
    ended "$pid" && break
    sleep 0.1
  done
  if ! ended "$pid"; then
    echo "demo: pid $pid still running after ${secs} s; killing it" >&2
    kill -KILL "$victim" 2>/dev/null || true
  fi
  waited=0
  wait "$pid" || waited=$?
}

stop_all() {
  [ -n "$stopped" ] && return 0
  stopped=1
  trap '' INT TERM   # a second Ctrl-C must not cut the orderly stop short
  if [ -n "$agent_job" ]; then
    if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
      echo "demo: stopping the agent (SIGTERM to pid $agent_pid)"
      kill -TERM "$agent_pid" 2>/dev/null || true
    elif [ -z "$agent_pid" ]; then
      # Stopped while it starts: end the sandbox with whatever runs in it.
      kill -KILL "${ns_init:-$agent_job}" 2>/dev/null || true
    fi
    # The agent waits up to 30 s for a miner script under way.
    wait_child "$agent_job" 45 "${ns_init:-$agent_job}"
    status=$waited
    agent_job=
  fi
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait_child "$server_pid" 10
    server_pid=
  fi
  if [ -n "$web_pid" ]; then
    kill -TERM "$web_pid" 2>/dev/null || true
    wait_child "$web_pid" 10
    web_pid=
  fi
  if [ -n "$viewer_pid" ]; then
    # It shows what the server recorded up to here, then ends.
    kill -TERM "$viewer_pid" 2>/dev/null || true
    wait_child "$viewer_pid" 5
    viewer_pid=
  fi
  if [ -n "$timer_pid" ]; then
    kill "$timer_pid" 2>/dev/null || true
    wait "$timer_pid" 2>/dev/null || true
    timer_pid=
  fi
  bash devtools/sandbox netns-down "$ns" >/dev/null 2>&1 || true
  if [ -n "$status" ]; then
    echo "demo: agent exited with status $status"
  fi
  echo "demo: stopped; agent log $work/agent.log, server record $work/server.jsonl," \
    "the device's files in $work/root"
}
trap 'stop_all; exit "${status:-1}"' INT TERM
trap 'rc=$?; stop_all; exit "${status:-$rc}"' EXIT

rm -rf "$work"
mkdir -p "$work"
$py devtools/devserver.py gen-certs --out "$work/certs" >/dev/null
# A namespace left by a demo that was killed: nothing of it runs any more (lock).
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
# The device's network settings, as its web interface writes them.
cat > "$work/root/config/network.conf" <<'CONF'
hostname=antminer
ipaddress=192.0.2.10
netmask=255.255.255.0
gateway=192.0.2.1
dnsservers="192.0.2.53"
CONF
echo "--warmup 20" > "$work/root/run/sandbox/minersim.args"

# Server and agent run in sessions of their own: Ctrl-C reaches this script
# only, which stops them in order.
setsid ip netns exec "$ns" $py devtools/devserver.py serve --port "$port" \
  --cert "$work/certs/server.pem" --key "$work/certs/server.key" \
  --record "$work/server.jsonl" --control "$work/control.sock" --auth "$auth" \
  </dev/null >"$work/server.log" 2>&1 9>&- &
server_pid=$!
for _ in $(seq 100); do [ -S "$work/control.sock" ] && break; sleep 0.1; done
if [ ! -S "$work/control.sock" ]; then
  echo "demo: the development server did not start:" >&2
  cat "$work/server.log" >&2
  exit 1
fi

# The server's page runs on this machine, not in the namespace, so that a
# browser here reaches it; it reads the record and uses the control socket.
web_url=
if [ "$web_port" != off ]; then
  $py devtools/devserver.py web --record "$work/server.jsonl" --control "$work/control.sock" \
    --port "$web_port" --any-port-if-busy --url-file "$work/web.url" \
    </dev/null >"$work/web.log" 2>&1 9>&- &
  web_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/web.url" ] && break
    kill -0 "$web_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -s "$work/web.url" ]; then
    web_url=$(cat "$work/web.url")
  else
    echo "demo: the page did not start (the demo goes on without it):" >&2
    cat "$work/web.log" >&2
  fi
fi

# The miner starts first in the agent's sandbox (its pid namespace: the agent
# finds it with pidof), then the shell becomes the agent.
bin_bind=()
case $agent_bin in "$repo"/*) ;; *) bin_bind=(--ro-bind "$(dirname "$agent_bin")") ;; esac
setsid bash devtools/sandbox run --netns "$ns" --root "$work/root" --info-fd 3 ${bin_bind[@]+"${bin_bind[@]}"} -- \
  /bin/sh -c '/etc/init.d/cgminer.sh start; exec "$@"' sh \
  "$agent_bin" -s "wss://localhost:$port/api/v1/ws" \
  </dev/null >"$work/agent.log" 2>&1 3>"$work/sandbox-info.json" 9>&- &
agent_job=$!

# The agent's host pid: the child of the sandbox's pid 1 that is not the miner,
# once the shell has become the agent.
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
  echo "demo: the agent did not start; its output:" >&2
  cat "$work/agent.log" >&2
  exit 1
fi
echo "$agent_pid" > "$work/agent.pid"

cat <<EOF
demo: agent pid $agent_pid; server auth mode "$auth"; files in $work:
  agent log      $work/agent.log  (the device's /var/log/kvagent.log: $work/root/var/log/kvagent.log)
  server         $work/server.log, record $work/server.jsonl
  miner log      $work/root/var/log/minersim.log
EOF
if [ -n "$web_url" ]; then
  echo "demo: the live page: open $web_url in a browser on this machine"
fi
cat <<EOF
demo: send the agent a command from another terminal, e.g.
  $py $repo/devtools/devctl.py $work/control.sock send '{"type":"status"}'
EOF
if [ -n "$seconds" ]; then
  echo "demo: stops by itself after $seconds s (Ctrl-C stops it sooner)"
else
  echo "demo: Ctrl-C stops it"
fi

waits=("$agent_job")
if [ "$view" != 0 ]; then
  $py devtools/demoview.py --follow "$work/server.jsonl" 9>&- &
  viewer_pid=$!
  waits+=("$viewer_pid")
fi
if [ -n "$seconds" ]; then
  sleep "$seconds" 9>&- &
  timer_pid=$!
  waits+=("$timer_pid")
fi
first=
wait -n -p first "${waits[@]}" && rc=0 || rc=$?
if [ "$first" = "$agent_job" ]; then
  echo "demo: the agent ended by itself"
  status=$rc
  agent_job=
elif [ -n "$viewer_pid" ] && [ "$first" = "$viewer_pid" ]; then
  echo "demo: the live view ended (status $rc)"
  viewer_pid=
elif [ -n "$timer_pid" ] && [ "$first" = "$timer_pid" ]; then
  timer_pid=
fi
stop_all
exit "${status:-1}"
