#!/bin/bash
# quorvane-cli.exe ports under wine64 lists what the Windows program's port
# settings dialog offers, and marks the target device's own USB port by the
# name of its serial map value.
#   ports_wine_test.sh SOURCE_PREFIX WINE64 CLI_EXE
set -u
. "$(dirname "$0")/../port/wine_port.sh"
wine_port_setup "$1" "$2"
exe=$3
serial_map='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
parallel_map='HKLM\HARDWARE\DEVICEMAP\PARALLEL PORTS'

# Wine builds the maps when its server starts: COM1 shows when it is done.
# The server then stays, so that values written into the maps last.
run_windows reg add 'HKLM\Software\Wine\Ports' /v COM1 /d /dev/null /f
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p
for _ in $(seq 120); do
    run_windows reg query "$serial_map"
    grep -q 'COM1' "$work/out" && break
    sleep 0.5
done
grep -q 'COM1' "$work/out" || { echo "Wine never put COM1 into the serial map"; exit 1; }

set_value() {  # KEY NAME DATA [TYPE]
    run_windows reg add "$1" /v "$2" /t "${4:-REG_SZ}" /d "$3" /f
    [ "$status" -eq 0 ] || fail "reg add $2=$3: $(cat "$work/out")"
}
run_windows reg delete "$serial_map" /va /f
run_windows reg delete "$parallel_map" /va /f
# Wine enumerates values by name: "\??\USB..." comes before "\Device\...".
set_value "$serial_map" '\??\usb#VID_0D5C&PID_0002#7&1a2b3c4d&0&0000' COM4
set_value "$serial_map" '\Device\Serial0' COM1
set_value "$serial_map" '\Device\Serial1' COM01
set_value "$serial_map" '\Device\Serial2' COM2 REG_EXPAND_SZ
set_value "$serial_map" '\Device\Serial3' com7
set_value "$parallel_map" '\Device\Parallel0' '\DosDevices\LPT1'
set_value "$parallel_map" '\Device\Parallel1' '\Device\Parallel0'
set_value "$parallel_map" '\Device\Parallel2' '\DosDevices\lpt2'

run_windows "$exe" ports
[ "$status" -eq 0 ] || fail "ports: exit $status: $(cat "$work/out")"
expected=$(printf '%s\n' \
    "COM4                 device-usb  <- the target device's own USB port" \
    "COM1                 serial    " \
    "com7                 serial    " \
    "LPT1                 parallel  " \
    "lpt2                 parallel  ")
got=$(tr -d '\r' <"$work/out")
[ "$got" = "$expected" ] || fail "ports listed:
$got
wanted:
$expected"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
