#!/bin/bash
# Whole write jobs under wine64: the worker over the Win32 seam, through a
# Wine port mapped to quorvane-sim's pty. What the simulated device received
# must be exactly what quorvane-cli frames --raw prints for the same file.
#   write_job_test.sh SOURCE_PREFIX WINE64 QUORVANE_SIM QUORVANE_CLI EXAMPLES_DIR
#                     MAKE_LARGE_MOT WRITE_JOB_TEST_EXE
set -u
here=$(dirname "$0")
. "$here/wine_port.sh"
wine_port_setup "$1" "$2"
sim=$3 cli=$4 examples=$5 make_firmware=$6 exe=$7
for tool in "$sim" "$cli"; do
    [ -x "$tool" ] || { echo "native tool not built: $tool (build the native tree first)"; exit 1; }
done

# The expected bytes, and per frame: its number, where it ends in those
# bytes, and the data bytes sent up to and including it.
expect() {  # NAME MOT_FILE
    "$cli" frames --raw "$2" >"$work/$1.raw" || { echo "quorvane-cli failed on $2"; exit 1; }
    od -An -v -tu1 "$work/$1.raw" | awk '
        { for (i = 1; i <= NF; i++) byte[n++] = $i }
        END {
            position = 7; total = 0
            while (position < n && byte[position] == 2) {
                total += byte[position + 1]; position += 9 + byte[position + 1]
                print ++frames, position, total
            }
        }' >"$work/$1.frames"
}
frame_count() { wc -l <"$work/$1.frames"; }
frame_end() { awk -v k="$2" '$1 == k { print $2 }' "$work/$1.frames"; }
data_total() { awk -v k="$2" '$1 == k { print $3 }' "$work/$1.frames"; }

cp "$examples/worked-example.mot" "$work/worked.mot"
"$make_firmware" --bytes 300000 --type 3 --record-bytes 64 --address 0 "$work/large.mot"
expect worked "$work/worked.mot"
expect large "$work/large.mot"

# run_job DEVICE CODE NAME [SIM_OPTION...] [-- ABORT_AFTER_MS]
# The device under Wine's DEVICE name (com5, lpt1) is the simulator's pty.
# Leaves the job's report in $report, the bytes received in $work/received,
# the simulator's exit status in $sim_status.
run_job() {
    local device=$1 code=$2 name=$3
    shift 3
    local options=() abort=()
    while [ $# -gt 0 ]; do
        if [ "$1" = "--" ]; then abort=("$2"); break; fi
        options+=("$1")
        shift
    done
    map_port "$device" -
    rm -f "$work/received"
    "$sim" --link "$WINEPREFIX/dosdevices/$device" --raw "$work/received" \
        --transcript "$work/transcript" "${options[@]}" >"$work/sim.out" 2>&1 &
    sim_pid=$!
    local tries=0
    until [ -L "$WINEPREFIX/dosdevices/$device" ] || [ $tries -ge 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    run_windows "$exe" "$code" 202 "Z:${work//\//\\}\\$name.mot" "${abort[@]}"
    report=$(tr -d '\r' <"$work/out")
    # The server may hold the pty as its controlling terminal: it goes first.
    "$wineserver" -k 2>/dev/null
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    sim_status=$?
    sim_pid=
}

field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$report"; }

expect_report() {  # WHAT OUTCOME PROGRESS TOTAL
    echo "$1: $report"
    [ "$(field outcome)" = "$2" ] && [ "$(field progress)" = "$3" ] && [ "$(field total)" = "$4" ] ||
        fail "$1: got '$report', wanted outcome=$2 progress=$3 total=$4"
}

expect_received() {  # WHAT EXPECTED_FILE [BYTES]
    local wanted=$work/wanted
    if [ $# -gt 2 ]; then head -c "$3" "$2" >"$wanted"; else cp "$2" "$wanted"; fi
    cmp -s "$wanted" "$work/received" ||
        fail "$1: the device received $(stat -c %s "$work/received" 2>/dev/null || echo no) bytes, not the $(stat -c %s "$wanted") expected ($(cmp "$wanted" "$work/received" 2>&1 | head -1))"
}

# Serial port, the device answering every frame.
run_job com5 5 worked
expect_report "worked example" end 2 16
expect_received "worked example" "$work/worked.raw"
[ "$sim_status" -eq 0 ] || fail "worked example: the device saw a malformed stream ($(cat "$work/sim.out"))"

frames=$(frame_count large)
run_job com5 5 large
expect_report "large file" end "$frames" "$(data_total large "$frames")"
expect_received "large file" "$work/large.raw"
[ "$sim_status" -eq 0 ] || fail "large file: the device saw a malformed stream"

# NAK fails the job at once: nothing after the refused frame.
run_job com5 5 large --nak 3
expect_report "NAK at frame 3" error 2 "$(data_total large 2)"
expect_received "NAK at frame 3" "$work/large.raw" "$(frame_end large 3)"

# Bytes other than ACK and NAK before the answer are read and skipped.
run_job com5 5 large --junk 3
expect_report "junk before every ACK" end "$frames" "$(data_total large "$frames")"
expect_received "junk before every ACK" "$work/large.raw"
[ "$(field reads)" -ge $((4 * frames)) ] || fail "junk before every ACK: only $(field reads) reads"

# A device that never answers: the worker waits until ABORT, which it sees
# once the read under way (at most the 200 ms read timeout) returns.
run_job com5 5 worked --silent -- 500
expect_report "silent device, ABORT" aborted 0 0
expect_received "silent device, ABORT" "$work/worked.raw" "$(frame_end worked 1)"
abort_ms=$(field abort_ms)
[ -n "$abort_ms" ] && [ "$abort_ms" -ge 0 ] && [ "$abort_ms" -le 1000 ] ||
    fail "silent device, ABORT: the outcome came $abort_ms ms after ABORT, wanted within about 200"
echo "silent device: aborted $abort_ms ms after ABORT"

# A parallel port: frames back to back, the port never read.
run_job lpt1 8001 large --silent
expect_report "parallel port" end "$frames" "$(data_total large "$frames")"
expect_received "parallel port" "$work/large.raw"
[ "$(field reads)" = 0 ] || fail "parallel port: the worker read the port $(field reads) times"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
