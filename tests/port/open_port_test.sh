#!/bin/bash
# OpenDevicePort under wine64 on Wine devices mapped to a pty:
#   open_port_test.sh SOURCE_PREFIX WINE64 PTY_PROBE OPEN_PORT_TEST_EXE
set -u
here=$(dirname "$0")
. "$here/wine_port.sh"
wine_port_setup "$1" "$2"
start_probe "$3"
exe=$4

# A pty takes no character size or parity (Linux keeps it at 8 bits, none);
# speed, stop bits and flow control show what the set-up did.
scrambled="speed=1200 csize=8 parenb=0 cstopb=1 crtscts=1 ixon=1 ixoff=1"
line_8n1() { echo "speed=$1 csize=8 parenb=0 cstopb=0 crtscts=0 ixon=0 ixoff=0"; }
timeouts="timeouts=0/0/200/10/200"

# check NAME EXPECTED_REPORT EXPECTED_LINE CODE SELECTOR [NAME=DATA ...]
# The line starts scrambled with a byte waiting: a purge takes the byte.
check() {
    local what=$1 report=$2 line=$3
    shift 3
    [ "$(probe_command scramble)" = scrambled ] || fail "$what: probe did not scramble"
    probe_command "send 5A" >/dev/null
    local got
    run_windows "$exe" "$@"
    got=$(tr -d '\r' <"$work/out")
    [ "$got" = "$report" ] || fail "$what: got '$got', wanted '$report'"
    got=$(probe_command dump)
    [ "$got" = "$line" ] || fail "$what: line '$got', wanted '$line'"
}

usb_name='\??\usb#VID_0D5C&PID_0002#7&1a2b3c4d&0&0000'
long_text() { printf "%${1}s" "" | tr ' ' x; }

map_port com5
check "serial port at 38400" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 38400)" 5 205
check "serial port at 19200" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 19200)" 5 202
check "serial port at 9600" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 9600)" 5 203
check "serial port at 4800" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 4800)" 5 204
check "unknown selector" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 9600)" 5 999

# The device's USB port: only the timeouts, no line set-up, no purge.
check "USB prefix in another letter case" "opened=1 ackMode=0 $timeouts pending=5A" "$scrambled" \
    5 202 "$usb_name=COM5"
check "first of two values naming the port decides" "opened=1 ackMode=1 $timeouts pending=none" \
    "$(line_8n1 19200)" 5 202 '\!Device\Serial5=COM5' "$usb_name=COM5"
check "a 255-character name is read" "opened=1 ackMode=0 $timeouts pending=5A" "$scrambled" \
    5 202 "\\!$(long_text 253)=COM9" "$usb_name=COM5"
check "a 256-character name ends the lookup" "opened=1 ackMode=1 $timeouts pending=none" \
    "$(line_8n1 19200)" 5 202 "\\!$(long_text 254)=COM9" "$usb_name=COM5"
check "256 characters of data end the lookup" "opened=1 ackMode=1 $timeouts pending=none" \
    "$(line_8n1 19200)" 5 202 "\\!Device\\Serial9=$(long_text 256)" "$usb_name=COM5"
map_port com5 -

map_port com3
check "data com3 is not COM3" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 19200)" \
    3 202 "$usb_name=com3"
map_port com3 -

map_port lpt1
check "parallel port" "opened=1 ackMode=0 $timeouts pending=5A" "$scrambled" 8001 202
map_port lpt1 -

# Bits 12 to 14 stay in the number; only that device exists.
map_port com4099
check "code 0x1003 opens COM4099" "opened=1 ackMode=1 $timeouts pending=none" "$(line_8n1 38400)" 1003 205
map_port com4099 -
map_port lpt32767
check "code 0xFFFF opens LPT32767" "opened=1 ackMode=0 $timeouts pending=5A" "$scrambled" FFFF 205
map_port lpt32767 -

map_port com9 -
check "no port chosen" "opened=0" "$scrambled" 0 202
check "missing port" "opened=0" "$scrambled" 9 202
check "code 0x1003 is not COM3" "opened=0" "$scrambled" 1003 202

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
