# Duplicate removal (--remove-duplicates): its cost over the plain conversion,
# and against assimp's join-identical-vertices step and admesh's exact merge.
# The STL reader already merges the corners of the binary STL; the second
# part reads the same mesh as 6,000,000 separate corners.
out="$WORK/out"
mkdir -p "$out"
dedupbench="$(dirname "$CLI")/morvex-dedupbench"
dedup="$CLI convert '$MESH_BIN' --to stl --remove-duplicates --output '$out/ours-dedup'"
bench_compare "binary STL -> STL, dedup (peer: no dedup)" \
  "$dedup" \
  "$CLI convert '$MESH_BIN' --to stl --output '$out/ours-plain'"
bench_compare "binary STL -> STL, dedup (vs assimp -jiv)" \
  "$dedup" \
  "assimp export '$MESH_BIN' '$out/peer-jiv.stl' -f stlb -jiv"
bench_compare "binary STL -> STL, dedup (vs admesh -e)" \
  "$dedup" \
  "admesh -e -b '$out/admesh-e.stl' '$MESH_BIN'"
bench_compare "separate corners -> STL, dedup (vs assimp -jiv)" \
  "'$dedupbench' '$MESH_BIN' '$out/ours-corners.stl'" \
  "assimp export '$MESH_BIN' '$out/peer-jiv.stl' -f stlb -jiv"
echo "  duplicate removal alone: $("$dedupbench" "$MESH_BIN" "$out/ours-corners.stl" 2>&1)"
