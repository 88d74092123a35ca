#!/usr/bin/env bash
# bench/fuzz.sh TARGET SECONDS [libFuzzer options...]
# Builds the libFuzzer targets with clang (build/fuzz) and runs one for
# SECONDS of wall time over its working corpus (build/fuzz/corpus/TARGET),
# or, with SECONDS written as 1800cpu, until the fuzzer has used that much
# processor time (a fair budget on a machine shared with other work);
# seeded from fuzz/seeds/TARGET, the regression inputs and ../shared/corpus.
# A crash, leak or time-out leaves its input in build/fuzz/crashes/TARGET:
# copy it into fuzz/regressions/TARGET/ so that ./test replays it.
#   bench/fuzz.sh list        names the targets
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
morvex_ensure_packages "${MORVEX_BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

build="$root/build/fuzz"
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DMORVEX_FUZZ=ON -DMORVEX_TESTS=OFF >/dev/null
fi
targets=$(cd "$root/fuzz" && ls ./*_fuzz.cpp | sed 's#^\./##; s#\.cpp$##')
# The fuzz targets alone: the programs and their Qt layers are not fuzzed.
# shellcheck disable=SC2086
cmake --build "$build" --target $targets >/dev/null
if [[ ${1:-} == list || $# -lt 2 ]]; then
  printf '%s\n' $targets
  [[ ${1:-} == list ]] && exit 0
  echo "usage: bench/fuzz.sh TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
name=${target%_fuzz}
corpus="$build/corpus/$target" crashes="$build/crashes/$target"
mkdir -p "$corpus" "$crashes"
seeds=()
for folder in "$root/fuzz/seeds/$name" "$root/fuzz/regressions/$name"; do
  [[ -d $folder ]] && seeds+=("$folder")
done
# The real files of other programs that this target reads, by extension.
extensions=$(sed -n 's#^// Seeds: ##p' "$root/fuzz/$target.cpp")
if [[ -n $extensions && -d $root/../shared/corpus ]]; then
  mkdir -p "$build/seeds/$target"
  for ext in $extensions; do
    find "$root/../shared/corpus" -type f -iname "*.$ext" -size -4M -exec cp -t "$build/seeds/$target" {} + 2>/dev/null || true
  done
  seeds+=("$build/seeds/$target")
fi
dict=()
# Text formats have a dictionary of their words; binary ones have none.
case $name in threemf* | xml | sdf) dictName=xml ;; *) dictName=$name ;; esac
[[ -f $root/fuzz/dict/$dictName.dict ]] && dict=(-dict="$root/fuzz/dict/$dictName.dict")
# Under a processor-time budget the fuzzer may run at the lowest priority,
# where wall-clock time says little: an input then counts as hung only
# after two minutes.
timeout=10
[[ $seconds == *cpu ]] && timeout=120
run=("$build/fuzz/$target" -timeout="$timeout" -rss_limit_mb=4096 -max_len=1048576 \
  -artifact_prefix="$crashes/" -print_final_stats=1 "${dict[@]}" "$@" "$corpus" "${seeds[@]}")
if [[ $seconds != *cpu ]]; then
  exec "${run[@]}" -max_total_time="$seconds"
fi

# Processor-time budget: libFuzzer only knows wall time, so a watchdog reads
# the fuzzer's user+system time and interrupts it (it then prints its final
# statistics and exits 0 when nothing was found).
budget=${seconds%cpu}
"${run[@]}" &
fuzzer=$!
ticks=$(getconf CLK_TCK)
while kill -0 "$fuzzer" 2>/dev/null; do
  read -r -a stat <"/proc/$fuzzer/stat" 2>/dev/null || break
  used=$(((stat[13] + stat[14]) / ticks))
  if ((used >= budget)); then
    echo "fuzz.sh: $target used ${used} s of processor time; stopping it" >&2
    kill -INT "$fuzzer"
    break
  fi
  sleep 5
done
wait "$fuzzer"
