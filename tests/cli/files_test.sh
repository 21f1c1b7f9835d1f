#!/bin/bash
# quorvane-cli frames and check, as a user runs them (CLI_COMMAND may start
# with an emulator, such as the wine64 wrapper):
#   files_test.sh DATA_DIR EXAMPLES_DIR CLI_COMMAND...
set -u
data=$1 examples=$2
shift 2
cli=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs the CLI; stdout in $work/out (line ends as on Linux), stderr in $work/err.
run() { "${cli[@]}" "$@" <"${input:-/dev/null}" >"$work/raw" 2>"$work/err"; status=$?; tr -d '\r' <"$work/raw" >"$work/out"; }
hex_of_raw() { od -An -v -tx1 "$work/raw" | tr -d ' \n' | tr a-f A-F; }
expect() {  # NAME WANTED_STATUS [TEXT in what it said]
    [ "$status" -eq "$2" ] || fail "$1: exit $status, wanted $2: $(head -c 300 "$work/err")"
    [ -z "${3:-}" ] || grep -qF -- "$3" "$work/out" "$work/err" || fail "$1: no '$3' in: $(cat "$work/out" "$work/err")"
}
worked=$examples/worked-example.mot

# The bytes a job sends: the device's worked example, byte for byte, and
# files that must give exactly the same bytes, from a file or standard input.
run frames --raw "$worked"
expect "worked example" 0
[ "$(hex_of_raw)" = "1B1D3F30310A00020000000000030140021000000000285F245F2212226A000424290008237C0316BF1B1D3F31300A00" ] ||
    fail "worked example: got $(hex_of_raw)"
cp "$work/raw" "$work/worked.raw"
for name in crlf-line-ends last-line-without-line-end lines-after-the-end; do
    run frames --raw "$data/$name.mot"
    expect "$name" 0
    cmp -s "$work/raw" "$work/worked.raw" || fail "$name: bytes differ from the worked example"
done
input=$worked run frames --raw -
cmp -s "$work/raw" "$work/worked.raw" || fail "standard input: bytes differ from the worked example"
run frames --raw "$data/longest-record.mot"
[ "$(stat -c %s "$work/raw")" -eq $((7 + 9 + 250 + 7)) ] || fail "longest record: $(stat -c %s "$work/raw") bytes"

# Files the job fails on: exit 1, the line and reason, never the end sequence.
while IFS='|' read -r name text; do
    run frames --raw "$data/$name.mot"
    expect "$name" 1 "$text"
    [ "$(hex_of_raw | tail -c 14)" != "1B1D3F31300A00" ] || fail "$name: end sequence sent"
done <<'LIST'
empty|empty file: file ended before a termination record
no-termination-record|.mot: after line 2: file ended before a termination record
blank-line|line 2: line is not an acceptable S-record
too-long-line|line 2: line is longer than any S-record
LIST

# The listing names each unit and the line each frame came from.
run frames "$worked"
expect "listing" 0 "outcome: end, 2 frames, 16 data bytes"
grep -q '^start  *1B 1D 3F 30 31 0A 00$' "$work/out" || fail "listing: no start line"
grep -q '^line 2  *02 10 00 00 00 00 28 5F' "$work/out" || fail "listing: no frame of line 2"
grep -q '^end  *1B 1D 3F 31 30 0A 00$' "$work/out" || fail "listing: no end line"

# check: the summary of a clean file, then each problem with its line.
run check "$examples/demo-firmware.mot"
expect "demo firmware" 0 "records: S0 1, S2 512, S5 1, S8 1"
for line in "data bytes: 16384" "0x00010000-0x00013FFF (16384 bytes)" "frames: 514" "problems: none"; do
    grep -qF "$line" "$work/out" || fail "demo firmware: no '$line'"
done
# Start 7 + frames 9 + 25 + answers 2 + end 7 = 50 bytes, 500 bits.
run check --baud 38400 "$worked"
expect "worked example" 0 "time on the wire at 38400 baud: 0.0 s (50 bytes"
run check --json "$examples/broken.mot"
expect "check --json" 2
python3 -c 'import json, sys
check, outcome = [json.loads(line) for line in sys.stdin]
assert check["event"] == "check" and check["problem_count"] == 2 and len(check["problems"]) == 2, check
assert check["data_bytes"] == 20 and check["frames"] == 3 and check["records"] == {"S0": 1, "S1": 2, "S9": 1}, check
assert outcome == {"event": "outcome", "result": "problems", "exit": 2, "reason": ""}, outcome' <"$work/out" ||
    fail "check --json: not the check and outcome events: $(cat "$work/out")"
HEADER=S00600004844521B
DATA=S1130000000102030405060708090A0B0C0D0E0F74
END=S9030000FC
# name | file lines (printf format) | exit status | expected text
while IFS='|' read -r name lines want text; do
    printf "$lines" >"$work/file.mot"
    run check "$work/file.mot"
    expect "$name" "$want" "$text"
done <<LIST
record checksum|$HEADER\n${DATA%74}75\n$END\n|2|line 2: record checksum is 75, should be 74
lower-case digits|$HEADER\ns1130000000102030405060708090a0b0c0d0e0f74\nS1130010000102030405060708090a0b0c0d0e0f64\n$END\n|2|line 2: not an S-record
lower-case hex digits are digits|S1130000000102030405060708090a0b0c0d0e0f74\n$END\n|0|problems: none
count longer than the line|$HEADER\nS1140000000102030405060708090A0B0C0D0E0F74\n$END\n|2|line 2: count says 20 bytes, the line holds 19
not hexadecimal|$DATA\nS1070008000G0203EA\n$END\n|2|line 2: character 12 is not a hexadecimal digit
odd digit count|$DATA\nS107000800010203EA0\n$END\n|2|line 2: odd number of hexadecimal digits
a type alone|S1\n$END\n|2|line 1: record has no byte count
a DOS end-of-file mark after the end|$DATA\n$END\032\n|0|line 2: a DOS end-of-file mark (^Z) after the termination record
blank line before the end|$DATA\n\n$END\n|2|line 2: not an S-record
no termination record|$HEADER\n$DATA\n|2|file: no termination record
text after the end|$DATA\n$END\n\n\r\nx\n|2|line 5: text after the termination record
S5 count|$DATA\nS5030002FA\n$END\n|2|line 2: S5 count is 2, 1 data records came before it
overlapping data|$DATA\nS107000800010203EA\n$END\n|2|line 2: data at 0x00000008 overlaps data of an earlier record
overlap after a wrong checksum|${DATA%74}75\nS107000800010203EA\n$END\n|2|line 2: data at 0x00000008 overlaps data of an earlier record
adjacent records merge|$DATA\nS107001000010203E2\nS5030002FA\n$END\n|0|0x00000000-0x00000013 (20 bytes)
reserved record type|$DATA\nS4030000FC\n$END\n|2|line 2: record type S4 is reserved
Intel HEX, said to be converted|:0400000001020304F2\n:00000001FF\n|0|converted from Intel HEX): records and line numbers
a NUL byte counts its frame|$DATA\nS10400005\000\n$END\n|2|frames: 2
LIST

# The first 20 problems are kept, the rest counted.
for i in $(seq 25); do echo "x$i"; done >"$work/many.mot"
run check "$work/many.mot"
expect "many problems" 2 "problems: 26"
[ "$(grep -c '^  line' "$work/out")" -eq 20 ] || fail "many problems: not 20 kept"
expect "many problems" 2 "and 6 more"

# What is not firmware, and output that cannot be written: exit 2 with the reason.
printf '\177ELF\002\001\001' >"$work/program.elf"
printf '\000\001\002\377' >"$work/blob.bin"
run check "$work/program.elf"; expect "an ELF file" 2 "is an ELF file: convert it with objcopy -O srec"
run check "$work/blob.bin"; expect "binary bytes" 2 "if it is a raw binary image, give its load address with --base"
for command in check frames convert; do
    run "$command" "$work"; expect "$command of a folder" 2 "is a directory, not a firmware file"
    run "$command" "$data/does-not-exist.mot"; expect "$command of a missing file" 2 "cannot open"
    run "$command" --bogus "$worked"; expect "$command unknown option" 2 "unknown option '--bogus'"
    "${cli[@]}" "$command" "$worked" >/dev/full 2>"$work/err"; status=$?
    expect "$command to a full disk" 2 "cannot write to standard output"
done
"${cli[@]}" frames --raw "$worked" >/dev/full 2>"$work/err"; status=$?
expect "raw frames to a full disk" 2 "cannot write to standard output"
run check --baud 1200 "$worked"; expect "bad baud rate" 2 "baud rate must be"
run frames; expect "no file" 2
run nonsense; expect "unknown command" 2

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
