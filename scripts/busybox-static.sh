#!/bin/sh
# Prints the path of Debian's busybox-static binary (a static BusyBox, closer
# to the device's than the dynamic one of the busybox package), unpacked from
# its .deb into a cache folder outside the clone, without installing the
# package (it conflicts with busybox, which other tests use). Fetched with
# apt-get download only when the cache has none yet.
#
#   scripts/busybox-static.sh        (as root; KVAGENT_BUSYBOX_CACHE overrides
#                                     the cache folder)
# Needs apt-get, dpkg-deb and flock (apt, dpkg, util-linux).
set -eu

cache=${KVAGENT_BUSYBOX_CACHE:-/var/cache/kvagent-busybox-static}
bin=$cache/root/bin/busybox

if [ ! -x "$bin" ]; then
    mkdir -p "$cache/deb"
    # apt-get download drops root's rights to _apt: the folder must be its.
    chown _apt "$cache/deb" 2>/dev/null || true
    # Parallel test workers: one fetches and unpacks, the others wait.
    exec 9>"$cache/.lock"
    flock 9
    if [ ! -x "$bin" ]; then
        deb=$(find "$cache/deb" -name 'busybox-static_*.deb' | sort | tail -n 1)
        if [ -z "$deb" ]; then
            (cd "$cache/deb" && apt-get download -q busybox-static) >&2
            deb=$(find "$cache/deb" -name 'busybox-static_*.deb' | sort | tail -n 1)
        fi
        [ -n "$deb" ] || { echo "busybox-static.sh: no .deb in $cache/deb" >&2; exit 1; }
        rm -rf "$cache/root.new"
        dpkg-deb -x "$deb" "$cache/root.new"
        rm -rf "$cache/root"
        mv "$cache/root.new" "$cache/root"
    fi
    exec 9>&-
fi

# A static binary that runs here, or nothing printed.
"$bin" true
banner=$("$bin" --help 2>&1 | head -n 1)
case $banner in
    BusyBox*) ;;
    *) echo "busybox-static.sh: $bin is no BusyBox" >&2; exit 1 ;;
esac
echo "$bin"
