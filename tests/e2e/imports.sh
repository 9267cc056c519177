#!/usr/bin/env bash
# PATCH.EXE must be a 32-bit GUI program that imports only DLLs of Windows itself, so that a
# patch runs on a bare Windows and no DLL beside it is ever loaded.
set -euo pipefail
cd "$(dirname "$0")/../.."
exe=build/win32/PATCH.EXE
allowed='^(kernel32|user32|advapi32|msvcrt|gdi32|comctl32|shell32|ole32)\.dll$'
failed=0

headers=$(i686-w64-mingw32-objdump -f -p "$exe")
grep -q 'file format pei-i386' <<<"$headers" || { echo "FAIL: $exe is not PE32 i386"; failed=1; }
grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || { echo "FAIL: not a GUI program"; failed=1; }
for flag in 'DYNAMIC_BASE' 'NX_COMPAT'; do
    grep -q "$flag" <<<"$headers" || { echo "FAIL: $flag is not set"; failed=1; }
done
grep -q 'large address aware' <<<"$headers" || { echo "FAIL: not large address aware"; failed=1; }

while read -r dll; do
    if [[ ! "${dll,,}" =~ $allowed ]]; then
        echo "FAIL: imports $dll"
        failed=1
    fi
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")

if ((failed)); then
    echo "0 passed, 1 failed"
    exit 1
fi
echo "imports: $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$headers")"
echo "1 passed, 0 failed"
