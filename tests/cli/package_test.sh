#!/bin/bash
# The Debian package of the Linux tools as cpack makes it from this build,
# unpacked into a scratch root: both programs run from there, with their
# manual pages and the completion.
#   package_test.sh CPACK BUILD_DIR
set -u
cpack=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && "$cpack" -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/quorvane_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { ls "$work"; echo "FAIL: no .deb made"; exit 1; }
dpkg-deb -f "$deb" Package Version Depends
dpkg -x "$deb" "$work/root" || fail "dpkg -x cannot unpack $deb"
for tool in quorvane-cli quorvane-sim; do
    version=$("$work/root/usr/bin/$tool" --version) || fail "$tool --version failed"
    [ "$version" = "$tool $(dpkg-deb -f "$deb" Version)" ] || fail "$tool --version says '$version'"
    man -l "$work/root/usr/share/man/man1/$tool.1" 2>/dev/null | grep -q "^NAME" || fail "$tool has no manual page"
done
[ -f "$work/root/usr/share/bash-completion/completions/quorvane-cli" ] || fail "no bash completion"
unexpected=$(cd "$work/root" && find . -type f | grep -v -E '^\./usr/(bin|share/(man|doc|bash-completion))/')
[ -z "$unexpected" ] || fail "the package holds more than the tools: $unexpected"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
