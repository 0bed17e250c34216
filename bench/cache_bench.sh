#!/usr/bin/env bash
# Many players through the cache: CLIENTS concurrent clients (default 20) each
# fetch a whole release of FILES files (default 200, MIB MiB in all, default
# 64) the way the patcher does: through a proxy, in absolute form, with its
# user agent and "Pragma: no-cache" / "Cache-Control: no-cache", the manifest
# first and then every file in order, one connection each. Three rounds in
# one run: all clients straight at the nginx origin, then through Varnish in
# front of it (deploy/, scripts/cache-loopback.sh) with the cache empty, then
# again with it warm. Prints, for each round through the cache, the bytes of
# body the origin sent divided by the release's bytes (goal: at most 1.1),
# and each round's wall time against the direct one.
#   bench/cache_bench.sh
# Publishes with build/native/release-tool when that is built (RELEASE_TOOL
# overrides); else lays out the web root here. Everything is made in a folder
# of its own under /tmp and deleted at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

clients=${CLIENTS:-20}
files=${FILES:-200}
mib=${MIB:-64}
release_tool=${RELEASE_TOOL:-build/native/release-tool}
host=updates.brackenhold.example

work=$(mktemp -d /tmp/cache-bench.XXXXXX)
started=
cleanup() {
  if [ -n "$started" ]; then scripts/cache-loopback.sh stop "$work/state" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "bench: making $files files, $mib MiB, under $work"
python3 bench/make_release.py "$work/release" "$files" $((mib * 1024 * 1024)) 17

if [ -x "$release_tool" ]; then
  "$release_tool" publish "$work/release" "$work/root" >"$work/publish.out" 2>&1 ||
    { cat "$work/publish.out" >&2; exit 1; }
else
  echo "bench: no $release_tool; laying out the web root here"
  mkdir -p "$work/root/releases"
  cp -a "$work/release" "$work/root/releases/1"
  python3 - "$work/root/releases/1" <<'EOF'
import os, sys, zlib
root = sys.argv[1]
lines = []
for folder, _, names in os.walk(root):
    for name in names:
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            lines.append("%d %s\n" % (zlib.crc32(f.read()), os.path.relpath(path, root)))
with open(os.path.join(root, "manifest.txt"), "w") as f:
    f.writelines(sorted(lines, key=lambda l: l.split(" ", 1)[1]))
EOF
  ln -s releases/1 "$work/root/latest"
fi

# One curl configuration per run of a client: the manifest, then every file.
release_bytes=$(stat -L -c %s "$work/root/latest/manifest.txt")
{
  echo "url = \"http://$host/latest/manifest.txt\""
  echo 'output = "/dev/null"'
  while read -r _ path; do
    path=${path//\\//} # the manifest may separate with '\'; URLs use '/'
    echo "url = \"http://$host/latest/$path\""
    echo 'output = "/dev/null"'
    release_bytes=$((release_bytes + $(stat -L -c %s "$work/root/latest/$path")))
  done <"$work/root/latest/manifest.txt"
} >"$work/client.conf"

read -r cache_port origin_port < <(scripts/cache-loopback.sh start "$work/state" "$work/root")
started=1

origin_bytes() { awk '$3 != "\"GET" || $4 != "/" { sum += $2 } END { print sum + 0 }' "$work/state/origin/access.log"; }

# Runs every client at once through the proxy port; prints the wall time in
# seconds and checks that each client received the whole release.
round() { # <proxy port> <name>
  local start end i
  start=$(date +%s.%N)
  for i in $(seq "$clients"); do
    curl -s -f -x "127.0.0.1:$1" -A BrackenholdPatcher -H 'Pragma: no-cache' \
      -H 'Cache-Control: no-cache' -w '%{size_download}\n' -K "$work/client.conf" \
      >"$work/$2.$i" &
  done
  wait
  end=$(date +%s.%N)
  for i in $(seq "$clients"); do
    local got
    got=$(awk '{ sum += $1 } END { print sum + 0 }' "$work/$2.$i")
    [ "$got" -eq "$release_bytes" ] ||
      { echo "bench: client $i of $2 received $got of $release_bytes bytes" >&2; exit 1; }
  done
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

echo "bench: $clients clients, $((files + 1)) objects, $release_bytes bytes a release"
before=$(origin_bytes)
direct=$(round "$origin_port" direct)
sent_direct=$(( $(origin_bytes) - before ))
before=$(origin_bytes)
cold=$(round "$cache_port" cold)
sent_cold=$(( $(origin_bytes) - before ))
before=$(origin_bytes)
warm=$(round "$cache_port" warm)
sent_warm=$(( $(origin_bytes) - before ))

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
printf 'direct to nginx:     %6.2f s, origin sent %s x the release\n' "$direct" \
  "$(ratio "$sent_direct" "$release_bytes")"
printf 'cache, empty:        %6.2f s (%s x direct), origin sent %s x the release\n' "$cold" \
  "$(ratio "$cold" "$direct")" "$(ratio "$sent_cold" "$release_bytes")"
printf 'cache, warm:         %6.2f s (%s x direct), origin sent %s x the release\n' "$warm" \
  "$(ratio "$warm" "$direct")" "$(ratio "$sent_warm" "$release_bytes")"
