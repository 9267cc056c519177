#!/usr/bin/env bash
# The main job, shown end to end on Linux: a sample installation of the game (a copy of its
# old build, demo/old) registered in a demo registry store; the patch between the old and the
# new build (demo/new) made with pkgtool diff --delta and built, next to the patch that carries
# whole files; and qlmpatch applying it, every question answered with OK, after which the
# installation equals the new build. Run it again
# and the patch level already installed makes qlmpatch ask at the version gate.
# `scripts/demo.sh --reset` starts over.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
scripts/build.sh > /dev/null

demo=$root/build/demo
game=$demo/Game
export QLM_REGISTRY=$demo/registry.reg

# The two builds. Git keeps no empty folders, so the empty ones the builds have are made here.
rm -rf "$demo/old" "$demo/new"
mkdir -p "$demo"
cp -r demo/old demo/new "$demo/"
mkdir -p "$demo/old/old/empty" "$demo/new/saves/auto"

# A large data file that changes a little between the builds, what deltas are for: made here,
# the same bytes every time, rather than kept in git. Two small changes and 64 KiB appended.
stream() { # KEY BYTES: bytes that zlib cannot make smaller
    { openssl enc -aes-128-ctr -nosalt -K "$1" -iv 0 -in /dev/zero 2>/dev/null || true; } | head -c "$2"
}
mkdir -p "$demo/old/data"
stream 01 8M > "$demo/old/data/world.pak"
cp "$demo/old/data/world.pak" "$demo/new/data/world.pak"
for at in 1 5; do
    stream "1$at" 4096 | dd of="$demo/new/data/world.pak" bs=1M seek="$at" conv=notrunc status=none
done
stream 02 64K >> "$demo/new/data/world.pak"

if [[ "${1:-}" == "--reset" || ! -f "$QLM_REGISTRY" ]]; then
    rm -rf "$game"
    cp -r "$demo/old" "$game"
    cat > "$QLM_REGISTRY" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quellmar\\Demo]
"ProgramPath"="$game"
"ProgramName"="game.exe"
REG
    echo "== A sample installation of the old build in $game, registered in $QLM_REGISTRY"
fi

# The patch: what demo/base.manifest says (registry location, opening message, an external
# program, registry values), then what turns the old build into the new one.
sed "s|@HELPER@|$root/build/host/qlm_helper|" demo/base.manifest > "$demo/base.manifest"
build/host/pkgtool diff "$demo/old" "$demo/new" "$demo/base.manifest" "$demo/whole.manifest" > /dev/null
build/host/pkgtool build "$demo/whole.manifest" "$demo/whole.pkg" > /dev/null
echo "== pkgtool diff --delta: what goes as a delta and what whole"
build/host/pkgtool diff --delta "$demo/old" "$demo/new" "$demo/base.manifest" "$demo/patch.manifest"
build/host/pkgtool build "$demo/patch.manifest" "$demo/patch.pkg" > /dev/null
delta_size=$(stat -c %s "$demo/patch.pkg")
whole_size=$(stat -c %s "$demo/whole.pkg")
echo "== The patch is $delta_size bytes with deltas, $whole_size with whole files only" \
    "($(awk -v d="$delta_size" -v w="$whole_size" 'BEGIN { printf "%.1f", 100 * d / w }') %)"
echo "== The package:"
build/host/pkgtool show "$demo/patch.pkg"

echo "== qlmpatch $demo/patch.pkg (every question answered OK)"
yes "" | build/host/qlmpatch "$demo/patch.pkg" || true

echo "== The installation now:"
(cd "$game" && find . -mindepth 1 | sort | sed "s/^/   /")
echo "== Compared with the new build (helper-log.txt is the external program's):"
if diff -r --exclude=helper-log.txt "$demo/new" "$game"; then
    echo "   the same files with the same bytes, and the same folders"
fi
echo "== What the external program recorded (helper-log.txt):"
sed "s/^/   /" "$game/helper-log.txt" 2>/dev/null || true
echo "== The registry store now:"
sed 's/^/   /' "$QLM_REGISTRY"
