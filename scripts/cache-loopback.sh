#!/usr/bin/env bash
# Serves a web root through a Varnish cache on loopback: nginx as the origin
# with deploy/update-host.nginx.conf, varnishd in front of it with
# deploy/update-cache.vcl, both on free ports, both stopping by themselves
# after an hour if stop never runs:
#   cache-loopback.sh start <state dir> <web root>   prints "<cache port> <origin port>"
#   cache-loopback.sh stop <state dir>
# The origin (scripts/nginx-loopback.sh) logs every response to
# <state dir>/origin/access.log.
set -euo pipefail

action=$1
state=$2
root="$(cd "$(dirname "$0")/.." && pwd)"
deploy="$root/deploy"

free_port() { # a loopback port nobody listens on right now
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

wait_for() { # <port> <runner pid file>: true once something answers on port
  for _ in $(seq 150); do
    if curl -s -o /dev/null "http://127.0.0.1:$1/"; then
      return 0
    fi
    kill -0 "$(cat "$2")" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

start_cache() { # <origin port>
  local port
  port=$(free_port) || return 1
  cat >"$state/cache.vcl" <<VCL
vcl 4.1;
backend origin { .host = "127.0.0.1"; .port = "$1"; }
include "$deploy/update-cache.vcl";
VCL
  # Its own working folder (-n), no CLI port and no privilege separation:
  # a private instance beside any system one.
  setsid timeout 3600 varnishd -F -j none -T none -n "$state/varnish" \
    -a "127.0.0.1:$port" -f "$state/cache.vcl" -s malloc,1g \
    >"$state/varnish.out" 2>&1 </dev/null &
  echo $! >"$state/varnish.runner"
  wait_for "$port" "$state/varnish.runner" && echo "$port"
}

start() {
  mkdir -p "$state/origin"
  local origin cache
  for _ in 1 2 3; do
    if origin=$("$root/scripts/nginx-loopback.sh" start "$state/origin" "$1" 0 \
        "$deploy/update-host.nginx.conf") && cache=$(start_cache "$origin"); then
      echo "$cache $origin" >"$state/ports"
      echo "$cache $origin"
      return 0
    fi
    stop
  done
  echo "cache-loopback: could not start nginx and varnishd" >&2
  cat "$state/varnish.out" >&2 2>/dev/null || true
  return 1
}

stop() {
  if [ -s "$state/varnish.runner" ]; then
    kill "$(cat "$state/varnish.runner")" 2>/dev/null || true
    rm -f "$state/varnish.runner"
  fi
  "$root/scripts/nginx-loopback.sh" stop "$state/origin"
  rm -f "$state/ports"
}

case "$action" in
  start) start "$3" ;;
  stop) stop ;;
  *) echo "usage: $0 start <state dir> <web root> | stop <state dir>" >&2; exit 2 ;;
esac
