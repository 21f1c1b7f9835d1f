#!/bin/bash
# quorvane-cli.exe under wine64, through Wine's COM and LPT ports to
# quorvane-sim: the ports the Windows program's dialog offers, whole jobs byte
# for byte, and the line settings the port's set-up gives (read back from the
# simulator's pty while a job runs, and as found again after it).
#   wine_test.sh SOURCE_PREFIX WINE64 QUORVANE_SIM NATIVE_CLI EXAMPLES_DIR CLI_EXE CONSOLE_RUN_EXE
set -u
source=$1 wine=$2 sim=$3 native_cli=$4 examples=$5 exe=$6 console_run=$7
wineserver=$(dirname "$wine")/wineserver
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ -f "$source/system.reg" ] || { echo "no Wine prefix at $source"; exit 1; }
# Next to the build's prefix, sharing its files by hard links; the registry
# files are copied, the wineserver rewrites them.
work=$(mktemp -d "$(dirname "$source")/cli-wine.XXXXXX")
sim_pid=
cleanup() {
    "$wineserver" -k 2>/dev/null  # it may hold the pty: it goes before the pty's other end
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cp -al "$source" "$work/prefix"
for file in "$source"/*.reg; do cp --remove-destination "$file" "$work/prefix/"; done
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
"$wineserver" -p  # values written into the device maps last while it runs

# A Windows program's output goes into a file, never a pipe: the Wine
# services it starts would keep the pipe open.
run_windows() { "$wine" "$@" >"$work/out" 2>&1 </dev/null; status=$?; tr -d '\r' <"$work/out" >"$work/said"; }
expect() {  # NAME STATUS [TEXT]
    [ "$status" -eq "$2" ] || fail "$1: exit $status, wanted $2: $(tail -n 3 "$work/said")"
    [ -z "${3:-}" ] || grep -qF -- "$3" "$work/said" || fail "$1: no '$3' in: $(cat "$work/said")"
}
serial_map='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
parallel_map='HKLM\HARDWARE\DEVICEMAP\PARALLEL PORTS'
set_value() { run_windows reg add "$1" /v "$2" /t "${4:-REG_SZ}" /d "$3" /f; }

# What the port dialog offers, as the device maps name the ports.
run_windows reg delete "$serial_map" /va /f
run_windows reg delete "$parallel_map" /va /f
set_value "$serial_map" '\??\usb#VID_0D5C&PID_0002#QV0041' COM4  # Wine enumerates by name
set_value "$serial_map" '\Device\Serial0' COM1
set_value "$serial_map" '\Device\Serial1' COM01
set_value "$serial_map" '\Device\Serial2' com7
set_value "$parallel_map" '\Device\Parallel0' '\Device\Parallel0'
set_value "$parallel_map" '\Device\Parallel1' '\DosDevices\lpt2'
usb='HKLM\System\CurrentControlSet\Enum\USB\VID_0403&PID_6001\A50285BI'
register_adapter() {  # PORT: an adapter as the installer's Ports class lists it (Wine lists what the registry holds)
    set_value "$usb" ClassGUID '{4d36e978-e325-11ce-bfc1-08002be10318}'
    set_value "$usb" FriendlyName "USB Serial Port ($1)"
    set_value "$usb" LocationInformation 'Port_#0003.Hub_#0001'
    set_value "$usb\Device Parameters" PortName "$1"
}
register_adapter COM8
run_windows "$exe" ports
expect ports 0 "COM4                 device-usb 0d5c:0002, serial number QV0041"
expect ports 0 "COM8                 serial     0403:6001 USB Serial Port, serial number A50285BI"
[ "$(awk '{print $1, $2, $3}' "$work/said" | tr '\n' ' ')" = \
    "COM4 device-usb 0d5c:0002, COM1 serial  com7 serial  lpt2 parallel  COM8 serial 0403:6001 at Port_#0003.Hub_#0001  " ] ||
    fail "ports listed: $(cat "$work/said")"
run_windows reg delete "$serial_map" /v '\??\usb#VID_0D5C&PID_0002#QV0041' /f
run_windows reg delete "$usb" /f

firmware=$work/worked.mot
cp "$examples/worked-example.mot" "$firmware"
"$native_cli" frames --raw "$firmware" >"$work/expected.raw"

# Serves Wine's DEVICE with a simulator whose line starts scrambled; sets $pty.
start_sim() {  # DEVICE SIM_OPTIONS...
    local device=$1
    shift
    rm -f "$work/received" "$work/sim.out" "$WINEPREFIX/dosdevices/$device"
    "$sim" --link "$WINEPREFIX/dosdevices/$device" --raw "$work/received" "$@" >"$work/sim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
    pty=$(head -n 1 "$work/sim.out")
    stty -F "$pty" 1200 cstopb crtscts ixon ixoff
}
line_of() {
    stty -F "$pty" -a | tr ';' '\n' | sed 's/^ *//' | tr ' ' '\n' | grep -E '^(-?cstopb|-?crtscts|-?ixon|-?ixoff)$' |
        tr '\n' ' ' | sed "s/^/speed $(stty -F "$pty" speed) /"
}
scrambled="speed 1200 cstopb crtscts ixon ixoff "

# NAME | DEVICE | SIMULATOR | WRITE OPTIONS | STATUS | TEXT | LINE DURING THE JOB
while IFS='|' read -r name device simulator options want text line; do
    start_sim "$device" $simulator
    "$wine" "$exe" write "$firmware" $options --answer-timeout 20 >"$work/out" 2>&1 </dev/null &
    writer=$!
    sleep 2  # the simulator holds the first answer back for 3 s
    during=$(line_of)
    wait "$writer"; status=$?
    tr -d '\r' <"$work/out" >"$work/said"
    expect "$name" "$want" "$text"
    [ "$during" = "$line " ] || fail "$name: line during the job '$during', wanted '$line '"
    [ "$(line_of)" = "$scrambled" ] || fail "$name: the line was not put back: $(line_of)"
    kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=
    [ "$want" -ne 0 ] || cmp -s "$work/received" "$work/expected.raw" || fail "$name: the device received other bytes"
done <<'TABLE'
COM5 at 38400|com5|--delay 3000|--port COM5 --baud 38400|0|COM5: written|speed 38400 -cstopb -crtscts -ixon -ixoff
COM5 at 19200|com5|--delay 3000|--port COM5 --baud 19200|0|COM5: written|speed 19200 -cstopb -crtscts -ixon -ixoff
COM5 at 9600, in no device map, waited for|com5|--delay 3000|--port COM5 --wait=5|0|COM5: written|speed 9600 -cstopb -crtscts -ixon -ixoff
COM5 at 4800, NAK|com5|--delay 3000 --nak 2|--port COM5 --baud 4800|1|NAK after frame 2|speed 4800 -cstopb -crtscts -ixon -ixoff
LPT1: frames back to back, the line untouched|lpt1|--silent --delay 3000|--port LPT1|0|LPT1: written|speed 1200 cstopb crtscts ixon ixoff
TABLE
wait_for_bytes() { for _ in $(seq 100); do [ -s "$work/received" ] && break; sleep 0.1; done; }
stop_sim() { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=; }

# A closed output pipe aborts at the next step; the log's lines end in LF alone.
start_sim com5 --delay 1000
"$wine" "$exe" write "$firmware" --port COM5 -j -l "$work/log.jsonl" 2>"$work/said" </dev/null | head -n 1 >/dev/null
status=${PIPESTATUS[0]}
expect "| head -1" 3
grep -q '"result":"aborted"' "$work/log.jsonl" || fail "| head -1: the log says $(cat "$work/log.jsonl")"
! grep -q $'\r' "$work/log.jsonl" || fail "the log's lines end in CR LF"
stop_sim

# Two writers on one port: the second is refused; the device gets one whole job.
start_sim com5 --delay 1000
"$wine" "$exe" write "$firmware" --port COM5 >"$work/first" 2>&1 </dev/null &
first=$!
wait_for_bytes
run_windows "$exe" write "$firmware" --port COM5
expect "second writer" 4 "port busy"
wait "$first" || fail "first writer: exit $?: $(cat "$work/first")"
stop_sim
cmp -s "$work/received" "$work/expected.raw" || fail "two writers: the device received other bytes"

# In a console (Wine makes one for a program started on a terminal): what its
# screen shows afterwards, in $work/said. WHEN_TO_STOP: see console_run.cpp.
run_in_console() {  # WHEN_TO_STOP ARGS...
    local stop_at=$1 command
    shift
    rm -f "$work/screen"
    printf -v command '%q ' "$wine" "$console_run" 'Z:'"${work//\//\\}"'\screen' "$stop_at" "$exe" "$@"
    timeout 120 script -qec "$command" /dev/null </dev/null >/dev/null 2>&1; status=$?
    cp "$work/screen" "$work/said" 2>/dev/null || : >"$work/said"
}
demo=$work/demo.mot
cp "$examples/demo-firmware.mot" "$demo"

# Live progress in a console is one line redrawn in place, no escape shown.
start_sim com5 --baud 38400
run_in_console - write "$demo" --port COM5 -b 38400
expect "progress in a console" 0 "COM5: written, 16384 bytes in 514 frames"
! grep -q $'\e\|\[K' "$work/said" || fail "progress in a console: escapes on the screen: $(cat -A "$work/said")"
[ "$(grep -c 'of 16384 bytes' "$work/said")" -eq 1 ] || fail "progress in a console: not one line: $(cat "$work/said")"
stop_sim

# Ctrl-C in the console reaches the stop handler: ABORT, the line put back, logged.
start_sim com5 --baud 9600
run_in_console "of 16384 bytes" write "$demo" --port COM5 -b 9600 -l "$work/stopped.jsonl"
expect "Ctrl-C" 3 "COM5: aborted"
grep -q '"result":"aborted"' "$work/stopped.jsonl" || fail "Ctrl-C: not logged as aborted"
[ "$(line_of)" = "$scrambled" ] || fail "Ctrl-C: the line was not put back: $(line_of)"
stop_sim

# A board unplugged after each job and back 500 ms later: two boards written.
start_sim com5 --replug 500
timeout 60 "$wine" "$exe" station "$firmware" -p COM5 -n 2 >"$work/out" 2>&1 </dev/null; status=$?
tr -d '\r' <"$work/out" >"$work/said"
expect "station, replugged" 0 "tally: 2 written, 0 failed"
stop_sim

# A UTF-8 file name is opened and shown as it is.
cp "$firmware" "$work/固件 ä.mot"
LC_ALL=C.UTF-8 run_windows "$exe" check "$work/固件 ä.mot"
expect "UTF-8 file name" 0 "固件 ä.mot"

set_value "$serial_map" '\??\USB#Vid_0d5c&Pid_0002#9' COM5
start_sim com5 --silent
run_windows "$exe" write "$firmware" --port COM5
expect "the device's own USB port: frames back to back" 0 "COM5: written"
[ "$(line_of)" = "$scrambled" ] || fail "the device's own USB port got a line set-up: $(line_of)"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null; sim_pid=
cmp -s "$work/received" "$work/expected.raw" || fail "the device's own USB port received other bytes"

ini=$WINEPREFIX/drive_c/windows/KORVIN.INI
settings=$(cat "$ini" 2>/dev/null)
run_windows "$exe" write "$firmware" --port COM9 --save
expect "missing port" 4 "cannot open COM9"
[ "$(cat "$ini" 2>/dev/null)" = "$settings" ] || fail "--save remembered a port that did not open"
run_windows "$exe" write "$firmware" --port /dev/ttyS0
expect "not a Windows port name" 4 "a port is COMn or LPTn"
run_windows "$exe" help all
! grep -E '/dev/|SIG|hang-up|[{}]' "$work/said" || fail "help all: Linux words, or a name without words"
start_sim com5
rm -f "$ini"; mkdir "$ini"  # a folder where the file would be: it cannot be written
run_windows "$exe" write "$firmware" --port COM5 --save
expect "--save failing" 2 'cannot write KORVIN.INI in C:\windows: '
rmdir "$ini"
stop_sim

# The README's Windows examples as written, from the top folder, with the
# simulator as COM5 and the adapter the README shows registered for it.
run_windows reg delete "$serial_map" /va /f
register_adapter COM5
start_sim com5
cd "$examples/.." || exit 1
seconds() { sed -E 's/[0-9]+(\.[0-9]+)? s\b/N s/g'; }
while IFS= read -r line; do
    if [[ $line == 'C:\quorvane> quorvane-cli.exe '* ]]; then
        read -r -a words <<<"${line#* quorvane-cli.exe }"
        run_windows "$exe" "${words[@]}"
        expect "README: ${words[*]}" 0
    else
        seconds <"$work/said" | grep -qxF -- "$(seconds <<<"$line")" || fail "README: no '$line' in: $(cat "$work/said")"
    fi
done < <(awk '/^```doscon/ {on = 1; next} /^```/ {on = 0} on' README.md)
stop_sim

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
