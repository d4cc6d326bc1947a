#!/usr/bin/env bash
# Passes when the file is at most the given number of bytes.
set -euo pipefail
size=$(stat -c %s "$1")
echo "$1: $size bytes, at most $2"
[ "$size" -le "$2" ]
