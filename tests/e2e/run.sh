#!/usr/bin/env bash
# End-to-end tests of PATCH.EXE under Wine: a throw-away prefix under build/e2e, a virtual X
# display, the installation registered with `wine reg add`, packages made by pkgtool, and the
# robot that reads and clicks the program's windows. Prints one line per case, then
# "N passed, M failed"; exits non-zero when a case failed or the set-up could not be made.
#
# Needs both presets built (build/host for pkgtool, build/win32 for the programs), Wine, Xvfb,
# imagemagick and the ru_RU.UTF-8 locale, under which Wine's 8-bit code page is 1251.
# A machine that cannot run 32-bit code at all runs the same sources built for 64-bit Windows
# under wine64 (preset win64, built here into build/win64); the suite says which one it runs.
#
# Every wait is bounded: Wine commands run under `timeout`, the robot's waits take a limit,
# and a program under test that outlives its case is ended.
#
# Usage: tests/e2e/run.sh [CASE...]   (the cases' names as printed; all of them by default)
set -u -o pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$root/build/e2e
logs=$work/logs
pkgtool=$root/build/host/pkgtool
screenshot=$root/docs/patch-dialog.png

game_key='HKLM\Software\Quellmar\Game'
settings_key='HKLM\Software\Quellmar\Game\Settings'
user_key='HKCU\Software\Quellmar\Game'

# Texts of the program, as the user reads them (the robot's bytes converted, "\r\n" as "\n").
usage_text='Usage: PATCH.EXE resource_nm [output_nm MAKEEXE]'
done_text='Обновление успешно установлено!'
not_found_text='Оригинальная программа не найдена на вашем компьютере!'
gate_text=$'Обнаружено текущее или более позднее обновление!\nПродолжить установку?'
startup_caption='Обновление игры'
startup_text=$'Будет установлено обновление 2.\nПродолжить?'
locked_text=$'Ошибка в процессе обновления файла!\n(C:\\Game\\readme.txt)'

xvfb_pid=
patch_pid=
hold_pid=
patch_status=
server_pid=

die() {
    echo "e2e: $*" >&2
    exit 1
}

# --- environment --------------------------------------------------------------------------

choose_wine() {
    if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
        arch=win32
        wine_loader=/usr/lib/wine/wine
        bin=$root/build/win32
    elif [ -x /usr/lib/wine/wine64 ]; then
        arch=win64
        wine_loader=/usr/lib/wine/wine64
        bin=$root/build/win64
    else
        die "no Wine that runs here (install wine, and wine32:i386 or wine64)"
    fi
}

# The same sources for 64-bit Windows, for a machine without 32-bit code.
build_win64() {
    command -v x86_64-w64-mingw32-g++ >/dev/null || die "x86_64-w64-mingw32-g++ is missing"
    { cmake --preset win64 && cmake --build --preset win64; } >"$logs/win64-build.log" 2>&1 ||
        die "the 64-bit build failed; see $logs/win64-build.log"
}

check_tools() {
    local tool
    for tool in Xvfb import convert iconv cmp timeout; do
        command -v "$tool" >/dev/null || die "$tool is missing"
    done
    locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8' ||
        die "the ru_RU.UTF-8 locale is missing (generate it with locale-gen)"
    [ -x "$pkgtool" ] || die "$pkgtool is missing: build the host preset first"
    local program
    for program in PATCH.EXE helper.exe robot.exe; do
        [ -f "$bin/$program" ] || die "$bin/$program is missing: build the win32 preset first"
    done
}

start_display() {
    local n i
    for n in $(seq 90 140); do
        if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then
            continue
        fi
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
        xvfb_pid=$!
        for i in $(seq 100); do
            if [ -e "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=
    done
    die "no X display could be started"
}

# Without a window manager Wine draws the window frames itself and does not wait for one.
make_prefix() {
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX" "$c"
    timeout 30 wineserver -p || die "wineserver did not start"
    timeout 300 "$wine_loader" wineboot -i >"$logs/wineboot.log" 2>&1 ||
        die "wineboot failed; see $logs/wineboot.log"
    W reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null &&
        W reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null ||
        die "the prefix's display settings could not be written"
}

cleanup() {
    stop_patch
    [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k 2>/dev/null
    fi
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}

# --- Wine, the robot and the program under test ------------------------------------------------

W() { timeout 60 "$wine_loader" "$@" </dev/null; }

robot() { W "$bin/robot.exe" "$@"; }

# The robot's bytes as the user reads them.
shown() { iconv -f CP1251 -t UTF-8 | tr -d '\r'; }

robot_text() { robot text "$1" | shown; }

# Starts a Windows program in C:\e2e, in the background, bounded to two minutes.
start_patch() {
    (cd "$c" && exec timeout 120 "$wine_loader" "$@" </dev/null >>"$case_log" 2>&1) &
    patch_pid=$!
}

# Waits up to 30 s for the program started last to end by itself; its status in patch_status.
wait_patch() {
    local i
    for ((i = 0; i < 300; i++)); do
        kill -0 "$patch_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$patch_pid" 2>/dev/null; then
        stop_patch
        patch_status=still-running
        return 1
    fi
    wait "$patch_pid"
    patch_status=$?
    patch_pid=
}

stop_patch() {
    if [ -n "$patch_pid" ]; then
        kill "$patch_pid" 2>/dev/null
        wait "$patch_pid" 2>/dev/null
        patch_pid=
    fi
}

# Processor time (clock ticks) used so far by the program started last, its children and the
# prefix's wineserver: under Wine a program that polls for messages spends much of its time
# in the server.
cpu_ticks() {
    local total=0 pid ticks
    for pid in $(descendants "$patch_pid") $server_pid; do
        ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null) || continue
        total=$((total + ticks))
    done
    echo "$total"
}

descendants() {
    local child
    echo "$1"
    for child in $(pgrep -P "$1"); do
        descendants "$child"
    done
}

# The wineserver of this suite's prefix (it keeps the prefix in its environment).
find_server() {
    local pid
    for pid in $(pgrep wineserver); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
        fi
    done
}

# --- expectations: each prints what went wrong and fails -------------------------------------

expect_eq() { # WHAT ACTUAL EXPECTED
    [ "$2" == "$3" ] && return 0
    printf '    %s: expected [%s], got [%s]\n' "$1" "$3" "$2"
    return 1
}

expect() { # WHAT COMMAND...
    local what=$1
    shift
    "$@" && return 0
    echo "    $what"
    return 1
}

expect_exit_by_itself() {
    wait_patch || {
        echo "    the program did not end by itself"
        return 1
    }
    expect_eq "exit status" "$patch_status" 0
}

# The end of a run that waits for the user: the button reads "OK", a click ends the process.
expect_ok_then_click() {
    expect "the OK button never appeared" robot wait-visible 1 30000 || return 1
    expect_eq "button caption" "$(robot_text 1)" OK || return 1
    expect "the button could not be clicked" robot click 1 || return 1
    expect_exit_by_itself
}

expect_msgbox() { # CAPTION TEXT
    local text
    text=$(robot msgbox "$1" 30000 | shown) || {
        echo "    no message box captioned [$1]"
        return 1
    }
    expect_eq "text of the box [$1]" "$text" "$2"
}

expect_same_file() { # INSTALLED SOURCE
    cmp -s "$1" "$2" && return 0
    echo "    $1 differs from $2"
    return 1
}

reg_value() { # KEY NAME: the data as `reg query` prints it (OEM code page 866)
    W reg query "$1" /v "$2" 2>/dev/null | iconv -f CP866 -t UTF-8 | tr -d '\r' |
        awk -v name="$2" '$1 == name { sub(/^ *[^ ]+ +REG_[A-Z_]+ */, ""); print; exit }'
}

# --- fixtures -----------------------------------------------------------------------------------

# The game before the patch, registered at patch level LEVEL.
install_game() { # LEVEL
    rm -rf "$game"
    mkdir -p "$game/data/maps" "$game/obsolete"
    echo 'game 1' >"$game/game.exe"
    echo 'old readme' >"$game/readme.txt"
    echo 'old map' >"$game/data/maps/карта1.dat"
    echo 'to be removed' >"$game/old.txt"
    W reg delete 'HKLM\Software\Quellmar' /f >/dev/null 2>&1
    W reg delete 'HKCU\Software\Quellmar' /f >/dev/null 2>&1
    W reg add "$game_key" /v InstallDir /t REG_SZ /d 'C:\Game\' /f >/dev/null &&
        W reg add "$game_key" /v ProgramName /t REG_SZ /d game.exe /f >/dev/null &&
        W reg add "$game_key" /v PatchLevel /t REG_DWORD /d "$1" /f >/dev/null
}

# Every file's content and every name of a tree, the case of the names included.
tree_state() { # FOLDER
    (cd "$1" && find . -print0 | sort -z | xargs -0 md5sum 2>/dev/null; find . | sort)
}

# Everything a run may change, to compare before and after.
game_state() {
    tree_state "$game"
    W reg query 'HKLM\Software\Quellmar' /s 2>/dev/null | tr -d '\r'
    W reg query 'HKCU\Software\Quellmar' /s 2>/dev/null | tr -d '\r'
}

make_packages() {
    local source=$work/packages/main
    rm -rf "$work/packages"
    mkdir -p "$source/payload/data/maps" "$source/payload/data/textures"
    echo 'game 2' >"$source/payload/game.exe"
    echo 'new map' >"$source/payload/data/maps/карта1.dat"
    head -c 200000 /dev/urandom >"$source/payload/data/textures/a_rather_long_texture_name.dat"
    echo 'new readme' >"$source/readme.txt"
    cp "$bin/helper.exe" "$source/helper.exe"
    # The readme comes last, so that its outcome is the run's last status text.
    cat >"$source/manifest.txt" <<'EOF'
# The sample patch of the end-to-end tests: patch level 2 of the game. A backslash in a
# field is written \\, a line break \r\n.
registry-keys Software\\Quellmar\\Game | InstallDir | ProgramName | PatchLevel | 2
startup-msg Обновление игры | Будет установлено обновление 2.\r\nПродолжить?
folder Saves
folder Saves\\Профили
payload payload
file helper.exe = helper.exe
file readme.txt = readme.txt
command 7 | helper.exe | record=helper.log
remove old.txt
remove obsolete
registry 1 | HKLM | Software\\Quellmar\\Game\\Settings | 2 | Language | русский
registry 1 | HKCU | Software\\Quellmar\\Game | 1 | Volume | 0x50
EOF
    "$pkgtool" build "$source/manifest.txt" "$c/main.pkg" >"$logs/pkgtool.log" 2>&1 ||
        die "pkgtool could not build the sample package; see $logs/pkgtool.log"
    echo 'just some text' >"$c/notapackage.txt"
    : >"$c/empty.pkg"
}

# The installation after a complete run of the sample package.
expect_installed() {
    local source=$work/packages/main/payload ok=0
    expect_same_file "$game/game.exe" "$source/game.exe" || ok=1
    expect_same_file "$game/data/maps/карта1.dat" "$source/data/maps/карта1.dat" || ok=1
    expect_same_file "$game/data/textures/a_rather_long_texture_name.dat" \
        "$source/data/textures/a_rather_long_texture_name.dat" || ok=1
    expect_same_file "$game/readme.txt" "$work/packages/main/readme.txt" || ok=1
    expect "folder Saves\\Профили missing" test -d "$game/Saves/Профили" || ok=1
    expect "old.txt was not removed" test ! -e "$game/old.txt" || ok=1
    expect "the folder obsolete was not removed" test ! -e "$game/obsolete" || ok=1
    expect "a backup or placeholder file was left" \
        test -z "$(find "$game" -iname '*.bak' -o -iname 'TMP0*')" || ok=1
    expect "the helper did not record its run" test -f "$game/helper.log" || return 1
    local record
    record=$(tr -d '\r' <"$game/helper.log")
    expect "the helper's command line is wrong: $record" grep -qxF 'argv[1]=DUMMY' <<<"$record" &&
        expect "the helper's arguments are wrong" grep -qxF 'argv[2]=record=helper.log' \
            <<<"$record" &&
        expect "the helper's folder is wrong" grep -qix 'cwd=C:\\Game\\\?' <<<"$record" || ok=1
    expect_eq "HKLM Language" "$(reg_value "$settings_key" Language)" 'русский' || ok=1
    expect_eq "HKCU Volume" "$(reg_value "$user_key" Volume)" 0x50 || ok=1
    return $ok
}

# --- cases --------------------------------------------------------------------------------------

# A wrong keyword gives the usage text; the window waits for its button, idle meanwhile.
case_usage_for_a_wrong_keyword() {
    start_patch "$bin/PATCH.EXE" a b WRONG
    expect "the usage text never appeared" robot wait-status "$usage_text" 30000 >/dev/null ||
        return 1
    expect "the OK button never appeared" robot wait-visible 1 30000 || return 1
    local before after
    before=$(cpu_ticks)
    sleep 2
    after=$(cpu_ticks)
    # 2 s are 200 ticks of one processor; a loop that polls uses a good part of them.
    echo "    processor time while waiting: $((after - before)) ticks in 2 s"
    expect "the waiting window keeps the processor busy" test $((after - before)) -lt 20 ||
        return 1
    expect_eq "status line" "$(robot status | shown)" "$usage_text" || return 1
    # Only a click on button 1 ends the run: not the frame's close box (the cancel command),
    # nor another notification from button 1.
    expect "the close request could not be sent" robot close || return 1
    expect "the command could not be sent" robot command 0x10001 || return 1
    if robot wait-gone 1000 >/dev/null 2>&1; then
        echo "    the window closed without a click on its button"
        return 1
    fi
    expect_ok_then_click
}

case_usage_for_a_file_that_is_not_a_package() {
    start_patch "$bin/PATCH.EXE" 'C:\e2e\notapackage.txt'
    expect "the usage text never appeared" robot wait-status "$usage_text" 30000 >/dev/null ||
        return 1
    expect_ok_then_click
}

# Binds the sample package into out.exe, then lets out.exe apply itself.
case_bind_then_apply_the_self_contained_patch() {
    rm -f "$c/out.exe"
    start_patch "$bin/PATCH.EXE" main.pkg out.exe MAKEEXE
    expect_exit_by_itself || return 1
    local image package total trailer
    image=$(stat -c %s "$bin/PATCH.EXE")
    package=$(stat -c %s "$c/main.pkg")
    total=$(stat -c %s "$c/out.exe" 2>/dev/null) || total=none
    expect_eq "size of out.exe" "$total" $((image + package + 8)) || return 1
    expect "out.exe does not start with the program" \
        cmp -s -n "$image" "$c/out.exe" "$bin/PATCH.EXE" || return 1
    expect "out.exe does not hold the package after the program" \
        cmp -s -i "$image:0" -n "$package" "$c/out.exe" "$c/main.pkg" || return 1
    trailer=$(tail -c 8 "$c/out.exe" | od -An -tu4 -N4 | tr -d ' ')$(tail -c 4 "$c/out.exe")
    expect_eq "trailer" "$trailer" "${image}QLMR" || return 1

    install_game 1 || return 1
    start_patch "$c/out.exe"
    expect_msgbox "$startup_caption" "$startup_text" || return 1
    expect "the opening message could not be answered" robot click-msgbox "$startup_caption" 1 ||
        return 1
    expect "the completion text never appeared" robot wait-status "$done_text" 60000 >/dev/null ||
        return 1
    expect "the OK button never appeared" robot wait-visible 1 30000 || return 1
    expect_eq "status line" "$(robot status | shown)" "$done_text" || return 1
    expect_eq "control 1001" "$(robot_text 1001)" "" || return 1
    expect_eq "button caption" "$(robot_text 1)" OK || return 1
    expect_centred || return 1
    expect_installed || return 1
    expect_eq "patch level" "$(reg_value "$game_key" PatchLevel)" 0x2 || return 1
    take_screenshot
    expect_ok_then_click
}

# The window stands where the centring arithmetic puts it: half the difference of the extents.
expect_centred() {
    local left top right bottom width height
    read -r left top right bottom width height < <(robot rect) || {
        echo "    no window rectangle"
        return 1
    }
    expect_eq "left edge" "$left" $(((width + left - right) / 2)) &&
        expect_eq "top edge" "$top" $(((height + top - bottom) / 2))
}

# The picture of the finished run for the README; the same pixels give the same bytes.
take_screenshot() {
    local left top right bottom width height
    read -r left top right bottom width height < <(robot rect) || return 0
    import -window root "$work/screen.png" 2>/dev/null &&
        convert "$work/screen.png" -crop "$((right - left))x$((bottom - top))+$left+$top" \
            +repage -strip -define png:exclude-chunks=date,time "$screenshot" 2>/dev/null ||
        echo "    (no screenshot taken)"
}

# The same patch over an installation already at its level: the question, a click on the hidden
# button while it is open, then Cancel; the window closes by itself and nothing has changed.
case_version_gate_declined() {
    install_game 2 || return 1
    local before
    before=$(game_state)
    start_patch "$bin/PATCH.EXE" main.pkg
    expect_msgbox "$startup_caption" "$startup_text" || return 1
    expect "the opening message could not be answered" robot click-msgbox "$startup_caption" 1 ||
        return 1
    expect_msgbox '!' "$gate_text" || return 1
    robot click 1 >/dev/null 2>&1
    expect "the window stopped answering after the click" robot status >/dev/null || return 1
    expect_eq "button after the click" "$(robot visible 1)" hidden || return 1
    expect "the question closed after the click" robot msgbox '!' 1000 >/dev/null || return 1
    expect "the question could not be answered" robot click-msgbox '!' 2 || return 1
    expect_exit_by_itself || return 1
    expect_eq "installation after Cancel" "$(game_state)" "$before"
}

case_opening_message_declined() {
    install_game 1 || return 1
    local before
    before=$(game_state)
    start_patch "$bin/PATCH.EXE" main.pkg
    expect_msgbox "$startup_caption" "$startup_text" || return 1
    expect "the opening message could not be answered" robot click-msgbox "$startup_caption" 2 ||
        return 1
    expect_exit_by_itself || return 1
    expect_eq "installation after Cancel" "$(game_state)" "$before"
}

case_installation_not_found() {
    install_game 1 || return 1
    W reg delete 'HKLM\Software\Quellmar' /f >/dev/null 2>&1
    local before
    before=$(game_state)
    start_patch "$bin/PATCH.EXE" main.pkg
    expect "the not-found text never appeared" robot wait-status "$not_found_text" 30000 \
        >/dev/null || return 1
    expect_ok_then_click || return 1
    expect_eq "installation" "$(game_state)" "$before"
}

# A payload file held open without sharing: it keeps its old content, the error is shown, the
# other files are installed and the patch level is not stamped.
case_file_in_use() {
    install_game 1 || return 1
    local held=$work/held.txt
    W "$bin/robot.exe" hold 'C:\Game\readme.txt' 60000 >"$held" 2>&1 &
    hold_pid=$!
    local i
    for ((i = 0; i < 200; i++)); do
        grep -q held "$held" 2>/dev/null && break
        sleep 0.1
    done
    expect "the robot could not hold the file" grep -q held "$held" || return 1
    start_patch "$bin/PATCH.EXE" main.pkg
    expect "the opening message could not be answered" robot msgbox "$startup_caption" 30000 \
        >/dev/null && robot click-msgbox "$startup_caption" 1 || return 1
    expect "the OK button never appeared" robot wait-visible 1 60000 || return 1
    expect_eq "status line" "$(robot status | shown)" "$locked_text" || return 1
    expect_eq "the held file" "$(cat "$game/readme.txt")" 'old readme' || return 1
    expect_same_file "$game/game.exe" "$work/packages/main/payload/game.exe" || return 1
    expect_same_file "$game/data/maps/карта1.dat" "$work/packages/main/payload/data/maps/карта1.dat" ||
        return 1
    expect "a backup was left" test -z "$(find "$game" -iname '*.bak')" || return 1
    expect_eq "patch level" "$(reg_value "$game_key" PatchLevel)" 0x1 || return 1
    expect_ok_then_click || return 1
    kill "$hold_pid" 2>/dev/null
    wait "$hold_pid" 2>/dev/null
    hold_pid=
}

# A patch made by pkgtool diff from two builds of the game turns the installed old build into
# exactly the new one: a file renamed only in case takes its new name, a file named like the
# backup of a replaced file stays, new (and empty) folders appear, deleted ones go.
case_diff_patch_turns_old_into_new() {
    install_game 1 || return 1
    echo "not the installer's backup" >"$game/game.exe.bak"
    local trees=$work/diff
    rm -rf "$trees"
    mkdir -p "$trees"
    cp -r "$game" "$trees/old"
    cp -r "$game" "$trees/new"
    mv "$trees/new/readme.txt" "$trees/new/README.TXT"
    echo 'game 3' >"$trees/new/game.exe"
    echo 'map 2' >"$trees/new/data/maps/Карта2.dat"
    echo 'long' >"$trees/new/data/a_rather_long_name_for_a_placeholder.dat"
    mkdir -p "$trees/new/Сохранения/Профили"
    rm -r "$trees/new/old.txt" "$trees/new/obsolete"
    printf '%s\n' 'registry-keys Software\\Quellmar\\Game | InstallDir | ProgramName | PatchLevel | 3' \
        >"$trees/base.manifest"
    expect "pkgtool diff failed" "$pkgtool" diff "$trees/old" "$trees/new" "$trees/base.manifest" \
        "$trees/patch.manifest" || return 1
    expect "pkgtool build failed" "$pkgtool" build "$trees/patch.manifest" "$c/diff.pkg" || return 1
    start_patch "$bin/PATCH.EXE" diff.pkg
    expect "the completion text never appeared" robot wait-status "$done_text" 60000 >/dev/null ||
        return 1
    expect "the OK button never appeared" robot wait-visible 1 30000 || return 1
    expect_eq "installation" "$(tree_state "$game")" "$(tree_state "$trees/new")" || return 1
    expect_eq "patch level" "$(reg_value "$game_key" PatchLevel)" 0x3 || return 1
    expect_ok_then_click
}

case_failed_bind_leaves_no_output() {
    rm -f "$c/bad.exe"
    start_patch "$bin/PATCH.EXE" empty.pkg bad.exe MAKEEXE
    expect_exit_by_itself || return 1
    expect "bad.exe was left behind" test ! -e "$c/bad.exe"
}

# --- the run ------------------------------------------------------------------------------------

run_case() {
    local name=$1
    case_log=$logs/$name.log
    if "$name" >"$case_log" 2>&1; then
        passed=$((passed + 1))
        echo "PASS ${name#case_}"
    else
        failed=$((failed + 1))
        echo "FAIL ${name#case_}"
        sed 's/^/    /' "$case_log" | tail -n 20
    fi
    stop_patch
    if [ -n "$hold_pid" ]; then
        kill "$hold_pid" 2>/dev/null
        wait "$hold_pid" 2>/dev/null
        hold_pid=
    fi
    # A window left over by a failed case must not answer the next case's robot.
    robot wait-gone 10000 >/dev/null 2>&1
}

main() {
    mkdir -p "$logs"
    choose_wine
    [ "$arch" == win64 ] && build_win64
    check_tools
    export WINEPREFIX=$work/prefix WINEARCH=$arch WINEDEBUG=-all WINELOADER=$wine_loader
    export WINEDLLOVERRIDES='mscoree,mshtml=' LC_ALL=ru_RU.UTF-8
    c=$WINEPREFIX/drive_c/e2e
    game=$WINEPREFIX/drive_c/Game
    trap cleanup EXIT
    start_display
    make_prefix
    server_pid=$(find_server)
    [ -n "$server_pid" ] || die "the prefix's wineserver is not running"
    make_packages
    echo "Wine end-to-end tests: $arch build in $bin, display $DISPLAY"

    passed=0
    failed=0
    local name
    for name in $(declare -F | awk '$3 ~ /^case_/ { print $3 }'); do
        if [ $# -eq 0 ] || [[ " $* " == *" ${name#case_} "* ]]; then
            run_case "$name"
        fi
    done
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

main "$@"
