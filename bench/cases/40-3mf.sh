# 3MF writing against assimp export.
out="$WORK/out"
mkdir -p "$out/ours-3mf"
bench_compare "binary STL -> 3MF (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to 3mf --output '$out/ours-3mf'" \
  "assimp export '$MESH_BIN' '$out/peer.3mf' --format=3mf"
echo "3MF sizes: ours $(stat -c %s "$out/ours-3mf/$(basename "${MESH_BIN%.stl}").3mf") bytes, assimp $(stat -c %s "$out/peer.3mf") bytes"
