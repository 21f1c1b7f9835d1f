#!/bin/bash
# The Windows build of quorvane-cli under wine64: write jobs through Wine's
# COM and LPT ports to quorvane-sim, checked byte for byte.
#   write_wine_test.sh SOURCE_PREFIX WINE64 QUORVANE_SIM NATIVE_CLI EXAMPLES_DIR CLI_EXE
set -u
. "$(dirname "$0")/../port/wine_port.sh"
wine_port_setup "$1" "$2"
sim=$3 native_cli=$4 examples=$5 exe=$6
for tool in "$sim" "$native_cli"; do
    [ -x "$tool" ] || { echo "native tool not built: $tool (build the native tree first)"; exit 1; }
done
"$wineserver" -p
firmware=$work/demo.mot
cp "$examples/demo-firmware.mot" "$firmware"
"$native_cli" frames --raw "$firmware" >"$work/expected.raw"

# Serves Wine's DEVICE (com5, lpt1) with a simulator; sets $sim_pid.
start_sim() {  # DEVICE SIM_OPTIONS...
    local device=$1
    shift
    map_port "$device" -
    rm -f "$work/received"
    "$sim" --link "$WINEPREFIX/dosdevices/$device" --raw "$work/received" "$@" >"$work/sim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -L "$WINEPREFIX/dosdevices/$device" ] && return; sleep 0.1; done
    fail "simulator for $device did not start"
}

stop_sim() {
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
}

write_windows() {  # ARGS...
    run_windows "$exe" write "$firmware" "$@" --answer-timeout 20
    tr -d '\r' <"$work/out" >"$work/said"
}

expect() {  # NAME STATUS [TEXT]
    [ "$status" -eq "$2" ] || fail "$1: exit $status, wanted $2: $(tail -n 3 "$work/said")"
    [ -z "${3:-}" ] || grep -qF -- "$3" "$work/said" || fail "$1: no '$3' in: $(cat "$work/said")"
}

start_sim com5 --once
write_windows --port COM5 --baud 38400
expect "COM5" 0 "COM5: written, 16384 bytes in 514 frames"
wait "$sim_pid"
cmp -s "$work/received" "$work/expected.raw" || fail "COM5: the device received other bytes"
sim_pid=

start_sim com5 --nak 4
write_windows --port COM5
expect "COM5 NAK" 1 "NAK after frame 4 (address 0x00010040)"
stop_sim

# A parallel port: frames back to back, nothing read.
start_sim lpt1 --silent --once
write_windows --port LPT1
expect "LPT1" 0 "LPT1: written"
wait "$sim_pid"
cmp -s "$work/received" "$work/expected.raw" || fail "LPT1: the device received other bytes"
sim_pid=

write_windows --port COM9
expect "missing port" 4 "cannot open COM9"
write_windows --port /dev/ttyS0
expect "not a Windows port name" 4 "a port is COMn or LPTn"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
