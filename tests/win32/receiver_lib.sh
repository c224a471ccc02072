# SPDX-License-Identifier: Apache-2.0
# Starting and stopping zelvar-receiver behind the Wine prefix's COM9
# (sourced). Expects ZELVAR_RECEIVER and WINEPREFIX.

receiver_pid=
receiver_dump=

# start_receiver DUMP [OPTIONS...]: the simulated receiver on a new
# pseudo-terminal that Wine sees as COM9; its flash is written to DUMP when it
# stops.
start_receiver() {
    receiver_dump=$1
    shift
    rm -f "$receiver_dump"
    local out
    out=$(mktemp)
    "$ZELVAR_RECEIVER" --link "$WINEPREFIX/dosdevices/com9" --flash-dump "$receiver_dump" "$@" \
        >"$out" 2>>"${receiver_log:-/dev/null}" &
    receiver_pid=$!
    wait_for 10 test -s "$out" || {
        echo "zelvar-receiver did not start" >&2
        rm -f "$out"
        return 1
    }
    rm -f "$out"
}

# stop_receiver: waits for Wine's server to let go of the terminal first, or it
# floods its error output once the other side is gone.
stop_receiver() {
    wineserver -w
    if [[ -n $receiver_pid ]]; then
        kill -TERM "$receiver_pid" 2>/dev/null
        wait "$receiver_pid" 2>/dev/null
    fi
    receiver_pid=
    rm -f "$WINEPREFIX/dosdevices/com9"
}
