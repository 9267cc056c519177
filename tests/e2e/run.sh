#!/usr/bin/env bash
# End-to-end tests of build/win32/PATCH.EXE, the shipped 32-bit program, under 32-bit Wine:
# natively where the kernel runs i386 code, through qemu-user where it does not (set up by
# wine32/setup.sh). One new prefix under build/e2e and one wineserver serve the whole suite, on
# a virtual X display. The cases of build/win64/pkgtool.exe, the publisher's tool, run it under
# 64-bit Wine in a 64-bit prefix of its own, made beside the other when such a case is chosen;
# its drive Q: is the suite prefix's C:, so that both programs work on the same folders. Every
# case has its own folder C:\<case>, game and registry key, so that cases run side by side; a
# case drives the program through its own robot (robot/robot.cpp) and checks files from here
# and the registry with `wine reg`. The cases in `alone` run afterwards, one at a time (they
# take screenshots and change the screen's DPI).
#
# Prints how Wine runs, one line per case, then "N passed, M failed"; exits non-zero when a
# case failed or the suite could not be set up. Logs go to build/e2e/logs.
#
# Usage: tests/e2e/run.sh [CASE...]   the cases' names as printed; all of them by default
#        QLM_E2E_JOBS=N               cases run at once (default: the number of processors)
# shellcheck disable=SC2154 # wine_env and way come from wine32/setup.sh, robot_PID from coproc
set -u -o pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$root/build/e2e
logs=$work/logs
sample=$work/sample
bin=$root/build/win32
pkgtool=$root/build/host/pkgtool
pkgtool_exe=$root/build/win64/pkgtool.exe
prefix64=$work/prefix64
alone='screenshots'

# The program as the robot starts it, and the texts the user reads ("%s": a path).
patch_exe="\"Z:${bin//\//\\}\\PATCH.EXE\""
usage_text='Usage: PATCH.EXE resource_nm [output_nm MAKEEXE]'
done_text=$'Обновление успешно установлено!\r\n'
not_found_text=$'Оригинальная программа не найдена на вашем компьютере!\r\n'
gate_text=$'Обнаружено текущее или более позднее обновление!\r\nПродолжить установку?\r\n'
startup_caption='Обновление игры'
startup_text=$'Будет установлено обновление 2.\r\nПродолжить?'
commands_text=$'Ошибка при исполнении внешних программ!\r\n'
updating_text='Обновляем файл %s....'
updated_text=$'Обновление успешно завершено!\r\n(%s)\r\n'
update_error_text=$'Ошибка в процессе обновления файла!\r\n(%s)\r\n'

die() { echo "e2e: $*" >&2; exit 1; }
W() { timeout 120 env "${wine_env[@]}" wine "$@" </dev/null; }

# --- one case: runs in a subshell; a failed expectation says what went wrong and ends it ------

fail() { echo "    $*"; exit 1; }
expect() { "${@:2}" || fail "$1"; } # WHAT COMMAND...: COMMAND must succeed
expect_eq() { [ "$2" == "$3" ] || fail "$1: expected [$3], got [$2]"; } # WHAT ACTUAL EXPECTED
expect_same_file() { cmp -s "$1" "$2" || fail "$1 differs from $2"; }   # INSTALLED SOURCE

# One step of the case's robot (see robot.cpp); the text of its answer is left in $said.
R() {
    local IFS=$'\t' outcome
    printf '%s\0' "$*" >&"${robot[1]}" || fail "the robot has gone ($1)"
    IFS= read -r -d '' -t 300 -u "${robot[0]}" said || fail "the robot did not answer ($1)"
    outcome=${said%%$'\t'*}
    said=${said#*$'\t'}
    [ "$outcome" == ok ] || fail "$1: ${said@Q}"
}

# Starts COMMAND_LINE in the case's folder; given ID, answers the sample package's opening
# message with that button (1 OK, 2 Cancel). `run` then waits up to MS for the run to wait for
# the user with STATUS on the status line.
start() { # COMMAND_LINE [ID]
    R start "$win" "$1"
    [ $# -eq 1 ] || R box "$startup_caption" "$startup_text" 60000 "$2"
}
run() { # COMMAND_LINE STATUS MS [ID]
    start "$1" ${4:+"$4"}
    R finished "$2" "$3"
}

# The locale that a case's programs run under, when not the suite's ru_RU.UTF-8 (code page 1251).
declare -A case_locale=(
    [russian_patch_under_code_page_1252]=en_US.UTF-8
    [russian_patch_under_code_page_932]=ja_JP.UTF-8
    [russian_patch_under_code_page_65001]=ka_GE.UTF-8
    [names_outside_windows_1251]=en_US.UTF-8
    [pkgtool_exe_makes_the_package_pkgtool_makes]=en_US.UTF-8
    [pkgtool_exe_refuses_a_name_outside_windows_1251]=en_US.UTF-8
    [pkgtool_exe_makes_the_delta_package_pkgtool_makes]=en_US.UTF-8
)

begin_case() { # NAME: the case's folder, game and key, the sample package and the robot
    name=$1
    dir=$WINEPREFIX/drive_c/$name
    win="C:\\$name"
    game_name=game
    game=$dir/$game_name
    key="Software\\Quellmar\\$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    start_robot "${case_locale[$name]:-$LC_ALL}"
    trap end_robot EXIT
    make_package sample
}

# The robot, and the programs it starts, under LOCALE: Wine takes their code page from it.
start_robot() { # LOCALE
    coproc robot { exec timeout 900 env "${wine_env[@]}" LC_ALL="$1" wine "$bin/robot.exe"; }
}

# The robot ends the program if it still runs when its input ends.
end_robot() {
    # shellcheck disable=SC1083
    exec {robot[1]}>&-
    wait "$robot_PID"
}

# $dir/NAME.pkg: a patch to level 2 of the game, made of the manifest lines LINE... (paths in
# them count from $sample).
build_package() { # NAME LINE...
    local manifest=$sample/$name-$1.txt
    printf '%s\n' "registry-keys ${key//\\/\\\\} | InstallDir | ProgramName | PatchLevel | 2" "${@:2}" \
        >"$manifest"
    "$pkgtool" build "$manifest" "$dir/$1.pkg" >/dev/null || fail "pkgtool could not build $1"
}

# $dir/NAME.pkg: the sample patch, its helper called with COMMAND_ARGS.
make_package() { # NAME [COMMAND_ARGS]
    local k=${key//\\/\\\\}
    build_package "$1" "startup-msg $startup_caption | Будет установлено обновление 2.\r\nПродолжить?" \
        'folder Saves' 'folder Saves\\Профили' 'payload payload' 'file helper.exe = helper.exe' \
        'file readme.txt = readme.txt' "command 7 | helper.exe | ${2:-record=helper.log}" \
        'remove old.txt' 'remove obsolete' "registry 1 | HKLM | $k\\\\Settings | 2 | Language | русский" \
        "registry 1 | HKCU | $k | 1 | Volume | 0x50"
}

# Imports the .reg lines on standard input (UTF-8, after the header line "Windows Registry Editor
# Version 5.00") through FILE in C:\, as UTF-16, which holds every name under any code page.
reg_import() { # FILE
    { printf '\xff\xfe'; sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } >"$WINEPREFIX/drive_c/$1"
    W reg import "C:\\$1" >/dev/null 2>&1
}

# The game before the patch, registered at patch level LEVEL ("none": not registered).
install_game() { # LEVEL
    rm -rf "$game"
    mkdir -p "$game/data/maps" "$game/obsolete"
    echo 'game 1' >"$game/game.exe"
    echo 'old readme' >"$game/readme.txt"
    echo 'old map' >"$game/data/maps/карта1.dat"
    echo 'to be removed' >"$game/old.txt"
    local values='[HKEY_LOCAL_MACHINE\\%s]\n"InstallDir"="%s\\\\"\n"ProgramName"="game.exe"\n'
    {
        printf 'Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\%s]\n[-HKEY_CURRENT_USER\\%s]\n' \
            "$key" "$key"
        [ "$1" == none ] ||
            printf "$values"'"PatchLevel"=dword:%08x\n' "$key" "${win//\\/\\\\}\\\\$game_name" "$1"
    } | reg_import "$name.reg" || fail "wine reg import failed"
}

registry() { # ROOT: the values under the case's key and its subkeys, as `wine reg query` prints them
    W reg query "$1\\$key" /s 2>/dev/null | iconv -f CP866 -t UTF-8 | tr -d '\r' | grep '^ '
}

# Under the case's key or its subkeys, ROOT holds a value for each "NAME TYPE DATA".
expect_values() { # ROOT VALUE...
    local values value
    values=$(registry "$1")
    for value in "${@:2}"; do
        grep -qxE " +${value// / +}" <<<"$values" || fail "$1 has not $value: $values"
    done
}

# Every file's content and every name of a tree, the case of the names included.
tree_state() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum; find . | sort); }

# Everything a run may change, to compare before and after.
game_state() { tree_state "$game"; registry HKLM; registry HKCU; }

# The installation after a whole run of the sample package, with patch level LEVEL.
expect_installed() { # LEVEL
    local file record
    for file in game.exe data/maps/карта1.dat data/textures/a_rather_long_texture_name.dat; do
        expect_same_file "$game/$file" "$sample/payload/$file"
    done
    expect_same_file "$game/readme.txt" "$sample/readme.txt"
    expect "folder Saves\\Профили missing" test -d "$game/Saves/Профили"
    expect "old.txt or obsolete was not removed" test ! -e "$game/old.txt" -a ! -e "$game/obsolete"
    expect "a backup, placeholder or error marker was left" test -z \
        "$(find "$game" -iname '*.bak' -o -iname 'TMP0*' -o -iname 'qlm_patch_apply_err.txt')"
    record=$(tr -d '\r' <"$game/helper.log" 2>/dev/null) || fail "the helper did not record its run"
    expect "the helper's command line is wrong: $record" grep -qxF 'argv[1]=DUMMY' <<<"$record"
    expect "the helper's folder is wrong: $record" grep -qixF "cwd=$win\\$game_name" <<<"$record"
    expect_values HKLM 'Language REG_SZ русский' "PatchLevel REG_DWORD $1"
    expect_values HKCU 'Volume REG_DWORD 0x50'
}

# FILE gets COUNT random bytes at each OFFSET, the rest of it as it was.
random_at() { # FILE COUNT OFFSET...
    local offset
    for offset in "${@:3}"; do
        dd if=/dev/urandom of="$1" bs="$2" count=1 seek="$offset" oflag=seek_bytes conv=notrunc \
            status=none || fail "dd failed"
    done
}

# A sparse file of SIZE bytes, holding random data only in the MiB at each OFFSET.
sparse_file() { # FILE SIZE OFFSET...
    truncate -s "$2" "$1"
    random_at "$1" 1M "${@:3}"
}

# PATCH.EXE binds PACKAGE into OUTPUT (both in the case's folder); its window closes by itself.
bind() { # PACKAGE OUTPUT [MS]
    start "$patch_exe $1 $2 MAKEEXE"
    R exit "${3:-60000}"
}

# The self-contained sample patch EXE (in the case's folder) applies itself to the game at level 1.
apply_bound_sample() { # EXE
    install_game 1
    run "$win\\$1" "$done_text" 120000 1
    expect_installed 0x2
    R dismiss
}

# pkgtool.exe under 64-bit Wine in the case's folder (Q:\<case>), under the case's locale.
pkgtool_exe_command() {
    printf '%s\0' env "${wine_env[@]}" WINEPREFIX="$prefix64" WINEARCH=win64 \
        LC_ALL="${case_locale[$name]:-$LC_ALL}" /usr/lib/wine/wine64 "$pkgtool_exe"
}
P() { # ARGUMENT...: its output as it writes it to a file, UTF-8 with CRLF line ends
    local command
    mapfile -d '' command < <(pkgtool_exe_command)
    (cd "$dir" && timeout 120 "${command[@]}" "$@" </dev/null)
}
# The same in a console (Wine's, on a pseudo-terminal wide enough for every line): what the
# console shows, as UTF-8, without the terminal's control sequences, carriage returns and
# blanks (the console moves the cursor over some of them). Wine's console reaches the terminal
# some time after the program has ended, later on a busy machine: the terminal is read until
# nothing more has come for two seconds (the file it is kept in starts and ends with a line of
# script's own).
P_console() { # ARGUMENT...
    local command shown
    shown=$(mktemp)
    mapfile -d '' command < <(pkgtool_exe_command)
    script -qfec "stty cols 500 && cd $(printf '%q' "$dir") &&
        timeout 120 $(printf '%q ' "${command[@]}" "$@");
        last=-1; for _ in \$(seq 60); do
            now=\$(stat -c %s $(printf '%q' "$shown")); [ \"\$now\" = \"\$last\" ] && break
            last=\$now; sleep 2
        done" "$shown" </dev/null >/dev/null
    sed '1d; /^Script done on /d; s/\x1b\[[0-9;?]*[A-Za-z]//g' "$shown" | tr -d '\r '
    rm -f "$shown"
}

# --- cases ----------------------------------------------------------------------------------

# The usage text. The window shows the program's icons (on its X window: Wine hands no icons
# across processes) and, waiting, uses next to no processor time; only a click on button 1 ends
# the wait: not the frame's close box, the cancel command or another notification of button 1.
case_usage_for_a_wrong_keyword() {
    run "$patch_exe a b WRONG" "$usage_text" 60000
    R xwindow
    icons=$(xprop -id "$said" _NET_WM_ICON 2>/dev/null)
    expect "no 32x32 and 16x16 icons on the window" grep -q 'Icon (16 x 16)' <<<"${icons#*Icon (32 x 32)}"
    pid=$(xprop -id "$said" _NET_WM_PID | awk '{ print $3 }')
    before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat") || fail "no process $pid"
    sleep 2
    after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    echo "    processor time while waiting: $((after - before)) ticks in 2 s"
    # 2 s are 200 ticks of one processor; a loop that polls would use a good part of them.
    expect "the waiting program keeps the processor busy" test $((after - before)) -lt 20
    R close
    R command 2
    R command 0x10001
    R dismiss
}

case_usage_for_a_file_that_is_not_a_package() {
    echo 'just some text' >"$dir/notapackage.txt"
    run "$patch_exe $win\\notapackage.txt" "$usage_text" 60000
    R dismiss
}

# Binds the sample package into out.exe (the window closes by itself): the program, the package
# and the trailer (the package's offset, "QLMR"); then out.exe applies it.
case_bind_then_apply_the_self_contained_patch() {
    bind sample.pkg out.exe
    expect "out.exe is not PATCH.EXE, the package and its trailer" cmp "$dir/out.exe" <(
        cat "$bin/PATCH.EXE" "$dir/sample.pkg"
        perl -e 'print pack("V", shift), "QLMR"' "$(stat -c %s "$bin/PATCH.EXE")"
    )
    apply_bound_sample out.exe
}

# A publisher's signature appended to the bound patch: it verifies, and the patch still finds its
# package in front of the certificate table.
case_signed_self_contained_patch() {
    bind sample.pkg out.exe
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quellmar $name" \
        -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null || fail "openssl made no certificate"
    expect "osslsigncode did not sign" osslsigncode sign -certs "$dir/cert.pem" -key "$dir/key.pem" \
        -n "Quellmar patch" -in "$dir/out.exe" -out "$dir/signed.exe"
    expect "the signature does not verify" osslsigncode verify -CAfile "$dir/cert.pem" "$dir/signed.exe"
    apply_bound_sample signed.exe
}

# A package no 32-bit process could map whole: a stored payload file of 2.5 GiB whose data lies
# across 2 GiB of the package, then a compressed one of 100 MiB beyond it. PATCH.EXE applies it,
# then binds it, and the bound patch (2.6 GiB) applies itself. The big file is sparse but for
# random blocks below, across and above 2 GiB and at its end; they are compared after each run.
# Up to 5.4 GB of disk, freed however the case ends.
case_apply_and_bind_beyond_2_gib() {
    local files=$sample/$name size=$((2560 * 2 ** 20)) offset command
    local blocks=($((2 ** 30 + 12345)) $((2 ** 31 - 2 ** 19)) $((2 ** 31 + 300 * 2 ** 20 + 4097))
        $((size - 2 ** 20)))
    trap 'end_robot; rm -rf "$sample/$name" "$game" "$dir"/big.*' EXIT
    mkdir -p "$files"
    sparse_file "$files/big.dat" "$size" "${blocks[@]}"
    head -c 100M /dev/urandom >"$files/medium.dat"
    build_package big "stored-file big.dat = $name/big.dat" "file data\\\\medium.dat = $name/medium.dat"
    # PATCH.EXE applies big.pkg, then binds it into big.exe, which applies itself.
    for command in "$patch_exe big.pkg" "$win\\big.exe"; do
        install_game 1
        run "$command" "$done_text" 280000
        expect_eq "size of big.dat" "$(stat -c %s "$game/big.dat")" "$size"
        for offset in "${blocks[@]}"; do
            expect "big.dat differs in the MiB at $offset" cmp -s -i "$offset" -n 1M "$game/big.dat" \
                "$files/big.dat"
        done
        expect_same_file "$game/data/medium.dat" "$files/medium.dat"
        R dismiss
        [ -e "$dir/big.exe" ] || { bind big.pkg big.exe 280000 && rm "$dir/big.pkg"; }
    done
}

# A delta patch of a file of 2.6 GiB, which no 32-bit process could map whole: the old file is
# sparse but for random MiB blocks below, across and above 2 GiB; the new one changes bytes near
# its start, across the 2 GiB boundary and at its end, and grows. The Linux pkgtool makes and
# checks the delta; PATCH.EXE rebuilds the file from the installed one through small views.
# Up to 5.5 GB of disk, freed however the case ends.
case_delta_beyond_2_5_gib() {
    local files=$sample/$name size=$((2600 * 2 ** 20)) offset
    local blocks=($((2 ** 20)) $((2 ** 31 - 2 ** 19)) $((2 ** 31 + 300 * 2 ** 20 + 4097))
        $((size - 2 ** 20)))
    local changes=(4096 $((2 ** 31 - 3000)) $((size - 10)))
    trap 'end_robot; rm -rf "$sample/$name" "$game" "$dir"/big.*' EXIT
    mkdir -p "$files"
    sparse_file "$files/old.dat" "$size" "${blocks[@]}"
    cp --sparse=always "$files/old.dat" "$files/new.dat"
    random_at "$files/new.dat" 6000 "${changes[@]}"
    install_game 1
    cp --sparse=always "$files/old.dat" "$game/big.dat"
    build_package big "delta big.dat = $name/new.dat | $name/old.dat"
    echo "    delta package: $(stat -c %s "$dir/big.pkg") bytes for a file of $(stat -c %s "$files/new.dat")"
    run "$patch_exe big.pkg" "$done_text" 600000
    expect_eq "size of big.dat" "$(stat -c %s "$game/big.dat")" "$(stat -c %s "$files/new.dat")"
    for offset in "${blocks[@]}" "${changes[@]}"; do
        expect "big.dat differs in the MiB at $offset" cmp -s -i "$offset" -n 1M "$game/big.dat" \
            "$files/new.dat"
    done
    expect "a backup was left" test ! -e "$game/big.dat.bak"
    expect_values HKLM 'PatchLevel REG_DWORD 0x2'
    R dismiss
}

# A delta patch whose old file the user changed: the delta is refused before a byte is written,
# the file keeps the user's bytes, the other file is installed, and the level is not stamped.
case_delta_of_a_modified_file() {
    local files=$sample/$name
    install_game 1
    mkdir -p "$files"
    head -c 3M /dev/urandom >"$files/old.dat"
    { head -c 1M "$files/old.dat"; echo 'changed'; tail -c +1048577 "$files/old.dat"; } >"$files/new.dat"
    build_package delta "file readme.txt = readme.txt" \
        "delta data\\\\maps\\\\карта1.dat = $name/new.dat | $name/old.dat"
    cp "$files/old.dat" "$game/data/maps/карта1.dat"
    printf 'X' | dd of="$game/data/maps/карта1.dat" bs=1 seek=2000000 conv=notrunc status=none
    cp "$game/data/maps/карта1.dat" "$files/modified.dat"
    run "$patch_exe delta.pkg" "${update_error_text/\%s/"$win\\game\\data\\maps\\карта1.dat"}" 120000
    expect_same_file "$game/data/maps/карта1.dat" "$files/modified.dat"
    expect_same_file "$game/readme.txt" "$sample/readme.txt"
    expect "a backup was left" test -z "$(find "$game" -iname '*.bak')"
    expect_values HKLM 'PatchLevel REG_DWORD 0x1'
    R dismiss
}

# The installer as it was before deltas, built once from that commit into build/older: a package
# with a delta entry is no package to it (the usage text), and nothing is touched.
older_commit=d466acb
case_older_installer_refuses_a_delta_package() {
    local older=$root/build/older
    if [ ! -f "$older/build/win32/PATCH.EXE" ]; then
        # A shallow clone lacks the commit: its history is fetched once, where there is a remote.
        git -C "$root" cat-file -e "$older_commit^{commit}" 2>/dev/null ||
            { [ "$(git -C "$root" rev-parse --is-shallow-repository)" = true ] &&
                  git -C "$root" fetch --quiet --unshallow >/dev/null 2>&1 &&
                  git -C "$root" cat-file -e "$older_commit^{commit}" 2>/dev/null; } ||
            fail "commit $older_commit (the installer before deltas) is not in this repository's history"
        rm -rf "$older"
        mkdir -p "$older"
        git -C "$root" archive "$older_commit" | tar -x -C "$older" || fail "git archive failed"
        (cd "$older" && cmake --preset win32 >/dev/null && cmake --build --preset win32 --target patch_exe) \
            >"$logs/$name.build.log" 2>&1 || fail "the older installer did not build; see $logs/$name.build.log"
    fi
    install_game 1
    mkdir -p "$sample/$name"
    echo 'game 2' >"$sample/$name/new.exe"
    cp "$game/game.exe" "$sample/$name/old.exe"
    build_package delta "file readme.txt = readme.txt" "delta game.exe = $name/new.exe | $name/old.exe"
    before=$(game_state)
    run "\"Z:${older//\//\\}\\build\\win32\\PATCH.EXE\" delta.pkg" "$usage_text" 60000
    R dismiss
    expect_eq "installation" "$(game_state)" "$before"
}

case_failed_bind_leaves_no_output() {
    : >"$dir/empty.pkg"
    bind empty.pkg bad.exe
    expect "bad.exe was left behind" test ! -e "$dir/bad.exe"
}

# One payload file, large enough to be seen while it is written: the status line shows the
# updating text, the file's success text and the completion text, and nothing else. The
# helper, waited for, keeps the success text up for a second at least.
case_status_texts_for_one_file() {
    install_game 1
    mkdir -p "$sample/$name"
    head -c 64M /dev/zero >"$sample/$name/big.dat"
    cp "$bin/helper.exe" "$dir/helper.exe"
    build_package one "file big.dat = $name/big.dat" "command 1 | ${win//\\/\\\\}\\\\helper.exe"
    start "$patch_exe one.pkg"
    R statuses 180000 "${updating_text/\%s/big.dat}" "${updated_text/\%s/"$win\\game\\big.dat"}" \
        "$done_text"
    expect_same_file "$game/big.dat" "$sample/$name/big.dat"
    R dismiss
}

# The same patch over an installation already at its level. While the question is open the
# worker works: a click on the hidden button and a close request change nothing. Cancel: the
# window closes by itself and nothing has changed.
case_version_gate_declined() {
    install_game 2
    before=$(game_state)
    start "$patch_exe sample.pkg" 1
    R box '!' "$gate_text" 60000
    R hidden 1
    R click 1
    R close
    R stays 1000
    R box '!' "$gate_text" 1000 2
    R exit 30000
    expect_eq "installation after Cancel" "$(game_state)" "$before"
}

case_opening_message_declined() {
    install_game 1
    before=$(game_state)
    start "$patch_exe sample.pkg" 2
    R exit 30000
    expect_eq "installation after Cancel" "$(game_state)" "$before"
}

case_installation_not_found() {
    install_game none
    before=$(game_state)
    run "$patch_exe sample.pkg" "$not_found_text" 60000
    R dismiss
    expect_eq "installation" "$(game_state)" "$before"
}

# A payload file held open without sharing keeps its old content and shows the error; the
# other files are installed and the patch level is not stamped.
case_file_in_use() {
    install_game 1
    R hold "$win\\game\\readme.txt"
    run "$patch_exe sample.pkg" "${update_error_text/\%s/"$win\\game\\readme.txt"}" 120000 1
    expect_eq "the held file" "$(cat "$game/readme.txt")" 'old readme'
    expect_same_file "$game/game.exe" "$sample/payload/game.exe"
    expect "a backup was left" test -z "$(find "$game" -iname '*.bak')"
    expect_values HKLM 'PatchLevel REG_DWORD 0x1'
    R dismiss
}

# The helper leaves the error marker: the box, then no completion text and no stamp; the rest
# of the run (removals, registry values) still happens.
case_external_program_fails() {
    install_game 1
    make_package failing 'record=helper.log fail'
    start "$patch_exe failing.pkg" 1
    R box '!' "$commands_text" 120000 1
    R finished "${updated_text/\%s/"$win\\game\\readme.txt"}" 30000
    expect_installed 0x1
    R dismiss
}

# A patch made by pkgtool diff from two builds of the game turns the installed old build into
# exactly the new one: a file renamed only in case takes its new name, a file named like the
# backup of a replaced file stays, new (and empty) folders appear, deleted ones go.
case_diff_patch_turns_old_into_new() {
    install_game 1
    echo "not the installer's backup" >"$game/game.exe.bak"
    trees=$sample/$name
    mkdir -p "$trees"
    cp -r "$game" "$trees/old"
    cp -r "$game" "$trees/new"
    mv "$trees/new/readme.txt" "$trees/new/README.TXT"
    echo 'game 3' >"$trees/new/game.exe"
    echo 'map 2' >"$trees/new/data/maps/Карта2.dat"
    echo 'long' >"$trees/new/data/a_rather_long_name_for_a_placeholder.dat"
    mkdir -p "$trees/new/Сохранения/Профили"
    rm -r "$trees/new/old.txt" "$trees/new/obsolete"
    echo "registry-keys ${key//\\/\\\\} | InstallDir | ProgramName | PatchLevel | 3" >"$trees/base.txt"
    expect "pkgtool diff failed" "$pkgtool" diff "$trees/old" "$trees/new" "$trees/base.txt" \
        "$trees/patch.txt"
    expect "pkgtool build failed" "$pkgtool" build "$trees/patch.txt" "$dir/diff.pkg"
    run "$patch_exe diff.pkg" "$done_text" 120000
    expect_eq "installation" "$(tree_state "$game")" "$(tree_state "$trees/new")"
    expect_values HKLM 'PatchLevel REG_DWORD 0x3'
    R dismiss
}

# What a user sees of a Russian patch, and the names it leaves on disk, under the code page
# that the case's locale gives Wine's programs: every text read as Unicode equals the Russian
# one and every name is the package's name decoded from Windows-1251, as on a Russian Windows.
# The payload file is large enough for its updating text to be seen; the helper, waited for,
# keeps the success text up for a second.
russian_patch_under_code_page() { # CODE_PAGE
    local k=${key//\\/\\\\} names record list='docs/Список изменений.txt'
    R codepage
    expect_eq "the programs' code page" "$said" "$1"
    install_game 1
    mkdir -p "$game/docs" "$game/Утилиты" "$sample/$name"
    echo 'old list' >"$game/$list"
    echo 'to be removed' >"$game/Старая карта.dat"
    cp "$bin/helper.exe" "$game/Утилиты/помощник.exe"
    head -c 48M /dev/zero >"$sample/$name/list.txt"
    build_package russian 'startup-msg Обновление игры | Установить обновление 2?' \
        'folder Сохранения' 'folder Сохранения\\Профили' \
        "file docs\\\\Список изменений.txt = $name/list.txt" 'command 7 | Утилиты\\помощник.exe | record=журнал.txt аргумент' \
        'remove Старая карта.dat' "registry 1 | HKLM | $k\\\\Настройки | 2 | Язык | русский"
    start "$patch_exe russian.pkg"
    R box 'Обновление игры' 'Установить обновление 2?' 60000 1
    R statuses 180000 "${updating_text/\%s/"docs\\Список изменений.txt"}" \
        "${updated_text/\%s/"$win\\game\\docs\\Список изменений.txt"}" "$done_text"
    R dismiss
    expect_same_file "$game/$list" "$sample/$name/list.txt"
    names=$(cd "$game" && find . | LC_ALL=C sort)
    expect_eq "names in the installation" "$names" "$(printf '%s\n' . ./data ./data/maps \
        ./data/maps/карта1.dat ./docs "./$list" ./game.exe ./obsolete ./old.txt ./readme.txt \
        ./Сохранения ./Сохранения/Профили ./Утилиты ./Утилиты/помощник.exe ./журнал.txt |
        LC_ALL=C sort)"
    record=$(tr -d '\r' <"$game/журнал.txt")
    expect_eq "the helper's record" "$record" "cwd=$win\\game
argc=4
argv[0]=$win\\game\\Утилиты\\помощник.exe
argv[1]=DUMMY
argv[2]=record=журнал.txt
argv[3]=аргумент"
    expect_values HKLM 'Язык REG_SZ русский' 'PatchLevel REG_DWORD 0x2'
}

case_russian_patch_under_code_page_1251() { russian_patch_under_code_page 1251; }
case_russian_patch_under_code_page_1252() { russian_patch_under_code_page 1252; }
case_russian_patch_under_code_page_932() { russian_patch_under_code_page 932; }
case_russian_patch_under_code_page_65001() { russian_patch_under_code_page 65001; }

# Under code page 1252, names that no Windows-1251 text can hold: an installation folder that
# the sample patch installs into, with its Cyrillic names below it, and a self-contained patch
# bound to such a name, which applies itself from there.
case_names_outside_windows_1251() {
    local bound='Łódź ゲーム.exe'
    game_name='Łódź ゲーム'
    game=$dir/$game_name
    install_game 1
    run "$patch_exe sample.pkg" "$done_text" 120000 1
    expect_installed 0x2
    R dismiss
    bind sample.pkg "\"$bound\""
    expect_same_file "$dir/$bound" <(cat "$bin/PATCH.EXE" "$dir/sample.pkg"
        perl -e 'print pack("V", shift), "QLMR"' "$(stat -c %s "$bin/PATCH.EXE")")
    install_game 1
    run "\"$win\\$bound\"" "$done_text" 120000 1
    expect_installed 0x2
    R dismiss
}

# pkgtool.exe, given Windows paths, makes from two builds with Cyrillic names the manifest and,
# byte for byte, the package that the Linux pkgtool makes; shows it on a file as the Linux one
# does, and the same in the console (Cyrillic text of several pieces of 4 KiB); takes it apart
# into what the Linux pkgtool extracts, which builds the same package again; and PATCH.EXE turns
# the old build into the new one with it. BASE is UTF-8 as Notepad saves it: a byte-order mark
# and CRLF line ends. Under code page 1252, where a program that handed these names to the
# system's ANSI calls would fail.
case_pkgtool_exe_makes_the_package_pkgtool_makes() {
    local k=${key//\\/\\\\} q="Q:\\$name" shown
    install_game 1
    cp -r "$game" "$dir/old"
    cp -r "$game" "$dir/new"
    echo 'game 3' >"$dir/new/game.exe"
    echo 'map 2' >"$dir/new/data/maps/Карта2.dat"
    head -c 3M /dev/urandom >"$dir/new/data/Текстуры.dat"  # compressed in several pieces
    echo 'long' >"$dir/new/data/a_rather_long_name_for_a_placeholder.dat"
    mv "$dir/new/readme.txt" "$dir/new/Прочти меня.txt"
    mkdir -p "$dir/new/Сохранения/Профили"
    for i in {10..70}; do
        echo "$i" >"$dir/new/data/maps/Карта номер $i с длинным русским именем.dat"
    done
    rm -r "$dir/new/old.txt" "$dir/new/obsolete"
    printf '\xef\xbb\xbfregistry-keys %s | InstallDir | ProgramName | PatchLevel | 3\r\nregistry 1 | HKLM | %s | 2 | Язык | русский\r\n' \
        "$k" "$k" >"$dir/base.txt"

    expect_eq "pkgtool.exe --version" "$(P --version | tr -d '\r')" "$("$pkgtool" --version)"
    expect "pkgtool.exe diff failed" P diff "$q\\old" "$q\\new" "$q\\base.txt" "$q\\patch.txt"
    expect "pkgtool diff failed" "$pkgtool" diff "$dir/old" "$dir/new" "$dir/base.txt" "$dir/linux.txt"
    expect_same_file "$dir/patch.txt" "$dir/linux.txt"
    expect "pkgtool.exe build failed" P build "$q\\patch.txt" "$q\\windows.pkg"
    expect "pkgtool build failed" "$pkgtool" build "$dir/linux.txt" "$dir/linux.pkg"
    expect_same_file "$dir/windows.pkg" "$dir/linux.pkg"

    shown=$(P show windows.pkg) || fail "pkgtool.exe show failed: $shown"
    expect_eq "pkgtool.exe show" "$(tr -d '\r' <<<"$shown")" "$(cd "$dir" && "$pkgtool" show windows.pkg)"
    expect_eq "what the console shows" "$(P_console show windows.pkg)" "$(tr -d '\r ' <<<"$shown")"
    expect "pkgtool.exe extract failed" P extract windows.pkg unpacked
    expect "pkgtool extract failed" env -C "$dir" "$pkgtool" extract windows.pkg unpacked-linux
    expect_eq "the extracted files" "$(tree_state "$dir/unpacked")" "$(tree_state "$dir/unpacked-linux")"
    expect "pkgtool.exe build of the extracted manifest failed" P build unpacked\\manifest.txt again.pkg
    expect_same_file "$dir/again.pkg" "$dir/windows.pkg"

    run "$patch_exe windows.pkg" "$done_text" 120000
    expect_eq "installation" "$(tree_state "$game")" "$(tree_state "$dir/new")"
    expect_values HKLM 'Язык REG_SZ русский' 'PatchLevel REG_DWORD 0x3'
    R dismiss
}

# pkgtool.exe diff --delta makes of a changed file of 2 MiB a delta, says so, and writes the
# manifest the Linux pkgtool writes; the package it builds (making the delta again and checking
# it) is byte for byte the Linux one, and PATCH.EXE rebuilds the file from the installed one with
# it. Under code page 1252, with a Cyrillic name.
case_pkgtool_exe_makes_the_delta_package_pkgtool_makes() {
    local k=${key//\\/\\\\} q="Q:\\$name" said
    install_game 1
    head -c 2M /dev/urandom >"$game/data/Мир.dat"
    cp -r "$game" "$dir/old"
    cp -r "$game" "$dir/new"
    random_at "$dir/new/data/Мир.dat" 100 4096 1000000
    echo 'appended' >>"$dir/new/data/Мир.dat"
    echo 'game 3' >"$dir/new/game.exe"
    printf 'registry-keys %s | InstallDir | ProgramName | PatchLevel | 3\n' "$k" >"$dir/base.txt"

    said=$(P diff --delta "$q\\old" "$q\\new" "$q\\base.txt" "$q\\patch.txt") ||
        fail "pkgtool.exe diff --delta failed: $said"
    expect "pkgtool.exe did not say it chose a delta: $said" grep -q 'Мир.dat: delta: delta by suffix array' <<<"$said"
    expect "pkgtool diff --delta failed" "$pkgtool" diff --delta "$dir/old" "$dir/new" "$dir/base.txt" \
        "$dir/linux.txt"
    expect_same_file "$dir/patch.txt" "$dir/linux.txt"
    expect "no delta line in the manifest" grep -q '^delta .*Мир.dat = ' "$dir/patch.txt"
    expect "pkgtool.exe build failed" P build "$q\\patch.txt" "$q\\windows.pkg"
    expect "pkgtool build failed" "$pkgtool" build "$dir/linux.txt" "$dir/linux.pkg"
    expect_same_file "$dir/windows.pkg" "$dir/linux.pkg"
    echo "    delta package: $(stat -c %s "$dir/windows.pkg") bytes for a file of 2 MiB"

    run "$patch_exe windows.pkg" "$done_text" 120000
    expect_eq "installation" "$(tree_state "$game")" "$(tree_state "$dir/new")"
    expect_values HKLM 'PatchLevel REG_DWORD 0x3'
    R dismiss
}

# pkgtool.exe diff refuses a name that a package cannot hold, says why, on a file and in the
# console, and writes nothing.
case_pkgtool_exe_refuses_a_name_outside_windows_1251() {
    local reason="NEW: 'Карты/Łódź.dat' cannot be written in Windows-1251: character U+0141 has no Windows-1251 form"
    mkdir -p "$dir/old" "$dir/new/Карты"
    echo 'map' >"$dir/new/Карты/Łódź.dat"
    echo 'registry-keys Software\\Quellmar | InstallDir | ProgramName | PatchLevel | 2' >"$dir/base.txt"
    said=$(P diff old new base.txt patch.txt 2>&1) && fail "pkgtool.exe diff did not refuse the name"
    expect_eq "pkgtool.exe diff's reason" "$(tr -d '\r' <<<"$said")" "pkgtool: $reason"
    expect_eq "the reason in the console" "$(P_console diff old new base.txt patch.txt)" \
        "$(tr -d ' ' <<<"pkgtool: $reason")"
    expect "pkgtool.exe diff wrote its output" test ! -e "$dir/patch.txt"
}

# Run alone: the README's pictures of a finished run: on a Russian Windows (code page 1251), on
# an English one (1252), where the texts read the same, and on a screen of 192 DPI, where the
# DPI-aware dialog is drawn twice as large, with sharp text. Wine 8 reads the screen's DPI
# (LogPixels) when its desktop starts, so the server starts again for it.
case_screenshots() {
    local shot locale dpi file awareness at left top right bottom normal=
    for shot in "$LC_ALL 96 patch-dialog" "en_US.UTF-8 96 patch-dialog-cp1252" \
        "$LC_ALL 192 patch-dialog-192dpi"; do
        read -r locale dpi file <<<"$shot"
        if [ "$dpi" != 96 ]; then
            W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null ||
                fail "cannot set the DPI"
            end_robot
            timeout 60 wineserver -k
            timeout 30 env "${wine_env[@]}" wineserver -p || fail "wineserver did not start again"
            start_robot "$locale"
        elif [ "$locale" != "$LC_ALL" ]; then
            end_robot
            start_robot "$locale"
        fi
        install_game 1
        run "$patch_exe sample.pkg" "$done_text" 120000 1
        R dialog
        read -r awareness at left top right bottom <<<"$said"
        [ "$awareness $at" == "2 $dpi" ] || fail "dialog at $dpi DPI, not aware per monitor: $said"
        import -window root png:- | convert png:- -crop "$((right - left))x$((bottom - top))+$left+$top" \
            +repage -strip -define png:exclude-chunks=date,time "$root/docs/$file.png" ||
            fail "no screenshot"
        echo "    $file: $((right - left)) x $((bottom - top)) px"
        [ -z "$normal" ] || [ "$dpi" == 96 ] ||
            expect "not twice as wide at $dpi DPI" test $((right - left)) -ge $((normal * 19 / 10)) -a \
                $((right - left)) -le $((normal * 21 / 10))
        normal=${normal:-$((right - left))}
        R dismiss
    done
}

# --- the suite ----------------------------------------------------------------------------------

check_tools() {
    local tool locale
    for tool in wine /usr/lib/wine/wine64 wineserver Xvfb xprop import convert iconv cmp timeout \
        openssl osslsigncode perl script; do
        command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
    done
    for locale in ru_RU en_US ja_JP ka_GE; do
        locale -a | grep -qix "$locale\\.utf-\\?8" || die "no $locale.UTF-8 locale (scripts/setup.sh makes it)"
    done
    for tool in "$pkgtool" "$pkgtool_exe" "$bin/PATCH.EXE" "$bin/helper.exe" "$bin/robot.exe"; do
        [ -f "$tool" ] || die "$tool is missing: run scripts/build.sh"
    done
}

# Xvfb picks a free display and says which. It is no job of this shell, so that waiting for the
# cases does not wait for it.
start_display() {
    rm -f "$work/display"
    xvfb_pid=$(Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
        >"$logs/xvfb.log" 2>&1 & echo $!)
    for _ in {1..100}; do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    [ -s "$work/display" ] || die "no X display could be started; see $logs/xvfb.log"
    DISPLAY=:$(cat "$work/display")
    export DISPLAY
}

# A new prefix with its server kept up. Without a window manager Wine draws the frames itself.
make_prefix() {
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    timeout 30 env "${wine_env[@]}" wineserver -p || die "wineserver did not start"
    W wineboot -i >"$logs/wineboot.log" 2>&1 || die "wineboot failed; see $logs/wineboot.log"
    printf '%s\n' 'Windows Registry Editor Version 5.00' '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' \
        '"Decorated"="N"' | reg_import display.reg || die "the prefix's display settings failed"
}

# The 64-bit prefix for pkgtool.exe, with its own server; its drive Q: is the suite prefix's C:.
make_prefix64() {
    local env64=(env "${wine_env[@]}" WINEPREFIX="$prefix64" WINEARCH=win64)
    rm -rf "$prefix64"
    mkdir -p "$prefix64"
    timeout 30 "${env64[@]}" wineserver -p || die "the 64-bit wineserver did not start"
    timeout 120 "${env64[@]}" /usr/lib/wine/wine64 wineboot -i >"$logs/wineboot64.log" 2>&1 </dev/null ||
        die "wineboot of the 64-bit prefix failed; see $logs/wineboot64.log"
    ln -s "$WINEPREFIX/drive_c" "$prefix64/dosdevices/q:"
}

make_sample() {
    rm -rf "$sample"
    mkdir -p "$sample/payload/data/maps" "$sample/payload/data/textures"
    echo 'game 2' >"$sample/payload/game.exe"
    echo 'new map' >"$sample/payload/data/maps/карта1.dat"
    head -c 200000 /dev/urandom >"$sample/payload/data/textures/a_rather_long_texture_name.dat"
    echo 'new readme' >"$sample/readme.txt"
    cp "$bin/helper.exe" "$sample/helper.exe"
}

run_case() { # NAME
    local start=$SECONDS
    if (begin_case "$1" && "case_$1") >"$logs/$1.log" 2>&1; then
        echo "PASS $1 ($((SECONDS - start)) s)"
    else
        echo "FAIL $1 ($((SECONDS - start)) s)"
        grep '^    ' "$logs/$1.log" | tail -n 20
        : >"$logs/$1.failed"
    fi
}

main() {
    local wanted=" $* " name setup failed jobs=${QLM_E2E_JOBS:-$(nproc)} started=$SECONDS cases=()
    for name in $(declare -F | awk '$3 ~ /^case_/ { print substr($3, 6) }'); do
        [ $# -eq 0 ] || [[ "$wanted" == *" $name "* ]] && cases+=("$name")
    done
    [ ${#cases[@]} -gt 0 ] || die "no such case: $*"
    mkdir -p "$logs"
    rm -f "$logs"/*
    check_tools
    setup=$("$root/tests/e2e/wine32/setup.sh" "$root/build/wine32") || die "32-bit Wine cannot run here"
    eval "$setup"
    export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all LC_ALL=ru_RU.UTF-8
    export WINEDLLOVERRIDES='mscoree,mshtml='
    echo "Wine end-to-end tests of build/win32/PATCH.EXE: $way"
    trap 'timeout 30 wineserver -k 2>/dev/null; WINEPREFIX=$prefix64 timeout 30 wineserver -k 2>/dev/null
        kill "${xvfb_pid:-}" 2>/dev/null' EXIT
    start_display
    # Made while the other is: each takes one processor most of the time.
    [[ " ${cases[*]} " != *" pkgtool_exe_"* ]] || { make_prefix64 & prefix64_pid=$!; }
    make_prefix
    [ -z "${prefix64_pid:-}" ] || wait "$prefix64_pid" || exit 1
    make_sample
    echo "prefix ready after $((SECONDS - started)) s; display $DISPLAY; $jobs cases at once"
    for name in "${cases[@]}"; do
        [[ " $alone " == *" $name "* ]] && continue
        while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
            wait -n
        done
        run_case "$name" &
    done
    wait
    for name in "${cases[@]}"; do
        [[ " $alone " != *" $name "* ]] || run_case "$name"
    done
    failed=$(find "$logs" -name '*.failed' | wc -l)
    echo "the Wine suite took $((SECONDS - started)) s"
    echo "$((${#cases[@]} - failed)) passed, $failed failed"
    [ "$failed" -eq 0 ]
}

main "$@"
