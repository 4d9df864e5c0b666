#!/usr/bin/env bash
# Formats the project's C and C++ sources with clang-format 14 and the
# repository's .clang-format, or, with --check, lists the files that are not
# formatted and fails.
#
#   scripts/format.sh            # rewrite the files in place
#   scripts/format.sh --check    # CI: exit 1 when a file needs formatting
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
clang_format=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$clang_format" ] || { echo "format: clang-format not found (scripts/setup.sh installs it)" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' ':!:fuzz/corpus/*' ':!:tests/crashers/*')
if [ "${1:-}" = --check ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! "$clang_format" --style=file "$f" | cmp -s - "$f"; then echo "format: $f needs formatting"; bad=1; fi
  done
  long=$(grep -n -E '^.{101,}' "${files[@]}" || true)
  if [ -n "$long" ]; then echo "format: lines over 100 columns:"; echo "$long"; bad=1; fi
  [ $bad -eq 0 ] && echo "format: ${#files[@]} files formatted"
  exit $bad
fi
"$clang_format" --style=file -i "${files[@]}"
