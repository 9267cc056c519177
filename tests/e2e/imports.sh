#!/usr/bin/env bash
# PATCH.EXE must be a 32-bit GUI program that imports only DLLs of Windows itself, so that a
# patch runs on a bare Windows and no DLL beside it is ever loaded. And it must stay lean, since
# every self-contained patch carries it whole: at most 200 KB, no debug sections, its debug
# information in PATCH.EXE.debug beside it, named by its .gnu_debuglink with that file's CRC-32.
set -euo pipefail
cd "$(dirname "$0")/../.."
exe=build/win32/PATCH.EXE
allowed='^(kernel32|user32|advapi32|msvcrt|gdi32|comctl32|shell32|ole32)\.dll$'
max_size=$((200 * 1024))
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

size=$(stat -c %s "$exe")
if ((size > max_size)); then
    # The usual cause: something calls a C++ runtime function that throws, and the exception
    # runtime comes along (see src/platform/win32/runtime.cpp); the link map names the caller.
    echo "FAIL: $exe is $size bytes, more than $max_size"
    failed=1
fi
if i686-w64-mingw32-objdump -h "$exe" | grep -q '^ *[0-9]* *\.debug'; then
    echo "FAIL: $exe carries debug sections"
    failed=1
fi
# The section holds the file's name, NUL-padded to 4 bytes, then the CRC-32 of its contents;
# gzip's trailer starts with the same CRC-32 of what it compressed.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
link=$scratch/link
i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$link" "$exe" "$scratch/copy" 2>/dev/null ||
    true
if [ ! -s "$link" ]; then
    echo "FAIL: $exe has no .gnu_debuglink"
    failed=1
elif [ "$(head -c -4 "$link" | tr -d '\0')" != PATCH.EXE.debug ]; then
    echo "FAIL: $exe links to $(head -c -4 "$link" | tr -d '\0'), not PATCH.EXE.debug"
    failed=1
else
    linked_crc=$(tail -c 4 "$link" | od -An -tx1)
    debug_crc=$(gzip -c "$exe.debug" | tail -c 8 | head -c 4 | od -An -tx1)
    if [ "$linked_crc" != "$debug_crc" ]; then
        echo "FAIL: $exe.debug is not the debug information of $exe (CRC-32 differs)"
        failed=1
    fi
fi

if ((failed)); then
    echo "0 passed, 1 failed"
    exit 1
fi
echo "imports: $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$headers")"
echo "size: $size bytes (at most $max_size)"
echo "1 passed, 0 failed"
