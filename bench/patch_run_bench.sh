#!/usr/bin/env bash
# Runs patch_run_bench under Wine: a whole patch over an installation that is
# already up to date (FILES files, MIB MiB in all, default 10000 and 1024),
# served by nginx on loopback through WinINet's configured proxy, and FileCrc32
# alone on the same files afterwards. Prints both throughputs and their ratio;
# MB is 10^6 bytes, the best of RUNS runs counts. Everything is made in a
# folder of its own under /tmp and deleted at the end.
#   bench/patch_run_bench.sh [build dir]     (default build/win32, or build/win64 where 32-bit code cannot run)
# Build the tree first. The release is published with build/native/release-tool
# when that is built (RELEASE_TOOL overrides), else its manifest is written here.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/build-choice.sh
build=$(bench_build "${1:-}")
exe="$build/bench/patch_run_bench.exe"
files=${FILES:-10000}
mib=${MIB:-1024}
runs=${RUNS:-1}
release_tool=${RELEASE_TOOL:-build/native/release-tool}
[ -f "$exe" ] || { echo "bench: build $exe first" >&2; exit 1; }

work=$(mktemp -d /tmp/patch-run-bench.XXXXXX)
nginx_started=
session_started=
cleanup() {
  if [ -n "$nginx_started" ]; then scripts/nginx-loopback.sh stop "$work/nginx" || true; fi
  if [ -n "$session_started" ]; then scripts/wine-session.sh stop "$build" >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "bench: making $files files, $mib MiB, under $work"
python3 bench/make_release.py "$work/release" "$files" $((mib * 1024 * 1024)) 6

if [ -x "$release_tool" ]; then
  echo "bench: publishing with $release_tool"
  "$release_tool" publish "$work/release" "$work/root" >"$work/publish.out" 2>&1 ||
    { cat "$work/publish.out" >&2; exit 1; }
else
  echo "bench: no $release_tool; writing the manifest here"
  mkdir -p "$work/root/latest"
  cp -a "$work/release/." "$work/root/latest/"
  python3 - "$work/release" "$work/root/latest/manifest.txt" <<'EOF'
import os, sys, zlib
root, out = sys.argv[1], sys.argv[2]
lines = []
for folder, dirs, names in os.walk(root):
    dirs.sort()
    for name in sorted(names):
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            crc = zlib.crc32(f.read()) & 0xFFFFFFFF
        lines.append("%d %s\n" % (crc, os.path.relpath(path, root).replace("/", "\\")))
with open(out, "w", newline="") as f:
    f.writelines(lines)
EOF
fi
cp -a "$work/release" "$work/install"
rm -rf "$work/release"

nginx_started=1
port=$(scripts/nginx-loopback.sh start "$work/nginx" "$work/root")
session_started=1
scripts/wine-session.sh start "$build" >"$work/session.out" 2>&1 </dev/null ||
  { cat "$work/session.out" >&2; exit 1; }

# Into the page cache, so the run reads the same warm bytes as FileCrc32 after it.
find "$work/install" -type f -exec cat {} + >/dev/null

# shellcheck source=/dev/null
. "$build/wine-env.sh"
install_dir="Z:${work//\//\\}\\install"
manifest="Z:${work//\//\\}\\root\\latest\\manifest.txt"
# Wine's helpers inherit the streams: a file, not a pipe, keeps this from waiting.
timeout 1800 "$build/wine-run.sh" "$exe" "$port" "$install_dir" "$manifest" "$runs" \
  >"$work/wine.out" 2>&1 </dev/null || { cat "$work/wine.out" >&2; exit 1; }

requests=$(grep -c 'latest/' "$work/nginx/access.log" || true)
echo "installation: $(sed -n 's/^files: //p' "$work/wine.out") files," \
  "$(sed -n 's/^bytes: //p' "$work/wine.out") bytes, nginx on 127.0.0.1:$port" \
  "through the proxy setting ($requests requests)"
grep '^run' "$work/wine.out"
grep -e '^best' -e '^ratio' "$work/wine.out"
