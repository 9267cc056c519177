#!/usr/bin/env bash
# Our side of bench/deltas.sh, through the programs a publisher and a player run:
#
#   ours.sh diff OLD NEW PACKAGE   pkgtool builds a package of one delta entry (it makes the
#                                  delta, then applies it to OLD and compares with NEW)
#   ours.sh prepare OLD NEW        a scratch installation NEW.game holding a link to OLD, and
#                                  its registry store NEW.reg: `QLM_REGISTRY=NEW.reg qlmpatch
#                                  PACKAGE` then rebuilds the file (old and new hashes checked)
#   ours.sh finish NEW             moves the rebuilt file to NEW, the installation away
#   ours.sh size PACKAGE           the size of its delta entry's data: what the package carries
#                                  for the file (its header, directory and installation key
#                                  add about 150 bytes once per patch)
#   ours.sh zsize FILE             the size of a package holding FILE whole (zlib, level 9)
#
# PKGTOOL names pkgtool.
set -euo pipefail

# A manifest beside PACKAGE: the installation's key and LINE.
manifest() { # PACKAGE LINE
    printf '%s\n' 'registry-keys SOFTWARE\\Bench | Path | Program | Level | 1' "$2" > "$1.manifest"
}

case "${1:-}" in
    diff)
        manifest "$4" "delta file.dat = $(realpath "$3") | $(realpath "$2")"
        "$PKGTOOL" build "$4.manifest" "$4"
        ;;
    prepare)
        game=$3.game
        rm -rf "$game"
        mkdir -p "$game"
        : > "$game/game.exe"
        ln "$2" "$game/file.dat" 2> /dev/null || cp "$2" "$game/file.dat"
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n"Path"="%s"\n"Program"="game.exe"\n' \
            "$game" > "$3.reg"
        ;;
    finish)
        mv "$2.game/file.dat" "$2"
        rm -rf "$2.game" "$2.reg" "$2.reg.lock"
        ;;
    size)
        "$PKGTOOL" list "$2" | awk '$NF == "delta" { print $(NF - 1) }'
        ;;
    zsize)
        package=$(mktemp)
        manifest "$package" "file file.dat = $(realpath "$2")"
        "$PKGTOOL" build "$package.manifest" "$package" > /dev/null
        stat -c %s "$package"
        rm -f "$package" "$package.manifest"
        ;;
    *) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
