#!/usr/bin/env bash
# qlmpatch against the archivers: the same game-like tree installed from a package by qlmpatch
# (Release build, no sanitizers) and extracted by tar -xzf, unzip and 7z x, with cp -r as the
# file system's floor; then one folder of many files, qlmpatch against tar -xf and against the
# floors of writing those files alone: through the views qlmpatch writes through (buffers
# written with pwrite on Linux), and with write(2).
#
#   bench/archivers.sh [--mib N] [--rounds N] [--flat-kib N] [--only game|flat]
#                      [--strace] [--also LABEL=PROGRAM] [--priority] [--work FOLDER]
#
# Every tool runs in each round, in the same order, into a fresh folder on the same file
# system, where nothing was deleted in the last minute; the inputs stay in the page cache
# for all alike (a warm-up read comes first) and every output is compared with the source
# tree. The table gives median wall and processor times and each tool's time divided by
# qlmpatch's (the processor time is the steadier figure on a machine that others share; so is
# the best round). --strace adds the system call counts of one run of each qlmpatch, on the
# tree and on the folder of 1,000 files; --also adds another qlmpatch build to the same rounds
# (to compare two builds on the same data); --priority runs every tool alike at a raised CPU
# and I/O priority, which steadies the figures on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mib=512
rounds=3
flat_kib=16
only=""
with_strace=0
work=$root/build/bench/archivers
also_labels=()
also_programs=()
priority=()
while (($#)); do
    case "$1" in
        --mib) mib=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --flat-kib) flat_kib=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        --strace) with_strace=1; shift ;;
        --also) also_labels+=("${2%%=*}"); also_programs+=("$(realpath "${2#*=}")"); shift 2 ;;
        --priority) priority=(nice -n -10 ionice -c 2 -n 0); shift ;;
        --work) work=$2; shift 2 ;;
        *) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
done

# --- what the benchmark needs -----------------------------------------------------------------
needed=(cmake ninja-build g++ zlib1g-dev libgtest-dev libbenchmark-dev p7zip-full unzip zip
        tar gzip diffutils)
((with_strace)) && needed+=(strace)
# shellcheck source=bench/tools/packages.sh
source "$root/bench/tools/packages.sh"
install_missing archivers "${needed[@]}"
cmake --preset bench > /dev/null
cmake --build --preset bench --target qlmpatch pkgtool make_tree extract_floor > /dev/null
qlmpatch=$root/build/bench/qlmpatch
pkgtool=$root/build/bench/pkgtool
make_tree=$root/build/bench/make_tree
extract_floor=$root/build/bench/extract_floor

mkdir -p "$work"
work=$(realpath "$work")
out=$work/out  # every output lands here, on the same file system as the inputs

now() { date +%s.%N; }

# Prepares a fresh installation for one qlmpatch run: the folder with the game's program
# file in it (the package replaces it), and a registry store that points there.
prepare_install() {  # FOLDER SOURCE
    mkdir -p "$1"
    cp "$2/game.exe" "$1/game.exe"
    cat > "$work/registry.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QlmBench\\Game]
"ProgramPath"="$1"
"ProgramName"="game.exe"
REG
}

# Runs one tool into a fresh folder; prints its wall time and its processor time (user and
# system, its children's included) in seconds. The output is compared with the source tree,
# and written data is flushed before the next tool starts, so that no tool pays for another's
# writeback. Outputs stay until the end of the comparison: see clear_outputs.
run_tool() {  # TOOL SOURCE INPUT_BASE ROUND
    local tool=$1 source=$2 base=$3 target=$out/$1-$4 timing
    case "$tool" in
        qlmpatch*) prepare_install "$target" "$source" ;;
        cp) ;;
        *) mkdir -p "$target" ;;
    esac
    sync
    timing=$( { TIMEFORMAT='%R %U %S'; time run_command "$tool" "$target" "$source" "$base"; } 2>&1 )
    if ! diff -r -q "$source" "$target" > "$work/diff.txt"; then
        echo "archivers: $tool's output differs from the source tree:" >&2
        head "$work/diff.txt" >&2
        exit 1
    fi
    sync
    awk '{ printf "%.3f/%.3f", $1, $2 + $3 }' <<< "$timing"
}

# Removes every output, then waits until the file system no longer counts their inodes as
# recently deleted: without a journal, ext4 steps over inodes freed in the last 60 seconds
# (once their inode table is written back: the sync) when it makes a file, which slows whatever creates files next by a factor that depends on
# where its folder lands, so a tool run right after a deletion would be measured unfairly.
clear_outputs() {
    if [[ -n "$(ls -A "$out" 2>/dev/null)" ]]; then
        rm -rf "${out:?}"/*
        sync
        sleep 61
    fi
}

run_command() {  # TOOL TARGET SOURCE INPUT_BASE
    local tool=$1 target=$2 source=$3 base=$4
    local run=("${priority[@]}")
    case "$tool" in
        qlmpatch) QLM_REGISTRY=$work/registry.reg "${run[@]}" "$qlmpatch" "$base.pkg" \
                      < /dev/null > /dev/null ;;
        qlmpatch:*) QLM_REGISTRY=$work/registry.reg "${run[@]}" "${also_of[$tool]}" "$base.pkg" \
                        < /dev/null > /dev/null ;;
        tar-xzf) "${run[@]}" tar -xzf "$base.tar.gz" -C "$target" ;;
        tar-xf) "${run[@]}" tar -xf "$base.tar" -C "$target" ;;
        views-floor) "${run[@]}" "$extract_floor" views "$base.tar" "$target" ;;
        write-floor) "${run[@]}" "$extract_floor" write "$base.tar" "$target" ;;
        unzip) "${run[@]}" unzip -q "$base.zip" -d "$target" ;;
        7z-x) "${run[@]}" 7z x -y -bd -bso0 -bsp0 -o"$target" "$base.zip" ;;
        cp) "${run[@]}" cp -r "$source" "$target" ;;
    esac
}

declare -A also_of
extra_tools=()
for i in "${!also_labels[@]}"; do
    also_of["qlmpatch:${also_labels[$i]}"]=${also_programs[$i]}
    extra_tools+=("qlmpatch:${also_labels[$i]}")
done

# Times every tool in each round and prints the medians, with each time over qlmpatch's.
compare() {  # TITLE SOURCE INPUT_BASE TOOL...
    local title=$1 source=$2 base=$3
    shift 3
    local tools=("$@") tool round
    declare -A times
    clear_outputs
    cat "$base".* > /dev/null  # the inputs start in the page cache, for every tool alike
    for ((round = 1; round <= rounds; ++round)); do
        for tool in "${tools[@]}"; do
            times[$tool]+="$(run_tool "$tool" "$source" "$base" "$round") "
        done
    done
    clear_outputs
    local wall=() cpu=() best=()
    for tool in "${tools[@]}"; do
        wall+=("$(pick median 1 ${times[$tool]})")
        cpu+=("$(pick median 2 ${times[$tool]})")
        best+=("$(pick best 1 ${times[$tool]})")
    done
    echo
    echo "$title: seconds over $rounds rounds, and each over qlmpatch's"
    printf '  %-18s %13s %13s %13s   %s\n' tool "median wall" "best wall" "median cpu" \
        "rounds (wall/cpu)"
    local i
    for i in "${!tools[@]}"; do
        printf '  %-18s %7.3f %5.2f %7.3f %5.2f %7.3f %5.2f   %s\n' "${tools[$i]}" \
            "${wall[$i]}" "$(ratio "${wall[$i]}" "${wall[0]}")" \
            "${best[$i]}" "$(ratio "${best[$i]}" "${best[0]}")" \
            "${cpu[$i]}" "$(ratio "${cpu[$i]}" "${cpu[0]}")" "${times[${tools[$i]}]}"
    done
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# The median (the lower middle one of an even count) or the best of field 1 (wall) or 2 (cpu)
# of "wall/cpu" pairs.
pick() {  # median|best FIELD PAIR...
    local which=$1 field=$2
    shift 2
    printf '%s\n' "$@" | cut -d/ -f"$field" | sort -g |
        awk -v which="$which" '{v[NR] = $1} END { print which == "best" ? v[1] : v[int((NR + 1) / 2)] }'
}

# Builds the package (compressed or stored) and the archives of one source tree.
make_inputs() {  # SOURCE BASE STORED(0/1) ARCHIVES...
    local source=$1 base=$2 stored=$3
    shift 3
    {
        echo "registry-keys SOFTWARE\\\\QlmBench\\\\Game | ProgramPath | ProgramName | PatchLevel | 1"
        ((stored)) && echo "stored"
        echo "payload $(basename "$source")"
    } > "$(dirname "$source")/manifest.txt"
    "$pkgtool" build "$(dirname "$source")/manifest.txt" "$base.pkg"
    local archive
    for archive in "$@"; do
        case "$archive" in
            tar.gz) tar -czf "$base.tar.gz" -C "$source" . ;;
            tar) tar -cf "$base.tar" -C "$source" . ;;
            zip) (cd "$source" && zip -q -r "$base.zip" .) ;;
        esac
    done
}

# The system call counts of one run of a qlmpatch build, and their total per file installed.
strace_counts() {  # SOURCE BASE LABEL PROGRAM
    local target=$out/strace files
    clear_outputs
    prepare_install "$target" "$1"
    files=$(find "$1" -type f | wc -l)
    echo
    echo "System calls of one run of $3 (strace -c -f), $files files:"
    QLM_REGISTRY=$work/registry.reg strace -c -f -o "$work/strace.txt" \
        "$4" "$2.pkg" < /dev/null > /dev/null
    diff -r -q "$1" "$target" > /dev/null || { echo "archivers: strace run differs" >&2; exit 1; }
    clear_outputs
    sed 's/^/  /' "$work/strace.txt"
    awk -v files="$files" '$NF == "total" { printf "  %.1f calls a file\n", $(NF - 2) / files }' \
        "$work/strace.txt"
}

# strace_counts for qlmpatch and each build added with --also.
strace_all() {  # SOURCE BASE
    strace_counts "$1" "$2" qlmpatch "$qlmpatch"
    local tool
    for tool in "${extra_tools[@]}"; do
        strace_counts "$1" "$2" "$tool" "${also_of[$tool]}"
    done
}

if [[ -z "$only" || "$only" == game ]]; then
    game=$work/game-$mib
    if [[ ! -f "$game/done" ]]; then
        echo "archivers: making the game-like tree of $mib MiB and its package and archives"
        rm -rf "$game"
        mkdir -p "$game"
        "$make_tree" game "$game/tree" "$mib"
        make_inputs "$game/tree" "$game/input" 0 tar.gz zip
        touch "$game/done"
    fi
    echo "game-like tree: $(find "$game/tree" -type f | wc -l) files," \
         "$(du -sm --apparent-size "$game/tree" | cut -f1) MiB;" \
         "package $(du -m --apparent-size "$game/input.pkg" | cut -f1) MiB," \
         "tar.gz $(du -m --apparent-size "$game/input.tar.gz" | cut -f1) MiB," \
         "zip $(du -m --apparent-size "$game/input.zip" | cut -f1) MiB"
    compare "Game-like tree, $mib MiB" "$game/tree" "$game/input" \
        qlmpatch "${extra_tools[@]}" tar-xzf unzip 7z-x cp
    ((with_strace)) && strace_all "$game/tree" "$game/input"
fi

if [[ -z "$only" || "$only" == flat ]]; then
    for count in 1000 16000; do
        flat=$work/flat-$count-$flat_kib
        if [[ ! -f "$flat/done" ]]; then
            echo "archivers: making one folder of $count files of $flat_kib KiB"
            rm -rf "$flat"
            mkdir -p "$flat"
            "$make_tree" flat "$flat/tree" "$count" "$flat_kib"
            cp "$flat/tree/File000000.dat" "$flat/tree/game.exe"
            make_inputs "$flat/tree" "$flat/input" 1 tar
            touch "$flat/done"
        fi
        compare "One folder, $count files of $flat_kib KiB, stored" "$flat/tree" "$flat/input" \
            qlmpatch "${extra_tools[@]}" tar-xf views-floor write-floor cp
        ((with_strace && count == 1000)) && strace_all "$flat/tree" "$flat/input"
    done
fi
