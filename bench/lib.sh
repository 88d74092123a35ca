# Shared by bench/compare.sh and the case files in bench/cases/.
# bench_compare LABEL OURS PEER: runs both commands alternately BENCH_RUNS
# times and prints the median wall time and peak memory of each, and the
# ratios (peer / ours: above 1 means we are faster or smaller).

BENCH_RUNS=${BENCH_RUNS:-3}

# Runs a command once; prints "seconds kilobytes" of its wall time and peak
# resident memory. A failing command is reported and counts as failed.
bench_measure() {
  local report
  report=$(mktemp)
  if ! /usr/bin/time -f '%e %M' -o "$report" bash -c "$1" >/dev/null 2>"$report.err"; then
    echo "bench: command failed: $1" >&2
    sed 's/^/bench:   /' "$report.err" | tail -5 >&2
    rm -f "$report" "$report.err"
    return 1
  fi
  tail -1 "$report"
  rm -f "$report" "$report.err"
}

bench_median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# bench_compare LABEL OURS PEER [MEASURE]: MEASURE (default bench_measure)
# is the function that runs one command and prints "seconds kilobytes".
bench_compare() {
  local label=$1 ours=$2 peer=$3 measure=${4:-bench_measure} i
  local ours_t=() ours_m=() peer_t=() peer_m=() line
  for ((i = 0; i < BENCH_RUNS; i++)); do
    line=$($measure "$ours") || return 1
    ours_t+=("${line% *}") ours_m+=("${line#* }")
    line=$($measure "$peer") || return 1
    peer_t+=("${line% *}") peer_m+=("${line#* }")
  done
  local ot om pt pm
  ot=$(printf '%s\n' "${ours_t[@]}" | bench_median)
  om=$(printf '%s\n' "${ours_m[@]}" | bench_median)
  pt=$(printf '%s\n' "${peer_t[@]}" | bench_median)
  pm=$(printf '%s\n' "${peer_m[@]}" | bench_median)
  awk -v l="$label" -v ot="$ot" -v om="$om" -v pt="$pt" -v pm="$pm" 'BEGIN {
    if (ot <= 0) ot = 0.005;
    printf "%-44s ours %7.2f s %7.0f MB | peer %7.2f s %7.0f MB | time x%.2f, memory x%.2f\n",
      l, ot, om / 1024, pt, pm / 1024, pt / ot, pm / om }'
}

# bench_time LABEL COMMAND: one command alone (median time and memory).
bench_time() {
  local label=$1 cmd=$2 i line times=() mems=()
  for ((i = 0; i < BENCH_RUNS; i++)); do
    line=$(bench_measure "$cmd") || return 1
    times+=("${line% *}") mems+=("${line#* }")
  done
  local t m
  t=$(printf '%s\n' "${times[@]}" | bench_median)
  m=$(printf '%s\n' "${mems[@]}" | bench_median)
  awk -v l="$label" -v t="$t" -v m="$m" 'BEGIN { printf "%-44s %7.2f s %7.0f MB\n", l, t, m / 1024 }'
}

# The test mesh as morvex-cli writes it as OBJ (one shared vertex list, one
# normal per triangle), made once from the binary STL; sets MESH_OBJ.
bench_mesh_obj() {
  MESH_OBJ="$WORK/mesh-$TRIANGLES.obj"
  if [[ ! -f $MESH_OBJ ]]; then
    "$CLI" convert --on-exists overwrite "$MESH_BIN" --to obj --output "$WORK/obj-input" >/dev/null
    mv "$WORK/obj-input/$(basename "$MESH_OBJ")" "$MESH_OBJ"
  fi
}

# bench_check_output FILE KIND: the file a peer wrote is what the case
# claims (binary STL: 84 + 50 bytes a triangle; binary PLY: its header says
# so; 3DS: a main chunk as long as the file), so that no figure times a peer
# writing something else.
bench_check_output() {
  local file=$1 kind=$2 size triangles
  case $kind in
    stlb)
      size=$(stat -c %s "$file")
      triangles=$(od -An -t u4 -j 80 -N 4 "$file" | tr -d ' ')
      [[ $size -eq $((84 + 50 * triangles)) ]] || { echo "bench: $file is not binary STL" >&2; return 1; } ;;
    plyb)
      head -c 200 "$file" | grep -q '^format binary_little_endian' ||
        { echo "bench: $file is not binary PLY" >&2; return 1; } ;;
    3ds)
      size=$(stat -c %s "$file")
      [[ $(od -An -t x2 -N 2 "$file" | tr -d ' ') == 4d4d && $(od -An -t u4 -j 2 -N 4 "$file" | tr -d ' ') -eq $size ]] ||
        { echo "bench: $file is not 3DS" >&2; return 1; } ;;
  esac
}
