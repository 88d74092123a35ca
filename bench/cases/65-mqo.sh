# MQO reading, which assimp does not do: timed against our own OBJ reading of
# the same torus (bench/plygen.py's OBJ), both written as binary STL. The
# "time x" ratio is OBJ / MQO: at least 0.67 keeps MQO within 1.5 times OBJ.
out="$WORK/out"
mkdir -p "$out"
MESH_MQO="$WORK/mesh-$TRIANGLES.mqo"
PLY_OBJ="$WORK/mesh-$TRIANGLES-plygen.obj"
[[ -f $MESH_MQO ]] || python3 "$root/bench/mqogen.py" --triangles "$TRIANGLES" --output "$MESH_MQO"
[[ -f $PLY_OBJ ]] || python3 "$root/bench/plygen.py" --triangles "$TRIANGLES" --obj "$PLY_OBJ"
bench_compare "MQO -> binary STL (vs our OBJ -> STL)" \
  "$CLI convert --on-exists overwrite '$MESH_MQO' --to stl --output '$out/ours-mqo'" \
  "$CLI convert --on-exists overwrite '$PLY_OBJ' --to stl --output '$out/ours-plygen-obj'"
echo "MQO input: $(stat -c %s "$MESH_MQO") bytes, OBJ input: $(stat -c %s "$PLY_OBJ") bytes"
