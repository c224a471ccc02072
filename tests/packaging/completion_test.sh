#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The bash completion of zelvar, as bash calls it: options from --help, serial
# devices for --port, file names for the file options, the bus widths, and the flash parts zelvar-receiver knows.
# completion_test.sh COMPLETION ZELVAR ZELVAR_RECEIVER
set -uo pipefail
completion=$1 zelvar=$2 receiver=$3
# zelvar-receiver is found on PATH when it is not beside the program.
PATH=$(dirname "$receiver"):$PATH
source "$completion"
failures=0

# expect WANT UNWANTED WORDS...: completing the last word offers WANT (a word,
# or empty for nothing at all) and not UNWANTED.
expect() {
    local want=$1 unwanted=$2
    shift 2
    COMP_WORDS=("$zelvar" "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _zelvar "$zelvar"
    local got=" ${COMPREPLY[*]} "
    if { [[ -z $want && ${#COMPREPLY[@]} -eq 0 ]] || [[ -n $want && $got == *" $want "* ]]; } &&
        [[ -z $unwanted || $got != *" $unwanted "* ]]; then
        echo "PASS [$*] offers '${want}'"
    else
        echo "FAIL [$*] offers:${got}(wanted '$want', not '$unwanted')"
        failures=$((failures + 1))
    fi
}

expect --simulate --port --sim
expect --sim-wire-timing "" --sim-w
expect --no-wait "" ""
expect --help "" --h
expect "" "" --nothing-like-this
expect 32 16 --sim-bus 3
expect AM29LV400BB 28F800B3B --sim-part AM29LV4
# Only serial devices with hardware behind them: never a virtual console
# nor the terminal itself (whatever real ports this machine has).
for words in "--port /dev/tty" "-p /dev/tt"; do
    COMP_WORDS=("$zelvar" $words) COMP_CWORD=2 COMPREPLY=()
    _zelvar "$zelvar"
    if [[ " ${COMPREPLY[*]} " == *" /dev/tty0 "* || " ${COMPREPLY[*]} " == *" /dev/tty "* ]]; then
        echo "FAIL [$words] offers virtual terminals: ${COMPREPLY[*]}"
        failures=$((failures + 1))
    else
        echo "PASS [$words] offers no virtual terminal"
    fi
done
# The file options complete file names.
for option in --firmware --backup --read --trace; do
    expect "$completion" "" "$option" "$completion"
done
# --baud takes a rate, not an option; --trace offers no link to follow.
expect 460800 --help --baud ""
expect "" "" --baud -
link_dir=$(mktemp -d)
ln -s /etc/passwd "$link_dir/planted"
: >"$link_dir/trace.log"
expect "$link_dir/trace.log" "$link_dir/planted" --trace "$link_dir/"
rm -r "$link_dir"
# An option's value is not completed as an option.
expect "" "" --sim-bus -
exit $((failures > 0))
