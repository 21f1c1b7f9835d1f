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
slots = ["$work/board1", "$work/board2", "$work/board3", "$work/board4"]
log = "station.jsonl"
retries = 1
boards = 30
[serial]
address = 0x10010
width = 4
format = "dec"
first = 1000
last = 1099
state = "board.state"
EOF
sims=()
start_sim() {  # SLOT RAW OPTIONS...: a board plugged in again after each job
    local slot=$1 raw=$2
    shift 2
    "$sim" --link "$work/board$slot" --replug 300 --raw "$work/$raw.raw" "$@" >/dev/null 2>&1 &
    sims[$slot]=$!
    pids+=($!)
    wait_for "[ -e '$work/board$slot' ]"
}
start_station() {
    "$cli" station --recipe "$work/r.toml" >>"$work/station.err" 2>&1 &
    station=$!
    pids+=("$station")
}
size() { stat -c %s "$work/$1.raw" 2>/dev/null || echo 0; }

# A NAK on the first frame, before the number's record: returned, and the
# retry (attempt 2) takes the same number.
start_sim 1 nak --nak 1
start_station
wait_for '[ "$(lines)" -ge 2 ]'
kill "$station"; wait "$station"; kill "${sims[1]}"; wait "${sims[1]}"
grep -q '"attempt":1,"board_serial":1000,"serial_state":"returned"' "$work/station.jsonl" || fail "NAK: not returned"
grep -q '"attempt":2,"board_serial":1000' "$work/station.jsonl" || fail "the retry took another number"

# A line's worth: 30 boards through 4 slots, with a NAK past the number's
# record (spent, and kept for the retry), a board unplugged mid-job, and the
# station killed with SIGKILL at random points and started again.
start_sim 1 board1 --delay 1 --nak 600
for slot in 2 3 4; do start_sim $slot board$slot --delay 1; done
for round in 1 2 3; do
    start_station
    if [ $round -eq 2 ]; then
        wait_for "[ $(size board2) -lt \$(size board2) ]" && wait_for "[ $(($(size board2) + 2000)) -lt \$(size board2) ]"
        kill "${sims[2]}"; wait "${sims[2]}"
        start_sim 2 board2-replugged --delay 1
    fi
    target=$(($(lines) + 1 + RANDOM % 6))
    wait_for '[ "$(lines)" -ge $target ]'
    kill -9 "$station"; wait "$station" 2>/dev/null
done
timeout 300 "$cli" station --recipe "$work/r.toml" >>"$work/station.err" 2>&1 ||
    fail "the station did not end at its quota: $(tail -n 3 "$work/station.err")"
for slot in 1 2 3 4; do kill "${sims[$slot]}"; wait "${sims[$slot]}"; done

"$cli" log verify "$work/station.jsonl" >"$work/verify" || fail "the chain: $(cat "$work/verify")"
"$cli" log summary "$work/station.jsonl" >"$work/summary"
# What each board received: a board ends with the end sequence (the
# simulator plugs a new one in after it; a file's last piece is a board never
# finished), its jobs begin with the start sequence, and a job's number is in
# the record at 0x10000 (data offset 0x10 = 16 + 6 frame bytes). No number on
# two boards, every number that went out in the log, and the log's written
# numbers those the finished boards ended with.
python3 - "$work" <<'EOF' || fail "numbers and boards disagree: $(cat "$work/summary")"
import collections, json, re, sys
work = sys.argv[1]
frame, start, end = (bytes.fromhex(x) for x in ("022000010000", "1B1D3F30310A00", "1B1D3F31300A00"))
def numbers(board):
    jobs = [job[job.find(frame):] for job in board.split(start) if frame in job]
    return [int(job[22:26]) for job in jobs if len(job) >= 26]
finished, on_boards = [], collections.Counter()
for name in ["nak", "board1", "board2", "board2-replugged", "board3", "board4"]:
    pieces = open("%s/%s.raw" % (work, name), "rb").read().split(end)
    for i, board in enumerate(pieces):
        got = numbers(board)
        on_boards.update(set(got))
        if i < len(pieces) - 1 and got: finished.append(got[-1])
state = collections.defaultdict(set)
for line in open(work + "/station.jsonl"): state[json.loads(line)["serial_state"]].add(json.loads(line)["board_serial"])
problems = {
    "on two boards": {n for n, boards in on_boards.items() if boards > 1},
    "went out, not logged": set(on_boards) - state["written"] - state["spent"] - state["unknown"],
    "logged written, on no finished board": state["written"] - set(finished),
    "finished, logged neither written nor unknown": set(finished) - state["written"] - state["unknown"],
}
print("finished boards", len(finished), "written", len(state["written"]), {k: v for k, v in problems.items() if v})
summary = open(work + "/summary").read()
sys.exit(0 if len(state["written"]) == 30 and "serial numbers written (30)" in summary and not any(problems.values())
         else 1)
EOF
# The last board on an undisturbed slot received what frames says the board
# with its number is sent.
last=$(grep '"slot":"'"$work"'/board3".*"serial_state":"written"' "$work/station.jsonl" | tail -n 1 |
    sed 's/.*"board_serial":\([0-9]*\).*/\1/')
"$cli" frames --recipe "$work/r.toml" --serial "$last" --raw >"$work/last.expected"
tail -c "$(stat -c %s "$work/last.expected")" "$work/board3.raw" | cmp -s - "$work/last.expected" ||
    fail "frames --recipe --serial $last --raw is not what the board that got it received"
grep -q '"serial_state":"spent"' "$work/station.jsonl" || fail "neither the NAK nor the unplugging spent a number"

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
# Without a [serial] table: each board gets the image as it is, and its
# record no number.
sed -e '/^\[serial\]/,$d' -e "s|^slots = .*|slots = [\"$work/w3\"]|" -e 's/write.jsonl/plain.jsonl/' \
    "$work/w.toml" >"$work/plain.toml"
"$sim" --link "$work/w3" --once --raw "$work/w3.raw" >/dev/null 2>&1 &
plain_sim=$!
pids+=("$plain_sim")
wait_for "[ -e '$work/w3' ]"
"$cli" write --recipe "$work/plain.toml" -q 2>"$work/plain.err" ||
    fail "write --recipe without [serial]: $(cat "$work/plain.err")"
wait "$plain_sim" || fail "without [serial]: the device saw a malformed job"
"$cli" frames --raw "$work/demo-firmware.mot" | cmp -s - "$work/w3.raw" ||
    fail "without [serial]: the board did not get the image as it is"
grep -q '"board_serial":null' "$work/plain.jsonl" || fail "without [serial], the record: $(cat "$work/plain.jsonl")"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
