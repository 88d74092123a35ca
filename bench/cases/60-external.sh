# Formats only the helper reads: the 2,000,000-triangle mesh as GLB (written
# by assimp export) and as OFF, converted to binary STL by morvex-cli (which
# streams the meshes from morvex-meshconv over its socket) against assimp
# export of the same file. Memory is the peak summed over all processes of
# each side (morvex-cli and its helper together), so the hand-over between
# the two processes is counted. Then a batch of 500 small helper files,
# --jobs 2 against --jobs 1.
out="$WORK/out"
mkdir -p "$out"
MESH_GLB="$WORK/mesh-$TRIANGLES.glb"
MESH_OFF="$WORK/mesh-$TRIANGLES.off"
[[ -f $MESH_GLB ]] || assimp export "$MESH_BIN" "$MESH_GLB" --format=glb2 >/dev/null
[[ -f $MESH_OFF ]] || python3 "$root/bench/stl2off.py" "$MESH_BIN" "$MESH_OFF"

# Wall time and peak memory summed over the command's process tree.
bench_measure_tree() {
  python3 "$root/bench/peak_sum.py" bash -c "$1" || { echo "bench: command failed: $1" >&2; return 1; }
}

# Targets: time at most 1.25x assimp's (ratio >= 0.80), summed memory at
# most 1.5x (ratio >= 0.67).
for input in "$MESH_GLB" "$MESH_OFF"; do
  kind=${input##*.}
  bench_compare "$kind (helper) -> binary STL (vs assimp), summed memory" \
    "$CLI convert --on-exists overwrite '$input' --to stl --output '$out/ours-$kind'" \
    "assimp export '$input' '$out/peer-$kind.stl' --format=stlb" bench_measure_tree
  bench_check_output "$out/peer-$kind.stl" stlb
done

# 500 small files only the helper reads (GLB of 2,000 to 6,000 triangles).
helper_in="$WORK/helper-batch-in"
if [[ ! -f $helper_in/.complete ]]; then
  rm -rf "$helper_in"
  mkdir -p "$helper_in"
  for ((i = 0; i < 500; i++)); do
    "$MESHGEN" --triangles $((2000 + (i * 7919) % 4001)) --binary "$WORK/helper-part.stl" >/dev/null
    assimp export "$WORK/helper-part.stl" "$helper_in/part-$i.glb" --format=glb2 >/dev/null
  done
  rm -f "$WORK/helper-part.stl"
  touch "$helper_in/.complete"
fi
helper_cli="XDG_CONFIG_HOME='$WORK/batch-config' $CLI convert --to stl --on-exists overwrite --quiet"
rm -rf "$WORK/helper-out"
mkdir -p "$WORK/helper-out/jobs1" "$WORK/helper-out/jobs2"
# Target: --jobs 2 at least 1.7x faster than --jobs 1.
bench_compare "500 helper files: --jobs 2 (vs --jobs 1)" \
  "$helper_cli '$helper_in' --jobs 2 --output '$WORK/helper-out/jobs2'" \
  "$helper_cli '$helper_in' --jobs 1 --output '$WORK/helper-out/jobs1'"
rm -rf "$WORK/helper-out"
