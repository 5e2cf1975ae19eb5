#!/bin/sh
# kvagent on the device: the boot script, kept with the agent in /config/korvane
# (the only flash that survives a reboot; the root file system is a RAM disk
# unpacked afresh at every boot).
#
#   sh /config/korvane/boot.sh start    what the boot hook runs (in the background)
#   sh /config/korvane/boot.sh stop     end a waiting start and the agent
#   sh /config/korvane/boot.sh hook     put the boot hook line in /config/dropbear
#   sh /config/korvane/boot.sh unhook   take it out again
#
# start recreates the agent's fixed paths on the RAM disk as links into
# /config/korvane, waits until eth0 has an IPv4 address and there is a default
# route (until then the agent cannot read its identity and would save a random
# device id for good), then starts the agent with the supervising init script
# (/etc/init.d/kvagent.sh start). The wait is bounded by KVAGENT_NET_WAIT
# seconds (1800); when it runs out the agent is started only if it has saved
# its device id already. A start while another one waits, or while the agent
# runs, changes nothing. Its lines go to /var/log/kvagent-boot.log (kept under
# 16 KB plus one old copy).
#
# Settings: /config/korvane/kvagent.default, shell assignments read by this
# script and by the init script (KVAGENT_OPTS, KVAGENT_RESPAWN_PAUSE, ...; see
# the top of kvagent.sh), plus KVAGENT_NET_WAIT here.
#
# The device's shell is BusyBox ash 1.20. Applets used here and by kvagent.sh,
# with options that 1.20 has:
# Applets: sh cat date grep kill ln mkdir mv readlink rm sleep tr wc
# Probed with command -v, with a fallback: setsid logger ip ifconfig

HOME_DIR=/config/korvane
DEFAULTS=$HOME_DIR/kvagent.default
INIT_SCRIPT=/etc/init.d/kvagent.sh
BOOT_LOG=/var/log/kvagent-boot.log
BOOT_LOG_MAX=16384
BOOT_PIDFILE=/var/run/kvagent-boot.pid
DROPBEAR_FILE=/config/dropbear
# Left in /config/korvane when the hook created /config/dropbear, so that
# unhook can delete the file again.
DROPBEAR_CREATED=$HOME_DIR/dropbear.created
HOOK_MARK='# kvagent boot hook'
HOOK_LINE="if [ -f $HOME_DIR/boot.sh ]; then sh $HOME_DIR/boot.sh start </dev/null >/dev/null 2>&1 & fi $HOOK_MARK"

# Links on the RAM disk: "link target" pairs.
LINKS="/opt/korvane/etc/log.conf $HOME_DIR/log.conf
/opt/korvane/certs/letsencrypt.pem $HOME_DIR/letsencrypt.pem
/etc/init.d/kvagent.sh $HOME_DIR/kvagent.sh
/etc/default/kvagent $DEFAULTS"

PATH=${PATH:-/sbin:/bin:/usr/sbin:/usr/bin}
export PATH

log() {
    echo "$(date '+%Y-%m-%d %H:%M:%S') boot.sh: $*"
}

rotate_boot_log() {
    mkdir -p "${BOOT_LOG%/*}" 2>/dev/null
    [ -f "$BOOT_LOG" ] || return 0
    _size=$(wc -c < "$BOOT_LOG" 2>/dev/null | tr -d ' ')
    case $_size in ''|*[!0-9]*) return 0 ;; esac
    [ "$_size" -gt $BOOT_LOG_MAX ] && mv -f "$BOOT_LOG" "$BOOT_LOG.1"
    return 0
}

# Is $1 a live process running this script?
is_boot_script() {
    kill -0 "$1" 2>/dev/null || return 1
    case " $(tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null)" in
        *"/boot.sh start "*) return 0 ;;
    esac
    return 1
}

# Claims $BOOT_PIDFILE for this process (created only if absent, so that of two
# starts at once one wins); a file left by a process that is gone is taken over.
claim_pidfile() {
    mkdir -p "${BOOT_PIDFILE%/*}"
    (set -C; echo $$ > "$BOOT_PIDFILE") 2>/dev/null && return 0
    read -r _other 2>/dev/null < "$BOOT_PIDFILE"
    case $_other in ''|*[!0-9]*) ;; *) is_boot_script "$_other" && return 1 ;; esac
    rm -f "$BOOT_PIDFILE"
    (set -C; echo $$ > "$BOOT_PIDFILE") 2>/dev/null
}

make_links() {
    echo "$LINKS" | while read -r _link _target; do
        [ -e "$_target" ] || continue
        if [ "$(readlink "$_link" 2>/dev/null)" = "$_target" ]; then
            continue
        fi
        if mkdir -p "${_link%/*}" 2>/dev/null && ln -sf "$_target" "$_link" 2>/dev/null; then
            log "linked $_link -> $_target"
        else
            log "could not link $_link -> $_target"
        fi
    done
}

has_address() {
    if command -v ip >/dev/null 2>&1; then
        ip addr show dev eth0 2>/dev/null | grep -q 'inet '
    elif command -v ifconfig >/dev/null 2>&1; then
        ifconfig eth0 2>/dev/null | grep -q 'inet addr:'
    else
        # Neither tool: the address cannot be checked, the route still is.
        return 0
    fi
}

# A default route (destination 00000000) on eth0, from the kernel's table.
has_default_route() {
    while read -r _iface _dest _rest; do
        [ "$_iface" = eth0 ] && [ "$_dest" = 00000000 ] && return 0
    done < /proc/net/route
    return 1
}

has_device_id() {
    grep -q '"dev_id"' /config/korvane.json 2>/dev/null
}

do_start() {
    trap '' HUP
    rotate_boot_log
    exec >> "$BOOT_LOG" 2>&1 < /dev/null
    if ! claim_pidfile; then
        log "another start is under way; nothing to do"
        return 0
    fi
    trap 'rm -f "$BOOT_PIDFILE"' EXIT
    trap 'exit 0' TERM INT
    if [ ! -x "$HOME_DIR/kvagent" ]; then
        log "$HOME_DIR/kvagent is missing; not starting"
        return 1
    fi
    # shellcheck disable=SC1090
    [ -r "$DEFAULTS" ] && . "$DEFAULTS"
    KVAGENT_NET_WAIT=${KVAGENT_NET_WAIT:-1800}
    case $KVAGENT_NET_WAIT in *[!0-9]*) KVAGENT_NET_WAIT=1800 ;; esac
    make_links

    _waited=0
    while ! { has_address && has_default_route; }; do
        if [ "$_waited" -ge "$KVAGENT_NET_WAIT" ]; then
            if has_device_id; then
                log "no address or default route on eth0 after $_waited s; starting anyway (the device id is saved)"
                break
            fi
            log "no address or default route on eth0 after $_waited s; not starting (the device id would not be the board's)"
            return 1
        fi
        [ "$_waited" -eq 0 ] && log "waiting for an address and a default route on eth0"
        sleep 2
        _waited=$((_waited + 2))
    done
    [ "$_waited" -gt 0 ] && log "eth0 is up after $_waited s"

    # The init script's own defaults (/etc/default/kvagent) are the same file;
    # these apply where that file says nothing.
    KVAGENT_DEFAULTS=$DEFAULTS
    KVAGENT_DAEMON=${KVAGENT_DAEMON:-$HOME_DIR/kvagent}
    export KVAGENT_DEFAULTS KVAGENT_DAEMON
    _init=$INIT_SCRIPT
    [ "$(readlink "$_init" 2>/dev/null)" = "$HOME_DIR/kvagent.sh" ] || _init=$HOME_DIR/kvagent.sh
    if sh "$_init" status >/dev/null 2>&1; then
        log "the agent runs already"
        return 0
    fi
    sh "$_init" start
    _rc=$?
    log "$_init start: exit status $_rc"
    return $_rc
}

do_stop() {
    read -r _other 2>/dev/null < "$BOOT_PIDFILE"
    case $_other in
        ''|*[!0-9]*) ;;
        *)
            # It ends at its next step (a wait step or the start it runs),
            # before the agent is stopped below.
            _i=0
            while is_boot_script "$_other" && [ $_i -lt 10 ]; do
                kill "$_other" 2>/dev/null
                sleep 1
                _i=$((_i + 1))
            done
            ;;
    esac
    rm -f "$BOOT_PIDFILE"
    KVAGENT_DEFAULTS=$DEFAULTS
    export KVAGENT_DEFAULTS
    [ -f "$HOME_DIR/kvagent.sh" ] && sh "$HOME_DIR/kvagent.sh" stop
    return 0
}

# /config/dropbear without the hook line, on stdout (grep -v fails when no
# line is left, which is no failure here).
dropbear_without_hook() {
    [ -f "$DROPBEAR_FILE" ] || return 0
    grep -v -F "$HOOK_MARK" "$DROPBEAR_FILE"
    return 0
}

# Replaces /config/dropbear with stdin, through a file beside it.
replace_dropbear() {
    cat > "$DROPBEAR_FILE.kvagent-tmp" && mv -f "$DROPBEAR_FILE.kvagent-tmp" "$DROPBEAR_FILE"
}

do_hook() {
    if [ ! -f "$DROPBEAR_FILE" ]; then
        : > "$DROPBEAR_CREATED" || return 1
    fi
    { dropbear_without_hook; echo "$HOOK_LINE"; } | replace_dropbear
}

do_unhook() {
    [ -f "$DROPBEAR_FILE" ] || return 0
    _rest=$(dropbear_without_hook)
    if [ -f "$DROPBEAR_CREATED" ] && [ -z "$(echo "$_rest" | tr -d ' \t\n')" ]; then
        rm -f "$DROPBEAR_FILE" && echo "removed $DROPBEAR_FILE (the install had created it)"
    else
        dropbear_without_hook | replace_dropbear
    fi
    _rc=$?
    rm -f "$DROPBEAR_CREATED"
    return $_rc
}

case $1 in
    start) do_start ;;
    stop) do_stop ;;
    hook) do_hook ;;
    unhook) do_unhook ;;
    *) echo "Usage: $0 {start|stop|hook|unhook}" >&2; exit 1 ;;
esac
