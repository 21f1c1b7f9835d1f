#!/bin/bash
# The station's unit as systemd reads it, with ExecStart pointed at this
# build's quorvane-cli (the only change): systemd-analyze verify finds no
# fault (not even a warning), and its exposure by systemd-analyze security stays at most 1.0.
# The example recipe the package ships for it is one the station takes, with
# its folders, image and the image's reserved region those of this test.
#   systemd_test.sh UNIT QUORVANE_CLI EXAMPLE_RECIPE IMAGE
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unit=$work/quorvane-station@test.service
sed "s#^ExecStart=/usr/bin/quorvane-cli station #ExecStart=$2 station #" "$1" >"$unit"
grep -q "^ExecStart=$2 station " "$unit" || { echo "FAIL: ExecStart is not /usr/bin/quorvane-cli station"; exit 1; }
failures=0
# A line systemd cannot parse is only a warning to verify, and ignored: both fail here.
said=$(systemd-analyze verify --man=no "$unit" 2>&1) && [ -z "$said" ] || { echo "FAIL: verify: $said"; failures=1; }
systemd-analyze security --offline=yes --threshold=10 "$unit" >"$work/security" ||
    { cat "$work/security"; echo "FAIL: exposure above 1.0"; failures=1; }
tail -n 1 "$work/security"
cp "$4" "$work/example.mot"
sed -e "s#/var/l[a-z]*/quorvane/#$work/#" -e "s/^address = .*/address = 0x13FF0/" -e "s/\"0\{64\}\"/\"$(sha256sum <"$4" | cut -c1-64)\"/" "$3" >"$work/example.toml"
"$2" recipe check "$work/example.toml" >"$work/said" 2>&1 ||
    { echo "FAIL: the example recipe: $(cat "$work/said")"; failures=1; }
[ "$failures" -eq 0 ]
