#!/bin/bash
# The Windows installer from this build under wine64, in a copy of the build's
# prefix: a silent install puts the programs in INSTDIR\bin and the program in
# the Start menu, quorvane-cli.exe runs from there; a silent uninstall takes it
# all away but leaves the remembered port, KORVIN.INI.
#   nsis_test.sh CPACK BUILD_DIR SOURCE_PREFIX WINE64
set -u
cpack=$1 build=$2 source=$3 wine=$4
wineserver=$(dirname "$wine")/wineserver
work=$(mktemp -d "$(dirname "$source")/nsis.XXXXXX")
trap '"$wineserver" -k 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
(cd "$build" && "$cpack" -G NSIS -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
installer=$(ls "$work"/quorvane-*.exe) || exit 1
cp -al "$source" "$work/prefix" && cp --remove-destination "$source"/*.reg "$work/prefix/"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" && unset DISPLAY
drive=$WINEPREFIX/drive_c
printf '[PELMARIX]\r\nPORT1=00cb\r\nPORT4=0005\r\n' >"$drive/windows/KORVIN.INI"
# An NSIS uninstaller runs a copy of itself and returns at once: wait for the wineserver's end.
run() { "$wine" "$@" >"$work/out" 2>&1 </dev/null; status=$?; "$wineserver" -w; }
run "$installer" /S '/D=C:\Quorvane'
[ "$status" -eq 0 ] || fail "the installer ended with $status: $(cat "$work/out")"
installed="$drive/Quorvane/bin/quorvane.exe $drive/Quorvane/bin/quorvane-cli.exe $drive/Quorvane/Uninstall.exe"
for file in $installed; do [ -f "$file" ] || fail "not installed: $file"; done
links=$(find "$drive" -path '*Start Menu*' -name 'Quorvane.lnk')
[ -n "$links" ] || fail "no Start-menu entry for Quorvane"
run "$drive/Quorvane/bin/quorvane-cli.exe" -V
[ "$(tr -d '\r' <"$work/out")" = "quorvane-cli $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
    fail "quorvane-cli.exe -V from the install folder: $(cat "$work/out")"
run "$drive/Quorvane/Uninstall.exe" /S
for file in $installed $links; do [ ! -e "$file" ] || fail "left after the uninstall: $file"; done
[ -f "$drive/windows/KORVIN.INI" ] || fail "the uninstall removed KORVIN.INI"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
