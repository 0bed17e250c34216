#!/usr/bin/env bash
# Serves a folder over HTTP on a free loopback port with nginx, in the
# foreground mode that needs no root rights, and stops it again:
#   nginx-loopback.sh start <state dir> <web root> [rate] [locations] [http]
#                       prints the port; rate (such as 1m; 0, the default, for
#                       none) slows every response to that many bytes a
#                       second; locations, a file, is included in the server,
#                       and http, a file, in the http block (a zone it names)
#   nginx-loopback.sh stop <state dir>
# Every response is logged to <state dir>/access.log as "<status> <body bytes
# sent> "<request line>" "<If-None-Match>"".
# nginx answers absolute-form requests, so with the port as the configured
# proxy it serves the patcher's fixed host name. It stops by itself after an
# hour if stop never runs.
set -euo pipefail

action=$1
state=$2

start() {
  local root=$1 rate=${2:-0} locations=${3:+include $3;} http_part=${4:+include $4;}
  mkdir -p "$state/tmp" "$root"
  for _ in $(seq 20); do
    local port=$((20000 + RANDOM % 20000))
    cat >"$state/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $state/nginx.pid; error_log $state/error.log;
events { worker_connections 256; }
http {
  log_format short '\$status \$body_bytes_sent "\$request" "\$http_if_none_match"';
  access_log $state/access.log short;
  client_body_temp_path $state/tmp; proxy_temp_path $state/tmp;
  fastcgi_temp_path $state/tmp; uwsgi_temp_path $state/tmp; scgi_temp_path $state/tmp;
  types { text/plain txt; application/octet-stream bin exe dll pak; }
  default_type application/octet-stream;
  $http_part
  server { listen 127.0.0.1:$port; root $root; disable_symlinks off; limit_rate $rate; $locations }
}
CONF
    setsid timeout 3600 nginx -c "$state/nginx.conf" -p "$state" \
      >"$state/nginx.out" 2>&1 </dev/null &
    echo $! >"$state/nginx.runner"
    for _ in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
        echo "$port" >"$state/nginx.port"
        echo "$port"
        return 0
      fi
      kill -0 "$(cat "$state/nginx.runner")" 2>/dev/null || break
      sleep 0.1
    done
    stop
  done
  echo "nginx-loopback: could not start nginx" >&2
  cat "$state/error.log" >&2 || true
  return 1
}

stop() {
  if [ -s "$state/nginx.runner" ]; then
    kill "$(cat "$state/nginx.runner")" 2>/dev/null || true
    rm -f "$state/nginx.runner"
  fi
  rm -f "$state/nginx.port"
}

case "$action" in
  start) start "$3" "${4:-0}" "${5:-}" "${6:-}" ;;
  stop) stop ;;
  *) echo "usage: $0 start <state dir> <web root> | stop <state dir>" >&2; exit 2 ;;
esac
