# Shared by the Windows port tests (sourced): a Wine prefix of the test's
# own, and the far ends of ptys.
#   wine_port_setup SOURCE_PREFIX WINE64    $work (scratch), $WINEPREFIX
#   start_probe PTY_PROBE                   $pts; a persistent wineserver
#   probe_command CMD                       prints the probe's one-line reply
#   map_port NAME [PATH|-]                  a Wine device on a pty
# Every process started here is stopped by wine_port_cleanup (on EXIT).

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

wine_port_setup() {
    local source=$1
    wine=$2
    wineserver=$(dirname "$wine")/wineserver
    [ -x "$wineserver" ] || wineserver=wineserver
    [ -f "$source/system.reg" ] || { echo "no Wine prefix at $source"; exit 1; }
    # Next to the build's prefix, so the copy can share its files by hard
    # links; the registry files are copied, the wineserver rewrites them.
    work=$(mktemp -d "$(dirname "$source")/port-test.XXXXXX")
    trap wine_port_cleanup EXIT
    cp -al "$source" "$work/prefix"
    local file
    for file in "$source"/*.reg; do cp --remove-destination "$file" "$work/prefix/"; done
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
}

start_probe() {
    local probe=$1
    [ -x "$probe" ] || { echo "pty probe not built: $probe (build the native tree first)"; exit 1; }
    coproc PROBE { exec "$probe"; }
    probe_pid=$PROBE_PID
    read -r -t 10 pts <&"${PROBE[0]}" || { echo "pty probe did not start"; exit 1; }
    # Values written into the device map last only while the server runs.
    "$wineserver" -p
}

probe_command() {
    local reply
    echo "$1" >&"${PROBE[1]}"
    read -r -t 10 reply <&"${PROBE[0]}" || reply="(no reply from the pty probe)"
    echo "$reply"
}

# Runs a Windows program, its output in $work/out and its status in
# $status. Never through a pipe: the Wine services it starts would keep the
# pipe open for as long as the server runs.
run_windows() {
    "$wine" "$@" >"$work/out" 2>&1 </dev/null
    status=$?
}

# Points the Wine device NAME (com5, lpt1, ...) at PATH (default the pty);
# without PATH and with "-" removes it.
map_port() {
    rm -f "$WINEPREFIX/dosdevices/$1"
    [ "${2:-$pts}" = "-" ] || ln -s "${2:-$pts}" "$WINEPREFIX/dosdevices/$1"
}

wine_port_cleanup() {
    # The wineserver may hold the pty as its controlling terminal: it goes
    # before the pty's other end does.
    [ -n "${WINEPREFIX:-}" ] && "$wineserver" -k 2>/dev/null
    if [ -n "${probe_pid:-}" ]; then
        kill "$probe_pid" 2>/dev/null
        wait "$probe_pid" 2>/dev/null
    fi
    if [ -n "${sim_pid:-}" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    [ -n "${work:-}" ] && rm -rf "$work"
}
