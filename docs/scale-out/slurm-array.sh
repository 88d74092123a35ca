#!/bin/bash
#SBATCH --job-name=morvex-convert
#SBATCH --array=0-15
#SBATCH --cpus-per-task=4
#SBATCH --output=morvex-convert-%A_%a.out
# A Slurm job array: one task per shard, SLURM_ARRAY_TASK_ID being the
# shard and MORVEX_SHARDS (16, as the --array line above) their count.
#
#   sbatch --export=ALL,MORVEX_SHARDS=16 --array=0-15 slurm-array.sh LIST OUTPUT [convert options]
#
# LIST and OUTPUT lie on the cluster's shared file system. Outputs land in
# one shared folder, OUTPUT; each task's JSON lines in OUTPUT/shard-I.jsonl.
# A task that failed is retried by submitting its shards again (sbatch
# --array=3,7 ...) or the whole array: --skip-complete passes over every
# output that exists and is newer than its source. The shard count must stay
# the same, or files move between shards.
set -euo pipefail
cli=${MORVEX_CLI:-morvex-cli}
usage="usage: sbatch --array=0-15 slurm-array.sh LIST OUTPUT [convert options]"
list=${1:?$usage}
output=${2:?$usage}
shift 2
shard=${SLURM_ARRAY_TASK_ID:?not a task of a job array: submit with sbatch --array}
shards=${MORVEX_SHARDS:-16}
mkdir -p "$output"
"$cli" convert --from-list "$list" --shard "$shard/$shards" --output "$output" --jobs "${SLURM_CPUS_PER_TASK:-1}" \
  --skip-complete --on-exists overwrite --json "$@" >"$output/shard-$shard.jsonl"
