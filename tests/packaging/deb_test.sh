#!/bin/bash
# The Debian package from this build: no lintian error or warning, dependencies
# computed from the binaries, exactly the files a user should get (the debug
# information in quorvane-dbgsym), and both programs run from it.
#   deb_test.sh CPACK BUILD_DIR
set -u
cpack=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
(cd "$build" && "$cpack" -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/quorvane_*.deb) || exit 1
dpkg-deb -f "$deb" Package Version Depends
lintian --fail-on error,warning "$deb" || fail "lintian has errors or warnings"
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6 (>= ' || fail "no dependencies computed from the binaries"
ls "$work"/quorvane-dbgsym_*.ddeb >/dev/null || fail "no quorvane-dbgsym package"
dpkg -x "$deb" "$work/root" || fail "dpkg -x cannot unpack $deb"
files=$(cd "$work/root" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "$(tr '\n' ' ' <"$(dirname "$0")/deb_files.txt")" ] || fail "the package holds: $files"
for tool in quorvane-cli quorvane-sim; do
    version=$("$work/root/usr/bin/$tool" --version) || fail "$tool --version failed"
    [ "$version" = "$tool $(dpkg-deb -f "$deb" Version)" ] || fail "$tool --version says '$version'"
done
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
