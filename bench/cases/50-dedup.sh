# Duplicate removal (--remove-duplicates): its cost over the plain conversion,
# and against assimp's join-identical-vertices step and admesh's exact merge.
# The STL reader already merges the corners of the binary STL; the OBJ reader
# gives every corner of the same mesh a vertex of its own (6,000,000), so the
# OBJ rows merge a mesh read as separate triangles.
out="$WORK/out"
mkdir -p "$out"
bench_mesh_obj
stl_dedup="$CLI convert --on-exists overwrite '$MESH_BIN' --to stl --remove-duplicates --output '$out/ours-dedup'"
obj_dedup="$CLI convert --on-exists overwrite '$MESH_OBJ' --to stl --remove-duplicates --output '$out/ours-obj-dedup'"
bench_compare "binary STL -> STL, dedup (peer: no dedup)" \
  "$stl_dedup" "$CLI convert --on-exists overwrite '$MESH_BIN' --to stl --output '$out/ours-plain'"
bench_compare "binary STL -> STL, dedup (vs assimp -jiv)" \
  "$stl_dedup" "assimp export '$MESH_BIN' '$out/peer-jiv.stl' --format=stlb -jiv"
bench_check_output "$out/peer-jiv.stl" stlb
bench_compare "binary STL -> STL, dedup (vs admesh -e)" \
  "$stl_dedup" "admesh -e -b '$out/admesh-e.stl' '$MESH_BIN'"
bench_compare "OBJ corners -> STL, dedup (peer: no dedup)" \
  "$obj_dedup" "$CLI convert --on-exists overwrite '$MESH_OBJ' --to stl --output '$out/ours-obj-plain'"
bench_compare "OBJ corners -> STL, dedup (vs assimp -jiv)" \
  "$obj_dedup" "assimp export '$MESH_OBJ' '$out/peer-obj-jiv.stl' --format=stlb -jiv"
bench_check_output "$out/peer-obj-jiv.stl" stlb
