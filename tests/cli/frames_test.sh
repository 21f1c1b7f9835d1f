#!/bin/bash
# quorvane-cli frames, run as a user runs it:
#   frames_test.sh DATA_DIR EXAMPLES_DIR CLI_COMMAND...
# (CLI_COMMAND may start with an emulator, such as the wine64 wrapper.)
set -u
data=$1 examples=$2
shift 2
cli=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs the CLI, keeping stdout in $work/out and the exit status in $status.
run() { "${cli[@]}" "$@" >"$work/out" 2>"$work/err"; status=$?; }
hex_of_out() { od -An -v -tx1 "$work/out" | tr -d ' \n' | tr a-f A-F; }

expect_status() {  # NAME WANTED
    [ "$status" -eq "$2" ] || fail "$1: exit status $status, wanted $2 ($(head -c 300 "$work/err"))"
}

# The device's worked example, byte for byte.
worked="1B1D3F30310A00"
worked+="020000000000030140"
worked+="0210000000002 85F245F2212226A00042429000823 7C0316BF"
worked+="1B1D3F31300A00"
worked=${worked// /}
run frames --raw "$examples/worked-example.mot"
expect_status "worked example" 0
[ "$(hex_of_out)" = "$worked" ] || fail "worked example: got $(hex_of_out)"
cp "$work/out" "$work/worked.raw"

# Files that must give exactly the worked example's bytes.
for name in crlf-line-ends last-line-without-line-end lines-after-the-end; do
    run frames --raw "$data/$name.mot"
    expect_status "$name" 0
    cmp -s "$work/out" "$work/worked.raw" || fail "$name: bytes differ from the worked example"
done

# A record of 514 characters (the longest) with CR LF is sent whole.
run frames --raw "$data/longest-record.mot"
expect_status "longest record" 0
[ "$(stat -c %s "$work/out")" -eq $((7 + 9 + 250 + 7)) ] || fail "longest record: $(stat -c %s "$work/out") bytes"

# Files the job must fail on: exit 1, the reason and line on standard error,
# and never the end sequence.
while read -r name line reason; do
    run frames --raw "$data/$name.mot"
    expect_status "$name" 1
    grep -q "line $line: $reason" "$work/err" || fail "$name: wanted 'line $line: $reason', got: $(cat "$work/err")"
    [ "$(hex_of_out | tail -c 14)" != "1B1D3F31300A00" ] || fail "$name: end sequence sent"
done <<'LIST'
empty 1 file ended before a termination record
no-termination-record 3 file ended before a termination record
blank-line 2 line is not an acceptable S-record
too-long-line 2 line is longer than any S-record
LIST

# The readable listing names each unit and the line each frame came from.
run frames "$examples/worked-example.mot"
expect_status "listing" 0
tr -d '\r' <"$work/out" >"$work/listing" && mv "$work/listing" "$work/out"  # text mode on Windows
grep -q '^start  *1B 1D 3F 30 31 0A 00$' "$work/out" || fail "listing: no start line"
grep -q '^line 2  *02 10 00 00 00 00 28 5F' "$work/out" || fail "listing: no frame of line 2"
grep -q '^end  *1B 1D 3F 31 30 0A 00$' "$work/out" || fail "listing: no end line"
grep -q '^outcome: end, 2 frames, 16 data bytes$' "$work/out" || fail "listing: outcome: $(tail -1 "$work/out")"

# Usage errors and unreadable files: exit 2.
run frames; expect_status "no file" 2
run frames --bogus "$examples/worked-example.mot"; expect_status "unknown option" 2
run frames "$data/does-not-exist.mot"; expect_status "missing file" 2
run nonsense; expect_status "unknown command" 2

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
