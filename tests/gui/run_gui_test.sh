#!/bin/bash
# The Linux side of the GUI tests (README.md), configured by CMake through
# QUORVANE_WINE64 and QUORVANE_GUI_* variables:
#   run_gui_test.sh template    the template Wine prefix, once per CTest run
#   run_gui_test.sh remove      removes it at the end
#   run_gui_test.sh run CASE    one gtest case of gui_test.exe on an X server
#                               and in a copy of the template of its own
set -u
wine=$QUORVANE_WINE64
wineserver=$(dirname "$wine")/wineserver
template=$QUORVANE_GUI_TEMPLATE
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C LC_ALL=C

# Every Windows process of the prefix, then the wineserver itself.
stop_prefix() {
    [ -d "$1" ] || return 0
    WINEPREFIX=$1 timeout 30 "$wineserver" -k 2>/dev/null
    WINEPREFIX=$1 timeout 30 "$wineserver" -w 2>/dev/null
    return 0
}

# Processes whose ids a case left in FOLDER/*.pid, if they are still what was started.
stop_recorded() {
    local file pid
    for file in "$1"/*.pid; do
        [ -f "$file" ] || continue
        pid=$(cat "$file")
        case $(tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null) in
            *Xvfb*|*quorvane-sim*|*quorvane-cli*) kill "$pid" 2>/dev/null ;;
        esac
    done
    return 0
}

# The X11 driver leaves the windows to no window manager and draws their
# frames itself; Wine makes COM3, COM10, LPT1 and LPT2 for the device maps.
make_template() {
    stop_prefix "$template"
    rm -rf "$template"
    mkdir -p "$(dirname "$template")"
    export WINEPREFIX=$template
    unset DISPLAY
    timeout 240 "$wine" wineboot -i >"$template.log" 2>&1 || { cat "$template.log"; return 1; }
    local added=0 port
    for port in Managed Decorated COM3 COM10 LPT1 LPT2; do
        case $port in
            Managed|Decorated) set -- 'HKCU\Software\Wine\X11 Driver' "$port" N ;;
            *) set -- 'HKLM\Software\Wine\Ports' "$port" /dev/null ;;
        esac
        timeout 60 "$wine" reg add "$1" /v "$2" /d "$3" /f >>"$template.log" 2>&1 && added=$((added + 1))
    done
    [ $added -eq 6 ] || { cat "$template.log"; return 1; }
    stop_prefix "$template"
    echo "GUI prefix template ready: $template"
}

run_case() {
    local name=$1
    local work=$QUORVANE_GUI_WORK/$name shots=$QUORVANE_GUI_SCREENSHOTS
    local prefix=$work/prefix status
    # What a killed earlier run of this case left.
    stop_prefix "$prefix"
    stop_recorded "$work"
    rm -rf "$work"
    mkdir -p "$work" "$shots"

    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    local xvfb=$!
    echo "$xvfb" >"$work/xvfb.pid"
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    if ! [ -s "$work/display" ] || ! cp -a "$template" "$prefix"; then
        echo "no X server or no prefix for $name"
        kill "$xvfb"
        return 1
    fi

    export WINEPREFIX=$prefix DISPLAY=:$(cat "$work/display") QUORVANE_GUI_WORK=$work QUORVANE_GUI_PREFIX=$prefix
    # A wineserver of its own output: a simulator's pty becomes its controlling
    # terminal, and a simulator's end hangs it up (it then dumps its objects).
    timeout 30 "$wineserver" -p >"$work/wineserver.log" 2>&1
    # Into a file: Wine's daemons inherit the first Windows process's output.
    timeout -k 10 150 "$wine" "$QUORVANE_GUI_TEST" --gtest_filter="$name" >"$work/test.log" 2>&1
    status=$?
    cat "$work/test.log"
    grep -q "^\[       OK \] $name " "$work/test.log" || status=1

    stop_prefix "$prefix"
    stop_recorded "$work"
    kill "$xvfb"
    wait "$xvfb" 2>/dev/null
    local bmp
    for bmp in "$shots"/*.bmp; do
        [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
    done
    if [ $status -eq 0 ]; then
        rm -rf "$work"
    else
        [ -n "${QUORVANE_GUI_KEEP_PREFIX:-}" ] || rm -rf "$prefix"
        echo "FAILED; logs kept in $work, the screen at the failure in $shots/failed-$name.png"
    fi
    return $status
}

case ${1:-} in
    template) make_template ;;
    remove) stop_prefix "$template"; rm -rf "$template" "$template.log" ;;
    run) run_case "$2" ;;
    *) echo "usage: run_gui_test.sh template|remove|run CASE" >&2; exit 2 ;;
esac
