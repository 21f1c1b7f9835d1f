#!/bin/bash
# Checks a built quorvane.exe as a Windows user gets it: a GUI executable of
# the right kind, with its icons, menu, exit prompt, version block and
# manifest inside.
#   check_exe_resources.sh EXE x86|amd64
# The 32-bit program cannot run here, so this is its check:
#   tests/ui/check_exe_resources.sh build/win32/ui/quorvane.exe x86
set -u
exe=$1 arch=$2
case $arch in
  x86)   tools=i686-w64-mingw32;   magic='010b	(PE32)' ;;
  amd64) tools=x86_64-w64-mingw32; magic='020b	(PE32+)' ;;
  *) echo "architecture must be x86 or amd64, not $arch" >&2; exit 2 ;;
esac
failures=0

headers=$($tools-objdump -p "$exe") || { echo "FAIL: objdump cannot read $exe"; exit 1; }
resources=$($tools-windres -J coff -O rc -i "$exe" | grep -v '^  0x') || { echo "FAIL: windres cannot list the resources of $exe"; exit 1; }

# The lines must follow each other in order (other lines may not come between).
expect() {
  local what=$1
  shift
  local text
  if [ "$what" = headers ]; then text=$headers; else text=$resources; fi
  if printf '%s\n' "$text" | python3 -c '
import sys
wanted = sys.argv[1:]
lines = [line.rstrip() for line in sys.stdin.read().splitlines()]
sys.exit(0 if any(lines[i:i + len(wanted)] == wanted for i in range(len(lines))) else 1)
' "$@"; then
    echo "ok: $1"
  else
    echo "FAIL: expected in the $what of $exe:"
    printf '    %s\n' "$@"
    failures=$((failures + 1))
  fi
}

expect headers "Magic			$magic"
expect headers "Subsystem		00000002	(Windows GUI)"

for icon in 101 102 103; do
  expect resources "$icon 14 /* RT_GROUP_ICON */" "BEGIN" "   0, 1, 1,	 /* Has 1 elements.  */" \
    '    /* "width height colors pad", planes, bits, bytes, index.  */'
done
# Three 32x32 images in 16 colours (4 bits a pixel).
count=$(grep -c '"\\040\\040\\020\\000", 1, 4, ' <<<"$resources")
if [ "$count" = 3 ]; then echo "ok: three 32x32 16-colour icon images"; else
  echo "FAIL: expected three 32x32 16-colour icon images, found $count"; failures=$((failures + 1)); fi

expect resources '104 MENU' 'BEGIN' '  MENUITEM "&Write !", 301' '  MENUITEM "&Port !", 302' '  MENUITEM "&Exit !", 303' 'END'

expect resources '109 DIALOG 10, 10, 180, 52' 'STYLE 0x80c000c0' 'CAPTION "Exit"' 'FONT 12, "MS Sans Serif"' 'BEGIN' \
  '  CONTROL "YES", 6, "BUTTON", 0x50030001, 8, 32, 48, 12' \
  '  CONTROL "NO", 7, "BUTTON", 0x50010000, 66, 32, 48, 12' \
  '  CONTROL "CANCEL", 2, "BUTTON", 0x50010000, 124, 32, 48, 12' \
  '  CONTROL "Setting Parameter Save?", 65535, "STATIC", 0x50020001, 40, 12, 100, 8' \
  '  CONTROL 102, 102, "STATIC", 0x50000003, 8, 8, 20, 20' 'END'

# The port settings dialog: OK default and first of the tab groups; the
# sorted drop-down list (CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL); automatic
# radio buttons whose group starts at 38400; the two group boxes.
expect resources '108 DIALOG 10, 10, 150, 168' 'STYLE 0x80c000c0' 'CAPTION "Port"' 'FONT 12, "MS Sans Serif"' 'BEGIN' \
  '  CONTROL "OK", 1, "BUTTON", 0x50030001, 14, 148, 56, 12' \
  '  CONTROL "CANCEL", 2, "BUTTON", 0x50010000, 80, 148, 56, 12' \
  '  CONTROL "", 201, "COMBOBOX", 0x50230103, 16, 20, 118, 56' \
  '  CONTROL "38400bps", 205, "BUTTON", 0x50030009, 16, 66, 118, 8' \
  '  CONTROL "19200bps", 202, "BUTTON", 0x50000009, 16, 82, 118, 8' \
  '  CONTROL " 9600bps", 203, "BUTTON", 0x50000009, 16, 98, 118, 8' \
  '  CONTROL " 4800bps", 204, "BUTTON", 0x50000009, 16, 114, 118, 8' \
  '  CONTROL "Port", 65535, "BUTTON", 0x50020007, 8, 8, 134, 32' \
  '  CONTROL "BaudRate", 65535, "BUTTON", 0x50020007, 8, 52, 134, 84' 'END'

expect resources '1 VERSIONINFO' ' FILEVERSION 2, 2, 0, 1' ' PRODUCTVERSION 2, 2, 0, 1'
expect resources '    BLOCK "040904b0"' '    BEGIN' \
  '      VALUE "FileDescription", "Quorvane"' '      VALUE "FileVersion", "2.2.0.1"' \
  '      VALUE "InternalName", "PELMARIX"' '      VALUE "OriginalFilename", "quorvane.exe"' \
  '      VALUE "ProductName", "Quorvane"' '      VALUE "ProductVersion", "2.2.0.1"'
expect resources '    VALUE "Translation", 0x409, 1200'

expect resources '1 24 /* RT_MANIFEST */'
manifest=$(sed -n '/^1 24 \/\* RT_MANIFEST \*\//,/^END/p' <<<"$resources" | sed 's/""/"/g')
for fragment in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' \
                "processorArchitecture=\"$arch\" publicKeyToken=\"6595b64144ccf1df\""; do
  if grep -qF "$fragment" <<<"$manifest"; then echo "ok: manifest has $fragment"; else
    echo "FAIL: the manifest lacks $fragment"; failures=$((failures + 1)); fi
done
if grep -q 'processorArchitecture="' <<<"$manifest" && ! grep 'processorArchitecture="' <<<"$manifest" | grep -vq "processorArchitecture=\"$arch\""; then
  echo "ok: every architecture in the manifest is $arch"
else
  echo "FAIL: the manifest names an architecture other than $arch"; failures=$((failures + 1))
fi

if [ $failures -ne 0 ]; then echo "$failures check(s) failed for $exe"; exit 1; fi
echo "all checks passed for $exe"
