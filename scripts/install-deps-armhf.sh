#!/usr/bin/env bash
# Installs what the armhf cross-build and its emulated unit tests need (Debian 12,
# as root): Debian's cross compiler, qemu-user and the armhf multiarch -dev
# packages. Safe to run again; it only installs what is missing.
#
# libwebsockets-dev:armhf cannot be installed beside the amd64 one (both ship
# /usr/include/lws_config.h), so its headers are unpacked into $1 instead
# (default build-armhf/deps) with a pkg-config file that points at them and at
# the installed armhf runtime libwebsockets.so.17.
set -euo pipefail
cd "$(dirname "$0")/.."
deps=$(realpath -m "${1:-build-armhf/deps}")
arch=arm-linux-gnueabihf

packages=(
  cmake pkg-config crossbuild-essential-armhf qemu-user
  libc6:armhf libjansson-dev:armhf libwebsockets17:armhf libcurl4-openssl-dev:armhf
  libmbedtls-dev:armhf zlib1g-dev:armhf liblog4cplus-dev:armhf libgtest-dev:armhf
  # what the libwebsockets headers include: openssl, uv.h, sys/capability.h
  libssl-dev:armhf libuv1-dev:armhf libcap-dev:armhf
)

export DEBIAN_FRONTEND=noninteractive
updated=0
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "Adding the armhf architecture"
  dpkg --add-architecture armhf
  apt-get update -qq
  updated=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  [ "$updated" = 1 ] || apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The libwebsockets headers of the same version as the installed runtime.
lws_version=$(dpkg-query -W -f='${Version}' libwebsockets17:armhf)
stamp="$deps/lws/.version"
if [ "$(cat "$stamp" 2>/dev/null)" != "$lws_version" ]; then
  echo "Unpacking libwebsockets-dev:armhf $lws_version into $deps/lws"
  rm -rf "$deps/lws" "$deps/lws.download"
  mkdir -p "$deps/lws.download" "$deps/lws/root"
  # apt drops privileges to _apt for downloads; give it a folder it may write
  chown _apt "$deps/lws.download" 2>/dev/null || true
  (cd "$deps/lws.download" && apt-get download -qq "libwebsockets-dev:armhf=$lws_version")
  dpkg -x "$deps"/lws.download/libwebsockets-dev_*_armhf.deb "$deps/lws/root"
  rm -rf "$deps/lws.download"

  # Link only against the runtime that is installed (the package's own
  # libwebsockets.so link would dangle here).
  mkdir -p "$deps/lws/lib" "$deps/lws/pkgconfig"
  ln -sf "/usr/lib/$arch/libwebsockets.so.17" "$deps/lws/lib/libwebsockets.so"
  sed -e "s|^prefix=.*|prefix=$deps/lws/root/usr|" \
      -e "s|^libdir=.*|libdir=$deps/lws/lib|" \
      "$deps/lws/root/usr/lib/$arch/pkgconfig/libwebsockets.pc" >"$deps/lws/pkgconfig/libwebsockets.pc"
  echo >>"$deps/lws/pkgconfig/libwebsockets.pc"
  echo "$lws_version" >"$stamp"
fi
