#!/usr/bin/env bash
# bench/dialog-screenshots.sh [FOLDER]
# Builds morvex-dialog-screenshots in the test build (build/test, as ./test
# configures it) and writes a PNG of every dialog of the desktop program into
# FOLDER (default docs/screenshots), drawn on Qt's offscreen platform with the
# fonts of this machine. Balloons are painted over the dialog they point at.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
morvex_ensure_packages "${MORVEX_BUILD_PACKAGES[@]}" "${MORVEX_TEST_PACKAGES[@]}"

build=${MORVEX_BUILD_DIR:-$root/build/test}
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVEX_SANITIZE=ON -DMORVEX_WERROR=ON \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
fi
cmake --build "$build" --target morvex-dialog-screenshots >/dev/null

folder=${1:-$root/docs/screenshots}
# Qt and fontconfig keep caches for the life of the process: not leaks of ours.
# Drawn on a real X server (a private Xvfb when there is no display), as a
# user's desktop draws them.
run=(env QT_QPA_PLATFORM=xcb ASAN_OPTIONS=detect_leaks=0 "$build/bin/morvex-dialog-screenshots" "$folder")
if [[ -z ${DISPLAY:-} ]]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "${run[@]}"
else
  "${run[@]}"
fi
