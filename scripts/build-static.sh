#!/usr/bin/env bash
# Builds the fully static agent that ships: no program interpreter, no shared
# library, runs on the device's old userland (eglibc 2.17, no libstdc++,
# kernel 3.8) as well as on this machine.
#
#   bash scripts/build-static.sh x86_64|armhf      # -> build-static-<arch>/kvagent
#
# armhf is ARMv7-A hard-float (Thumb-2, tuned for the board's Cortex-A8).
# Debian's own static libraries are used where they are usable: jansson,
# mbed TLS (mbedtls, mbedx509, mbedcrypto), zlib, glibc and libstdc++. Debian
# ships no static log4cplus, its static libcurl needs Kerberos, LDAP, RTMP,
# SSH, IDN, PSL, zstd, brotli and nghttp2, which a firmware download never
# uses, and its libwebsockets is on OpenSSL (3.4 MB of the binary and most of
# its resident pages): these three are built from Debian's own source
# packages (apt-get source, through a deb-src list of this script's own made
# from the machine's apt sources) with only what the agent calls, TLS on
# mbed TLS, and kept in KVAGENT_STATIC_CACHE (default
# /var/cache/kvagent-static) under <arch>/<package>-<Debian version>[+flavour],
# so later builds (and CI on the same machine) reuse them. Needs root for
# apt-get the first time.
#
# BUILD_JOBS (default: the number of cores) and NICE (default 0) tune the build.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
repo=$PWD

arch=${1:-}
case "$arch" in
  x86_64) triplet=x86_64-linux-gnu; host_flags=(); cpu_flags="" ;;
  armhf) triplet=arm-linux-gnueabihf; host_flags=(--host=$triplet); cpu_flags="-mtune=cortex-a8" ;;
  *) echo "usage: build-static.sh x86_64|armhf" >&2; exit 2 ;;
esac
shift
cache=${KVAGENT_STATIC_CACHE:-/var/cache/kvagent-static}
jobs=${BUILD_JOBS:-$(nproc)}
# What ships is compiled here, never taken from a compiler cache.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
nice=(nice -n "${NICE:-0}")
dir=build-static-$arch

# -- packages ---------------------------------------------------------------
packages=(dpkg-dev make)
if [ "$arch" = x86_64 ]; then
  cc=gcc cxx=g++
  pc_libdir=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig
else
  # the cross toolchain and the armhf -dev packages (the same as the shared
  # armhf build's; libwebsockets is built here, not taken from Debian)
  bash scripts/install-deps-armhf.sh
  cc=$triplet-gcc cxx=$triplet-g++
  pc_libdir=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig
fi
bash scripts/install-deps.sh "${packages[@]}"

# -- dependencies built from Debian's source packages --------------------------
apt_dir=$cache/apt
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
apt_ready=0

# A deb-src list of our own, made from the machine's deb entries, so the
# machine's apt configuration stays as it is.
prepare_apt_sources() {
  [ "$apt_ready" = 1 ] && return
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial"
  : >"$apt_dir/sources.list"
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >>"$apt_dir/sources.list"
  fi
  for f in /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >>"$apt_dir/sources.list"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*$/Types: deb-src/' "$f" >"$apt_dir/parts/$(basename "$f")"
  done
  chown -R _apt "$apt_dir/lists" 2>/dev/null || true
  apt-get "${apt_opts[@]}" update -qq
  apt_ready=1
}

# fetch_source PACKAGE VERSION DEST: Debian's source package, patches applied.
fetch_source() {
  local pkg=$1 version=$2 dest=$3 dl
  prepare_apt_sources
  dl=$(mktemp -d "$cache/download.XXXXXX")
  chown _apt "$dl" 2>/dev/null || true
  (cd "$dl" && apt-get "${apt_opts[@]}" source -qq --download-only "$pkg=$version")
  rm -rf "$dest"
  dpkg-source --no-check -x "$dl"/"${pkg}"_*.dsc "$dest" >/dev/null
  rm -rf "$dl"
}

dep_cflags="-Os -ffunction-sections -fdata-sections $cpu_flags"

build_log4cplus() {
  local prefix=$1 src=$2
  (cd "$src" && "${nice[@]}" ./configure "${host_flags[@]}" --prefix="$prefix" \
      --disable-shared --enable-static --with-pic=no --without-iconv --without-qt --without-qt5 \
      --with-working-locale --enable-threads CC="$cc" CXX="$cxx" \
      CFLAGS="$dep_cflags" CXXFLAGS="$dep_cflags" &&
   "${nice[@]}" make -s -j"$jobs" && make -s install)
}

build_libwebsockets() {
  local prefix=$1 src=$2 toolchain=()
  [ "$arch" = armhf ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/debian-armhf.cmake")
  # A client on mbed TLS with permessage-deflate; no server, no event
  # libraries, no test programs.
  "${nice[@]}" cmake -S "$src" -B "$src/build" "${toolchain[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS="$dep_cflags" \
      -DLWS_WITH_SSL=ON -DLWS_WITH_MBEDTLS=ON -DLWS_WITH_SHARED=OFF -DLWS_WITH_STATIC=ON \
      -DLWS_WITHOUT_SERVER=ON -DLWS_WITH_ZLIB=ON -DLWS_WITHOUT_EXTENSIONS=OFF -DLWS_IPV6=ON \
      -DLWS_WITHOUT_DAEMONIZE=ON -DLWS_WITHOUT_TESTAPPS=ON -DLWS_WITH_MINIMAL_EXAMPLES=OFF \
      -DLWS_WITH_EXPORT_LWSTARGETS=OFF &&
  "${nice[@]}" cmake --build "$src/build" -j"$jobs" && cmake --install "$src/build"
}

build_curl() {
  local prefix=$1 src=$2
  # HTTP and HTTPS over mbed TLS only: the firmware download.
  (cd "$src" && PKG_CONFIG_LIBDIR=$pc_libdir PKG_CONFIG_PATH= "${nice[@]}" ./configure \
      "${host_flags[@]}" --prefix="$prefix" --disable-shared --enable-static --with-pic=no \
      --with-mbedtls --without-openssl --without-ca-bundle --without-ca-path \
      --without-ca-fallback --without-zlib --without-brotli --without-zstd --without-libidn2 \
      --without-libpsl --without-nghttp2 --without-ngtcp2 --without-nghttp3 --without-quiche \
      --without-librtmp --without-libssh2 --without-libssh --without-wolfssh --without-gssapi \
      --without-libgsasl --without-hyper --disable-ldap --disable-ldaps --disable-rtsp \
      --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smb \
      --disable-smtp --disable-gopher --disable-mqtt --disable-ftp --disable-file --disable-manual \
      --disable-ntlm --disable-ntlm-wb --disable-cookies --disable-netrc --disable-alt-svc --disable-hsts \
      --disable-doh --disable-mime --disable-unix-sockets --disable-libcurl-option \
      --disable-websockets --enable-threaded-resolver CC="$cc" CFLAGS="$dep_cflags" &&
   "${nice[@]}" make -s -j"$jobs" -C lib &&
   make -s -C lib install && make -s -C include install && make -s install-pkgconfigDATA)
}

# dependency PACKAGE BINARY_PACKAGE [FLAVOUR]: the installed library's source
# version built once into the cache (FLAVOUR names how, when that changed);
# prints the prefix.
dependency() {
  local pkg=$1 binpkg=$2 flavour=${3:-} version prefix work
  version=$(dpkg-query -W -f='${source:Version}' "$binpkg")
  prefix=$cache/$arch/$pkg-$version${flavour:++$flavour}
  if [ ! -f "$prefix/.done" ]; then
    echo "Building $pkg $version for $arch from Debian's source package into $prefix" >&2
    work=$(mktemp -d "$cache/work.XXXXXX")
    fetch_source "$pkg" "$version" "$work/src" >&2
    rm -rf "$prefix"
    if ! "build_$pkg" "$prefix" "$work/src" >"$work/build.log" 2>&1; then
      tail -n 40 "$work/build.log" >&2
      echo "build-static: building $pkg failed (whole log: $work/build.log)" >&2
      exit 1
    fi
    rm -rf "$work"
    touch "$prefix/.done"
  fi
  echo "$prefix"
}

mkdir -p "$cache"
if [ "$arch" = x86_64 ]; then
  log4cplus_prefix=$(dependency log4cplus liblog4cplus-dev:amd64)
  curl_prefix=$(dependency curl libcurl4-openssl-dev:amd64 mbedtls)
  lws_prefix=$(dependency libwebsockets libwebsockets-dev:amd64 mbedtls)
else
  log4cplus_prefix=$(dependency log4cplus liblog4cplus-dev:armhf)
  curl_prefix=$(dependency curl libcurl4-openssl-dev:armhf mbedtls)
  lws_prefix=$(dependency libwebsockets libwebsockets17:armhf mbedtls)
fi

# -- the agent ------------------------------------------------------------------
cmake_args=(-DKVAGENT_STATIC=ON -DKVAGENT_TESTS=OFF -DKVAGENT_BENCH=OFF -DCMAKE_BUILD_TYPE=MinSizeRel
            "-DCMAKE_PREFIX_PATH=$lws_prefix;$log4cplus_prefix;$curl_prefix")
if [ "$arch" = armhf ]; then
  cmake_args+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/debian-armhf.cmake
               "-DKVAGENT_CPU_FLAGS=$cpu_flags")
fi
# A fresh configuration every time: pkg-config's findings stay in the cache,
# and they must follow the dependencies' prefixes.
rm -f "$dir/CMakeCache.txt"
"${nice[@]}" cmake -S . -B "$dir" "${cmake_args[@]}" "$@" >/dev/null
"${nice[@]}" cmake --build "$dir" -j"$jobs" --target kvagent

# What makes it static: no program interpreter, nothing NEEDED.
if readelf -lW "$dir/kvagent" | grep -q 'INTERP' || readelf -dW "$dir/kvagent" | grep -q '(NEEDED)'; then
  echo "build-static: $dir/kvagent is not fully static:" >&2
  readelf -lW "$dir/kvagent" | grep -A1 INTERP >&2 || true
  readelf -dW "$dir/kvagent" | grep NEEDED >&2 || true
  exit 1
fi
echo "build-static: $dir/kvagent is fully static ($(file -b "$dir/kvagent" | cut -d, -f1-2))"
