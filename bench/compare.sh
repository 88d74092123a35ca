#!/usr/bin/env bash
# Peer comparison: builds Release, generates a 2,000,000-triangle closed mesh
# and runs every case file in bench/cases (or those whose names contain the
# given patterns), timing morvex-cli against the peer tools in one run.
#   bench/compare.sh            all cases
#   bench/compare.sh stl obj    cases whose file names contain "stl" or "obj"
# BENCH_RUNS (default 3) sets the repetitions; BENCH_TRIANGLES the mesh size.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
morvex_ensure_packages "${MORVEX_BUILD_PACKAGES[@]}" assimp-utils admesh time unzip

build="$root/build/release"
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVEX_TESTS=OFF >/dev/null 2>&1
fi
cmake --build "$build" >/dev/null 2>&1 || { cmake --build "$build"; exit 1; }

CLI="$build/bin/morvex-cli"
MESHGEN="$build/bin/morvex-meshgen"
WORK="$root/bench/work"
mkdir -p "$WORK"
TRIANGLES=${BENCH_TRIANGLES:-2000000}
MESH_BIN="$WORK/mesh-$TRIANGLES.stl"
MESH_ASCII="$WORK/mesh-$TRIANGLES-ascii.stl"
if [[ ! -f $MESH_BIN || ! -f $MESH_ASCII ]]; then
  "$MESHGEN" --triangles "$TRIANGLES" --binary "$MESH_BIN" --ascii "$MESH_ASCII"
fi
export CLI MESHGEN WORK MESH_BIN MESH_ASCII TRIANGLES
# Settings of their own: the user's stored settings are neither used nor changed.
export XDG_CONFIG_HOME="$WORK/config"
source "$root/bench/lib.sh"

echo "Morvex benchmarks: $TRIANGLES triangles, $BENCH_RUNS runs each, median; $(nproc) cores"
echo "binary STL $(du -h "$MESH_BIN" | cut -f1), ASCII STL $(du -h "$MESH_ASCII" | cut -f1)"
for case_file in "$root"/bench/cases/*.sh; do
  name=$(basename "$case_file")
  if [[ $# -gt 0 ]]; then
    wanted=0
    for pattern in "$@"; do [[ $name == *"$pattern"* ]] && wanted=1; done
    [[ $wanted -eq 1 ]] || continue
  fi
  echo "== $name"
  source "$case_file"
done
