#!/usr/bin/env bash
# Passes when the Windows program imports from KERNEL32.dll and no other DLL.
set -euo pipefail
dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
echo "imports: ${dlls//$'\n'/ }"
[ "$dlls" = KERNEL32.dll ]
