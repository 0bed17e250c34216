#!/usr/bin/env bash
# Installs the cross toolchain, Wine, Xvfb, nginx, Varnish and the native tools
# that the build and the tests need. Safe to run again: it installs only what
# is missing.
set -euo pipefail

packages=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine32:i386 wine64 xvfb nginx-light imagemagick xdotool
  cmake ninja-build googletest g++ zlib1g-dev libz-mingw-w64-dev curl varnish
  libssl-dev openssl
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is already installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

# The tests start varnishd themselves, on a free loopback port with a working
# folder of their own. The package enables and (where services run) starts a
# system instance on port 6081: stop and disable the one installed here.
if [[ " ${missing[*]} " == *" varnish "* ]]; then
  for service in varnish varnishncsa; do
    if [ -d /run/systemd/system ]; then
      systemctl disable --now "$service.service" >/dev/null 2>&1 || true
    else
      systemctl disable "$service.service" >/dev/null 2>&1 || true
      invoke-rc.d "$service" stop >/dev/null 2>&1 || true
    fi
  done
fi
