# 3DS writing and reading against assimp export. The 3DS input is the test
# mesh as morvex-cli writes it (split into pieces of unshared vertices at the
# format's 16-bit counts), made once from the binary STL.
out="$WORK/out"
mkdir -p "$out"
MESH_3DS="$WORK/mesh-$TRIANGLES.3ds"
if [[ ! -f $MESH_3DS ]]; then
  "$CLI" convert --on-exists overwrite "$MESH_BIN" --to 3ds --output "$WORK/3ds-input" >/dev/null
  mv "$WORK/3ds-input/$(basename "$MESH_BIN" .stl).3ds" "$MESH_3DS"
fi
bench_compare "binary STL -> 3DS (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to 3ds --output '$out/ours-stl-3ds'" \
  "assimp export '$MESH_BIN' '$out/peer-stl.3ds' --format=3ds"
bench_check_output "$out/peer-stl.3ds" 3ds
bench_compare "3DS -> binary STL (vs assimp)" \
  "$CLI convert --on-exists overwrite '$MESH_3DS' --to stl --output '$out/ours-3ds'" \
  "assimp export '$MESH_3DS' '$out/peer-3ds.stl' --format=stlb"
bench_check_output "$out/peer-3ds.stl" stlb
echo "3DS input: $(stat -c %s "$MESH_3DS") bytes"
