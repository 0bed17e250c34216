#!/usr/bin/env bash
# The patcher's main job on a built-in demo: installs what is missing, builds,
# publishes a demo release with the release tool, serves it with nginx on
# loopback, lays out a demo installation (files missing, files outdated, a
# leftover .old), runs patch.exe under Wine on your display (on Xvfb when
# there is none), prints the log as the window shows it, saves a screenshot
# to build/demo-screenshot.png and stops everything it started.
# Exit code 0 when the patch completed. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh >/dev/null

# The same choice of word size as the tests (see scripts/test.sh).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  build=build/demo32 toolchain=i686-w64-mingw32 word_size=32-bit
else
  build=build/demo64 toolchain=x86_64-w64-mingw32 word_size=64-bit
fi
echo "demo: running the $word_size patch.exe ($build)"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" >/dev/null
fi
cmake --build "$build" --target patch game patcher_watch >/dev/null
if [ ! -f build/native/build.ninja ]; then
  cmake -S tools/publish -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build/native --target release-tool >/dev/null

work=$(mktemp -d /tmp/bhp-demo.XXXXXX)
own_xvfb=0
nginx_state="$work/nginx"
internet_settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
# shellcheck source=/dev/null
. "$build/wine-env.sh"

cleanup() {
  "$WINELOADER" "$build/tests/patcher_watch.exe" quit >/dev/null 2>&1 || true
  "$WINELOADER" reg delete "$internet_settings" /v ProxyEnable /f >/dev/null 2>&1 || true
  "$WINELOADER" reg delete "$internet_settings" /v ProxyServer /f >/dev/null 2>&1 || true
  scripts/nginx-loopback.sh stop "$nginx_state" || true
  if [ "$own_xvfb" = 1 ]; then
    scripts/wine-session.sh stop "$build" >/dev/null || true
  else
    "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "demo: publishing a release"
release="$work/release"
mkdir -p "$release/data/levels" "$release/data/textures" "$release/bin"
printf 'Welcome to the demo game.\r\n' >"$release/readme.txt"
head -c 2000000 /dev/urandom >"$release/data/textures/stone.pak"
head -c 300000 /dev/urandom >"$release/data/levels/level1.map"
head -c 500000 /dev/urandom >"$release/bin/engine.dll"
cp "$build/game.exe" "$release/game.exe"
build/native/release-tool publish "$release" "$work/www"

echo "demo: laying out an installation"
install="$work/install"
mkdir -p "$install/data/levels" "$install/bin"
cp "$build/patch.exe" "$install/"
cp "$release/readme.txt" "$release/game.exe" "$install/"           # up to date
printf 'an older level\r\n' >"$install/data/levels/level1.map"       # outdated
printf 'set aside by an earlier run' >"$install/bin/engine.dll.old"  # leftover
                                                                     # stone.pak, engine.dll: missing

port=$(scripts/nginx-loopback.sh start "$nginx_state" "$work/www")
if [ -z "${DISPLAY:-}" ]; then
  scripts/wine-session.sh start "$build" >/dev/null
  own_xvfb=1
  DISPLAY=":$(cat "$build/xvfb.display")"
  export DISPLAY
fi
"$WINELOADER" reg add "$internet_settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
"$WINELOADER" reg add "$internet_settings" /v ProxyServer /t REG_SZ /d "127.0.0.1:$port" /f \
  >/dev/null 2>&1

echo "demo: running patch.exe in $install"
(cd "$install" && "$WINELOADER" patch.exe >/dev/null 2>&1 </dev/null &)
status=0
"$WINELOADER" "$build/tests/patcher_watch.exe" wait >"$work/watch.txt" 2>&1 || status=$?
cat "$work/watch.txt"
geometry=$(sed -n 's/^window \([0-9x+-]*\).*/\1/p' "$work/watch.txt" | tr -d '\r')
if [ -n "$geometry" ]; then
  import -window root -crop "$geometry" build/demo-screenshot.png
  echo "demo: screenshot saved to build/demo-screenshot.png"
fi
[ ! -e "$install/bin/engine.dll.old" ] && echo "demo: the leftover engine.dll.old was swept"
exit "$status"
