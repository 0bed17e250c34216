#!/usr/bin/env bash
# Runs crc32_bench under Wine on a page-cached file of random bytes made under
# /tmp, and deletes the file afterwards.
#   bench/crc32_bench.sh [build dir, default build/win32, or build/win64 where 32-bit code cannot run] [MiB, at least 256, default 512] [rounds, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/build-choice.sh
build=$(bench_build "${1:-}")
mib=${2:-512}
rounds=${3:-5}
if [ "$mib" -lt 256 ]; then
  echo "crc32_bench: the file must hold at least 256 MiB" >&2
  exit 2
fi
bench="$build/bench/crc32_bench.exe"
if [ ! -f "$bench" ]; then
  echo "crc32_bench: build $build first (cmake --build $build)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/crc32-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
head -c "$((mib * 1048576))" /dev/urandom >"$work/data.bin"
cat "$work/data.bin" >/dev/null

# Wine sees the Linux root as drive Z:. The output goes to a file: Wine's
# helper processes inherit the streams and would hold a pipe open.
windows_path="Z:${work//\//\\}\\data.bin"
"$build/wine-run.sh" "$bench" "$windows_path" "$rounds" >"$work/out.txt" 2>&1 </dev/null || {
  cat "$work/out.txt"
  exit 1
}
cat "$work/out.txt"
