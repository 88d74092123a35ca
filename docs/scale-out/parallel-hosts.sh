#!/bin/bash
# GNU parallel over several machines: one run per shard, the shards spread
# over the hosts of MORVEX_HOSTS (parallel's --sshlogin list: "render1,render2",
# "8/render3" for eight runs at a time there; ":" is this machine). Every host
# needs morvex-cli and must see LIST and OUTPUT at the same paths (a shared
# file system). The shard of a file is decided by the hash of its path as
# the list names it, so no host needs to know what the others convert.
#
# Outputs land in one folder per shard, OUTPUT/shard-I (made when missing),
# so that two sources of the same name in different shards never meet; all
# JSON lines come back to OUTPUT/results.jsonl, each naming its host. A
# failed shard is retried by parallel up to MORVEX_RETRIES times, on any
# host; when the command is run again after a failure, --skip-complete
# passes over every output already written and newer than its source, so
# only what is missing or stale is converted. Keep the shard count when
# retrying: it decides which folder a file's output is in.
#
#   MORVEX_HOSTS=: MORVEX_SHARDS=8 parallel-hosts.sh LIST OUTPUT [convert options]
set -euo pipefail
cli=${MORVEX_CLI:-morvex-cli}
usage="usage: parallel-hosts.sh LIST OUTPUT [convert options]"
list=$(realpath "${1:?$usage}")
output=$(realpath -m "${2:?$usage}")
shift 2
shards=${MORVEX_SHARDS:-8}
mkdir -p "$output"
seq 0 $((shards - 1)) |
  parallel --sshlogin "${MORVEX_HOSTS:-:}" --retries "${MORVEX_RETRIES:-2}" -q \
    "$cli" convert --from-list "$list" --shard "{}/$shards" --output "$output/shard-{}" --create-folder \
    --skip-complete --on-exists overwrite --json "$@" >>"$output/results.jsonl"
