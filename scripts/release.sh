#!/usr/bin/env bash
# Writes dist/qlm-patch-VERSION.zip, the release: the Windows programs with their symbols files
# (PATCH.EXE and pkgtool.exe, see scripts/programs.sh), the Linux qlmpatch and pkgtool
# (optimised, no sanitizers), the README and docs, and SHA256SUMS of all of them, in one folder
# qlm-patch-VERSION. VERSION is what pkgtool --version says, that is project() in
# CMakeLists.txt. The Windows programs are the very files the Wine suite tests
# (build/win32/PATCH.EXE, build/win64/pkgtool.exe).
#
# Another folder or machine (Debian 12 with what scripts/setup.sh installs) that builds the same
# commit gets the same zip, byte for byte: the programs build reproducibly (see CMakeLists.txt),
# and the zip's files carry the commit's time (SOURCE_DATE_EPOCH), fixed modes, a fixed order
# and no extra fields. scripts/reproduce.sh --release checks it.
#
# Usage: scripts/release.sh     from a checkout of the commit to release, with nothing changed
#        SOURCE_DATE_EPOCH=SECONDS scripts/release.sh     outside a git checkout: the commit's time
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/programs.sh
source scripts/programs.sh

die() { echo "release: $*" >&2; exit 1; }

# Whatever is not committed would be built in (the build globs src/) without being in any
# commit that a user could rebuild.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    [ -z "$(git status --porcelain)" ] || die "the tree has uncommitted changes; commit them first"
    : "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct)}"
fi
[[ "${SOURCE_DATE_EPOCH:-}" =~ ^[0-9]+$ ]] || die "not a git checkout: set SOURCE_DATE_EPOCH"
export SOURCE_DATE_EPOCH

scripts/setup.sh
for program in "${windows_programs[@]}"; do
    read -r preset target file <<<"$program"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target "$target"
done
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target "${linux_programs[@]}"

version=$(build/release/pkgtool --version)
version=${version#pkgtool }
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "pkgtool --version says [$version]"
name=qlm-patch-$version
stage=dist/stage
rm -rf "$stage" "dist/$name.zip"
mkdir -p "$stage/$name"

programs=()
for program in "${windows_programs[@]}"; do
    read -r preset target file <<<"$program"
    # The version resource (UTF-16) or text must say the version the release is named by. grep
    # reads to the end: stopping at the first match (-q) would fail the pipe (pipefail).
    { strings -a "build/$preset/$file"; strings -a -e l "build/$preset/$file"; } |
        grep -xF "$version" >/dev/null || die "build/$preset/$file does not say version $version"
    cp "build/$preset/$file" "build/$preset/$file.debug" "$stage/$name/"
    programs+=("$file")
done
for program in "${linux_programs[@]}"; do
    cp "build/release/$program" "$stage/$name/"
    programs+=("$program")
done
cp -r "${release_documents[@]}" "$stage/$name/"

export LC_ALL=C TZ=UTC
sums=$(cd "$stage/$name" && find . -type f | sed 's|^\./||' | sort | xargs -d '\n' sha256sum)
echo "$sums" >"$stage/$name/SHA256SUMS"
# Modes and times as the zip records them, whatever the umask and the clock.
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
(cd "$stage/$name" && chmod 755 "${programs[@]}")
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
# -X: no extra fields (owner, access times); -D: no folder entries; names in sorted order.
(cd "$stage" && find "$name" -type f | sort | zip -X -D -9 -q -@ "../$name.zip")
rm -rf "$stage"

echo "release: dist/$name.zip"
sha256sum "dist/$name.zip"
