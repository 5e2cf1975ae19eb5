#!/bin/sh
# kvagent: the Korvane management agent.
#
#   /etc/init.d/kvagent.sh {start|stop|restart|status}
#
# start runs the agent under a small supervising shell that starts it again,
# after a pause, whenever it ends with anything but an orderly stop: exit
# status 1 (it could not start, or had no server connection for 600 s), any
# other non-zero status, or death by a signal (a crash, SIGKILL). Exit status
# 0 (the agent stopped in order on SIGTERM/SIGINT/SIGHUP) ends the loop.
#
# stop ends the supervisor first (no respawn), then sends SIGTERM to the agent
# and waits for it (KVAGENT_STOP_TIMEOUT seconds, then SIGKILL).
#
# status prints running/stopped with the pid; exit status as LSB's: 0 running
# (also while the supervisor waits out the pause before a restart), 1 stopped
# but a pid file is left, 3 stopped.
#
# start refuses (exit status 1) while the agent or its supervisor runs, and
# fails with 5 when the agent's binary is missing.
#
# Settings: the environment, then /etc/default/kvagent (KVAGENT_DEFAULTS) if
# present (its assignments win), then the defaults below.
#   KVAGENT_DAEMON         the agent binary                 (/usr/sbin/kvagent)
#   KVAGENT_OPTS           its options, split at blanks     (-c /config/korvane.json)
#   KVAGENT_RESPAWN_PAUSE  seconds between restarts         (10)
#   KVAGENT_STOP_TIMEOUT   seconds stop waits before SIGKILL (30)
#   KVAGENT_RUN_DIR        pid files kvagent.pid, kvagent-supervisor.pid (/var/run)
#   KVAGENT_LOG            the supervisor's log (starts, exits, restarts) and the
#                          agent's stderr; kept under 64 KB plus one old copy
#                          (/var/log/kvagent-supervisor.log)
#   KVAGENT_STDOUT         where the agent's console output goes (/dev/null: the
#                          agent logs to /var/log/kvagent.log itself, see log.conf)
# The supervisor's lines also go to syslog through `logger`, where there is one.

if [ -z "$KVAGENT_DEFAULTS_LOADED" ]; then
    KVAGENT_DEFAULTS=${KVAGENT_DEFAULTS:-/etc/default/kvagent}
    # shellcheck disable=SC1090
    [ -r "$KVAGENT_DEFAULTS" ] && . "$KVAGENT_DEFAULTS"
fi
KVAGENT_DAEMON=${KVAGENT_DAEMON:-/usr/sbin/kvagent}
KVAGENT_OPTS=${KVAGENT_OPTS--c /config/korvane.json}
KVAGENT_RESPAWN_PAUSE=${KVAGENT_RESPAWN_PAUSE:-10}
KVAGENT_STOP_TIMEOUT=${KVAGENT_STOP_TIMEOUT:-30}
KVAGENT_RUN_DIR=${KVAGENT_RUN_DIR:-/var/run}
KVAGENT_LOG=${KVAGENT_LOG:-/var/log/kvagent-supervisor.log}
KVAGENT_STDOUT=${KVAGENT_STDOUT:-/dev/null}
case $KVAGENT_RESPAWN_PAUSE in ''|*[!0-9]*) KVAGENT_RESPAWN_PAUSE=10 ;; esac
case $KVAGENT_STOP_TIMEOUT in ''|*[!0-9]*) KVAGENT_STOP_TIMEOUT=30 ;; esac
# The supervisor is this script again: it gets the same settings.
KVAGENT_DEFAULTS_LOADED=1
export KVAGENT_DEFAULTS_LOADED KVAGENT_DAEMON KVAGENT_OPTS KVAGENT_RESPAWN_PAUSE \
    KVAGENT_STOP_TIMEOUT KVAGENT_RUN_DIR KVAGENT_LOG KVAGENT_STDOUT

NAME=kvagent
PIDFILE=$KVAGENT_RUN_DIR/kvagent.pid
SUPERVISOR_PIDFILE=$KVAGENT_RUN_DIR/kvagent-supervisor.pid
LOG_MAX_BYTES=65536

case $0 in
    /*) SELF=$0 ;;
    *) SELF=$(pwd)/$0 ;;
esac
SELF_NAME=${SELF##*/}

# The agent is recognised by the file name it was started as: its command
# line's first word, or the second for a script run by its interpreter (the
# agent renames its threads, so /proc/PID/comm is no use).
AGENT_NAME=${KVAGENT_DAEMON##*/}

# Polling step for the waits: fractions of a second where sleep takes them
# (older BusyBox builds do not).
if sleep 0.1 2>/dev/null; then
    STEP=0.2
    STEPS_PER_SECOND=5
else
    STEP=1
    STEPS_PER_SECOND=1
fi

log() {
    echo "$(date '+%Y-%m-%d %H:%M:%S') $SELF_NAME: $*" >&2
    if command -v logger >/dev/null 2>&1; then
        logger -t "$SELF_NAME" -p daemon.notice "$*" >/dev/null 2>&1
    fi
}

# The pid in file $1, if it is a number; nothing otherwise.
read_pid() {
    [ -f "$1" ] || return 1
    read -r _pid < "$1" 2>/dev/null || true
    case $_pid in ''|*[!0-9]*) return 1 ;; esac
    echo "$_pid"
}

# Is $1 a live process (not a zombie)?
is_alive() {
    kill -0 "$1" 2>/dev/null || return 1
    ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

is_agent() {
    is_alive "$1" || return 1
    # shellcheck disable=SC2046
    set -- $(tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null)
    [ "${1##*/}" = "$AGENT_NAME" ] || [ "${2##*/}" = "$AGENT_NAME" ]
}

# The supervisor (or a start under way, which holds the supervisor's pid file
# until the supervisor writes its own pid): this script.
is_supervisor() {
    is_alive "$1" || return 1
    case " $(tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null)" in
        *"/$SELF_NAME "*|*" $SELF_NAME "*) return 0 ;;
    esac
    return 1
}

# The running agent's pid, from its pid file. $1 = wait: a pid that is alive
# but not (yet) the agent gets a second to become it - the supervisor writes
# the pid file between its fork and the exec of the agent.
agent_pid() {
    _a=$(read_pid "$PIDFILE") || return 1
    if [ "$1" = wait ]; then
        _i=0
        while is_alive "$_a" && ! is_agent "$_a" && [ $_i -lt $STEPS_PER_SECOND ]; do
            sleep $STEP
            _i=$((_i + 1))
        done
    fi
    is_agent "$_a" && echo "$_a"
}

supervisor_pid() {
    _s=$(read_pid "$SUPERVISOR_PIDFILE") || return 1
    is_supervisor "$_s" && echo "$_s"
}

# Wait up to $2 seconds for process $1 to end.
wait_gone() {
    _i=0
    _n=$(($2 * STEPS_PER_SECOND))
    while is_alive "$1"; do
        [ $_i -ge $_n ] && return 1
        sleep $STEP
        _i=$((_i + 1))
    done
    return 0
}

# The shell running this script, to run the supervisor under the same one
# (busybox ash or whatever /bin/sh is).
own_shell() {
    _exe=$(readlink "/proc/$$/exe" 2>/dev/null)
    case ${_exe##*/} in
        '') echo /bin/sh ;;
        busybox) echo "$_exe sh" ;;
        *) echo "$_exe" ;;
    esac
}

# One old copy of the supervisor's log; called before each start of the agent,
# which appends its stderr to it.
rotate_log() {
    [ -f "$KVAGENT_LOG" ] || return 0
    _size=$(wc -c < "$KVAGENT_LOG" 2>/dev/null | tr -d ' ')
    case $_size in ''|*[!0-9]*) return 0 ;; esac
    if [ "$_size" -gt $LOG_MAX_BYTES ]; then
        mv -f "$KVAGENT_LOG" "$KVAGENT_LOG.1"
        : > "$KVAGENT_LOG"
        exec 2>> "$KVAGENT_LOG"
    fi
}

# The supervising loop (the script run as "kvagent.sh supervise" by start,
# with stdin, stdout and stderr redirected, in a session of its own).
supervise() {
    cd / || exit 1
    echo $$ > "$SUPERVISOR_PIDFILE.tmp" && mv -f "$SUPERVISOR_PIDFILE.tmp" "$SUPERVISOR_PIDFILE"
    stopping=
    child=
    # A stop signal only ends the loop: stop deals with the agent itself.
    trap 'stopping=1' TERM INT HUP
    restarts=0
    while [ -z "$stopping" ]; do
        rotate_log
        # shellcheck disable=SC2086
        "$KVAGENT_DAEMON" $KVAGENT_OPTS < /dev/null >> "$KVAGENT_STDOUT" &
        child=$!
        echo "$child" > "$PIDFILE"
        log "started $KVAGENT_DAEMON (pid $child)"
        [ -n "$stopping" ] && break
        wait "$child"
        rc=$?
        if [ -n "$stopping" ]; then
            # wait was cut short by the signal; the agent may still run.
            break
        fi
        child=
        rm -f "$PIDFILE"
        if [ $rc -eq 0 ]; then
            log "$NAME stopped (exit status 0); not restarting"
            break
        fi
        if [ $rc -gt 128 ]; then
            why="was killed by signal $((rc - 128))"
        else
            why="exited with status $rc"
        fi
        restarts=$((restarts + 1))
        log "$NAME $why; restart $restarts in $KVAGENT_RESPAWN_PAUSE s"
        sleep "$KVAGENT_RESPAWN_PAUSE" &
        sleeper=$!
        wait $sleeper
        # Cut short by a stop signal: no sleep left behind.
        [ -n "$stopping" ] && kill $sleeper 2>/dev/null
    done
    if [ -n "$stopping" ]; then
        log "supervisor stopping${child:+ (agent pid $child left to stop)}"
    fi
    [ "$(read_pid "$SUPERVISOR_PIDFILE")" = "$$" ] && rm -f "$SUPERVISOR_PIDFILE"
    exit 0
}

do_start() {
    if [ ! -x "$KVAGENT_DAEMON" ]; then
        echo "$NAME: $KVAGENT_DAEMON is missing or not executable" >&2
        return 5
    fi
    s=$(supervisor_pid)
    a=$(agent_pid)
    if [ -n "$s$a" ]; then
        echo "$NAME is already running (${a:+pid $a}${a:+${s:+, }}${s:+supervisor pid $s})" >&2
        return 1
    fi
    mkdir -p "$KVAGENT_RUN_DIR" "${KVAGENT_LOG%/*}"
    rm -f "$PIDFILE" "$SUPERVISOR_PIDFILE"
    # Claim the supervisor's pid file (created only if absent, so that of two
    # starts at once one wins) until the supervisor writes its own pid.
    if ! (set -C; echo $$ > "$SUPERVISOR_PIDFILE") 2>/dev/null; then
        echo "$NAME is being started already" >&2
        return 1
    fi
    printf 'Starting %s: ' "$NAME"
    if command -v setsid >/dev/null 2>&1; then
        set -- setsid
    else
        set --
    fi
    # shellcheck disable=SC2046
    "$@" $(own_shell) "$SELF" supervise < /dev/null >> "$KVAGENT_LOG" 2>&1 &
    i=0
    while [ $i -lt $((5 * STEPS_PER_SECOND)) ]; do
        s=$(read_pid "$SUPERVISOR_PIDFILE")
        if [ -n "$s" ] && [ "$s" != $$ ] && is_supervisor "$s"; then
            echo "OK (supervisor pid $s)"
            return 0
        fi
        sleep $STEP
        i=$((i + 1))
    done
    echo "FAILED (see $KVAGENT_LOG)"
    [ "$(read_pid "$SUPERVISOR_PIDFILE")" = $$ ] && rm -f "$SUPERVISOR_PIDFILE"
    return 1
}

do_stop() {
    printf 'Stopping %s: ' "$NAME"
    stopped=
    s=$(supervisor_pid)
    if [ -n "$s" ]; then
        kill -TERM "$s" 2>/dev/null
        if ! wait_gone "$s" 10; then
            kill -KILL "$s" 2>/dev/null
            wait_gone "$s" 5
        fi
        stopped=1
    fi
    rm -f "$SUPERVISOR_PIDFILE"
    a=$(agent_pid wait)
    if [ -n "$a" ]; then
        kill -TERM "$a" 2>/dev/null
        if ! wait_gone "$a" "$KVAGENT_STOP_TIMEOUT"; then
            log "$NAME (pid $a) still runs $KVAGENT_STOP_TIMEOUT s after SIGTERM; sending SIGKILL" \
                2>> "$KVAGENT_LOG"
            kill -KILL "$a" 2>/dev/null
            wait_gone "$a" 5
        fi
        stopped=1
    fi
    rm -f "$PIDFILE"
    if [ -n "$stopped" ]; then
        echo "OK"
    else
        echo "not running"
    fi
    return 0
}

do_status() {
    s=$(supervisor_pid)
    a=$(agent_pid)
    if [ -n "$a" ]; then
        echo "$NAME is running (pid $a${s:+, supervisor pid $s})"
        return 0
    fi
    if [ -n "$s" ]; then
        echo "$NAME is restarting (supervisor pid $s)"
        return 0
    fi
    if [ -f "$PIDFILE" ] || [ -f "$SUPERVISOR_PIDFILE" ]; then
        echo "$NAME is stopped (stale pid file)"
        return 1
    fi
    echo "$NAME is stopped"
    return 3
}

case $1 in
    start) do_start ;;
    stop) do_stop ;;
    restart) do_stop; do_start ;;
    status) do_status ;;
    supervise) supervise ;;
    *) echo "Usage: $0 {start|stop|restart|status}" >&2; exit 1 ;;
esac
