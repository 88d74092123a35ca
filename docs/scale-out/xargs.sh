#!/bin/bash
# xargs -P on one machine, without GNU parallel: find lists every file under
# SOURCE, NUL-separated (-print0, so that names with new lines survive),
# and xargs starts one morvex-cli run per shard, MORVEX_RUNS at a time.
#
# Outputs land in one shared folder, OUTPUT; the JSON lines of each shard in
# OUTPUT/shard-I.jsonl. Files that are not models are reported and passed
# over. Run the command again after a failure: --skip-complete passes over
# every output that exists and is newer than its source.
#
#   xargs.sh SOURCE OUTPUT [convert options]
#   MORVEX_SHARDS (default 4), MORVEX_RUNS (default: processors)
set -euo pipefail
cli=${MORVEX_CLI:-morvex-cli}
usage="usage: xargs.sh SOURCE OUTPUT [convert options]"
source=$(realpath "${1:?$usage}")
output=$(realpath -m "${2:?$usage}")
shift 2
shards=${MORVEX_SHARDS:-4}
mkdir -p "$output"
find "$source" -type f -print0 >"$output/inputs.list0"
export cli output shards
seq 0 $((shards - 1)) |
  xargs -P "${MORVEX_RUNS:-$(nproc)}" -I{} sh -c 'shard=$1; shift
    "$cli" convert --from-list "$output/inputs.list0" -0 --shard "$shard/$shards" --output "$output" --jobs 1 \
      --skip-complete --on-exists overwrite --json "$@" >"$output/shard-$shard.jsonl"' sh {} "$@"
