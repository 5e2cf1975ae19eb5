#!/usr/bin/env bash
# Installs everything the agent, its demo and its tests need (Debian 12, as root),
# and the packages given as arguments (other build scripts' own needs).
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache
  libjansson-dev libwebsockets-dev libcurl4-openssl-dev libmbedtls-dev zlib1g-dev liblog4cplus-dev
  googletest libgtest-dev
  python3 python3-pytest python3-pytest-xdist python3-websockets
  bubblewrap iproute2 openssl procps valgrind
  lighttpd curl
  clang libclang-rt-14-dev strace libfaketime
  python3-jsonschema
  busybox   # the init script's test runs it under BusyBox ash, the device's shell
  # the farm installer's test: an sshd in the device sandbox, password logins
  # (the machine's policy-rc.d keeps the package from starting a service)
  openssh-server openssh-client sshpass
  dropbear-bin   # the dropbear of the farm tests' simulated boot
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # An index caught in a mirror sync fails the update now and then; the
  # package lists already there still serve the install.
  if ! apt-get update -qq; then
    echo "install-deps: apt-get update failed; trying again in 10 s" >&2
    sleep 10
    apt-get update -qq ||
      echo "install-deps: apt-get update failed again; installing from the lists there are" >&2
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
