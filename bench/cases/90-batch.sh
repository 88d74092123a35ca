# A batch of 2,000 small binary STL files (2,000 to 20,000 triangles each,
# mixed sizes) converted to binary STL: two jobs against one, and the whole
# batch against one `assimp export` per file. The batch writes 1.1 GB, which
# on a slow disk is bound by its write speed rather than by the processors,
# so the two-against-one comparison is also made in memory (/dev/shm) when
# there is room.
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
echo "$batch_files files, $(du -sh "$batch_in" | cut -f1) of binary STL"

# A settings folder of its own, so that the user's stored settings are
# neither used nor changed.
batch_cli="XDG_CONFIG_HOME='$WORK/batch-config' $CLI convert --to stl --on-exists overwrite --quiet"

# Removes a folder and waits until the file system has settled, so that
# freeing (and discarding) gigabytes of blocks does not steal the processors
# from the next measurement.
batch_remove() {
  rm -rf "$1"
  sync
}

# batch_cases INPUT OUTPUT WHERE
batch_cases() {
  local in=$1 out=$2 where=$3
  batch_remove "$out"
  mkdir -p "$out/jobs1" "$out/jobs2" "$out/assimp"
  bench_compare "batch, $where: --jobs 2 (vs --jobs 1)" \
    "$batch_cli '$in' --jobs 2 --output '$out/jobs2'" \
    "$batch_cli '$in' --jobs 1 --output '$out/jobs1'"
  bench_compare "batch, $where: --jobs 2 (vs assimp per file)" \
    "$batch_cli '$in' --jobs 2 --output '$out/jobs2'" \
    "for f in '$in'/*.stl; do assimp export \"\$f\" '$out/assimp/'\"\${f##*/}\" --format=stlb >/dev/null || exit 1; done"
  batch_remove "$out"
}

sync
shm_free_kb=$(df -k --output=avail /dev/shm 2>/dev/null | tail -1 || echo 0)
if [[ -w /dev/shm && ${shm_free_kb:-0} -gt $((6 * 1024 * 1024)) ]]; then
  shm="/dev/shm/morvex-bench-batch-$$"
  mkdir -p "$shm"
  cp -r "$batch_in" "$shm/in"
  batch_cases "$shm/in" "$shm/out" "in memory"
  rm -rf "$shm"
fi
batch_cases "$batch_in" "$WORK/batch-out" "on disk"
