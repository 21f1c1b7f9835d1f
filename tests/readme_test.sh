#!/bin/bash
# Runs every command of the README's console examples, in order, from the
# top folder, as a user would type them: each must end with the status the
# README gives (0 unless it says "# exit N") and print what the README shows
# (times, rates and percentages may differ; every other number is compared).
# The examples' files in /tmp go to a folder of the test's own.
#   readme_test.sh SOURCE_DIR BIN_DIR...
set -u
source_dir=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH=$(IFS=:; echo "$*"):$PATH XDG_CONFIG_HOME=$work/config
unset QUORVANE_PORT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
normal() {
    sed -E 's/[0-9]+(\.[0-9]+)? s\b/N s/g; s/[0-9]+ bytes\/s/N bytes\/s/g; s/ *[0-9]+%/ N%/g; s/[[:space:]]+$//'
}

# The examples as a script: each command's output and status into files.
awk -v work="$work" '
    { gsub("/tmp/", work "/tmp/") }
    /^```console/ { inside = 1; next }
    /^```/ { inside = 0; next }
    inside && /^\$ / {
        command = substr($0, 3)
        if (command ~ /&$/) { print command; next }
        ++n
        print "{ " command "\n} >" work "/out." n " 2>&1; echo $? >" work "/status." n
        print command > (work "/command." n)
        next
    }
    inside { print >> (work "/expected." n) }
    END { print "kill $(jobs -p) 2>/dev/null; wait" }  # what a failed example left running
' "$source_dir/README.md" >"$work/examples.sh"
mkdir -p "$work/tmp" "$work/top"
[ -s "$work/examples.sh" ] || { echo "FAIL: no console examples in the README"; exit 1; }
# From a copy of the examples, the recipe's /tmp files in the test's folder too.
cp -r "$source_dir/examples" "$work/top/examples"
sed -i "s|/tmp/|$work/tmp/|g" "$work/top/examples/sensor-board.toml"
# The examples stop what they start in the background; the script's end stops the rest.
(cd "$work/top" && timeout 120 bash "$work/examples.sh") </dev/null

for command in "$work"/command.*; do
    n=${command##*.}
    wanted=$(sed -n 's/.*# exit \([0-9]*\)$/\1/p' "$command")
    [ "$(cat "$work/status.$n")" = "${wanted:-0}" ] ||
        fail "'$(cat "$command")' ended with $(cat "$work/status.$n"): $(head -c 400 "$work/out.$n")"
    [ -f "$work/expected.$n" ] || continue
    normal <"$work/out.$n" >"$work/said.$n"
    while IFS= read -r line; do
        grep -qxF -- "$line" "$work/said.$n" || fail "'$(cat "$command")' did not print: $line"
    done < <(normal <"$work/expected.$n")
done
# The recipe the README shows is the one its examples run.
awk '/^```toml/ {on = 1; next} /^```/ {on = 0} on' "$source_dir/README.md" |
    cmp -s - "$source_dir/examples/sensor-board.toml" || fail "the README's recipe is not examples/sensor-board.toml"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
