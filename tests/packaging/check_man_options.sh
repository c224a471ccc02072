#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check_man_options.sh PROGRAM PAGE: every long option PROGRAM --help lists is
# an item of the OPTIONS section of the scdoc page PAGE, and every item there
# is an option --help lists. Names each option that is missing on either side.
set -uo pipefail
program=$1 page=$2
name=$(basename "$program")
page_name=$(basename "$page")

help=$("$program" --help) || { echo "'$name --help' failed"; exit 1; }
# The first long option of each line of the option list.
listed=$(sed -nE 's/^ +(-[[:alnum:]],)?(--[[:alnum:]][[:alnum:]-]*).*/\2/p' <<<"$help" | sort -u)
# Option items: lines of the OPTIONS section that begin with a bold option.
described=$(sed -n '/^# OPTIONS/,/^# /p' "$page" | grep -E '^\*-' |
    grep -oE '\*--[[:alnum:]][[:alnum:]-]*\*' | tr -d '*' | sort -u)

[[ -n $listed ]] || { echo "'$name --help' lists no long option"; exit 1; }
status=0
for option in $(comm -23 <(echo "$listed") <(echo "$described")); do
    echo "$page_name: option $option, listed by '$name --help', is missing from OPTIONS"
    status=1
done
for option in $(comm -13 <(echo "$listed") <(echo "$described")); do
    echo "$page_name: option $option is described in OPTIONS but '$name --help' does not list it"
    status=1
done
((status == 0)) && echo "$page_name: all $(wc -l <<<"$listed") options of '$name --help' described"
exit $status
