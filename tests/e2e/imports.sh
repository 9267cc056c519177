#!/usr/bin/env bash
# The Windows programs must import only DLLs of Windows itself, so that they run on a bare
# Windows and no DLL beside them is ever loaded, and carry no debug sections: their debug
# information is in PROGRAM.debug beside them, named by their .gnu_debuglink with that file's
# CRC-32. PATCH.EXE is a 32-bit GUI program that must stay lean, since every self-contained
# patch carries it whole: at most 200 KB. pkgtool.exe, the publisher's tool, is a 64-bit
# console program.
set -euo pipefail
cd "$(dirname "$0")/../.."
allowed='^(kernel32|user32|advapi32|msvcrt|gdi32|comctl32|shell32|ole32)\.dll$'
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0
failed=0

# EXE FORMAT SUBSYSTEM MAX_BYTES FLAG...: checks one program; "FAIL: ..." lines say what is wrong.
check() {
    local exe=$1 format=$2 subsystem=$3 max_size=$4 flag headers dll size link linked_crc debug_crc
    [ -f "$exe" ] || { echo "FAIL: $exe is missing: run scripts/build.sh"; return; }
    local tools=${format/pei-i386/i686}
    tools=${tools/pei-x86-64/x86_64}-w64-mingw32
    headers=$("$tools-objdump" -f -p "$exe")
    grep -q "file format $format\$" <<<"$headers" || echo "FAIL: $exe is not $format"
    grep -q "^Subsystem.*($subsystem)" <<<"$headers" || echo "FAIL: $exe is not a $subsystem program"
    for flag in "${@:5}"; do
        grep -q "$flag" <<<"$headers" || echo "FAIL: $exe: $flag is not set"
    done
    while read -r dll; do
        [[ "${dll,,}" =~ $allowed ]] || echo "FAIL: $exe imports $dll"
    done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")
    size=$(stat -c %s "$exe")
    # The usual cause for PATCH.EXE: something calls a C++ runtime function that throws, and the
    # exception runtime comes along (see src/platform/win32/runtime.cpp); the link map names
    # the caller.
    ((size <= max_size)) || echo "FAIL: $exe is $size bytes, more than $max_size"
    if "$tools-objdump" -h "$exe" | grep -q '^ *[0-9]* *\.debug'; then
        echo "FAIL: $exe carries debug sections"
    fi
    # The section holds the file's name, NUL-padded to 4 bytes, then the CRC-32 of its contents;
    # gzip's trailer starts with the same CRC-32 of what it compressed.
    link=$scratch/link
    rm -f "$link"
    "$tools-objcopy" --dump-section .gnu_debuglink="$link" "$exe" "$scratch/copy" 2>/dev/null || true
    if [ ! -s "$link" ]; then
        echo "FAIL: $exe has no .gnu_debuglink"
    elif [ "$(head -c -4 "$link" | tr -d '\0')" != "$(basename "$exe").debug" ]; then
        echo "FAIL: $exe links to $(head -c -4 "$link" | tr -d '\0'), not $(basename "$exe").debug"
    else
        linked_crc=$(tail -c 4 "$link" | od -An -tx1)
        debug_crc=$(gzip -c "$exe.debug" | tail -c 8 | head -c 4 | od -An -tx1)
        [ "$linked_crc" == "$debug_crc" ] ||
            echo "FAIL: $exe.debug is not the debug information of $exe (CRC-32 differs)"
    fi
    echo "$exe imports $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$headers")and is $size bytes (at most $max_size)"
}

for program in "build/win32/PATCH.EXE pei-i386 Windows GUI $((200 * 1024)) DYNAMIC_BASE NX_COMPAT large.address.aware" \
    "build/win64/pkgtool.exe pei-x86-64 Windows CUI $((8 * 1024 * 1024)) DYNAMIC_BASE NX_COMPAT HIGH_ENTROPY_VA"; do
    read -r exe format subsystem_1 subsystem_2 max_size flags <<<"$program"
    # shellcheck disable=SC2086 # the flags are words
    report=$(check "$exe" "$format" "$subsystem_1 $subsystem_2" "$max_size" $flags)
    echo "$report"
    if grep -q '^FAIL' <<<"$report"; then
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
done
echo "$passed passed, $failed failed"
((failed == 0))
