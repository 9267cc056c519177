#!/usr/bin/env bash
# The main job, shown end to end on Linux: a sample installation of the game registered in a
# demo registry store, a sample patch package built with pkgtool, and qlmpatch applying it,
# every question answered with OK. Run it again and the patch level already installed makes
# qlmpatch ask at the version gate. `scripts/demo.sh --reset` starts over.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
scripts/build.sh > /dev/null

demo=$root/build/demo
game=$demo/Game
export QLM_REGISTRY=$demo/registry.reg

if [[ "${1:-}" == "--reset" || ! -f "$QLM_REGISTRY" ]]; then
    rm -rf "$demo"
    mkdir -p "$game/bin" "$game/old/empty"
    echo "game 1.0" > "$game/game.exe"
    echo "engine 1.0" > "$game/bin/engine.dll"
    echo "obsolete" > "$game/old/readme-1.0.txt"
    cat > "$QLM_REGISTRY" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quellmar\\Demo]
"ProgramPath"="$game"
"ProgramName"="game.exe"
REG
    echo "== A sample installation in $game, registered in $QLM_REGISTRY"
fi

# The package: payload files from demo/payload (one name too long for a directory entry,
# so it travels under a placeholder), and every kind of control section.
sed "s|@HELPER@|$root/build/host/qlm_helper|" demo/sample.manifest > "$demo/sample.manifest"
cp -r demo/payload "$demo/"
build/host/pkgtool build "$demo/sample.manifest" "$demo/sample.pkg"
echo "== The package:"
build/host/pkgtool list "$demo/sample.pkg"

echo "== qlmpatch $demo/sample.pkg (every question answered OK)"
yes "" | build/host/qlmpatch "$demo/sample.pkg" || true

echo "== The installation now:"
(cd "$game" && find . -mindepth 1 | sort | sed "s/^/   /")
echo "== What the external program recorded (helper-log.txt):"
sed "s/^/   /" "$game/helper-log.txt" 2>/dev/null || true
echo "== The registry store now:"
sed 's/^/   /' "$QLM_REGISTRY"
