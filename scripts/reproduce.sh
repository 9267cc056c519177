#!/usr/bin/env bash
# Checks that the build is reproducible: builds this tree's sources again in another folder
# (a copy under /tmp, at a path of another length), later, and compares what both builds made,
# byte for byte.
#
# Usage: scripts/reproduce.sh            the Windows programs and their symbols files (see
#                                        scripts/programs.sh); scripts/test.sh runs this
#        scripts/reproduce.sh --release  the release zip of scripts/release.sh, and so every
#                                        file in it; the tree must be a clean checkout
#
# Prints each file's SHA-256 in both builds, then "N passed, M failed"; exits non-zero when a
# file differs or a build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# shellcheck source=scripts/programs.sh
source scripts/programs.sh

case "${1:-}" in
    "") what=programs ;;
    --release) what=release ;;
    *) echo "usage: scripts/reproduce.sh [--release]" >&2; exit 2 ;;
esac

copy=$(mktemp -d /tmp/qlm-reproduce.XXXXXX)
trap 'rm -rf "$copy"' EXIT
other=$copy/another/folder/qlm-patch
mkdir -p "$other"
# The tree's files as they are, edits included, without what builds made (ignored by git).
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
    tar --null -T - -cf - | tar -xf - -C "$other"

passed=0
failed=0
# PATH: a file that both builds made, relative to their trees.
compare() {
    local here there
    here=$(sha256sum <"$root/$1" | cut -d' ' -f1)
    there=$(sha256sum <"$other/$1" | cut -d' ' -f1)
    if [ "$here" == "$there" ]; then
        echo "  same     $here  $1"
        passed=$((passed + 1))
    else
        echo "  DIFFERS  $here  $1"
        echo "           $there  $other/$1"
        { cmp -l "$root/$1" "$other/$1" || true; } | head -n 5 |
            sed 's/^/           byte, octal here, there: /'
        failed=$((failed + 1))
    fi
}

if [ "$what" == programs ]; then
    for program in "${windows_programs[@]}"; do
        read -r preset target file <<<"$program"
        for tree in "$root" "$other"; do
            (cd "$tree" && cmake --preset "$preset" >/dev/null &&
                cmake --build --preset "$preset" -j "$(nproc)" --target "$target" >/dev/null) ||
                { echo "reproduce: building $target in $tree failed" >&2; exit 1; }
        done
        echo "reproduce: $file built in $root and in $other"
        compare "build/$preset/$file"
        compare "build/$preset/$file.debug"
    done
else
    epoch=$(git log -1 --format=%ct)
    zip=$(scripts/release.sh | sed -n 's/^release: //p')
    (cd "$other" && SOURCE_DATE_EPOCH=$epoch scripts/release.sh >/dev/null)
    echo "reproduce: $zip built in $root and in $other"
    compare "$zip"
    # Which of its files differ, when it does.
    if ((failed)); then
        mkdir "$copy/here" "$copy/there"
        unzip -q "$zip" -d "$copy/here"
        unzip -q "$other/$zip" -d "$copy/there"
        diff <(cd "$copy/here" && find . -type f | sort | xargs -d '\n' sha256sum) \
            <(cd "$copy/there" && find . -type f | sort | xargs -d '\n' sha256sum) || true
    fi
fi

echo "$passed passed, $failed failed"
((failed == 0))
