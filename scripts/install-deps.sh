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

# Ranks the security suite below the main suite, for one retry only (below).
security_last_pin=/etc/apt/preferences.d/install-deps-security-last

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
rm -f "$security_last_pin" # left by a run that was killed

# While the Debian archive is mid-sync, an index can fail to download ("Mirror
# sync in progress?"). apt names it above; the install may still be possible
# from the lists that did arrive.
if ! apt-get update -qq; then
  echo "install-deps: some package lists could not be downloaded (see above); installing from the lists apt has" >&2
fi

install_missing() {
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# With the security suite's i386 index missing, apt wants an amd64 library
# from the security suite while its i386 twin exists only in the main suite,
# and a library installed for both must have one version in both: apt finds
# no solution. Retried once with the security suite ranked below the main
# suite, both copies come from the main suite. A package that cannot be had
# at all fails the retry too, with apt's message, and ends the script.
if ! install_missing; then
  echo "install-deps: retrying with the security suite ranked below the main suite" >&2
  # The pin goes whatever happens: a failed or interrupted retry must not
  # leave the security suite ranked low on this machine.
  trap 'rm -f "$security_last_pin"' EXIT
  trap 'exit 1' INT TERM HUP
  printf '%s\n' 'Package: *' 'Pin: release l=Debian-Security' 'Pin-Priority: 100' \
    >"$security_last_pin"
  install_missing
  rm -f "$security_last_pin"
  trap - EXIT INT TERM HUP
  echo "install-deps: installed with the main suite's versions where the security suite has newer ones; run 'apt-get update && apt-get upgrade' once the archive has synced" >&2
fi

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
