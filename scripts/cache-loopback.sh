#!/usr/bin/env bash
# Serves a web root through a Varnish cache on loopback: nginx as the origin
# with deploy/update-host.nginx.conf, varnishd in front of it with
# deploy/update-cache.vcl, both on free ports, both stopping by themselves
# after an hour if stop never runs:
#   cache-loopback.sh start <state dir> <web root>   prints "<cache port> <origin port>"
#   cache-loopback.sh stop <state dir>
# The origin logs "<status> <body bytes sent> "<request line>" "<If-None-Match>""
# for every response to <state dir>/origin.log.
set -euo pipefail

action=$1
state=$2
deploy="$(cd "$(dirname "$0")/.." && pwd)/deploy"

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

start_origin() { # <web root>
  local port
  port=$(free_port) || return 1
  cat >"$state/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $state/nginx.pid; error_log $state/error.log;
events { worker_connections 256; }
http {
  log_format origin '\$status \$body_bytes_sent "\$request" "\$http_if_none_match"';
  access_log $state/origin.log origin;
  client_body_temp_path $state/tmp; proxy_temp_path $state/tmp;
  fastcgi_temp_path $state/tmp; uwsgi_temp_path $state/tmp; scgi_temp_path $state/tmp;
  types { text/plain txt; application/octet-stream bin exe dll pak; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $1;
    include $deploy/update-host.nginx.conf;
  }
}
CONF
  setsid timeout 3600 nginx -c "$state/nginx.conf" -p "$state" \
    >"$state/nginx.out" 2>&1 </dev/null &
  echo $! >"$state/nginx.runner"
  wait_for "$port" "$state/nginx.runner" && echo "$port"
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
  mkdir -p "$state/tmp"
  local origin cache
  for _ in 1 2 3; do
    if origin=$(start_origin "$1") && cache=$(start_cache "$origin"); then
      echo "$cache $origin" >"$state/ports"
      echo "$cache $origin"
      return 0
    fi
    stop
  done
  echo "cache-loopback: could not start nginx and varnishd" >&2
  cat "$state/error.log" "$state/varnish.out" >&2 2>/dev/null || true
  return 1
}

stop() {
  local runner
  for runner in "$state/varnish.runner" "$state/nginx.runner"; do
    if [ -s "$runner" ]; then
      kill "$(cat "$runner")" 2>/dev/null || true
      rm -f "$runner"
    fi
  done
  rm -f "$state/ports"
}

case "$action" in
  start) start "$3" ;;
  stop) stop ;;
  *) echo "usage: $0 start <state dir> <web root> | stop <state dir>" >&2; exit 2 ;;
esac
