#!/usr/bin/env bash
# The patcher on a player's line: the real patch.exe, under Wine on Xvfb,
# reaching the update host directly through a relay that adds distance
# (bench/line_relay.py on 127.0.0.1:80, in front of nginx on loopback serving
# releases made with the release tool), beside curl on the same line, in one
# run:
#   fresh      2,000 files of 64 KiB on average (125 MiB) into an empty
#              installation at 0, 20, 50 and 100 ms of round trip: patch.exe
#              against one curl process fetching the manifest and the files
#              in sequence over one kept-alive connection, and against curl
#              with 8 transfers at once (-Z --parallel-max 8)
#   uptodate   the same release already installed, at 0 ms: patch.exe
#              against FileCrc32 alone over the same files
#   bigfile    one 4 GiB file at 50 ms on a line capped at 25 MB/s: the rate
#              patch.exe achieves over its whole run, start to "Done.",
#              against the cap (and curl's)
#   slow       a slow line, 2.4 Mbit/s shared by all connections, 20 ms away,
#              into an empty installation: (a) 8 files of 2 MiB, (b) 200
#              files of 100 KiB, (c) one file of 64 MiB; patch.exe's time
#              (and its last log line) against the line's own time (bytes /
#              rate) and against curl with 8 transfers at once on the same
#              line. The goal is 1.1 times the line's own time or less. Not
#              in the default phases: it takes about 12 minutes
#              (PHASES=slow runs it alone; SLOW_CASES picks some of "a b c",
#              SLOW_RATE the line's bytes a second, default 300000)
#   scarce     what a one-at-a-time run managed where fetching ahead once
#              failed, 20 ms away: (s) a server that answers 503 past 2
#              connections at once from one address, 12 files of 64 KiB into
#              an empty installation; (d) a volume (a tmpfs of its own) with
#              500 MiB free, where 6 installed files of 100 MiB are replaced
#              by new ones; patch.exe's time, log lines and last line beside
#              the baseline's (a one-at-a-time program is the peer here). Not
#              in the default phases (PHASES=scarce runs it alone; it mounts
#              the tmpfs, so it runs as root, as the rest does)
# and prints each pair with its ratio (the peer's time / patch.exe's time),
# the connections the relay saw for each side and the most open at once
# (nginx closes a kept-alive connection after 1,000 requests, its default: a
# client in sequence over 2,001 requests opens 3).
#   bench/line_bench.sh [--scale N] [build dir]     (default build/win32, or build/win64 where 32-bit code cannot run)
# --scale N divides the counts and sizes by N (--scale 10: 200 files, a
# 410 MiB file), for a quick run. RUNS=n measures each side n times and keeps
# the best; PHASES picks some of "fresh uptodate bigfile"; DISTANCES the
# round trips of fresh in ms (default "0 20 50 100"); CAP the capped line's
# bytes a second (default 25000000) and BIG_RTT its round trip in ms.
# The host is built into patch.exe, so the benchmark builds its own tree
# beside the one measured (<build dir>-line: the same toolchain and build
# type, PATCHER_UPDATE_HOST=127.0.0.1; its own Wine prefix) and times the
# patch.exe there, started in a prefix that has run it once already.
# PEERS=0 leaves out curl's sides of fresh (for a quick look at patch.exe).
# BASELINE_EXE names a second patch.exe built the same way (such as a line
# tree of an older checkout) to time beside it at every step.
# Runs as root (port 80); build build/native/release-tool first. Everything
# is made in a folder of its own under /tmp and deleted at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scale=1
if [ "${1:-}" = "--scale" ]; then
  scale=$2
  shift 2
fi
[[ "$scale" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --scale takes a whole number" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "bench: run as root (the relay listens on port 80)" >&2; exit 1; }
runs=${RUNS:-1}
phases=${PHASES:-fresh uptodate bigfile}
slow_cases=${SLOW_CASES:-a b c}
slow_rate=${SLOW_RATE:-300000}
slow_rtt=20
distances=${DISTANCES:-0 20 50 100}
cap=${CAP:-25000000}
big_rtt=${BIG_RTT:-50}
baseline_exe=${BASELINE_EXE:-}
peers=${PEERS:-1}
release_tool=${RELEASE_TOOL:-build/native/release-tool}
[ -x "$release_tool" ] || { echo "bench: build $release_tool first" >&2; exit 1; }
[ -z "$baseline_exe" ] || [ -f "$baseline_exe" ] || { echo "bench: no $baseline_exe" >&2; exit 1; }

. bench/build-choice.sh
measured=$(bench_build "${1:-}")
[ -f "$measured/CMakeCache.txt" ] || { echo "bench: configure $measured first" >&2; exit 1; }
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$measured/CMakeCache.txt"; }

# The benchmark's own tree: patch.exe with the relay's address as its host.
build=$measured-line
echo "bench: building patch.exe with the update host 127.0.0.1 in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$(cache_value CMAKE_BUILD_TYPE)" \
  -DCMAKE_TOOLCHAIN_FILE="$(cache_value CMAKE_TOOLCHAIN_FILE)" \
  -DPATCHER_WERROR="$(cache_value PATCHER_WERROR)" -DPATCHER_UPDATE_HOST=127.0.0.1 \
  -DPATCHER_RELEASE_KEY= >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target patch patch_exe_bench >"$build.build.log" 2>&1 ||
  { cat "$build.build.log" >&2; exit 1; }
which_build=$(bench_build "$build" 2>&1 >/dev/null)
echo "$which_build"
exe="$build/bench/patch_exe_bench.exe"
patch_exe=$build/patch.exe

if ss -Hltn 'sport = :80' | grep -q .; then
  echo "bench: something listens on port 80 already" >&2
  exit 1
fi
# Straight to the host: neither Wine nor curl may take a proxy from here.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

work=$(mktemp -d /tmp/line-bench.XXXXXX)
nginx_started=
session_started=
relay_pid=
volume=
cleanup() {
  if [ -n "$volume" ] && mountpoint -q "$volume"; then umount "$volume" || true; fi
  if [ -n "$relay_pid" ]; then kill "$relay_pid" 2>/dev/null || true; fi
  if [ -n "$nginx_started" ]; then scripts/nginx-loopback.sh stop "$work/nginx" || true; fi
  if [ -n "$session_started" ]; then scripts/wine-session.sh stop "$build" >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mib=$((1024 * 1024))
files=$((2000 / scale))
big_bytes=$((4096 * mib / scale))

# nginx stops by itself after an hour; each phase starts one of its own.
# [server part] [http part]: files of nginx settings included there.
port=
serve() {
  if [ -n "$nginx_started" ]; then scripts/nginx-loopback.sh stop "$work/nginx"; fi
  nginx_started=1
  port=$(scripts/nginx-loopback.sh start "$work/nginx" "$work/root" 0 "${1:-}" "${2:-}")
}

# The line, started anew for every timed side so that its counts are that
# side's own: <round trip ms> [downlink bytes a second].
relay_start() {
  rm -f "$work/relay.out" "$work/relay.stats"
  python3 bench/line_relay.py 80 "$port" "$1" ${2:+--down-rate "$2"} \
    --stats "$work/relay.stats" >"$work/relay.out" 2>"$work/relay.err" </dev/null &
  relay_pid=$!
  for _ in $(seq 100); do
    grep -q ready "$work/relay.out" 2>/dev/null && return 0
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench: the relay did not start" >&2
  cat "$work/relay.err" >&2
  exit 1
}

# Stops the line; sets seen to "<connections> <most open at once>".
relay_stop() {
  kill "$relay_pid"
  wait "$relay_pid" || true
  relay_pid=
  seen=$(awk '{ print $1, $2 }' "$work/relay.stats")
  down_mib=$(awk '{ printf "%.1f", $3 / 1048576 }' "$work/relay.stats")
}

publish() { # <release>
  "$release_tool" publish "$work/$1" "$work/root" >"$work/publish.out" 2>&1 ||
    { cat "$work/publish.out" >&2; exit 1; }
}

win() { echo "Z:${1//\//\\}"; }

# Each side starts with no file data of the side before still to be written
# out: the kernel writes it back in the background, and whichever side ran
# next would pay for it.
settle() { sync; }

# The timed sides set result to "<seconds> <connections> <most open>" (not
# in a subshell: the relay must stay this shell's to stop).
result=

# Where patch_run lays out the installation, when not $work/install.
install_at=
# Lays out an installation and times one patch.exe run in it through the line.
# With may_fail set, a run that ends other than "Patch complete." is timed
# too; last_line says how it ended.
may_fail=
last_line=
patch_run() { # <name> <patch.exe> <round trip ms> <rate or ""> [release copied in]
  local install=${install_at:-$work/install}
  rm -rf "$install"
  if [ -n "${5:-}" ]; then cp -a "$work/$5" "$install"; else mkdir "$install"; fi
  cp "$2" "$install/patch.exe"
  [ -z "${5:-}" ] || find "$install" -type f -exec cat {} + >/dev/null # warm
  settle
  relay_start "$3" "$4"
  # Wine's helpers inherit the streams: a file, not a pipe, keeps this from waiting.
  timeout 3600 "$build/wine-run.sh" "$exe" patch direct "$(win "$install/patch.exe")" \
    >"$work/$1.out" 2>&1 </dev/null ||
    { [ -n "$may_fail" ] && grep -q '^seconds: ' "$work/$1.out"; } ||
    { echo "bench: $1 failed" >&2; cat "$work/$1.out" >&2; exit 1; }
  relay_stop
  rm -rf "$install"
  last_line=$(sed -n 's/^last line: //p' "$work/$1.out" | tr -d '\r')
  result="$(sed -n 's/^seconds: //p' "$work/$1.out" | tr -d '\r') $seen"
}

# One curl process over the line for the manifest and every file, into files.
curl_run() { # <round trip ms> <rate or ""> [curl options]
  {
    echo "url = \"http://127.0.0.1/latest/manifest.txt\""
    echo "output = \"$work/curl/manifest.txt\""
    (cd "$work/root/latest" && find . -type f ! -name manifest.txt | sort) |
      sed "s|^\./\(.*\)|url = \"http://127.0.0.1/latest/\1\"\noutput = \"$work/curl/\1\"|"
  } >"$work/curl.conf"
  rm -rf "$work/curl"
  settle
  relay_start "$1" "$2"
  local start end
  start=$(date +%s.%N)
  curl -s -S --fail --noproxy '*' --create-dirs "${@:3}" -K "$work/curl.conf" \
    2>"$work/curl.err" || { echo "bench: curl $* failed" >&2; cat "$work/curl.err" >&2; exit 1; }
  end=$(date +%s.%N)
  relay_stop
  rm -rf "$work/curl"
  result="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }') $seen"
}

# Keeps the fastest of the runs: <best so far or empty> <seconds and counts>.
best() { awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
  print (a == "" || y[1] + 0 < x[1] + 0) ? b : a }'; }

# What the line adds, as curl sees it: a new connection's first answer, and
# the next one on the same connection.
line_check() { # <round trip ms>
  relay_start "$1"
  result=$(curl -s --noproxy '*' -o /dev/null -o /dev/null -w '%{time_total} ' \
    http://127.0.0.1/latest/manifest.txt http://127.0.0.1/latest/manifest.txt)
  relay_stop
}

echo "bench: making the releases under $work (scale 1/$scale)"
[[ " $phases " != *" fresh "* && " $phases " != *" uptodate "* ]] ||
  python3 bench/make_release.py "$work/many" "$files" $((files * 64 * 1024)) 30
[[ " $phases " != *" bigfile "* ]] ||
  python3 bench/make_release.py "$work/big" 1 "$big_bytes" 31

# The slow line's releases: <case> <files> <bytes each>, all of one size.
slow_release() {
  mkdir -p "$work/slow-$1/data"
  for i in $(seq "$2"); do
    head -c "$3" /dev/urandom >"$work/slow-$1/data/file$(printf %04d "$i").bin"
  done
}
declare -A slow_files slow_size
slow_files=([a]=8 [b]=200 [c]=1)
slow_size=([a]=$((2 * mib)) [b]=$((100 * 1024)) [c]=$((64 * mib)))
if [[ " $phases " == *" slow "* ]]; then
  for c in $slow_cases; do
    [ -n "${slow_files[$c]:-}" ] || { echo "bench: no slow case $c (a, b or c)" >&2; exit 2; }
    slow_release "$c" "${slow_files[$c]}" "${slow_size[$c]}"
  done
fi

session_started=1
scripts/wine-session.sh start "$build" >"$work/session.out" 2>&1 </dev/null ||
  { cat "$work/session.out" >&2; exit 1; }
# shellcheck source=/dev/null
. "$build/wine-env.sh"

exes=("$patch_exe")
[ -z "$baseline_exe" ] || exes+=("$baseline_exe")
declare -A fresh checks
up=()
up_crc=

session_warm=
if [[ " $phases " == *" fresh "* || " $phases " == *" uptodate "* ]]; then
  publish many
  serve
  # The first Windows program of a prefix takes seconds to start: not timed.
  for e in "${exes[@]}"; do patch_run warmup "$e" 0 ""; done
  session_warm=1
fi

if [[ " $phases " == *" fresh "* ]]; then
  for d in $distances; do
    echo "bench: fresh, $files files, $d ms"
    serve
    line_check "$d"
    checks[$d]=$result
    for _ in $(seq "$runs"); do
      for i in "${!exes[@]}"; do
        patch_run fresh "${exes[$i]}" "$d" ""
        fresh[$d.$i]=$(best "${fresh[$d.$i]:-}" "$result")
      done
      [ "$peers" = 1 ] || continue
      curl_run "$d" ""
      fresh[$d.one]=$(best "${fresh[$d.one]:-}" "$result")
      curl_run "$d" "" -Z --parallel-max 8
      fresh[$d.eight]=$(best "${fresh[$d.eight]:-}" "$result")
    done
  done
fi

if [[ " $phases " == *" uptodate "* ]]; then
  echo "bench: up to date, $files files, 0 ms"
  serve
  mkdir -p "$work/upcheck"
  cp -a "$work/many/." "$work/upcheck/"
  find "$work/upcheck" -type f -exec cat {} + >/dev/null
  for _ in $(seq "$runs"); do
    for i in "${!exes[@]}"; do
      patch_run uptodate "${exes[$i]}" 0 "" many
      up[i]=$(best "${up[$i]:-}" "$result")
    done
    settle
    timeout 3600 "$build/wine-run.sh" "$exe" crc "$(win "$work/upcheck")" \
      "$(win "$work/root/latest/manifest.txt")" >"$work/crc.out" 2>&1 </dev/null ||
      { echo "bench: FileCrc32 alone failed" >&2; cat "$work/crc.out" >&2; exit 1; }
    up_crc=$(best "$up_crc" "$(sed -n 's/^seconds: //p' "$work/crc.out" | tr -d '\r')")
  done
  up_lines=$(sed -n 's/^log lines: //p' "$work/uptodate.out" | tr -d '\r')
  up_last=$(sed -n 's/^last line: //p' "$work/uptodate.out" | tr -d '\r')
  rm -rf "$work/upcheck"
fi

big=()
big_curl=
if [[ " $phases " == *" bigfile "* ]]; then
  echo "bench: one file of $((big_bytes / mib)) MiB at $big_rtt ms, the line capped at $cap bytes/s"
  rm -rf "$work/many"
  publish big
  rm -rf "$work/big"
  serve
  for _ in $(seq "$runs"); do
    for i in "${!exes[@]}"; do
      patch_run bigfile "${exes[$i]}" "$big_rtt" "$cap"
      big[i]=$(best "${big[$i]:-}" "$result")
    done
    curl_run "$big_rtt" "$cap"
    big_curl=$(best "$big_curl" "$result")
  done
fi

declare -A slow
if [[ " $phases " == *" slow "* ]]; then
  for c in $slow_cases; do
    echo "bench: slow line, case $c: ${slow_files[$c]} files of ${slow_size[$c]} bytes," \
      "$slow_rate bytes/s shared, $slow_rtt ms"
    rm -rf "$work/root"
    publish "slow-$c"
    serve
    # The first Windows program of a prefix takes seconds to start: not timed.
    [ -n "$session_warm" ] || for e in "${exes[@]}"; do patch_run warmup "$e" 0 ""; done
    session_warm=1
    for _ in $(seq "$runs"); do
      for i in "${!exes[@]}"; do
        may_fail=1
        patch_run slow "${exes[$i]}" "$slow_rtt" "$slow_rate"
        may_fail=
        slow[$c.$i]=$(best "${slow[$c.$i]:-}" "$result")
        slow[$c.$i.last]=$last_line
      done
      curl_run "$slow_rtt" "$slow_rate" -Z --parallel-max 8
      slow[$c.eight]=$(best "${slow[$c.eight]:-}" "$result")
    done
  done
fi

declare -A scarce
# Times each patch.exe once in a scarce case: <case> <release copied in or "">.
scarce_runs() {
  for i in "${!exes[@]}"; do
    may_fail=1
    patch_run "scarce-$1" "${exes[$i]}" 20 "" "$2"
    may_fail=
    scarce[$1.$i]=$(best "${scarce[$1.$i]:-}" "$result")
    scarce[$1.$i.last]=$last_line
    scarce[$1.$i.down]=$down_mib
    scarce[$1.$i.lines]=$(sed -n 's/^log lines: //p' "$work/scarce-$1.out" | tr -d '\r')
  done
}
if [[ " $phases " == *" scarce "* ]]; then
  echo "bench: scarce (s): 503 past 2 connections at once from one address, 12 files of 64 KiB"
  rm -rf "$work/root"
  slow_release s 12 $((64 * 1024))
  publish slow-s
  echo 'limit_conn_zone $binary_remote_addr zone=peraddr:1m;' >"$work/limit-http.conf"
  echo 'limit_conn peraddr 2; limit_conn_status 503;' >"$work/limit-server.conf"
  serve "$work/limit-server.conf" "$work/limit-http.conf"
  [ -n "$session_warm" ] || for e in "${exes[@]}"; do patch_run warmup "$e" 0 ""; done
  session_warm=1
  for _ in $(seq "$runs"); do scarce_runs s ""; done

  echo "bench: scarce (d): 500 MiB free, 6 installed files of 100 MiB replaced"
  rm -rf "$work/root" "$work/slow-s"
  slow_release d-old 6 $((100 * mib))
  slow_release d 6 $((100 * mib))
  publish slow-d
  rm -rf "$work/slow-d"
  serve
  # A volume that holds the installation, patch.exe and 500 MiB more.
  volume=$work/volume
  mkdir -p "$volume"
  held=$(($(du -sb "$work/slow-d-old" | cut -f1) + $(stat -c %s "$patch_exe")))
  mount -t tmpfs -o size=$((held + 500 * mib + mib)) tmpfs "$volume"
  install_at=$volume/install
  cp -a "$work/slow-d-old" "$install_at" && cp "$patch_exe" "$install_at/patch.exe"
  scarce[d.free]=$(($(df -B1 --output=avail "$volume" | tail -1) / mib))
  rm -rf "$install_at"
  for _ in $(seq "$runs"); do scarce_runs d slow-d-old; done
  install_at=
  umount "$volume"
  volume=
fi

name() { # <index into exes>
  if [ "$1" = 0 ]; then echo patch.exe; else echo baseline; fi
}
word=$(echo "$which_build" | sed -n 's/.*measuring the \([0-9]*-bit\) build.*/\1/p')
echo
echo "$which_build$([ "$word" = 64-bit ] && echo " (a stand-in: 32-bit code cannot run here)")," \
  "built with $(basename "$(cache_value CMAKE_TOOLCHAIN_FILE)")"
echo "patch.exe $patch_exe${baseline_exe:+, baseline $baseline_exe}; scale 1/$scale, best of $runs;" \
  "ratio = the peer's time / patch.exe's time; (n, m) = connections the line saw, most at once"
if [ -n "${fresh[*]:-}" ]; then
  echo "fresh installation, $files files, $((files * 64 / 1024)) MiB:"
  printf '  %-6s %-10s %8s %-8s %8s %-8s %6s %8s %-8s %6s\n' "rtt" "line check" \
    "$(name 0)" "" "curl x1" "" "ratio" "curl x8" "" "ratio"
  for d in $distances; do
    read -r p pc pm <<<"${fresh[$d.0]}"
    read -r o oc om <<<"${fresh[$d.one]:-}"
    read -r e ec em <<<"${fresh[$d.eight]:-}"
    if [ "$peers" = 1 ]; then
      awk -v d="$d" -v k="${checks[$d]}" -v p="$p" -v pc="($pc, $pm)" -v o="$o" \
        -v oc="($oc, $om)" -v e="$e" -v ec="($ec, $em)" 'BEGIN {
        split(k, c, " ");
        printf "  %3d ms %4.0f/%-4.0f ms %7.2f s %-8s %7.2f s %-8s %6.2f %7.2f s %-8s %6.2f\n",
          d, c[1] * 1000, c[2] * 1000, p, pc, o, oc, o / p, e, ec, e / p }'
    else
      printf '  %3d ms %24.2f s %-8s (curl not timed)\n' "$d" "$p" "($pc, $pm)"
    fi
    if [ -n "$baseline_exe" ]; then
      read -r b bc bm <<<"${fresh[$d.1]}"
      awk -v b="$b" -v bc="($bc, $bm)" -v p="$p" \
        'BEGIN { printf "         baseline %7.2f s %-8s  baseline / patch.exe %.2f\n", b, bc, b / p }'
    fi
  done
  echo "  (line check: curl's first answer on a new connection / the next one on it)"
fi
if [ -n "${up[*]:-}" ]; then
  echo "up to date at 0 ms, $files files ($up_lines log lines, last \"$up_last\"):"
  for i in "${!exes[@]}"; do
    read -r p pc pm <<<"${up[$i]}"
    awk -v n="$(name "$i")" -v p="$p" -v c="$up_crc" -v s="($pc, $pm)" \
      'BEGIN { printf "  %-9s %7.3f s %-8s  FileCrc32 alone %7.3f s   ratio %.2f\n", n, p, s, c, c / p }'
  done
fi
if [ -n "${big[*]:-}" ]; then
  echo "one file of $((big_bytes / mib)) MiB at $big_rtt ms, the line capped at" \
    "$(awk -v c="$cap" 'BEGIN { printf "%.1f", c / 1e6 }') MB/s (MB = 10^6 bytes):"
  rate_row() { # <name> <seconds and counts>
    read -r s sc sm <<<"$2"
    awk -v n="$1" -v s="$s" -v c="($sc, $sm)" -v b="$big_bytes" -v cap="$cap" \
      'BEGIN { printf "  %-9s %8.2f s %-8s %7.2f MB/s   %.3f of the cap\n", n, s, c, b / s / 1e6, b / s / cap }'
  }
  for i in "${!exes[@]}"; do rate_row "$(name "$i")" "${big[$i]}"; done
  rate_row "curl x1" "$big_curl"
fi
if [ -n "${slow[*]:-}" ]; then
  echo "slow line: $slow_rate bytes/s shared by all connections, $slow_rtt ms;" \
    "line time = bytes / rate; goal: patch.exe within 1.1 x the line time"
  for c in $slow_cases; do
    bytes=$((slow_files[$c] * slow_size[$c]))
    read -r e ec em <<<"${slow[$c.eight]}"
    for i in "${!exes[@]}"; do
      read -r p pc pm <<<"${slow[$c.$i]}"
      awk -v c="$c" -v n="$(name "$i")" -v f="${slow_files[$c]}" -v b="$bytes" \
        -v r="$slow_rate" -v p="$p" -v pc="($pc, $pm)" -v e="$e" -v ec="($ec, $em)" \
        -v last="${slow[$c.$i.last]}" 'BEGIN { line = b / r;
        printf "  (%s) %4d files, %5.1f MiB: line %6.1f s  %-9s %6.1f s %-8s %.2f x line",
          c, f, b / 1048576, line, n, p, pc, p / line;
        printf "  curl x8 %6.1f s %-8s %.2f x line  \"%s\"\n", e, ec, e / line, last }'
    done
  done
fi
if [ -n "${scarce[*]:-}" ]; then
  echo "scarce, 20 ms: (s) 503 past 2 connections at once, 12 files of 64 KiB;" \
    "(d) ${scarce[d.free]:-?} MiB free, 6 installed files of 100 MiB replaced"
  for c in s d; do
    for i in "${!exes[@]}"; do
      [ -n "${scarce[$c.$i]:-}" ] || continue
      read -r p pc pm <<<"${scarce[$c.$i]}"
      printf '  (%s) %-9s %7.2f s (%s, %s) %8s MiB down  %s log lines, last "%s"\n' "$c" \
        "$(name "$i")" "$p" "$pc" "$pm" "${scarce[$c.$i.down]}" "${scarce[$c.$i.lines]}" \
        "${scarce[$c.$i.last]}"
    done
  done
fi
