#!/usr/bin/env bash
# Our delta against the binary diff tools, on pairs of real program releases from the npm
# registry and on a deterministic game-like set of file pairs (one of them 3 GiB).
#
#   bench/deltas.sh [--small] [--only NAME,...] [--rounds N] [--apply-rounds N]
#                   [--whole-limit BYTES] [--work FOLDER]
#
# For each pair, every tool in each round: ours is pkgtool building a package of one delta
# entry (making the delta, then checking it by applying it) and qlmpatch installing that
# package over the old file (with its hash checks), see bench/tools/ours.sh; then
# xdelta3 -e -9 (-B as large as the old file, up to its 2 GiB) and -d, bsdiff and bspatch
# (where 17 times the old file fits in memory), zstd -19 --long=31 --patch-from and its
# decompression (files up to its 2 GiB). Every output is compared with the new file. The table
# gives each patch's size (and that of a package of the whole new file, zlib level 9), the diff's
# time and peak memory, and the apply's median time and peak memory (GNU time's maximum
# resident size); then each peer's total over the pairs it could do beside ours on the same
# pairs. --small divides the game-like sizes by 16 (world.dat then 192 MiB); --only keeps the
# pairs named (esbuild, biome, rollup, swc, archive.pak, levels.pak, game.exe, textures.pak,
# scripts.txt, world.dat). The whole-file size is left out (shown as 0) for new files larger
# than --whole-limit bytes (1 GiB): zlib -9 takes tens of minutes on the 3 GiB file. Inputs
# stay under build/bench/deltas.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

divisor=1
only=""
rounds=1
apply_rounds=3
whole_limit=$((1 << 30))
work=$root/build/bench/deltas
while (($#)); do
    case "$1" in
        --small) divisor=16; shift ;;
        --only) only=",$2,"; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --apply-rounds) apply_rounds=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --whole-limit) whole_limit=$2; shift 2 ;;
        *) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
done

# --- what the benchmark needs ------------------------------------------------------------------
needed=(cmake ninja-build g++ zlib1g-dev libgtest-dev libbenchmark-dev xdelta3 bsdiff zstd time
        diffutils)
command -v npm > /dev/null || needed+=(npm)
# shellcheck source=bench/tools/packages.sh
source "$root/bench/tools/packages.sh"
install_missing deltas "${needed[@]}"
cmake --preset bench > /dev/null
cmake --build --preset bench --target pkgtool qlmpatch make_delta_pairs > /dev/null
export PKGTOOL=$root/build/bench/pkgtool QLMPATCH=$root/build/bench/qlmpatch

# Our two sides: a package of one delta entry that pkgtool makes (and checks by applying it),
# and qlmpatch installing it (see bench/tools/ours.sh). Our patch size is that of the delta
# entry's data, which is what the package adds for the file.
ours=$root/bench/tools/ours.sh

mkdir -p "$work"
work=$(realpath "$work")
out=$work/out
mkdir -p "$out"

wanted() { [[ -z "$only" || "$only" == *",$1,"* ]]; }

# --- the pairs -------------------------------------------------------------------------------
# NAME PACKAGE OLD-VERSION NEW-VERSION FILE-IN-PACKAGE
npm_pairs=(
    "esbuild @esbuild/win32-x64 0.25.11 0.25.12 package/esbuild.exe"
    "biome @biomejs/cli-win32-x64 2.5.14 2.5.15 package/biome.exe"
    "rollup @rollup/rollup-win32-x64-msvc 4.69.2 4.69.3 package/rollup.win32-x64-msvc.node"
    "swc @swc/core-win32-x64-msvc 1.16.20 1.16.22 package/swc.win32-x64-msvc.node"
)
game_files=(world.dat game.exe scripts.txt textures.pak levels.pak archive.pak)

pair_names=()
declare -A old_of new_of

# Fetches one version of a package into the npm folder, once.
fetch() {  # PACKAGE VERSION -> prints the folder it is unpacked in
    local package=$1 version=$2 folder
    folder=$work/npm/$(tr -d '@' <<< "$package" | tr '/' '-')-$version
    if [[ ! -d "$folder/package" ]]; then
        mkdir -p "$folder"
        (cd "$folder" && npm pack "$package@$version" --silent > pack.txt)
        tar -xzf "$folder/$(tail -n 1 "$folder/pack.txt")" -C "$folder"
    fi
    echo "$folder"
}

for line in "${npm_pairs[@]}"; do
    read -r name package old_version new_version file <<< "$line"
    wanted "$name" || continue
    old_of[$name]=$(fetch "$package" "$old_version")/$file
    new_of[$name]=$(fetch "$package" "$new_version")/$file
    pair_names+=("$name")
done

game=$work/game-$divisor
for name in "${game_files[@]}"; do
    wanted "$name" || continue
    if [[ ! -f "$game/done-$name" ]]; then
        echo "deltas: making the pair $name (sizes divided by $divisor)"
        "$root/build/bench/make_delta_pairs" "$game" "$divisor" "$name"
        touch "$game/done-$name"
    fi
    old_of[$name]=$game/old/$name
    new_of[$name]=$game/new/$name
    pair_names+=("$name")
done

# --- the tools ------------------------------------------------------------------------------
tools=(ours xdelta3 bsdiff zstd)
memory_kib=$(awk '/MemTotal/ { print $2 }' /proc/meminfo)

# Whether the tool can take the pair at all (by its own documented limits).
can_run() {  # TOOL OLD NEW
    local old_size new_size
    old_size=$(stat -c %s "$2")
    new_size=$(stat -c %s "$3")
    case "$1" in
        bsdiff) ((old_size * 17 / 1024 < memory_kib * 9 / 10)) ;;
        zstd) ((old_size < (2 << 30) && new_size < (2 << 30))) ;;
        *) true ;;
    esac
}

# The command that makes TOOL's patch, or applies it, in the array `command`.
diff_command() {  # TOOL OLD NEW PATCH
    environment=()
    case "$1" in
        ours) command=("$ours" diff "$2" "$3" "$4") ;;
        xdelta3)
            local window
            window=$(stat -c %s "$2")
            ((window > (2 << 30))) && window=$((2 << 30))
            ((window < (1 << 20))) && window=$((1 << 20))
            command=(xdelta3 -e -9 -f -B "$window" -s "$2" "$3" "$4") ;;
        bsdiff) command=(bsdiff "$2" "$3" "$4") ;;
        zstd) command=(zstd -q -f -19 --long=31 --patch-from="$2" "$3" -o "$4") ;;
    esac
}

# For ours also what sets up its scratch installation before the timing (`prepare`), the
# environment that names its registry store (`environment`, given to GNU time, so that no
# other program's start is timed with it) and what moves the rebuilt file out after it
# (`finish`): only qlmpatch is timed.
apply_command() {  # TOOL OLD PATCH OUT
    prepare=() environment=() finish=()
    case "$1" in
        ours)
            prepare=("$ours" prepare "$2" "$4")
            environment=(QLM_REGISTRY="$4.reg")
            command=("$QLMPATCH" "$3")
            finish=("$ours" finish "$4") ;;
        xdelta3) command=(xdelta3 -d -f -s "$2" "$3" "$4") ;;
        bsdiff) command=(bspatch "$2" "$4" "$3") ;;
        zstd) command=(zstd -q -f -d --long=31 --patch-from="$2" "$3" -o "$4") ;;
    esac
}

# Runs `command` under GNU time, its output into LOG: prints "seconds peak-KiB", or nothing
# when the command fails.
timed() {  # LOG
    env "${environment[@]}" /usr/bin/time -f '%e %M' -o "$out/time.txt" "${command[@]}" \
        < /dev/null > "$1" 2>&1 &&
        cat "$out/time.txt"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# --- the figures -----------------------------------------------------------------------------
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", 100 * a / b }'; }

# The rows of one pair: the whole file as one zlib stream, then each tool's figures.
print_pair() {  # NAME
    local name=$1 new_size tool
    new_size=$(stat -c %s "${new_of[$name]}")
    printf '%-13s %-8s %12s %7s   (old %s MiB, new %s MiB)\n' "$name" "zlib -9" \
        "${whole_size[$name]}" "$(percent "${whole_size[$name]}" "$new_size")" \
        "$(mib "$(stat -c %s "${old_of[$name]}")")" "$(mib "$new_size")"
    for tool in "${tools[@]}"; do
        if [[ -z "${patch_size[$name,$tool]:-}" ]]; then
            printf '%-13s %-8s %12s\n' "" "$tool" "(cannot)"
            continue
        fi
        printf '%-13s %-8s %12s %7s %9s %9s %9s %9s\n' "" "$tool" "${patch_size[$name,$tool]}" \
            "$(percent "${patch_size[$name,$tool]}" "$new_size")" "${diff_time[$name,$tool]}" \
            "$(mib $((${diff_kib[$name,$tool]} * 1024)))" "${apply_time[$name,$tool]}" \
            "$(mib $((${apply_kib[$name,$tool]} * 1024)))"
    done
}

table_head() {
    printf '%-13s %-8s %12s %7s %9s %9s %9s %9s\n' pair tool patch "% new" "diff s" \
        "diff MiB" "apply s" "apply MiB"
}

declare -A patch_size diff_time diff_kib apply_time apply_kib whole_size
for name in "${pair_names[@]}"; do
    old=${old_of[$name]}
    new=${new_of[$name]}
    key=$(sha1sum <<< "$new $(stat -c '%s %Y' "$new")" | cut -c1-16)
    if (($(stat -c %s "$new") > whole_limit)); then
        echo 0 > "$work/wsize-$key"  # zlib -9 takes tens of minutes on GiBs of structured data
    elif [[ ! -f "$work/wsize-$key" ]]; then
        "$ours" zsize "$new" > "$work/wsize-$key"
    fi
    whole_size[$name]=$(cat "$work/wsize-$key")
    cat "$old" "$new" > /dev/null  # both start in the page cache, for every tool alike
    runnable=()
    for tool in "${tools[@]}"; do
        can_run "$tool" "$old" "$new" && runnable+=("$tool")
    done
    # Every tool in each round, in the same order: first the diffs, then the applies.
    unset diffs diff_peaks applies apply_peaks
    declare -A diffs diff_peaks applies apply_peaks
    for ((round = 1; round <= rounds; ++round)); do
        for tool in "${runnable[@]}"; do
            sync
            diff_command "$tool" "$old" "$new" "$out/$name.$tool"
            read -r seconds kib < <(timed "$out/$name.$tool.log") ||
                { echo "deltas: $tool could not diff $name" >&2; exit 1; }
            diffs[$tool]+="$seconds " diff_peaks[$tool]+="$kib "
        done
        for ((apply = 1; apply <= apply_rounds; ++apply)); do
            for tool in "${runnable[@]}"; do
                rm -f "$out/new"
                sync
                apply_command "$tool" "$old" "$out/$name.$tool" "$out/new"
                ((${#prepare[@]} == 0)) || "${prepare[@]}"
                read -r seconds kib < <(timed "$out/apply.log") ||
                    { echo "deltas: $tool could not apply its patch of $name" >&2; exit 1; }
                ((${#finish[@]} == 0)) || "${finish[@]}"
                cmp -s "$out/new" "$new" ||
                    { echo "deltas: $tool's output of $name differs from the new file" >&2; exit 1; }
                applies[$tool]+="$seconds " apply_peaks[$tool]+="$kib "
            done
        done
    done
    for tool in "${runnable[@]}"; do
        if [[ "$tool" == ours ]]; then
            patch_size[$name,$tool]=$("$ours" size "$out/$name.$tool")
        else
            patch_size[$name,$tool]=$(stat -c %s "$out/$name.$tool")
        fi
        # shellcheck disable=SC2086 # the lists are words
        {
            diff_time[$name,$tool]=$(median ${diffs[$tool]})
            diff_kib[$name,$tool]=$(median ${diff_peaks[$tool]})
            apply_time[$name,$tool]=$(median ${applies[$tool]})
            apply_kib[$name,$tool]=$(median ${apply_peaks[$tool]})
        }
    done
    echo "  $name: $(grep -v '^ ' "$out/$name.ours.log")"
    rm -f "$out/new" "$out/$name".*
    table_head
    print_pair "$name"
done

echo
echo "Load: $(uptime | sed 's/.*load average/load average/')"
table_head
for name in "${pair_names[@]}"; do
    print_pair "$name"
done
echo
echo "Totals over the pairs each tool could do, and ours over the same pairs:"
printf '  %-8s %6s %14s %14s %8s %12s %12s\n' tool pairs "its patches" "ours" "ours/its" \
    "its apply s" "ours apply s"
for tool in "${tools[@]}"; do
    its=0 ours=0 count=0 its_apply=0 ours_apply=0
    for name in "${pair_names[@]}"; do
        [[ -n "${patch_size[$name,$tool]:-}" && -n "${patch_size[$name,ours]:-}" ]] || continue
        its=$((its + ${patch_size[$name,$tool]}))
        ours=$((ours + ${patch_size[$name,ours]}))
        its_apply=$(awk -v a="$its_apply" -v b="${apply_time[$name,$tool]}" 'BEGIN { print a + b }')
        ours_apply=$(awk -v a="$ours_apply" -v b="${apply_time[$name,ours]}" 'BEGIN { print a + b }')
        count=$((count + 1))
    done
    ((count)) || continue
    printf '  %-8s %6s %14s %14s %8s %12s %12s\n' "$tool" "$count" "$its" "$ours" \
        "$(awk -v a="$ours" -v b="$its" 'BEGIN { printf "%.3f", a / b }')" "$its_apply" "$ours_apply"
done
