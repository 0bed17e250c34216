#!/usr/bin/env bash
# Times the real patch.exe, window and all, under Wine on Xvfb against nginx
# on loopback serving releases made with the release tool, from its start to
# "Done." (with "Patch complete." as its last log line), beside the same work
# done by its building blocks alone, in one run:
#   up to date   10,000 files, 1 GiB: patch.exe against FileCrc32 alone over
#                the same files (page cache warm for both)
#   fresh        2,000 files, 256 MiB: patch.exe against HttpDownloadToFile
#                alone fetching the same objects one after the other into
#                temporary files, and one curl process fetching them all
#   one file     256 MiB: patch.exe against the bare WinINet loop of 8 KiB
#                reads into a temporary file (and curl)
#   signed       10,000 files, 1 GiB, signed: the patch.exe built with the
#                tree's test key against SHA-256 alone through CNG over the
#                same files, and SHA-256 alone against FileCrc32 alone
#   quick        2,000 files, 4 GiB, up to date, the installation's files
#                evicted from the page cache before each run: the patch.exe
#                built with the quick check (patch_quick.exe) checking in full
#                (no record yet), quickly with the record, and quickly after
#                10 files changed in place; beside the limit, the same run
#                over the same 2,000 names with every file empty
# and prints each pair with its ratio (the block's time / patch.exe's time).
# With STEPS=1 it also prints where one small file's fetch spends its time.
#   bench/patch_exe_bench.sh [--scale N] [build dir]     (default 1, build/win32, or build/win64 where 32-bit code cannot run)
# --scale N divides every count and size by N (--scale 10: 1,000 files and
# 102 MiB, 200 files and 25.6 MiB, one 25.6 MiB file), for a quick run.
# RUNS=n measures each side n times, one after the other, and keeps the best;
# PHASES picks some of "uptodate fresh onefile signed quick" (default all).
# QUICK_PATCH_EXE names the patch.exe with the quick check to time.
# PATCH_EXE names another patch.exe to time (default: the build's own), and
# SIGNED_PATCH_EXE one with a key (default: the build's patch_test_key.exe,
# with the private key beside it in the build's test-release-key/).
# Build the tree and build/native/release-tool first. Everything is made in a
# folder of its own under /tmp and deleted at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scale=1
if [ "${1:-}" = "--scale" ]; then
  scale=$2
  shift 2
fi
[[ "$scale" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --scale takes a whole number" >&2; exit 2; }
. bench/build-choice.sh
build=$(bench_build "${1:-}")
exe="$build/bench/patch_exe_bench.exe"
patch_exe=${PATCH_EXE:-$build/patch.exe}
release_tool=${RELEASE_TOOL:-build/native/release-tool}
runs=${RUNS:-1}
phases=${PHASES:-uptodate fresh onefile signed quick}
quick_patch_exe=${QUICK_PATCH_EXE:-$build/patch_quick.exe}
signed_patch_exe=${SIGNED_PATCH_EXE:-$build/patch_test_key.exe}
signing_key=${SIGNING_KEY:-$build/test-release-key/private.pem}
for needed in "$exe" "$patch_exe" "$release_tool"; do
  [ -f "$needed" ] || { echo "bench: build $needed first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/patch-exe-bench.XXXXXX)
nginx_started=
session_started=
cleanup() {
  if [ -n "$nginx_started" ]; then scripts/nginx-loopback.sh stop "$work/nginx" || true; fi
  if [ -n "$session_started" ]; then scripts/wine-session.sh stop "$build" >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

make_release() { # <folder> <files> <bytes> <seed>
  python3 bench/make_release.py "$@"
}

mib=$((1024 * 1024))
echo "bench: making the releases under $work (scale 1/$scale)"
for phase in $phases; do
  case $phase in
    uptodate) make_release "$work/uptodate" $((10000 / scale)) $((1024 * mib / scale)) 6 ;;
    fresh) make_release "$work/fresh" $((2000 / scale)) $((256 * mib / scale)) 7 ;;
    onefile) make_release "$work/onefile" 1 $((256 * mib / scale)) 8 ;;
    signed)
      for needed in "$signed_patch_exe" "$signing_key"; do
        [ -f "$needed" ] || { echo "bench: build $needed first" >&2; exit 1; }
      done
      make_release "$work/signed" $((10000 / scale)) $((1024 * mib / scale)) 10 ;;
    quick)
      [ -f "$quick_patch_exe" ] || { echo "bench: build $quick_patch_exe first" >&2; exit 1; }
      make_release "$work/quick" $((2000 / scale)) $((4096 * mib / scale)) 11
      cp -r "$work/quick" "$work/quick-empty"
      find "$work/quick-empty" -type f -exec truncate -s 0 {} + ;;
    *) echo "bench: no phase $phase" >&2; exit 2 ;;
  esac
done

nginx_started=1
mkdir -p "$work/root"
port=$(scripts/nginx-loopback.sh start "$work/nginx" "$work/root")
session_started=1
scripts/wine-session.sh start "$build" >"$work/session.out" 2>&1 </dev/null ||
  { cat "$work/session.out" >&2; exit 1; }
# shellcheck source=/dev/null
. "$build/wine-env.sh"

win() { echo "Z:${1//\//\\}"; }

# Each side starts with no file data of the side before still to be written
# out: the kernel writes it back in the background, and whichever side ran
# next would pay for it.
settle() { sync; }

# Runs one mode of the Windows side; prints its output, fails with it.
# Wine's helpers inherit the streams: a file, not a pipe, keeps this from waiting.
bench() { # <name> <mode> <arg> <arg>
  settle
  timeout 3600 "$build/wine-run.sh" "$exe" "$2" "$3" "$4" >"$work/$1.out" 2>&1 </dev/null ||
    { echo "bench: $1 failed" >&2; cat "$work/$1.out" >&2; exit 1; }
  sed -n 's/^seconds: //p' "$work/$1.out" | tr -d '\r'
}

publish() { # <release> [publish options]
  "$release_tool" publish "${@:2}" "$work/$1" "$work/root" >"$work/publish.out" 2>&1 ||
    { cat "$work/publish.out" >&2; exit 1; }
}

installation() { # <name> [release copied into it [patch.exe]]
  rm -rf "$work/install"
  if [ -n "${2:-}" ]; then cp -a "$work/$2" "$work/install"; else mkdir "$work/install"; fi
  cp "${3:-$patch_exe}" "$work/install/patch.exe"
}

curl_all() { # <release>: one curl process fetching every object of the manifest
  (cd "$work/root/latest" && find . -type f ! -name manifest.txt | sort) |
    sed "s|^\./\(.*\)|url = \"http://127.0.0.1:$port/latest/\1\"\noutput = \"$work/curl/\1\"|" \
      >"$work/curl.conf"
  rm -rf "$work/curl"
  settle
  local start end
  start=$(date +%s.%N)
  curl -s --fail --create-dirs -K "$work/curl.conf"
  end=$(date +%s.%N)
  rm -rf "$work/curl"
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

row() { # <label> <block seconds> <patch.exe seconds>
  awk -v l="$1" -v p="$2" -v x="$3" \
    'BEGIN { printf "  %-38s %8.3f s   patch.exe %8.3f s   ratio %.2f\n", l, p, x, p / x }'
}

best() { # <best so far or empty> <seconds>
  awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'
}
# Drops the installation's own files from the page cache (and only them:
# Wine's libraries stay cached), after writing back what is still dirty.
evict() {
  sync
  find "$work/install" -type f -print0 | python3 -c '
import os, sys
for name in sys.stdin.buffer.read().split(b"\0"):
    if name:
        fd = os.open(name, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)'
}

manifest=$(win "$work/root/latest/manifest.txt")
signed_patch= signed_sha= signed_crc= up_patch= up_crc= fresh_patch= fresh_fetch= fresh_curl= one_patch= one_bare= one_curl=

if [[ " $phases " == *" uptodate "* ]]; then
  echo "bench: up to date, $((10000 / scale)) files"
  publish uptodate
  installation uptodate uptodate
  find "$work/install" -type f -exec cat {} + >/dev/null # warm for both sides
  for _ in $(seq "$runs"); do
    s=$(bench up_patch patch "$port" "$(win "$work/install/patch.exe")")
    up_patch=$(best "$up_patch" "$s")
    s=$(bench up_crc crc "$(win "$work/install")" "$manifest")
    up_crc=$(best "$up_crc" "$s")
  done
  up_lines=$(sed -n 's/^log lines: //p' "$work/up_patch.out")
fi

if [[ " $phases " == *" fresh "* ]]; then
  echo "bench: fresh, $((2000 / scale)) files"
  publish fresh
  for _ in $(seq "$runs"); do
    installation fresh
    s=$(bench fresh_patch patch "$port" "$(win "$work/install/patch.exe")")
    fresh_patch=$(best "$fresh_patch" "$s")
    s=$(bench fresh_fetch fetch "$port" "$manifest")
    fresh_fetch=$(best "$fresh_fetch" "$s")
    s=$(curl_all)
    fresh_curl=$(best "$fresh_curl" "$s")
  done
fi

if [[ " $phases " == *" onefile "* ]]; then
  echo "bench: one file of $((256 / scale)) MiB"
  publish onefile
  object=/latest/$(cd "$work/root/latest" && find . -type f ! -name manifest.txt | sed 's|^\./||')
  for _ in $(seq "$runs"); do
    installation onefile
    s=$(bench one_patch patch "$port" "$(win "$work/install/patch.exe")")
    one_patch=$(best "$one_patch" "$s")
    s=$(bench one_bare bare "$port" "$object")
    one_bare=$(best "$one_bare" "$s")
    s=$(curl_all)
    one_curl=$(best "$one_curl" "$s")
  done
fi

if [[ " $phases " == *" signed "* ]]; then
  echo "bench: up to date with a key, $((10000 / scale)) files"
  publish signed --key "$signing_key"
  installation signed signed "$signed_patch_exe"
  find "$work/install" -type f -exec cat {} + >/dev/null # warm for every side
  for _ in $(seq "$runs"); do
    s=$(bench signed_patch patch "$port" "$(win "$work/install/patch.exe")")
    signed_patch=$(best "$signed_patch" "$s")
    s=$(bench signed_sha sha "$(win "$work/install")" "$manifest")
    signed_sha=$(best "$signed_sha" "$s")
    s=$(bench signed_crc crc "$(win "$work/install")" "$manifest")
    signed_crc=$(best "$signed_crc" "$s")
  done
  signed_lines=$(sed -n 's/^log lines: //p' "$work/signed_patch.out")
fi

quick_full= quick_record= quick_changed= quick_limit=
if [[ " $phases " == *" quick "* ]]; then
  echo "bench: quick check, $((2000 / scale)) files, $((4096 / scale)) MiB, evicted before each run"
  publish quick
  for _ in $(seq "$runs"); do
    installation quick quick "$quick_patch_exe"
    evict
    s=$(bench quick_full patch "$port" "$(win "$work/install/patch.exe")")
    quick_full=$(best "$quick_full" "$s")
    evict
    s=$(bench quick_record patch "$port" "$(win "$work/install/patch.exe")")
    quick_record=$(best "$quick_record" "$s")
    # 10 files rewritten in place, one byte each: read in full, fetched again.
    find "$work/install/data" -type f -size +0 | sort | awk 'NR % 200 == 1' | head -10 |
      while read -r f; do printf 'X' | dd of="$f" bs=1 count=1 conv=notrunc status=none; done
    evict
    s=$(bench quick_changed patch "$port" "$(win "$work/install/patch.exe")")
    quick_changed=$(best "$quick_changed" "$s")
  done
  quick_lines=$(sed -n 's/^log lines: //p' "$work/quick_changed.out")
  rm -rf "$work/install"
  publish quick-empty
  for _ in $(seq "$runs"); do
    installation quick-empty quick-empty "$quick_patch_exe"
    evict
    s=$(bench quick_limit patch "$port" "$(win "$work/install/patch.exe")")
    quick_limit=$(best "$quick_limit" "$s")
  done
fi

if [ "${STEPS:-0}" = 1 ]; then
  echo "bench: 200 small files, step by step"
  make_release "$work/small" 200 $((200 * 1024)) 9
  publish small
  bench steps steps "$port" "$manifest" >/dev/null
fi

echo "patch.exe $patch_exe, nginx on 127.0.0.1:$port, scale 1/$scale, best of $runs;" \
  "ratio = the block's time / patch.exe's time"
if [ -n "$up_patch" ]; then
  echo "up to date, $((10000 / scale)) files, $((1024 / scale)) MiB ($up_lines log lines):"
  row "FileCrc32 alone" "$up_crc" "$up_patch"
fi
if [ -n "$fresh_patch" ]; then
  echo "fresh, $((2000 / scale)) files, $((256 / scale)) MiB:"
  row "HttpDownloadToFile alone" "$fresh_fetch" "$fresh_patch"
  row "one curl process" "$fresh_curl" "$fresh_patch"
fi
if [ -n "$one_patch" ]; then
  echo "one file, $((256 / scale)) MiB:"
  row "bare WinINet loop, 8 KiB reads" "$one_bare" "$one_patch"
  row "one curl process" "$one_curl" "$one_patch"
fi
if [ -n "$signed_patch" ]; then
  echo "up to date with a key ($signed_patch_exe), $((10000 / scale)) files, $((1024 / scale)) MiB ($signed_lines log lines):"
  row "SHA-256 alone (CNG)" "$signed_sha" "$signed_patch"
  awk -v s="$signed_sha" -v c="$signed_crc" \
    'BEGIN { printf "  SHA-256 alone %.3f s / FileCrc32 alone %.3f s = %.2f (the price of the key)\n", s, c, s / c }'
fi
if [ -n "$quick_full" ]; then
  echo "quick check ($quick_patch_exe), $((2000 / scale)) files, $((4096 / scale)) MiB," \
    "evicted before each run ($quick_lines log lines); ratio = the run's time / the limit's" \
    "(goal: 1.5 or less with the record):"
  awk -v l="$quick_limit" -v f="$quick_full" -v q="$quick_record" -v c="$quick_changed" 'BEGIN {
    printf "  %-44s %8.3f s\n", "limit: the same names, every file empty", l
    printf "  %-44s %8.3f s   ratio %.2f\n", "full check (no record)", f, f / l
    printf "  %-44s %8.3f s   ratio %.2f   (%.1f times faster than in full)\n", "quick check with the record", q, q / l, f / q
    printf "  %-44s %8.3f s   ratio %.2f\n", "quick check, 10 files changed (fetched again)", c, c / l }'
fi
if [ "${STEPS:-0}" = 1 ]; then
  echo "one small file's fetch (200 files of 1 KiB on average), step by step:"
  grep -v '^seconds' "$work/steps.out"
fi
