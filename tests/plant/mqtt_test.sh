#!/bin/bash
# station --mqtt against a real broker (mosquitto on a free port): two
# stations, one over TLS, each under a recipe that names the broker and its
# own block of serial numbers, write simulated boards while the broker is
# stopped and started again; every job of both arrives as its log line, each
# id once once duplicates are dropped, each board's number from its station's
# block; one restarted sends what was not acknowledged,
# log replay skips what was. The retained status shows both, a killed
# station offline by its last will; a password or a CA the broker does not
# take stops a station (exit 2) before any board.
#   mqtt_test.sh CLI SIM EXAMPLES_DIR
set -u
cli=$1 sim=$2 worked=$3/worked-example.mot
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
wait_until() {  # WHAT COMMAND...: bounded, for an event
    local what=$1
    shift
    for _ in $(seq 300); do "$@" 2>/dev/null && return 0; sleep 0.1; done
    fail "never: $what"
}
lines() { [ "$(cat "$work/$1.jsonl" 2>/dev/null | wc -l)" -ge "$2" ]; }
# Two free ports, both held while chosen so that they differ.
read -r port tls_port < <(python3 -c 'import socket; s = [socket.socket() for _ in "ab"]
for one in s: one.bind(("127.0.0.1", 0))
print(*(one.getsockname()[1] for one in s))')
for name in broker other; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=$name" -addext subjectAltName=IP:127.0.0.1 \
        -keyout "$work/$name.key" -out "$work/$name.crt" 2>/dev/null || fail "openssl: no $name certificate"
done
mosquitto_passwd -c -b "$work/passwords" line secret
echo secret >"$work/password"
echo wrong >"$work/wrong"
cat >"$work/broker.conf" <<CONF
user root
persistence true
persistence_location $work/
allow_anonymous false
password_file $work/passwords
listener $port 127.0.0.1
listener $tls_port 127.0.0.1
certfile $work/broker.crt
keyfile $work/broker.key
CONF
start_broker() {
    mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
    broker=$!
    pids+=("$broker")
    wait_until "the broker listens" bash -c "echo >/dev/tcp/127.0.0.1/$port"
}
recipe() {  # NAME FIRST URL [KEY = VALUE]: a station's recipe, its broker in [mqtt]
    cat >"$work/$1.toml" <<EOF
name = "board $1"
[image]
file = "$worked"
sha256 = "$(sha256sum "$worked" | cut -c1-64)"
[station]
slots = ["$work/dev$1"]
log = "$1.jsonl"
[serial]
address = 4
width = 4
format = "be"
first = $2
last = $(($2 + 99))
state = "$1.state"
[mqtt]
url = "$3"
user = "line"
password_file = "password"
${4:-}
EOF
}
recipe A 1000 "mqtts://127.0.0.1:$tls_port/plant" 'ca = "broker.crt"'
recipe B 2000 "mqtt://127.0.0.1:$port/plant"
login=(--mqtt-user line --mqtt-password-file "$work/password")
plain=(--mqtt "mqtt://127.0.0.1:$port/plant" "${login[@]}")
tls=(--mqtt "mqtts://127.0.0.1:$tls_port/plant" --mqtt-ca "$work/broker.crt" "${login[@]}")
board() {  # NAME: a board unplugged after each job and plugged in again
    "$sim" --link "$work/dev$1" --raw "$work/$1.raw" --replug 300 >/dev/null 2>&1 &
    pids+=($!)
}
station() {  # NAME OPTIONS...: its recipe's station; sets $station
    local name=$1
    shift
    "$cli" station --recipe "$work/$name.toml" "$@" 2>>"$work/$name.err" &
    station=$!
    pids+=("$station")
}
start_broker
sub=(-h 127.0.0.1 -p "$port" -u line -P secret)
mosquitto_sub "${sub[@]}" -i quorvane-test -c -q 1 -t 'plant/+/jobs' >"$work/jobs.out" 2>&1 &
pids+=($!)

board spare
for refusal in "wrong password|refused the connection: Connection Refused: not authorised.|${plain[*]:0:5} $work/wrong" \
               "a CA that does not match|TLS with the broker at 127.0.0.1:$tls_port failed|${tls[*]/broker.crt/other.crt}"; do
    IFS='|' read -r name text options <<<"$refusal"
    timeout 60 "$cli" station "$worked" -p "$work/devspare" -l "$work/refused.jsonl" $options 2>"$work/err"
    status=$?
    [ "$status" -eq 2 ] && grep -qF "$text" "$work/err" || fail "$name: exit $status, wanted 2 and '$text': $(cat "$work/err")"
done
[ ! -s "$work/spare.raw" ] || fail "refused: a board was written"
"$cli" station --recipe "$work/A.toml" "${plain[@]:0:2}" 2>"$work/err"
status=$?
[ "$status" -eq 2 ] && grep -qF -- "--mqtt mqtt://127.0.0.1:$port/plant, the recipe's mqtt.url mqtts://" "$work/err" ||
    fail "--mqtt against the recipe's: exit $status: $(cat "$work/err")"
"$cli" recipe check "$work/A.toml" >"$work/check" && grep -qF "password in $work/password" "$work/check" &&
    ! grep -q secret "$work/check" || fail "recipe check: $(cat "$work/check")"

board A
board B
station A -n 6
A=$station
station B
B=$station
wait_until "two jobs of each station" eval 'lines A 2 && lines B 2'
kill "$broker"
wait "$broker"
# The stations go on without the broker: A ends after its count.
at_stop=$(wc -l <"$work/B.jsonl")
wait_until "station A ends with the broker away" eval '! kill -0 $A'
wait "$A" || fail "station A: exit $?: $(tail -n 3 "$work/A.err")"
wait_until "station B writes on with the broker away" lines B $((at_stop + 3))
start_broker
# Restarted, A sends first what the broker has not acknowledged.
station A -n 2
wait "$station" || fail "station A again: exit $?: $(tail -n 3 "$work/A.err")"
all_arrived() {
    python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
got = {}
for payload in open(work + "/jobs.out"):
    envelope = json.loads(payload)
    key = (envelope["id"]["station"], envelope["id"]["seq"])
    got.setdefault(key, set()).add(payload.rstrip("\n"))
wanted = {}
for name in "AB":
    for seq, line in enumerate(open(f"{work}/{name}.jsonl"), 1):
        wanted[(name, seq)] = {'{"id":{"station":"%s","seq":%d},"record":%s}' % (name, seq, line.rstrip("\n"))}
assert got == wanted, sorted(set(got) ^ set(wanted))
PY
}
wait_until "every job of both stations arrived, as its log line" all_arrived
lines A 8 || fail "station A: not 8 jobs"
python3 - "$work" <<'PY' || fail "a board's serial number from another station's block"
import json, sys
block = {"A": range(1000, 1100), "B": range(2000, 2100)}
numbers = {"A": set(), "B": set()}
for payload in open(sys.argv[1] + "/jobs.out"):
    envelope = json.loads(payload)
    numbers[envelope["id"]["station"]].add(envelope["record"]["board_serial"])
assert all(numbers[name] and numbers[name] <= set(block[name]) for name in block), numbers
PY
retained() { timeout 10 mosquitto_sub "${sub[@]}" -t 'plant/+/status' --retained-only -C 2 -W 2; }
statuses() {  # A_STATE B_STATE
    python3 -c 'import json, sys
status = {s["station"]: s for s in map(json.loads, sys.stdin)}
assert (status["A"]["state"], status["B"]["state"]) == tuple(sys.argv[1:]), status
assert status["A"]["tally"]["written"] == 2 and len(status["B"]["sha256"]) == 64, status
assert status["B"]["state"] == "offline" or status["B"]["tally"]["written"] >= 1, status
assert status["B"]["state"] == "offline" or [s["name"][-4:] for s in status["B"]["slots"]] == ["devB"], status
assert status["A"]["recipe"] == "board A", status' "$@" < <(retained)
}
wait_until "the retained status: A offline, B online" statuses offline online
kill -9 "$B"
wait_until "B offline by its last will" statuses offline offline

"$cli" log replay "$work/A.jsonl" "${plain[@]}" 2>"$work/err" || fail "replay: exit $?"
grep -q "replay: 0 records acknowledged now, 8 before" "$work/err" || fail "replay: $(cat "$work/err")"
rm "$work/A.jsonl.acked"
"$cli" log replay "$work/A.jsonl" "${plain[@]}" 2>"$work/err" || fail "replay anew: exit $?"
grep -q "replay: 8 records acknowledged now, 0 before" "$work/err" || fail "replay anew: $(cat "$work/err")"
wait_until "the replayed records arrived" eval '[ "$(wc -l <"$work/jobs.out")" -ge $((8 + $(wc -l <"$work/B.jsonl") + 8)) ]'
all_arrived || fail "after the replay: ids or records differ"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
