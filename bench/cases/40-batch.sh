# A batch of 2,000 small binary STL files (2,000 to 20,000 triangles each,
# mixed sizes) converted to binary STL: two jobs against one, and the whole
# batch against one `assimp export` per file.
batch_in="$WORK/batch-in"
batch_files=${BENCH_BATCH_FILES:-2000}
if [[ ! -f $batch_in/.complete-$batch_files ]]; then
  rm -rf "$batch_in"
  mkdir -p "$batch_in"
  for ((i = 0; i < batch_files; i++)); do
    # Sizes spread over the whole range, in no particular order.
    "$MESHGEN" --triangles $((2000 + (i * 7919) % 18001)) --binary "$batch_in/part-$i.stl" >/dev/null
  done
  touch "$batch_in/.complete-$batch_files"
fi
batch_out="$WORK/batch-out"
rm -rf "$batch_out"
mkdir -p "$batch_out/jobs1" "$batch_out/jobs2" "$batch_out/assimp"
# A settings folder of its own, so that the user's stored settings are
# neither used nor changed.
batch_cli="XDG_CONFIG_HOME='$WORK/batch-config' $CLI convert '$batch_in' --to stl --on-exists overwrite --quiet"
echo "$batch_files files, $(du -sh "$batch_in" | cut -f1) of binary STL"
bench_compare "batch to binary STL, --jobs 2 (vs --jobs 1)" \
  "$batch_cli --jobs 2 --output '$batch_out/jobs2'" \
  "$batch_cli --jobs 1 --output '$batch_out/jobs1'"
bench_compare "batch to binary STL, --jobs 2 (vs assimp per file)" \
  "$batch_cli --jobs 2 --output '$batch_out/jobs2'" \
  "for f in '$batch_in'/*.stl; do assimp export \"\$f\" '$batch_out/assimp/'\"\${f##*/}\" -f stlb >/dev/null || exit 1; done"
