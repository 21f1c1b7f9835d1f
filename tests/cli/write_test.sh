#!/bin/bash
# quorvane-cli write over ptys against quorvane-sim: every outcome, its exit
# status and its reason, and that the device received exactly the frames.
#   write_test.sh CLI SIM EXAMPLES_DIR MAKE_FIRMWARE
set -u
cli=$1 sim=$2 examples=$3 make_firmware=$4
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
# The remembered port and baud live here, not in the user's own settings.
export XDG_CONFIG_HOME=$work/config
unset QUORVANE_PORT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Starts a simulator with the given options; sets $pty and $sim_pid. Its
# transcript and raw bytes go to $work/NAME.{jsonl,raw}.
start_sim() {  # NAME OPTIONS...
    local name=$1
    shift
    "$sim" --transcript "$work/$name.jsonl" --raw "$work/$name.raw" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    sim_pid=$!
    pids+=("$sim_pid")
    for _ in $(seq 50); do
        pty=$(head -n 1 "$work/$name.out" 2>/dev/null)
        [ -n "$pty" ] && return 0
        sleep 0.1
    done
    fail "$name: simulator did not start"
}

stop_sim() { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }

# Runs the CLI with a time limit; status in $status, stderr in $work/err.
write() {
    timeout 60 "$cli" write "$@" >"$work/out" 2>"$work/err"
    status=$?
}

expect() {  # NAME WANTED_STATUS [TEXT on stderr]
    [ "$status" -eq "$2" ] || fail "$1: exit $status, wanted $2: $(tail -n 3 "$work/err")"
    [ -z "${3:-}" ] || grep -qF -- "$3" "$work/err" || fail "$1: no '$3' in: $(cat "$work/err")"
}

frames_of() { grep -c '"event":"frame"' "$work/$1.jsonl"; }

worked=$examples/worked-example.mot
demo=$examples/demo-firmware.mot
"$cli" frames --raw "$demo" >"$work/demo.expected"
"$cli" frames --raw "$worked" >"$work/worked.expected"

# A good write: exactly the frames, every CRC good, the simulator satisfied.
start_sim good --once
write "$demo" --port "$pty"
expect "good write" 0 "written, 16384 bytes in 514 frames"
wait "$sim_pid"; sim_status=$?
[ "$sim_status" -eq 0 ] || fail "good write: simulator says malformed ($sim_status)"
cmp -s "$work/good.raw" "$work/demo.expected" || fail "good write: device received other bytes"

# NAK at frame 3: failed, the reason names the frame, nothing after it sent.
start_sim nak --nak 3
write "$demo" --port "$pty"
expect "NAK" 1 "NAK after frame 3 (address 0x00010020)"
sleep 0.3
[ "$(frames_of nak)" -eq 3 ] || fail "NAK: $(frames_of nak) frames reached the device, wanted 3"
stop_sim

# Junk before every answer is skipped.
start_sim junk --junk 5 --once
write "$worked" --port "$pty"
expect "junk" 0
wait "$sim_pid"
cmp -s "$work/junk.raw" "$work/worked.expected" || fail "junk: device received other bytes"

# Silence: --answer-timeout ends the wait.
start_sim silent --silent
write "$worked" --port "$pty" --answer-timeout 0.5
expect "silent with timeout" 1 "no answer within 0.5 seconds after frame 1"
stop_sim

# Silence with --mode silent: frames back to back, and the job succeeds.
start_sim silentmode --silent --once
write "$demo" --port "$pty" --mode silent
expect "silent mode" 0
wait "$sim_pid"
cmp -s "$work/silentmode.raw" "$work/demo.expected" || fail "silent mode: device received other bytes"

# A slow line (4800 baud emulated): still exact.
start_sim slow --baud 4800 --once
write "$worked" --port "$pty" --baud 4800
expect "slow line" 0
wait "$sim_pid"
cmp -s "$work/slow.raw" "$work/worked.expected" || fail "slow line: device received other bytes"

# The device goes away mid-job: port lost, no spinning until a timeout.
start_sim lost --delay 300
( sleep 1; kill -9 "$sim_pid" ) &
pids+=($!)
write "$demo" --port "$pty" --answer-timeout 0
expect "port lost" 1 "port lost"

# Ctrl-C mid-job: aborted (exit 3), nothing sent after the abort.
start_sim interrupted --delay 100
timeout 60 "$cli" write "$demo" --port "$pty" >"$work/out" 2>"$work/err" &
writer=$!
pids+=("$writer")
sleep 1
kill -INT "$writer"
wait "$writer"; status=$?
expect "Ctrl-C" 3 "aborted after"
sent=$(stat -c %s "$work/interrupted.raw")
sleep 0.5
[ "$(stat -c %s "$work/interrupted.raw")" -eq "$sent" ] || fail "Ctrl-C: bytes arrived after the abort"
! grep -q '"event":"end"' "$work/interrupted.jsonl" || fail "Ctrl-C: end sequence sent"
stop_sim

# Three devices at once, the second NAKing frame 2: the others are written.
start_sim one --once; one=$pty; one_pid=$sim_pid
start_sim two --nak 2; two=$pty; two_pid=$sim_pid
start_sim three --once; three=$pty; three_pid=$sim_pid
write "$demo" --port "$one" --port "$two" --port "$three" --json
expect "three ports" 1
python3 - "$work/out" "$one" "$two" "$three" <<'PY' || fail "three ports: JSON events wrong"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert events[0]["event"] == "start" and events[0]["total"] == 16384, events[0]
outcomes = {e["port"]: e for e in events if e["event"] == "outcome"}
assert outcomes[sys.argv[2]]["result"] == "written" and outcomes[sys.argv[2]]["exit"] == 0
assert outcomes[sys.argv[3]]["result"] == "failed" and "NAK after frame 2" in outcomes[sys.argv[3]]["reason"]
assert outcomes[sys.argv[4]]["result"] == "written"
progress = [e for e in events if e["event"] == "progress"]
assert progress and all(0 <= e["sent"] <= e["total"] for e in progress)
PY
wait "$one_pid" "$three_pid"
cmp -s "$work/one.raw" "$work/demo.expected" || fail "three ports: first device received other bytes"
cmp -s "$work/three.raw" "$work/demo.expected" || fail "three ports: third device received other bytes"
kill "$two_pid" 2>/dev/null

# A port that does not exist, and one already open elsewhere.
write "$worked" --port "$work/no-such-port"
expect "missing port" 4 "cannot open $work/no-such-port: No such file or directory"
start_sim busy
exec 7<>"$pty"
flock -n 7 || fail "busy: could not lock the port for the test"
write "$worked" --port "$pty"
expect "busy port" 4 "port busy"
exec 7>&-
stop_sim

# A file with problems is refused before any port is opened, unless --force.
printf 'S1130000285F245F2212226A000424290008237C00\nS9030000FC\n' >"$work/bad-checksum.mot"
write "$work/bad-checksum.mot" --port "$work/no-such-port"
expect "check refuses" 2 "record checksum is 00, should be 2A"
start_sim forced --once
write "$work/bad-checksum.mot" --port "$pty" --force
expect "forced" 0
wait "$sim_pid"

# --save remembers the port and the baud rate; later writes use them, and
# QUORVANE_PORT overrides the remembered port.
start_sim saved --link "$work/device" --once
write "$worked" --port "$work/device" --baud 19200 --save
expect "save" 0
wait "$sim_pid"
settings=$XDG_CONFIG_HOME/quorvane/KORVIN.INI
grep -qx "PORT1=00ca" "$settings" || fail "save: no PORT1=00ca in: $(cat "$settings")"
grep -qx "DEVICE=$work/device" "$settings" || fail "save: no DEVICE line in: $(cat "$settings")"
start_sim remembered --link "$work/device" --once
write "$worked"
expect "remembered port" 0 "$work/device: written"
wait "$sim_pid"
cmp -s "$work/remembered.raw" "$work/worked.expected" || fail "remembered port: device received other bytes"
QUORVANE_PORT=$work/elsewhere write "$worked"
expect "QUORVANE_PORT" 4 "cannot open $work/elsewhere"
rm -f "$settings"

# Usage errors.
write "$worked"; [ "$status" -eq 2 ] || fail "no port: exit $status"
write "$worked" --port x --baud 1200; [ "$status" -eq 2 ] || fail "bad baud: exit $status"
write "$worked" --port x --mode loud; [ "$status" -eq 2 ] || fail "bad mode: exit $status"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
