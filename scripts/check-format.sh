#!/usr/bin/env bash
# Checks that every tracked C++ source (*.cpp, *.h, *.cc) is formatted as
# .clang-format says; lists the ones that are not and exits 1.
#   scripts/check-format.sh         check only
#   scripts/check-format.sh --fix   format those files in place
# CLANG_FORMAT names another clang-format binary. Other major versions than
# the one .clang-format was tuned for (14) may format some lines differently.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

fix=false
case "${1-}" in
  "") ;;
  --fix) fix=true ;;
  -h | --help) sed -n '2,7s/^# \{0,1\}//p' "$0"; exit 0 ;;
  *) echo "usage: scripts/check-format.sh [--fix]" >&2; exit 2 ;;
esac

clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "check-format: $clang_format not found (Debian: apt-get install clang-format)" >&2
  exit 2
fi
version=$("$clang_format" --version)
if [[ ! $version =~ version\ 14\. ]]; then
  echo "check-format: note: .clang-format was tuned for clang-format 14; this is: $version" >&2
fi

unformatted=()
while IFS= read -r -d '' file; do
  # Deleted but not yet staged files are still listed by git.
  [[ -f $file ]] || continue
  if ! "$clang_format" --style=file "$file" | cmp -s - "$file"; then
    unformatted+=("$file")
  fi
done < <(git ls-files -z -- '*.cpp' '*.h' '*.cc')

if [[ ${#unformatted[@]} -eq 0 ]]; then
  exit 0
fi
if $fix; then
  "$clang_format" --style=file -i -- "${unformatted[@]}"
  printf 'formatted %s\n' "${unformatted[@]}"
  exit 0
fi
printf '%s\n' "${unformatted[@]}"
echo "check-format: ${#unformatted[@]} files not formatted; scripts/check-format.sh --fix formats them" >&2
exit 1
