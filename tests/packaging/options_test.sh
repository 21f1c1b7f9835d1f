#!/bin/bash
# Every command and option the parsers know, as --help lists them, is in the
# manual page (a command's in its own section) and completed by bash, zsh and fish.
#   options_test.sh QUORVANE_CLI QUORVANE_SIM MAN_DIR COMPLETION_DIR
set -u
cli=$1 sim=$2 man=$3 completion=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
options() { grep -oE '^ {2,6}(-[A-Za-z], )?--[a-z][a-z-]*' | tr -d ','; }
section() {  # HEADING PAGE: a rendered page's text from HEADING to the next heading as deep
    awk -v h="$1" 'BEGIN {n = match(h, /[^ ]/)} $0 == h {on = 1; next}
        on && match($0, /[^ ]/) && RSTART <= n && substr($0, RSTART, 1) ~ /[A-Za-z]/ {exit} on' "$2"; }
for page in quorvane-cli.1 quorvane-sim.1; do LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$man/$page" >"$man/$page.wide"; done
documented() { grep -qE -- "(^|[ ,])$1([ ,=[]|$)"; }
completions() {  # COMMAND WORD: what each shell offers after quorvane-cli [COMMAND] WORD
    local words="quorvane-cli $1"
    bash -c 'source "$0/quorvane-cli"; COMP_WORDS=($1 "$2"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quorvane_cli
             printf "bash %s\n" "${COMPREPLY[@]}"' "$completion" "$words" "$2"
    fish --no-config -c 'source $argv[1]/quorvane-cli.fish; complete -C"$argv[2] $argv[3]"' \
        "$completion" "$words" "$2" | cut -f1 | sed 's/^/fish /'
    zsh -f -c '_arguments() { print -l -- "$@" }; _describe() { print -l -- "${(@P)4}" }; compadd() { : }
               words=(${=1} "$2"); CURRENT=${#words}; source "$0/_quorvane-cli"' "$completion" "$words" "$2" |
        sed -E 's/^\([^)]*\)//; s/^\*//' | grep -oE '^(--?)?[a-zA-Z]([a-zA-Z-]*[a-zA-Z])?' | sed 's/^/zsh /'
}
expect_completed() {  # COMMAND NAME OFFERED
    for shell in bash zsh fish; do
        grep -qx -- "$shell $2" <<<"$3" || fail "$shell does not complete '$2' after 'quorvane-cli $1'"
    done
}
commands=$("$cli" --help | awk '/^commands:/ {on = 1; next} on && /^$/ {exit} on {print $1}')
[ -n "$commands" ] || fail "no commands in quorvane-cli --help"
first=$(completions "" "")
for command in $commands; do
    expect_completed "" "$command" "$first"
    offered=$(completions "$command" -)
    for option in $("$cli" "$command" --help | options); do
        section "   $command" "$man/quorvane-cli.1.wide" | documented "$option" ||
            fail "the manual page does not document $command $option"
        expect_completed "$command" "$option" "$offered"
    done
done
for option in $("$sim" --help | options); do
    section OPTIONS "$man/quorvane-sim.1.wide" | documented "$option" || fail "quorvane-sim(1) does not document $option"
done
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
