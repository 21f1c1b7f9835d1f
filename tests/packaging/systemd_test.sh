#!/bin/bash
# The station's unit as systemd reads it, with ExecStart pointed at this
# build's quorvane-cli (the only change): systemd-analyze verify finds no
# fault (not even a warning), and its exposure by systemd-analyze security stays at most 1.0.
#   systemd_test.sh UNIT QUORVANE_CLI
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
[ "$failures" -eq 0 ]
