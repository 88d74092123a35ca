# Every large-file route on one thread and on every processor: text read in
# pieces, the STL merge in parts, OBJ and 3MF written in pieces, a 3MF model
# part inflated beside its parse. The "peer" column is the same conversion
# with --threads 1, so the time ratio is what the other cores buy; both runs
# must write the same bytes.
out="$WORK/out"
mkdir -p "$out"
bench_mesh_obj
PLY_ASCII="$WORK/mesh-$TRIANGLES-ascii.ply"
[[ -f $PLY_ASCII ]] || python3 "$root/bench/plygen.py" --triangles "$TRIANGLES" --ascii "$PLY_ASCII"
MESH_MQO="$WORK/mesh-$TRIANGLES.mqo"
[[ -f $MESH_MQO ]] || python3 "$root/bench/mqogen.py" --triangles "$TRIANGLES" --output "$MESH_MQO"
MESH_3MF="$WORK/3mf-input/mesh-$TRIANGLES.3mf"
[[ -f $MESH_3MF ]] || "$CLI" convert --on-exists overwrite "$MESH_BIN" --to 3mf --output "$WORK/3mf-input" >/dev/null
processors=$(nproc)
# The same bytes, but a 3MF package is compared by its entries: the zip
# headers carry the time of writing, which two runs need not share.
same_outputs() {
  local one=$1 other=$2 file
  if [[ $target == 3mf ]]; then
    for file in "$one"/*.3mf; do
      [[ -f $other/$(basename "$file") ]] || return 1
      [[ $(stat -c %s "$file") == $(stat -c %s "$other/$(basename "$file")") ]] || return 1
      [[ "$(unzip -Z1 "$file")" == "$(unzip -Z1 "$other/$(basename "$file")")" ]] || return 1
      cmp -s <(unzip -p "$file") <(unzip -p "$other/$(basename "$file")") || return 1
    done
    return 0
  fi
  diff -r -q "$one" "$other" >/dev/null
}
for route in "$MESH_BIN stl" "$MESH_ASCII stl" "$MESH_OBJ stl" "$PLY_ASCII stl" "$MESH_MQO stl" \
  "$MESH_3MF stl" "$MESH_BIN obj" "$MESH_BIN 3mf"; do
  read -r input target <<<"$route"
  kind=$(basename "$input")
  rm -rf "$out/threads-all" "$out/threads-one"
  bench_compare "$kind -> $target, --threads $processors vs 1" \
    "$CLI convert --on-exists overwrite --threads $processors '$input' --to $target --output '$out/threads-all'" \
    "$CLI convert --on-exists overwrite --threads 1 '$input' --to $target --output '$out/threads-one'"
  if ! same_outputs "$out/threads-all" "$out/threads-one"; then
    echo "bench: $kind -> $target: --threads $processors and --threads 1 wrote different files" >&2
    exit 1
  fi
done
