#!/usr/bin/env bash
# Makes the installation archive for the device: dist/kvagent-VERSION-ARCH.tar.gz,
# laid out as on the device (unpack it with `tar -xzf FILE -C /`):
#
#   usr/sbin/kvagent                  the agent, stripped
#   etc/init.d/kvagent.sh             its init script (start|stop|restart|status)
#   opt/korvane/etc/log.conf          logging: console + 256 KB size-rotated /var/log/kvagent.log
#   config/korvane.json.sample        the agent's configuration, to copy to korvane.json
#   usr/share/kvagent/INSTALL         where everything goes, how to start it
#   usr/share/kvagent/kvagent-install the farm installer, run on the operator's
#                                     machine from the unpacked archive
#   usr/share/kvagent/boot.sh         the boot script it puts in /config/korvane
#   opt/korvane/certs/letsencrypt.pem only with KVAGENT_BUNDLE_CA=FILE
#
#   bash scripts/bundle.sh [BINARY]
#
# The binary: BINARY or $KVAGENT_BUNDLE_BIN if given; else the fully static
# armhf build made by scripts/build-static.sh (build-static-armhf/kvagent),
# which runs on the device's own userland; else build/kvagent, the x86-64
# development build, with a warning (its architecture is in the archive's
# name, so it cannot pass for the device's).
# KVAGENT_BUNDLE_DIR: output folder (default dist/). STRIP: the strip program
# (default: the one for the binary's architecture).
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "bundle: $*" >&2; exit 1; }
warn() { echo "bundle: WARNING: $*" >&2; }

bin=${1:-${KVAGENT_BUNDLE_BIN:-}}
if [[ -z $bin ]]; then
    if [[ -f scripts/build-static.sh ]]; then
        echo "bundle: building the static armhf agent (scripts/build-static.sh armhf)"
        bash scripts/build-static.sh armhf
        bin=build-static-armhf/kvagent
    else
        bin=build/kvagent
        warn "scripts/build-static.sh is missing and no binary was given (BINARY or KVAGENT_BUNDLE_BIN):"
        warn "falling back to the development build $bin, which does not run on the device"
    fi
fi
[[ -f $bin ]] || die "no agent binary at $bin"
command -v readelf >/dev/null || die "readelf is missing (binutils)"

# The binary's architecture, for the archive's name and the strip program.
machine=$(readelf -h "$bin" 2>/dev/null | sed -n 's/^ *Machine: *//p')
case $machine in
    ARM)
        if readelf -h "$bin" | grep -q 'hard-float'; then arch=armhf; else arch=armel; fi
        strip_default=arm-linux-gnueabihf-strip ;;
    *X86-64*) arch=x86_64; strip_default='strip' ;;
    '') die "$bin is not an ELF binary" ;;
    *) arch=$(echo "$machine" | tr -c 'A-Za-z0-9_\n' '_' | tr '[:upper:]' '[:lower:]'); strip_default='strip' ;;
esac
if [[ $arch != armhf ]]; then
    warn "$bin is a $arch binary, not the device's armhf: the bundle is for trying the layout only"
fi
strip_prog=${STRIP:-$strip_default}
command -v "$strip_prog" >/dev/null || die "no $strip_prog to strip a $arch binary (set STRIP)"

version=$(sed -n 's/^project(kvagent VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || die "no version in CMakeLists.txt"
name=kvagent-$version-$arch
out_dir=${KVAGENT_BUNDLE_DIR:-dist}
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
archive=$out_dir/$name.tar.gz

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

install -d "$stage/usr/sbin" "$stage/etc/init.d" "$stage/opt/korvane/etc" "$stage/config" \
    "$stage/usr/share/kvagent"
"$strip_prog" -o "$stage/usr/sbin/kvagent" "$bin"
chmod 755 "$stage/usr/sbin/kvagent"
install -m 755 etc/init.d/kvagent.sh "$stage/etc/init.d/kvagent.sh"
install -m 644 etc/log.conf "$stage/opt/korvane/etc/log.conf"
install -m 644 etc/korvane.json.sample "$stage/config/korvane.json.sample"
install -m 755 scripts/kvagent-install "$stage/usr/share/kvagent/kvagent-install"
install -m 755 etc/korvane/boot.sh "$stage/usr/share/kvagent/boot.sh"
files=(usr/sbin/kvagent etc/init.d/kvagent.sh opt/korvane/etc/log.conf config/korvane.json.sample
       usr/share/kvagent/INSTALL usr/share/kvagent/kvagent-install usr/share/kvagent/boot.sh)
if [[ -n ${KVAGENT_BUNDLE_CA:-} ]]; then
    [[ -f $KVAGENT_BUNDLE_CA ]] || die "no CA bundle at $KVAGENT_BUNDLE_CA"
    install -d "$stage/opt/korvane/certs"
    install -m 644 "$KVAGENT_BUNDLE_CA" "$stage/opt/korvane/certs/letsencrypt.pem"
    files+=(opt/korvane/certs/letsencrypt.pem)
fi

needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')

cat > "$stage/usr/share/kvagent/INSTALL" <<EOF
kvagent $version ($arch) - installing on the device

On a farm: unpack the archive on your own (Linux) machine and run
  usr/share/kvagent/kvagent-install -k API_KEY install root@DEVICE...
which puts the agent in /config/korvane on each device, starts it at every
boot through one line in /config/dropbear, and can check, upgrade and remove
it again (see the top of the script).

By hand, on one device: unpack as root at the device's root: tar -xzf $name.tar.gz -C /
The archive holds files only (no folder entries), so unpacking leaves the
device's folders and their permissions alone.

  /usr/sbin/kvagent             the agent
  /etc/init.d/kvagent.sh        init script: start|stop|restart|status
  /opt/korvane/etc/log.conf     logging (console, and /var/log/kvagent.log
                                size-rotated at 256 KB with one old copy)
  /config/korvane.json.sample   sample configuration
  /opt/korvane/certs/letsencrypt.pem
                                the server's trust anchors: install the CA
                                bundle here if the archive has none
  /usr/share/kvagent/INSTALL    this text

Then:
  1. cp /config/korvane.json.sample /config/korvane.json and put the farm's
     API key in it (more than 24 characters); the agent adds the device id
     itself on its first start.
  2. /etc/init.d/kvagent.sh start    (status, stop, restart likewise)
     The script runs the agent under a supervising shell that starts it again
     10 s after it exits with a failure or dies by a signal; an orderly stop
     (SIGTERM, or the script's stop) ends it. Pid files:
     /var/run/kvagent.pid, /var/run/kvagent-supervisor.pid; the supervisor's
     log: /var/log/kvagent-supervisor.log; the agent's: /var/log/kvagent.log.
  3. The device's root file system is a RAM disk unpacked at every boot:
     what this archive put outside /config is gone after a reboot. To keep
     the agent and start it at every boot, use kvagent-install (above), which
     keeps it in /config/korvane.

Settings (binary, options such as -s URL, the pause between restarts, the
stop timeout) go in /etc/default/kvagent as shell assignments; see the top of
/etc/init.d/kvagent.sh.

The binary needs these shared libraries on the device: ${needed:-none (fully static)}
EOF
chmod 644 "$stage/usr/share/kvagent/INSTALL"

mtime=$(git log -1 --format=%ct 2>/dev/null || date +%s)
rm -f "$archive"
tar -C "$stage" --format=ustar --owner=0 --group=0 --numeric-owner --mtime="@$mtime" \
    --no-recursion -cf - "${files[@]}" | gzip -9n > "$archive"
cp "$stage/usr/share/kvagent/INSTALL" "$out_dir/$name.INSTALL"

echo "bundle: $archive"
tar -tvzf "$archive"
echo "bundle: $(stat -c %s "$archive") bytes ($(du -h "$archive" | cut -f1)); the INSTALL text also in $out_dir/$name.INSTALL"
if [[ $arch != armhf ]]; then
    warn "this is a $arch bundle, not for the device"
fi
