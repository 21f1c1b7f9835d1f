#!/bin/bash
# Makes the Windows package with cpack in a scratch folder and checks its
# name and its content list: exactly quorvane.exe, quorvane-cli.exe,
# README.md and LICENSE, at the archive's top, the programs being this build's.
#   check_package.sh CPACK BUILD_DIR EXPECTED_ZIP_NAME
set -u
cpack=$1 build=$2 name=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && "$cpack" -G ZIP -B "$work" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
zip=$work/$name
[ -f "$zip" ] || { ls "$work"; echo "FAIL: no $name made"; exit 1; }
echo "ok: $name made"

listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$listed" = "LICENSE README.md quorvane-cli.exe quorvane.exe " ] ||
    fail "the archive holds '$listed', wanted 'LICENSE README.md quorvane-cli.exe quorvane.exe '"
unzip -l "$zip"

# The files themselves, not stand-ins.
unzip -q "$zip" -d "$work/unpacked" || fail "the archive does not unpack"
cmp -s "$work/unpacked/quorvane.exe" "$build/ui/quorvane.exe" || fail "quorvane.exe is not this build's program"
cmp -s "$work/unpacked/quorvane-cli.exe" "$build/cli/quorvane-cli.exe" || fail "quorvane-cli.exe is not this build's"
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
for file in README.md LICENSE; do
    cmp -s "$work/unpacked/$file" "$source_dir/$file" || fail "$file differs from the source tree's"
done
grep -q '^Copyright (c) the Quorvane developers$' "$work/unpacked/LICENSE" || fail "LICENSE names no copyright holder"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
