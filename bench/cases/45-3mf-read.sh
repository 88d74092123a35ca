# 3MF reading against assimp export: the test mesh written as a 3MF package
# by our own writer, then converted to binary STL by both.
out="$WORK/out"
input="$WORK/3mf-input"
mkdir -p "$out" "$input"
threemf="$input/$(basename "${MESH_BIN%.stl}").3mf"
if [[ ! -f $threemf ]]; then
  "$CLI" convert --on-exists overwrite "$MESH_BIN" --to 3mf --output "$input" >/dev/null
fi
bench_compare "3MF -> binary STL (vs assimp)" \
  "$CLI convert --on-exists overwrite '$threemf' --to stl --output '$out/ours-3mf'" \
  "assimp export '$threemf' '$out/peer-3mf.stl' --format=stlb"
bench_check_output "$out/peer-3mf.stl" stlb
bench_time "3MF read alone (morvex-cli info)" "$CLI info '$threemf'"
echo "3MF input: $(stat -c %s "$threemf") bytes"
mkdir -p "$out/ours-3mf-one-core"
bench_time "3MF -> binary STL, --threads 1" \
  "$CLI convert --threads 1 --on-exists overwrite '$threemf' --to stl --output '$out/ours-3mf-one-core'"
