# OBJ reading and writing against assimp export. The OBJ input is the test
# mesh as morvex-cli writes it (one shared vertex list, one normal per
# triangle), made once from the binary STL.
out="$WORK/out"
mkdir -p "$out"
bench_mesh_obj
bench_compare "OBJ -> binary STL (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_OBJ' --to stl --output '$out/ours-obj'" \
  "assimp export '$MESH_OBJ' '$out/peer-obj.stl' --format=stlb"
bench_check_output "$out/peer-obj.stl" stlb
bench_compare "binary STL -> OBJ (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to obj --output '$out/ours-stl'" \
  "assimp export '$MESH_BIN' '$out/peer-stl.obj' --format=obj"
bench_compare "OBJ -> OBJ (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_OBJ' --to obj --output '$out/ours-obj'" \
  "assimp export '$MESH_OBJ' '$out/peer-obj.obj' --format=obj"
echo "OBJ input: $(stat -c %s "$MESH_OBJ") bytes"
