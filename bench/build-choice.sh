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
  # The pointer size CMake measured from the tree's own compiler when it was
  # configured: the word size of everything built there, whatever the
  # toolchain file is called.
  local pointer_size
  pointer_size=$(sed -n 's/^set(CMAKE_CXX_SIZEOF_DATA_PTR "\([0-9]*\)")$/\1/p' \
    "$chosen"/CMakeFiles/*/CMakeCXXCompiler.cmake 2>/dev/null | sort -u)
  local word_size
  case "$pointer_size" in
    4) word_size=32-bit ;;
    8) word_size=64-bit ;;
    *)
      echo "bench: cannot tell the word size of $chosen; configure and build it first" >&2
      return 1
      ;;
  esac
  echo "bench: measuring the $word_size build in $chosen" >&2
  (cd "$chosen" && pwd)
}
