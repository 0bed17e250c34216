# Sourced by the benchmarks: the build tree to measure. The product is the
# 32-bit program; the 64-bit build stands in only where this kernel cannot
# run 32-bit code. Prints which one it measures.
bench_build() { # [build dir given by the caller]
  local chosen=$1
  if [ -z "$chosen" ]; then
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
      chosen=build/win32
    else
      chosen=build/win64
    fi
  fi
  local word_size=32-bit
  grep -q 'WINE_LOADER="/usr/lib/wine/wine64"' "$chosen/wine-env.sh" 2>/dev/null && word_size=64-bit
  echo "bench: measuring the $word_size build in $chosen" >&2
  (cd "$chosen" && pwd)
}
