#!/usr/bin/env bash
# The one test command: installs what is missing, builds from scratch under
# build/ and runs every test under Wine. Run as root on Debian 12.
#
# The product is 32-bit. Where the kernel cannot execute 32-bit code (then
# 32-bit Wine cannot start), the tests run in a 64-bit build of the same
# sources, and the 32-bit product is still built, warnings and all.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The release tool, built natively with the host compiler and its own tests.
rm -rf build/native
cmake -S tools/publish -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DPATCHER_WERROR=ON
cmake --build build/native -j2
ctest --test-dir build/native --output-on-failure --timeout 600

# PATCHER_RELEASE_KEY=<public key PEM> in the environment builds patch.exe
# with that release key (see Signed releases in the README), and
# PATCHER_QUICK_CHECK=ON with the quick check (see Quick check).
configure() { # <build dir> <toolchain triple>
  rm -rf "$1"
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPATCHER_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$2.cmake" \
    ${PATCHER_RELEASE_KEY:+"-DPATCHER_RELEASE_KEY=$PATCHER_RELEASE_KEY"} \
    ${PATCHER_QUICK_CHECK:+"-DPATCHER_QUICK_CHECK=$PATCHER_QUICK_CHECK"}
}

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  test_build=build/win32
  configure build/win32 i686-w64-mingw32
  configure build/win64 x86_64-w64-mingw32 # its patch.exe is read below
  cmake --build build/win64 --target patch
else
  echo "test: this kernel cannot run 32-bit programs; testing a 64-bit build"
  configure build/win32 i686-w64-mingw32
  cmake --build build/win32
  test_build=build/win64
  configure build/win64 x86_64-w64-mingw32
fi
cmake --build "$test_build"

# The patch.exe of both word sizes, read natively as files.
rm -rf build/native-pe
cmake -S tests/native -B build/native-pe -G Ninja \
  -DPATCH_EXE_32="$PWD/build/win32/patch.exe" -DPATCH_EXE_64="$PWD/build/win64/patch.exe"
cmake --build build/native-pe -j2
ctest --test-dir build/native-pe --output-on-failure --timeout 600

ctest --test-dir "$test_build" --output-on-failure --timeout 600
