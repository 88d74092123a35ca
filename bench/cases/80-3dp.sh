# 3DP documents against our own binary STL to binary STL in the same run:
# a document is a few large blocks and should move at close to disk speed.
# Targets: STL -> 3DP time at most 1.3x STL -> STL (ratio >= 0.77);
# 3DP -> STL no slower than STL -> STL (ratio >= 1.00).
out="$WORK/out"
mkdir -p "$out/3dp-input"
"$CLI" convert --on-exists overwrite "$MESH_BIN" --to 3dp --output "$out/3dp-input" >/dev/null
document="$out/3dp-input/$(basename "$MESH_BIN" .stl).3dp"
bench_compare "binary STL -> 3DP (vs our STL -> STL)" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to 3dp --output '$out/ours-3dp'" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to stl --output '$out/ours-stl'"
bench_compare "3DP -> binary STL (vs our STL -> STL)" \
  "$CLI convert --on-exists overwrite '$document' --to stl --output '$out/ours-from-3dp'" \
  "$CLI convert --on-exists overwrite '$MESH_BIN' --to stl --output '$out/ours-stl'"
echo "document size: $(stat -c %s "$document") bytes"
