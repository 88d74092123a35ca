#!/usr/bin/env bash
# Writes a picture of the main window after converting a few files, as a
# user sees it: tests/ui/screenshot.sh [OUTPUT.png] (default
# docs/main-window.png). Builds what it needs in build/dev.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
output=${1:-$root/docs/main-window.png}
build=$root/build/dev
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
fi
cmake --build "$build" --target morvex-window-screenshot morvex-meshconv
mkdir -p "$(dirname "$output")"
# The window on a display of its own (a private Xvfb when none is set), where
# the preview draws.
QT_QPA_PLATFORM=xcb "$build/bin/morvex-window-screenshot" "$output"
echo "wrote $output"
