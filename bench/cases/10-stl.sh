# STL reading and writing against assimp export and admesh.
out="$WORK/out"
mkdir -p "$out"
bench_compare "binary STL -> binary STL (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to stl --output '$out/ours-bin'" \
  "assimp export '$MESH_BIN' '$out/peer.stl' --format=stlb"
bench_check_output "$out/peer.stl" stlb
bench_compare "binary STL -> binary STL (vs admesh)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to stl --output '$out/ours-bin'" \
  "admesh -b '$out/admesh.stl' '$MESH_BIN'"
bench_compare "ASCII STL -> binary STL (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_ASCII' --to stl --output '$out/ours-ascii'" \
  "assimp export '$MESH_ASCII' '$out/peer-ascii.stl' --format=stlb"
bench_check_output "$out/peer-ascii.stl" stlb
bench_compare "ASCII STL -> binary STL (vs admesh)" \
  "$CLI convert --on-exists overwrite '$MESH_ASCII' --to stl --output '$out/ours-ascii'" \
  "admesh -b '$out/admesh-ascii.stl' '$MESH_ASCII'"
echo "input sizes: binary $(stat -c %s "$MESH_BIN") bytes, ASCII $(stat -c %s "$MESH_ASCII") bytes"
