#!/bin/bash
# GNU parallel on one machine: the list is cut into blocks of paths, and
# each block is one morvex-cli run that reads its paths from standard input
# (--from-list -), RUNS runs at a time.
#
# Outputs land in one shared folder, OUTPUT; every run's JSON lines are
# gathered in OUTPUT/results.jsonl. After a failure (a crash, a full disk,
# Ctrl-C) run the same command again: --skip-complete passes over every
# output that exists and is newer than its source, so only the missing and
# the stale ones are converted.
#
#   parallel-pipe.sh LIST OUTPUT [convert options, e.g. --to stl]
#   MORVEX_RUNS (default: processors), MORVEX_BLOCK (paths per run, default 1000)
set -euo pipefail
cli=${MORVEX_CLI:-morvex-cli}
usage="usage: parallel-pipe.sh LIST OUTPUT [convert options]"
list=$(realpath "${1:?$usage}")
output=$(realpath -m "${2:?$usage}")
shift 2
mkdir -p "$output"
# A block on standard input has no folder of its own: its relative paths
# start from the working folder, so the runs work in the list's folder.
cd "$(dirname "$list")"
parallel --pipe -N "${MORVEX_BLOCK:-1000}" --jobs "${MORVEX_RUNS:-$(nproc)}" -q \
  "$cli" convert --from-list - --output "$output" --jobs 1 --skip-complete --on-exists overwrite --json "$@" \
  <"$list" >"$output/results.jsonl"
