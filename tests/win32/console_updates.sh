#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Whole updates through the Win32 serial back end, without a display:
# zelvar-update-console.exe under Wine against zelvar-receiver (the build
# host's) on a pseudo-terminal that Wine sees as COM9, and the outcomes where
# the receiver, the port, the port driver or its BootLines value is not as it
# should be, each with the line zelvar.exe writes to its log.
# Environment: WINEPREFIX (prepared), ZELVAR_RECEIVER, ZELVAR_CONSOLE (the .exe),
# ZELVAR_IMAGE (the expected binary image) or ZELVAR_FIRMWARE (the S-record
# text), ZELVAR_WORK (scratch folder).
# Prints PASS / FAIL lines; exits non-zero when anything failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"
source "$here/receiver_lib.sh"

work=$ZELVAR_WORK
mkdir -p "$work"
receiver_log=$work/receiver-console.log
# The image the flash must hold, from the firmware text unless given.
if [[ -z ${ZELVAR_IMAGE:-} ]]; then
    ZELVAR_IMAGE=$work/image.bin
    srec_to_binary "$ZELVAR_FIRMWARE" "$ZELVAR_IMAGE"
fi

# console_update NAME EXPECTED_MESSAGE EXPECTED_EXIT FLASHED [RECEIVER OPTIONS...]
# FLASHED (yes/no): whether the receiver's flash must hold the image after.
console_update() {
    local name=$1 message=$2 code=$3 flashed=$4
    shift 4
    local dump=$work/flash-$name.bin out=$work/console-$name.log
    last_out=$out
    if ! start_receiver "$dump" "$@"; then
        fail "$name: zelvar-receiver did not start"
        return
    fi
    WINEDEBUG=-all timeout 120 wine "$ZELVAR_CONSOLE" >"$out" 2>&1
    local status=$?
    stop_receiver
    local messages
    messages=$(sed -n 's/^message //p' "$out" | tr -d '\r')
    check "$name: exit code $code (got $status)" test "$status" -eq "$code"
    check "$name: message \"$message\" (got: $messages)" test "$messages" = "$message"
    if [[ $flashed == yes ]]; then
        check "$name: the receiver's flash holds the image" flash_holds_image "$dump" "$ZELVAR_IMAGE"
    fi
}

# outcome_has NAME TEXT...: the last run's log line (the one zelvar.exe writes
# to Zelvar.log) holds every text.
outcome_has() {
    local name=$1 line
    shift
    line=$(sed -n 's/^outcome //p' "$last_out" | tr -d '\r')
    local text
    for text in "$@"; do
        if grep -qF -- "$text" <<<"$line"; then
            pass "$name: the log line says \"$text\""
        else
            fail "$name: the log line says \"$text\" (got: $line)"
        fi
    done
}

# flash_filled DUMP BYTE: the receiver's flash still holds nothing but its fill.
flash_filled() {
    python3 -c "import sys; d=open('$1','rb').read(); sys.exit(not d or d.count($2) != len(d))"
}

set_port_driver_key COM9
console_update whole-update "Done|Download Finish" 0 yes
outcome_has whole-update "outcome updated, status 0"

# The user's temporary folder named in letters outside any ANSI code page, as
# a user profile can be: the image goes through it all the same, and stays
# there after a failure.
plain_temp=$(wine_temp_setting)
set_wine_temp 'C:\Zelv\u00e4r-\u65e5\u672c-\u0416'
unicode_temp=$(find "$WINEPREFIX/drive_c" -maxdepth 1 -name 'Zelv*r-*' 2>/dev/null | head -1)
[[ -n $unicode_temp ]] && rm -rf "$unicode_temp"
console_update non-ascii-temp "Done|Download Finish" 0 yes
unicode_temp=$(find "$WINEPREFIX/drive_c" -maxdepth 1 -name 'Zelv*r-*' 2>/dev/null | head -1)
check "non-ascii-temp: the temporary folder was made ($unicode_temp)" test -n "$unicode_temp"
console_update non-ascii-temp-failure "Fail|CalculateFlashCRC16 Fail!" 1 no --crc-off-by-one
check "non-ascii-temp-failure: the image stays in the temporary folder" \
    test -s "${unicode_temp:-/nonexistent}/Tervalon.s"
set_wine_temp "$plain_temp"
[[ -n $unicode_temp ]] && rm -rf "$unicode_temp"
console_update agent-crc-differs "Fail|CalculateFlashCRC16 Fail!" 1 no --crc-off-by-one
outcome_has agent-crc-differs "status 1" "step CalculateFlashCRC16: CalculateFlashCRC16 Fail!" \
    "flash changed" "remedy: Power-cycle"

# The boot lines from the registry, on a port that is a pseudo-terminal: it
# has no DTR/RTS, so the run is refused before anything is sent.
set_port_driver_value BootLines 'dtr&rts,-rts:-dtr&rts,-rts'
console_update boot-lines-on-a-pty "Fail|Please close the GPS application !" 1 no --flash-fill 165
outcome_has boot-lines-on-a-pty "status 2" "step OpenReceiver" "flash unchanged" "DTR/RTS"
check "boot-lines-on-a-pty: nothing reached the receiver's flash" \
    flash_filled "$work/flash-boot-lines-on-a-pty.bin" 165
# A value that is no sequence: a box naming it and why, the worker never runs.
set_port_driver_value BootLines 'dtr&cts'
console_update boot-lines-bad "Fail|The registry value BootLines of HKEY_LOCAL_MACHINE\\Drivers\\PhysicalCOM, \"dtr&cts\", is not a DTR/RTS sequence (not a line (expected dtr, rts, -dtr or -rts): \"cts\"); nothing was sent to the receiver." \
    2 no --flash-fill 165
outcome_has boot-lines-bad "status 2" "step BootLines" "flash unchanged"
check "boot-lines-bad: nothing reached the receiver's flash" \
    flash_filled "$work/flash-boot-lines-bad.bin" 165
remove_port_driver_value BootLines

set_port_driver_key COM8
console_update no-such-port "Fail|Please close the GPS application !" 1 no
outcome_has no-such-port "status 2" "flash unchanged" "cause: COM8: cannot be opened (OS error 2: "
remove_port_driver_key
console_update no-port-driver "|Sorry! Only for Tervalon Version!" 0 no
wineserver -w

echo "console: $pass_count passed, $fail_count failed"
[[ $fail_count -eq 0 ]]
