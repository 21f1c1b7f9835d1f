#!/bin/bash
# quorvane-cli check: a clean file passes with its summary; each broken file
# is refused with the problem and its line.
#   check_test.sh EXAMPLES_DIR CLI_COMMAND...
set -u
examples=$1
shift
cli=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
run() { "${cli[@]}" "$@" 2>"$work/err" | tr -d '\r' >"$work/out"; status=${PIPESTATUS[0]}; }
expect_line() {  # NAME TEXT: a line of the output must contain TEXT
    grep -qF -- "$2" "$work/out" || fail "$1: no line with '$2' in: $(cat "$work/out")"
}

run check "$examples/demo-firmware.mot"
[ "$status" -eq 0 ] || fail "demo firmware: exit $status"
expect_line "demo firmware" "records: S0 1, S2 512, S5 1, S8 1"
expect_line "demo firmware" "data bytes: 16384"
expect_line "demo firmware" "0x00010000-0x00013FFF (16384 bytes)"
expect_line "demo firmware" "frames: 514"
expect_line "demo firmware" "problems: none"

# Start 7 + frames 9 + 25 + answers 2 + end 7 = 50 bytes, 500 bits.
run check --baud 38400 "$examples/worked-example.mot"
[ "$status" -eq 0 ] || fail "worked example: exit $status"
expect_line "worked example" "time on the wire at 38400 baud: 0.0 s (50 bytes"

HEADER=S00600004844521B
DATA=S1130000000102030405060708090A0B0C0D0E0F74
END=S9030000FC
# name | file lines (\n-separated, printf format) | expected problem text
while IFS='|' read -r name lines problem; do
    printf "$lines" >"$work/file.mot"
    run check "$work/file.mot"
    [ "$status" -eq 1 ] || fail "$name: exit $status, wanted 1"
    expect_line "$name" "$problem"
done <<LIST
record checksum|$HEADER\n${DATA%74}75\n$END\n|line 2: record checksum is 75, should be 74
count longer than the line|$HEADER\nS1140000000102030405060708090A0B0C0D0E0F74\n$END\n|line 2: count says 20 bytes, the line holds 19
not hexadecimal|$DATA\nS1070008000G0203EA\n$END\n|line 2: character 12 is not a hexadecimal digit
odd digit count|$DATA\nS107000800010203EA0\n$END\n|line 2: odd number of hexadecimal digits
not a record|$HEADER\nhello\n$END\n|line 2: not an S-record
blank line before the end|$DATA\n\n$END\n|line 2: not an S-record
no termination record|$HEADER\n$DATA\n|file: no termination record
text after the end|$DATA\n$END\nmore\n|line 3: text after the termination record
blank lines after the end are fine, text is not|$DATA\n$END\n\n\r\nx\n|line 5: text after the termination record
S5 count|$DATA\nS5030002FA\n$END\n|line 2: S5 count is 2, 1 data records came before it
overlapping data|$DATA\nS107000800010203EA\n$END\n|line 2: data at 0x00000008 overlaps data of an earlier record
overlap after a wrong checksum|${DATA%74}75\nS107000800010203EA\n$END\n|line 2: data at 0x00000008 overlaps data of an earlier record
reserved record type|$DATA\nS4030000FC\n$END\n|line 2: record type S4 is reserved
LIST

# Adjacent records merge into one range; a right S5 count passes.
printf "$DATA\nS107001000010203E2\nS5030002FA\n$END\n" >"$work/file.mot"
run check "$work/file.mot"
[ "$status" -eq 0 ] || fail "adjacent records: exit $status"
expect_line "adjacent records" "0x00000000-0x00000013 (20 bytes)"

run check --baud 1200 "$examples/demo-firmware.mot"
[ "$status" -eq 2 ] || fail "bad baud rate: exit $status, wanted 2"
run check "$work/no-such-file.mot"
[ "$status" -eq 2 ] || fail "missing file: exit $status, wanted 2"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
