#!/usr/bin/env bash
# How responsive the desktop window stays during long work: the longest time
# its event loop goes without turning while it adds FILES files to the list,
# converts CONVERT files and previews and converts a file of TRIANGLES
# triangles (a timer asks to run every 10 ms; gaps above 100 ms are felt as
# a hang and make the exit status 1).
#   bench/window-responsiveness.sh [FILES [CONVERT [TRIANGLES]]]   (default 10000 2000 2000000)
# Builds Release in build/release (MORVEX_BUILD_DIR chooses another build)
# and runs the window on a private Xvfb display, where the preview draws with
# Mesa; QT_SCALE_FACTOR and the like pass through. The files and the
# window's own settings go to bench/work/responsiveness.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
morvex_ensure_packages "${MORVEX_BUILD_PACKAGES[@]}" "${MORVEX_TEST_PACKAGES[@]}"

files=${1:-10000}
convert=${2:-2000}
triangles=${3:-2000000}

build=${MORVEX_BUILD_DIR:-$root/build/release}
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVEX_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target morvex-window-responsiveness >/dev/null

work="$root/bench/work/responsiveness"
mkdir -p "$work"
echo "window responsiveness: $files files added, $convert converted, $triangles triangles; $(nproc) cores"
# Qt and fontconfig keep caches for the life of the process (a sanitizer
# build would call them leaks).
run=(env QT_QPA_PLATFORM=xcb ASAN_OPTIONS=detect_leaks=0 "$build/bin/morvex-window-responsiveness" "$work"
  --add "$files" --convert "$convert" --triangles "$triangles")
if [[ -z ${DISPLAY:-} ]]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "${run[@]}"
else
  "${run[@]}"
fi
