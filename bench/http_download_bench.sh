#!/usr/bin/env bash
# Downloads one 256 MiB object from nginx on loopback with HttpDownloadToFile
# (under Wine) and with curl, in the same run, and prints both throughputs and
# their ratio. MB is 10^6 bytes; each side's best of RUNS runs counts.
#   bench/http_download_bench.sh [build dir]     (default build/win32, or build/win64 where 32-bit code cannot run)
# Build the tree first; nginx stops with this script, or after 10 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/build-choice.sh
build=$(bench_build "${1:-}")
exe="$build/bench/http_download_bench.exe"
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
[ -x "$exe" ] || { echo "bench: build $exe first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/bhp-bench.XXXXXX")
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/tmp"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/root/object.bin"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_nginx() { # <port>
  cat >"$work/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $work/nginx.pid; error_log $work/error.log;
events { worker_connections 64; }
http { access_log $work/access.log; client_body_temp_path $work/tmp;
       server { listen 127.0.0.1:$1; root $work/root; } }
EOF
  timeout 600 nginx -c "$work/nginx.conf" -p "$work" </dev/null >/dev/null 2>&1 &
  nginx_pid=$!
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
  return 1
}

port=
for _ in 1 2 3 4 5; do # another process may take a free port first
  candidate=$(free_port)
  if start_nginx "$candidate"; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || { echo "bench: nginx did not start" >&2; cat "$work/error.log" >&2; exit 1; }
url="http://127.0.0.1:$port/object.bin"
cat "$work/root/object.bin" >/dev/null # into the page cache for both sides

# shellcheck source=/dev/null
. "$build/wine-env.sh"
local_path="Z:$(echo "$work/wine.bin" | tr / '\\')"
# Wine's helpers inherit the streams: a file, not a pipe, keeps this from waiting.
timeout 300 "$build/wine-run.sh" "$exe" 127.0.0.1 "$port" /object.bin "$local_path" "$runs" \
  >"$work/wine.out" 2>&1 </dev/null || { cat "$work/wine.out" >&2; exit 1; }
grep '^run' "$work/wine.out" | sed 's/^/HttpDownloadToFile /'
wine_mbps=$(sed -n 's/^best MB\/s: //p' "$work/wine.out")

curl_best=0
for run in $(seq "$runs"); do
  speed=$(curl -s -o "$work/curl.bin" -w '%{speed_download}' "$url")
  mbps=$(awk -v b="$speed" 'BEGIN { printf "%.1f", b / 1e6 }')
  echo "curl run $run: $mbps MB/s"
  curl_best=$(awk -v a="$curl_best" -v b="$mbps" 'BEGIN { print (b > a) ? b : a }')
done

cmp -s "$work/root/object.bin" "$work/wine.bin" || { echo "bench: HttpDownloadToFile's copy differs" >&2; exit 1; }
cmp -s "$work/root/object.bin" "$work/curl.bin" || { echo "bench: curl's copy differs" >&2; exit 1; }

echo "object: $size_mib MiB from nginx on 127.0.0.1:$port, best of $runs runs each"
echo "HttpDownloadToFile (Wine): $wine_mbps MB/s"
echo "curl:                      $curl_best MB/s"
awk -v w="$wine_mbps" -v c="$curl_best" 'BEGIN { printf "ratio HttpDownloadToFile / curl: %.2f\n", w / c }'
