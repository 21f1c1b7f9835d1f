#!/bin/bash
# station --recipe against quorvane-sim over a pty: what a board receives is
# what `frames --recipe R --serial N --raw` says; a NAK before the number's
# frame returns the number; kill -9 at points of a run never hands a number
# to two boards, and every number handed out is in a log whose chain holds.
#   recipe_test.sh CLI SIM EXAMPLES_DIR
set -u
cli=$1 sim=$2 examples=$3
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Waits (at most 30 s) until the command succeeds.
wait_for() { for _ in $(seq 300); do eval "$1" && return 0; sleep 0.1; done; fail "never: $1"; return 1; }
lines() { cat "$work/station.jsonl" 2>/dev/null | wc -l; }

cp "$examples/demo-firmware.mot" "$work/"
cat >"$work/r.toml" <<EOF
name = "test board"
[image]
file = "demo-firmware.mot"
sha256 = "$(sha256sum "$work/demo-firmware.mot" | cut -c1-64)"
[station]
slots = ["$work/board"]
log = "station.jsonl"
retries = 1
boards = 20
[serial]
address = 0x10010
width = 4
format = "dec"
first = 1000
last = 1099
state = "board.state"
EOF
start_sim() {  # OPTIONS...: a board plugged in again after each job
    "$sim" --link "$work/board" --replug 500 --raw "$work/board.raw" "$@" >/dev/null 2>&1 &
    sim_pid=$!
    pids+=("$sim_pid")
    wait_for "[ -e '$work/board' ]"
}
start_station() {
    "$cli" station --recipe "$work/r.toml" >>"$work/station.err" 2>&1 &
    station=$!
    pids+=("$station")
}

# A NAK on the first frame, before the number's record: returned, and the
# retry (attempt 2) takes the same number.
start_sim --nak 1
start_station
wait_for '[ "$(lines)" -ge 2 ]'
kill "$station"; wait "$station"; kill "$sim_pid"; wait "$sim_pid"
grep -q '"attempt":1,"board_serial":1000,"serial_state":"returned"' "$work/station.jsonl" || fail "NAK: not returned"
grep -q '"attempt":2,"board_serial":1000' "$work/station.jsonl" || fail "the retry took another number"
rm -f "$work/board.raw"

# kill -9 at points of a run: after K more log lines, or while a number is out.
start_sim --delay 1
for round in 1 2 3 4 5 6; do
    start_station
    if [ $((RANDOM % 2)) -eq 0 ]; then
        target=$(($(lines) + 1 + RANDOM % 3))
        wait_for '[ "$(lines)" -ge $target ]'
    else
        wait_for "grep -q '^out [0-9]' '$work/board.state'"
    fi
    kill -9 "$station"; wait "$station" 2>/dev/null
done
start_station
wait "$station" || fail "the station did not end at its quota: $(tail -n 3 "$work/station.err")"
kill "$sim_pid"; wait "$sim_pid"

"$cli" log verify "$work/station.jsonl" >"$work/verify" || fail "the chain: $(cat "$work/verify")"
"$cli" log summary "$work/station.jsonl" | grep -q "serial numbers written (20): 1000" || fail "20 boards not written"
# Each job the device received, split at its start sequence, with the number
# in the record at 0x10000 (data offset 0x10 = 16 + 6 frame bytes).
python3 - "$work" <<'EOF' || fail "numbers and boards disagree"
import json, re, sys
work = sys.argv[1]
raw = open(work + "/board.raw", "rb").read()
jobs = [j for j in raw.split(bytes.fromhex("1B1D3F30310A00")) if j]
frame = bytes.fromhex("022000010000")
got = [int(j[j.index(frame) + 22:j.index(frame) + 26]) for j in jobs if frame in j and len(j) > j.index(frame) + 26]
log = [json.loads(line) for line in open(work + "/station.jsonl")]
logged = {line["board_serial"] for line in log if line["serial_state"] in ("written", "spent", "unknown")}
twice = {n for n in got if got.count(n) > 1}
unlogged = set(got) - logged
print("jobs", len(jobs), "numbers", len(got), "twice", twice, "not logged", unlogged)
sys.exit(1 if twice or unlogged else 0)
EOF
# The last board received what frames says the board with its number is sent.
last=$(grep '"serial_state":"written"' "$work/station.jsonl" | tail -n 1 | sed 's/.*"board_serial":\([0-9]*\).*/\1/')
"$cli" frames --recipe "$work/r.toml" --serial "$last" --raw >"$work/last.expected"
tail -c "$(stat -c %s "$work/last.expected")" "$work/board.raw" | cmp -s - "$work/last.expected" ||
    fail "frames --recipe --serial $last --raw is not what the board that got it received"

# write --recipe: each slot written once, each board its own number (the
# second after a NAK past the number's frame: spent, and kept for the retry),
# what frames says, and a log that records both.
sed -e "s|^slots = .*|slots = [\"$work/w1\", \"$work/w2\"]|" -e 's/station.jsonl/write.jsonl/' \
    -e 's/board.state/write.state/' -e '/^boards/d' "$work/r.toml" >"$work/w.toml"
"$sim" --link "$work/w1" --once --raw "$work/w1.raw" >/dev/null 2>&1 &
pids+=($!)
"$sim" --link "$work/w2" --once --nak 3 --raw "$work/w2.raw" >/dev/null 2>&1 &
pids+=($!)
wait_for "[ -e '$work/w1' ] && [ -e '$work/w2' ]"
"$cli" write --recipe "$work/w.toml" -q 2>"$work/write.err" || fail "write --recipe: $(cat "$work/write.err")"
for n in 1 2; do
    "$cli" frames --recipe "$work/w.toml" --serial 100$((n - 1)) --raw >"$work/w$n.expected"
    tail -c "$(stat -c %s "$work/w$n.expected")" "$work/w$n.raw" | cmp -s - "$work/w$n.expected" ||
        fail "write --recipe: slot $n did not get serial number 100$((n - 1))"
done
"$cli" log summary "$work/write.jsonl" | grep -q "serial numbers written (2): 1000-1001" ||
    fail "write --recipe: the log: $("$cli" log summary "$work/write.jsonl")"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
