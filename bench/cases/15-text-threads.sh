# One large text file on one thread and on every processor: ASCII STL, OBJ
# and ASCII PLY read in pieces (the "peer" column is the same conversion with
# --threads 1, so the time ratio is the gain of the pieces). Both runs must
# write the same bytes.
out="$WORK/out"
mkdir -p "$out"
bench_mesh_obj
PLY_ASCII="$WORK/mesh-$TRIANGLES-ascii.ply"
if [[ ! -f $PLY_ASCII ]]; then
  python3 "$root/bench/plygen.py" --triangles "$TRIANGLES" --ascii "$PLY_ASCII"
fi
processors=$(nproc)
for input in "$MESH_ASCII" "$MESH_OBJ" "$PLY_ASCII"; do
  kind=$(basename "$input")
  bench_compare "$kind -> binary STL, --threads $processors vs 1" \
    "$CLI convert --on-exists overwrite --threads $processors '$input' --to stl --output '$out/threads-all'" \
    "$CLI convert --on-exists overwrite --threads 1 '$input' --to stl --output '$out/threads-one'"
  stem=$(basename "${input%.*}")
  if ! cmp -s "$out/threads-all/$stem.stl" "$out/threads-one/$stem.stl"; then
    echo "bench: $kind: --threads $processors and --threads 1 wrote different files" >&2
    exit 1
  fi
done
