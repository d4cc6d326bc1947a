#!/usr/bin/env bash
# Passes when a Windows program imports from KERNEL32.dll alone, and exactly
# the functions the platform file calls: the capitalised names followed by "("
# in it, less those the tool's own sources define (the name before the first
# "(" of a line that starts in column 0).
# Usage: check_imports.sh PLATFORM_FILE SOURCE_DIR PROGRAM
set -euo pipefail
source_file=$1 source_dir=$2 program=$3
table=$(x86_64-w64-mingw32-objdump -p "$program")
dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$table" | tr '\n' ' ')
echo "DLLs: $dlls"
[ "$dlls" = "KERNEL32.dll " ] || { echo "$program imports from another DLL" >&2; exit 1; }
# Rows under the "vma: Hint/Ord Member-Name" heading: address, hint, name.
imported=$(awk '/Member-Name/ { rows = 1; next } rows && NF == 0 { rows = 0 }
                rows && NF >= 3 { print $3 }' <<<"$table" | sort -u)
defined=$(find "$source_dir" -name '*.cc' -exec sed 's://.*$::' {} + |
  sed -nE 's/^[A-Za-z][^(]*\b([A-Z][A-Za-z0-9_]*)\(.*/\1/p' | sort -u)
called=$(sed 's://.*$::' "$source_file" | grep -oE '\b[A-Z][A-Za-z0-9_]*[[:space:]]*\(' |
  tr -d '( \t' | sort -u | comm -23 - <(echo "$defined"))
extra=$(comm -23 <(echo "$imported") <(echo "$called") | tr '\n' ' ')
missing=$(comm -13 <(echo "$imported") <(echo "$called") | tr '\n' ' ')
[ -z "$extra" ] || echo "imported but not called in $source_file: $extra" >&2
[ -z "$missing" ] || echo "called in $source_file but not imported: $missing" >&2
[ -z "$extra$missing" ] && echo "imports match the calls in $source_file: $(echo $called)"
