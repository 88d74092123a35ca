#!/usr/bin/env bash
# Sharding costs nothing: BENCH_FILES small generated models (default 20,000)
# converted once as BENCH_SHARDS shards (default 4), each a morvex-cli run
# with --jobs 1 started by GNU parallel BENCH_PARALLEL at a time (default 2),
# and once as one run with --jobs BENCH_PARALLEL: the same number of files
# converted at once. Prints both wall times, and checks for each that every
# source was converted exactly once (one JSON line each, all Success) and
# that every output was written exactly once (no numbered second names).
#   bench/scale-out.sh                 Release build, 20,000 files
#   BENCH_FILES=200 bench/scale-out.sh a quick check that it works
# BENCH_CLI names a morvex-cli to use instead of building Release.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
morvex_ensure_packages parallel python3

files=${BENCH_FILES:-20000}
shards=${BENCH_SHARDS:-4}
at_once=${BENCH_PARALLEL:-2}
if [[ -n ${BENCH_CLI:-} ]]; then
  cli=$(realpath "$BENCH_CLI")
else
  morvex_ensure_packages "${MORVEX_BUILD_PACKAGES[@]}"
  build="$root/build/release"
  if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVEX_TESTS=OFF >/dev/null 2>&1
  fi
  cmake --build "$build" --target morvex-cli >/dev/null 2>&1 || { cmake --build "$build" --target morvex-cli; exit 1; }
  cli="$build/bin/morvex-cli"
fi

work="$root/bench/work/scale-out-$files"
library="$work/library"
# Settings of their own: the user's stored settings are neither used nor changed.
export XDG_CONFIG_HOME="$work/config"
if [[ ! -f $library/list.txt ]]; then
  rm -rf "$library"
  mkdir -p "$library"
  # Binary STL files of 4 to 40 facets, 100 to a folder, each named once.
  python3 - "$library" "$files" <<'EOF'
import os, struct, sys
library, count = sys.argv[1], int(sys.argv[2])
names = []
for i in range(count):
    name = "set%03d/model%06d.stl" % (i // 100, i)
    os.makedirs(os.path.join(library, os.path.dirname(name)), exist_ok=True)
    facets = 4 + i % 37
    body = bytearray(b"bench model".ljust(80) + struct.pack("<I", facets))
    for f in range(facets):
        body += struct.pack("<12fH", 0, 0, 1, i, f, 0, i + 1, f, 0, i, f + 1, 0, 0)
    with open(os.path.join(library, name), "wb") as out:
        out.write(body)
    names.append(name)
with open(os.path.join(library, "list.txt"), "w") as out:
    out.write("\n".join(names) + "\n")
EOF
fi

# check LABEL OUTPUT-FOLDER JSON-LINES...: every source once, all Success;
# every output once, under its own name.
check() {
  local label=$1 output=$2
  shift 2
  local lines sources unique bad outputs numbered
  lines=$(cat "$@" | grep -c '"source":' || true)
  sources=$(cat "$@" | grep -o '"source":"[^"]*"' | sort | uniq | wc -l)
  bad=$(cat "$@" | grep '"source":' | grep -vc '"statusText":"Success"' || true)
  outputs=$(find "$output" -name '*.obj' | wc -l)
  numbered=$(find "$output" -name '*-[0-9]*.obj' | wc -l)
  if [[ $lines -ne $files || $sources -ne $files || $bad -ne 0 || $outputs -ne $files || $numbered -ne 0 ]]; then
    echo "$label: FAILED: $lines result lines for $sources sources ($bad not Success), $outputs outputs" \
      "($numbered numbered) for $files files" >&2
    return 1
  fi
  echo "$label: every one of $files files converted once, every output written once"
}

# seconds COMMAND...: runs it; prints its wall time in seconds.
seconds() {
  local start=$EPOCHREALTIME
  "$@" || echo "scale-out: $1 failed" >&2
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'
}

run_shards() {
  seq 0 $((shards - 1)) |
    parallel --jobs "$at_once" -q "$cli" convert --from-list "$library/list.txt" --shard "{}/$shards" --jobs 1 \
      --to obj --output "$work/sharded" --create-folder --on-exists overwrite --quiet --json >"$work/sharded.jsonl"
}

run_single() {
  "$cli" convert --from-list "$library/list.txt" --jobs "$at_once" --to obj --output "$work/single" \
    --create-folder --on-exists overwrite --quiet --json >"$work/single.jsonl"
}

rm -rf "$work/sharded" "$work/single" "$work/sharded.jsonl" "$work/single.jsonl"
echo "scale-out: $files files, $shards shards by GNU parallel ($at_once at a time, --jobs 1 each)" \
  "against one --jobs $at_once run; $(nproc) cores"
sharded=$(seconds run_shards)
single=$(seconds run_single)
status=0
check "sharded" "$work/sharded" "$work/sharded.jsonl" || status=1
check "single " "$work/single" "$work/single.jsonl" || status=1
awk -v s="$sharded" -v o="$single" -v n="$shards" 'BEGIN {
  printf "%d shards under GNU parallel %8.2f s\none --jobs run               %8.2f s\nsharded / single             x%.2f\n",
    n, s, o, (o > 0 ? s / o : 0) }'
exit $status
