#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The option check catches a page that lost an option, one that describes an
# option the program no longer has, and passes the page as it stands.
# check_man_options_test.sh PROGRAM PAGE
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1 page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect NAME STATUS PATTERN PAGE_FILE
expect() {
    local output status
    output=$(bash "$here/check_man_options.sh" "$program" "$4")
    status=$?
    if [[ $status -ne $2 ]] || ! grep -qF -- "$3" <<<"$output"; then
        echo "FAIL $1: status $status, output:"
        echo "$output"
        failures=$((failures + 1))
    else
        echo "PASS $1"
    fi
}

# The first option item of the page, and the page without it.
first=$(sed -n '/^# OPTIONS/,/^# /p' "$page" | grep -oE '^\*--[[:alnum:]][[:alnum:]-]*\*' |
    grep -v -e '--help' -e '--version' | head -1 | tr -d '*')
cp "$page" "$work/missing.scd"
sed -i "/^\\*$first\\*/d" "$work/missing.scd"
cp "$page" "$work/extra.scd"
sed -i '/^# OPTIONS/a\\n*--no-such-option*\n\tGone.\n' "$work/extra.scd"
# An option named only outside OPTIONS does not count as described.
cp "$work/missing.scd" "$work/elsewhere.scd"
printf '\n# NOTES\n\n*%s*\n\tMentioned here only.\n' "$first" >>"$work/elsewhere.scd"

expect "page as it stands" 0 "options of" "$page"
expect "item $first removed" 1 "option $first, listed by" "$work/missing.scd"
expect "item for a removed option" 1 "option --no-such-option is described" "$work/extra.scd"
expect "$first only outside OPTIONS" 1 "option $first, listed by" "$work/elsewhere.scd"
exit $((failures > 0))
