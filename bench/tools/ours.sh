#!/usr/bin/env bash
# Our side of bench/deltas.sh, through the programs a publisher and a player run:
#
#   ours.sh diff OLD NEW PACKAGE   pkgtool builds a package of one delta entry (it makes the
#                                  delta, then applies it to OLD and compares with NEW)
#   ours.sh apply OLD PACKAGE NEW  qlmpatch installs it over a link to OLD in a scratch
#                                  installation beside NEW (old and new hashes checked), and
#                                  the rebuilt file becomes NEW
#   ours.sh zsize FILE             the size of a package holding FILE whole (zlib, level 9)
#
# PKGTOOL and QLMPATCH name the programs.
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
    apply)
        game=$4.game
        rm -rf "$game"
        mkdir -p "$game"
        : > "$game/game.exe"
        ln "$2" "$game/file.dat" 2> /dev/null || cp "$2" "$game/file.dat"
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n"Path"="%s"\n"Program"="game.exe"\n' \
            "$game" > "$game.reg"
        QLM_REGISTRY=$game.reg "$QLMPATCH" "$3" < /dev/null > "$game.log" 2>&1 || true
        grep -q 'Обновление успешно установлено' "$game.log" || { cat "$game.log" >&2; exit 1; }
        mv "$game/file.dat" "$4"
        rm -rf "$game" "$game.reg" "$game.log"
        ;;
    zsize)
        package=$(mktemp)
        manifest "$package" "file file.dat = $(realpath "$2")"
        "$PKGTOOL" build "$package.manifest" "$package" > /dev/null
        stat -c %s "$package"
        rm -f "$package" "$package.manifest"
        ;;
    *) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
