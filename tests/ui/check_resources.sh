#!/bin/bash
# Checks a built quorvane.exe as a Windows user gets it against
# quorvane_exe.expected: the executable's kind (objdump) and every resource as
# the cross windres dumps them (icons, menu, dialog templates with their
# captions, styles, controls and places in dialog units, version block,
# manifest). Icon images keep only their header line, not their pixels.
#   check_resources.sh EXE x86|amd64 EXPECTED
# The 32-bit program cannot run here, so this is its check:
#   tests/ui/check_resources.sh build/win32/ui/quorvane.exe x86 tests/ui/quorvane_exe.expected
set -u
exe=$1 arch=$2 expected=$3
case $arch in
  x86)   tools=i686-w64-mingw32;   magic='010b (PE32)' ;;
  amd64) tools=x86_64-w64-mingw32; magic='020b (PE32+)' ;;
  *) echo "architecture must be x86 or amd64, not $arch" >&2; exit 2 ;;
esac

dump() {
  set -o pipefail  # a failed objdump, not only a failed tr, fails the dump
  "$tools-objdump" -p "$exe" | grep -E '^(Magic|Subsystem)' | tr -s '\t' ' ' || return 1
  "$tools-windres" -J coff -O rc -i "$exe" | awk '
    / RT_ICON \*\/$/ { icon = 1; first = 1 }
    icon && /^  0x/ { if (first) print; first = 0; next }
    /^END/ { icon = 0 }
    { print }'
}

actual=$(dump) || { echo "FAIL: cannot read $exe"; exit 1; }
if diff -u <(sed -e "s/@ARCH@/$arch/g" -e "s/@MAGIC@/$magic/" "$expected") <(printf '%s\n' "$actual"); then
  echo "ok: $exe is as $expected describes it"
else
  echo "FAIL: $exe differs from $expected (- expected, + built)"
  exit 1
fi
