# 3MF writing against assimp export.
out="$WORK/out"
mkdir -p "$out/ours-3mf"
bench_compare "binary STL -> 3MF (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to 3mf --output '$out/ours-3mf'" \
  "assimp export '$MESH_BIN' '$out/peer.3mf' --format=3mf"
echo "3MF sizes: ours $(stat -c %s "$out/ours-3mf/$(basename "${MESH_BIN%.stl}").3mf") bytes, assimp $(stat -c %s "$out/peer.3mf") bytes"
# The model part is deflated in pieces on every core the file may use; the
# same conversion held to one core shows what the second one buys.
mkdir -p "$out/ours-3mf-one-core"
bench_time "binary STL -> 3MF, --threads 1" \
  "$CLI convert --threads 1 --on-exists overwrite '$MESH_BIN' --to 3mf --output '$out/ours-3mf-one-core'"
echo "3MF size with --threads 1: $(stat -c %s "$out/ours-3mf-one-core/$(basename "${MESH_BIN%.stl}").3mf") bytes"
