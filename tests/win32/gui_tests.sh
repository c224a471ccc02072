#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# zelvar.exe driven as a user would, inside an X server (run by
# tools/wine-tests.sh under xvfb-run): on battery, a second copy, two copies at
# once, closing the dialog (Enter, Alt+F4, the close box) before the first
# erase, during the write, during the CRC check and after the outcome, a whole
# update against the simulated receiver with screenshots, and a failure's
# cause in the program's log.
# Environment: WINEPREFIX (prepared, virtual desktop), ZELVAR_EXE,
# ZELVAR_RECEIVER, ZELVAR_IMAGE (the expected binary image) or ZELVAR_FIRMWARE
# (the S-record text), ZELVAR_SCREENSHOTS (folder), ZELVAR_WORK (scratch
# folder). Prints PASS / FAIL lines; exits non-zero when anything failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_lib.sh"
source "$here/gui_lib.sh"
source "$here/receiver_lib.sh"

work=$ZELVAR_WORK
mkdir -p "$work" "$ZELVAR_SCREENSHOTS"
receiver_log=$work/receiver-gui.log
# The image the flash must hold, from the firmware text unless given.
if [[ -z ${ZELVAR_IMAGE:-} ]]; then
    ZELVAR_IMAGE=$work/image.bin
    srec_to_binary "$ZELVAR_FIRMWARE" "$ZELVAR_IMAGE"
fi

# run_zelvar LOG [ENV...]: starts zelvar.exe in the background with its
# message boxes and progress bar traced to LOG (and the channels in
# extra_trace, e.g. ",warn+ntdll"); sets app_pid.
run_zelvar() {
    local log=$1
    shift
    env "$@" WINEDEBUG=-all,trace+msgbox,trace+progress${extra_trace:-} wine "$ZELVAR_EXE" 2>"$log" &
    app_pid=$!
}

# ended_with PID CODE SECONDS: the process ends within the time with that code.
ended_with() {
    local pid=$1 code=$2
    wait_for "$3" bash -c "! kill -0 $pid 2>/dev/null" || return 1
    wait "$pid"
    [[ $? -eq $code ]]
}

alive() { kill -0 "$1" 2>/dev/null; }
no_window() { ! has_window "$1"; }

set_port_driver_key COM9

# The program's log and temporary image, in the prefix's temporary folder.
temp_folder=$(wine_temp_folder)
log_file=$temp_folder/Zelvar.log
temp_image=$temp_folder/Tervalon.s
# log_has TEXT: the program's log holds the text (fixed string).
log_has() { grep -qF -- "$1" "$log_file" 2>/dev/null; }

# --- On battery: the warning, and the update never starts. A second copy
# started meanwhile finds the first and ends at once without a window.
log=$work/battery.log
rm -f "$log_file"
run_zelvar "$log" ZELVAR_POWER=battery
first=$app_pid
if wait_for 30 has_window Fail; then
    texts=$(message_texts "$log")
    check "battery: \"Please install AC charger!\" (got: $texts)" \
        test "$texts" = "Please install AC charger!"

    second_log=$work/second.log
    run_zelvar "$second_log" ZELVAR_POWER=ac
    check "second copy ends at once with exit code 0" ended_with "$app_pid" 0 15
    check "second copy shows nothing" test -z "$(message_texts "$second_log")"
    check "first copy still running" alive "$first"

    dismiss Fail
    check "battery: program ends with exit code 0 after OK" ended_with "$first" 0 15
    check "battery: the progress dialog never opened" \
        bash -c "! grep -q 'msg 0402,' '$log'"
    check "battery: the log gives the refusal with status 2 ($(tail -1 "$log_file" 2>/dev/null))" \
        log_has 'status 2, step PowerStatus: Please install AC charger!, flash unchanged'
    check "battery: the log gives the remedy" log_has 'remedy: Connect external power'
    alive "$first" && kill "$first"
else
    fail "battery: no \"Fail\" box within 30 s"
    kill "$first" 2>/dev/null
fi
wineserver -w

# --- Two copies started at the same instant, before the receiver answers
# (each answer comes late, so the link takes a while): one update, one
# window. Then the close box before the first erase: the worker stops, the
# link is closed, the temporary image removed, and the program ends.
rm -f "$log_file"
if start_receiver "$work/flash-two.bin" --answer-delay-ms 700 --flash-fill 165; then
    run_zelvar "$work/two-a.log" ZELVAR_POWER=ac
    pid_a=$app_pid
    run_zelvar "$work/two-b.log" ZELVAR_POWER=ac
    pid_b=$app_pid
    wait_for 30 has_window Zelvar
    # The one that lost ends; give it time to find the other's window.
    wait_for 20 bash -c "! kill -0 $pid_a 2>/dev/null || ! kill -0 $pid_b 2>/dev/null"
    sleep 2
    alive_count=0
    alive "$pid_a" && alive_count=$((alive_count + 1)) && survivor=$pid_a
    alive "$pid_b" && alive_count=$((alive_count + 1)) && survivor=$pid_b
    check "two copies at once: one keeps running (got $alive_count)" test "$alive_count" -eq 1
    check "two copies at once: one progress window (got $(windows_named Zelvar))" \
        test "$(windows_named Zelvar)" -eq 1
    check "two copies at once: the window has the focus ($(xdotool getwindowfocus 2>/dev/null) $(window_named Zelvar))" \
        test "$(xdotool getwindowfocus 2>/dev/null)" = "$(window_named Zelvar)"
    check "two copies at once: no message (got: $(message_texts "$work/two-a.log")$(message_texts "$work/two-b.log"))" \
        test -z "$(message_texts "$work/two-a.log")$(message_texts "$work/two-b.log")"
    survivor_log=$work/two-a.log
    [[ ${survivor:-} == "$pid_b" ]] && survivor_log=$work/two-b.log
    check "before the first erase: bar at 10 (got $(last_progress "$survivor_log"))" \
        test "$(last_progress "$survivor_log")" -eq 10
    click_close_box Zelvar
    check "before the first erase: the close box ends the program with exit code 0" \
        ended_with "$survivor" 0 60
    alive "$pid_a" && kill "$pid_a"
    alive "$pid_b" && kill "$pid_b"
    check "before the first erase: no message after the close box" \
        test -z "$(message_texts "$work/two-a.log")$(message_texts "$work/two-b.log")"
    check "before the first erase: the worker stopped ($(tail -1 "$log_file" 2>/dev/null))" \
        log_has "stopped;"
    check "before the first erase: the temporary image is removed" test ! -e "$temp_image"
    stop_receiver
    check "before the first erase: the receiver's flash is untouched" \
        python3 -c "import sys; d=open('$work/flash-two.bin','rb').read(); sys.exit(not d or d.count(165) != len(d))"
else
    fail "two copies: zelvar-receiver did not start"
fi
wineserver -w

# --- Alt+F4 before the first erase.
rm -f "$log_file"
if start_receiver "$work/flash-altf4.bin" --answer-delay-ms 700; then
    log=$work/altf4.log
    run_zelvar "$log" ZELVAR_POWER=ac
    wait_for 30 has_window Zelvar && sleep 3
    press_in Zelvar alt+F4
    check "before the first erase: Alt+F4 ends the program with exit code 0" \
        ended_with "$app_pid" 0 60
    alive "$app_pid" && kill "$app_pid"
    check "before the first erase: Alt+F4 stopped the worker" log_has "Alt+F4: stopping"
    check "before the first erase: no message after Alt+F4 (got: $(message_texts "$log"))" \
        test -z "$(message_texts "$log")"
    stop_receiver
else
    fail "Alt+F4: zelvar-receiver did not start"
fi
wineserver -w

# --- A whole update against the simulated receiver, at the wire's own pace so
# that there is time to look at it; the answer to the CRC request (frame 495
# of the shipped image's session) comes late, so that the check can be caught.
rm -f "$log_file"
dump=$work/flash-gui.bin
receiver_log=$work/receiver-gui-trace.log
rm -f "$receiver_log"
if start_receiver "$dump" --wire-timing --stall 495 --stall-ms 1500 -v; then
    log=$work/update.log
    run_zelvar "$log" ZELVAR_POWER=ac
    refused_checked=0
    crc_checked=0
    shot=0
    finished=0
    deadline=$((SECONDS + 240))
    while ((SECONDS < deadline)) && alive "$app_pid"; do
        progress=$(last_progress "$log")
        if ((refused_checked == 0 && progress >= 35)); then
            # Enter is the dialog's done button; Alt+F4 and the close box
            # ask the window to close. While the flash is written all three
            # are refused, and the log shows each reached the dialog.
            press_enter_in Zelvar
            sleep 0.5
            check "during the write: Enter reaches the dialog and is refused" log_has "OK refused"
            press_in Zelvar alt+F4
            sleep 0.5
            check "during the write: Alt+F4 reaches the dialog and is refused" \
                log_has "Alt+F4 refused"
            click_close_box Zelvar
            sleep 1.5
            check "during the write: the close box reaches the dialog and is refused" \
                log_has "close box refused"
            check "during the write: the dialog stays" has_window Zelvar
            # Log-off, restart and shutdown ask every window first.
            timeout 30 wine wineboot --end-session >/dev/null 2>&1
            ended=$?
            check "during the write: the end of the session is refused (wineboot status $ended)" \
                test "$ended" -ne 0
            check "during the write: the refusal came from the dialog" \
                log_has "end of session refused"
            check "during the write: the program survives the end of the session" alive "$app_pid"
            refused_checked=1
        fi
        if ((shot == 0 && progress >= 60)); then
            screenshot "$ZELVAR_SCREENSHOTS/zelvar-progress.png"
            shot=1
        fi
        if ((crc_checked == 0)) && grep -q '^#495 <-' "$receiver_log" 2>/dev/null; then
            press_in Zelvar alt+F4
            sleep 0.3
            check "during the CRC check: Alt+F4 is refused" log_has "Alt+F4 refused"
            check "during the CRC check: the dialog stays" has_window Zelvar
            crc_checked=1
        fi
        if has_window Done; then
            sleep 0.5
            screenshot "$ZELVAR_SCREENSHOTS/zelvar-download-finish.png"
            dismiss Done
            finished=1
            break
        fi
        if has_window Fail; then
            dismiss Fail
            break
        fi
        sleep 0.2
    done
    check "update: \"Download Finish\" in a box captioned \"Done\"" test $finished -eq 1
    check "update: the CRC check was caught" test $crc_checked -eq 1
    texts=$(message_texts "$log")
    check "update: no other message (got: $texts)" test "$texts" = "Download Finish"
    check "update: screenshot of the progress dialog mid-update" test $shot -eq 1
    # The dialog stays until dismissed; the bar ends at 99.
    sleep 1.5
    check "update: bar ends at 99 (got $(last_progress "$log"))" test "$(last_progress "$log")" -eq 99
    check "update: the temporary image is removed" test ! -e "$temp_image"
    wait_for 10 has_window Zelvar && press_in Zelvar alt+F4
    check "after the outcome: Alt+F4 ends the program with exit code 0" ended_with "$app_pid" 0 20
    alive "$app_pid" && kill "$app_pid"
    stop_receiver
    check "update: the receiver's flash holds the image" flash_holds_image "$dump" "$ZELVAR_IMAGE"
else
    fail "update: zelvar-receiver did not start"
fi
receiver_log=$work/receiver-gui.log
wineserver -w

# --- After the outcome, with its box still up: the close box answers the box
# for the user and lets the worker finish (the temporary image goes).
rm -f "$log_file"
if start_receiver "$work/flash-done.bin"; then
    log=$work/done-close.log
    run_zelvar "$log" ZELVAR_POWER=ac
    if wait_for 60 has_window Done; then
        # As a user would: after the box has come up, not while it takes the
        # activation (a click then is lost in Wine).
        sleep 1
        click_close_box Zelvar
        check "after the outcome: the close box ends the program with exit code 0" \
            ended_with "$app_pid" 0 20
        check "after the outcome: the \"Done\" box went with it" no_window Done
        check "after the outcome: the temporary image is removed" test ! -e "$temp_image"
    else
        fail "after the outcome: no \"Done\" box within 60 s"
    fi
    alive "$app_pid" && kill "$app_pid"
    stop_receiver
else
    fail "after the outcome: zelvar-receiver did not start"
fi
wineserver -w

# --- A failure: the box keeps its short text, the log names the cause.
rm -f "$log_file"
if start_receiver "$work/flash-crc.bin" --crc-off-by-one; then
    log=$work/crc-fail.log
    # Wine notes each execution-state request on ntdll's warning channel.
    extra_trace=,warn+ntdll run_zelvar "$log" ZELVAR_POWER=ac
    if wait_for 60 has_window Fail; then
        check "failure: the box says \"CalculateFlashCRC16 Fail!\" (got: $(message_texts "$log"))" \
            test "$(message_texts "$log")" = "CalculateFlashCRC16 Fail!"
        check "failure: the log gives status, step and flash state ($(tail -1 "$log_file" 2>/dev/null))" \
            log_has 'outcome failed, status 1, step CalculateFlashCRC16: CalculateFlashCRC16 Fail!, flash changed'
        check "failure: the log gives the remedy" log_has 'remedy: Power-cycle the receiver'
        press_in Zelvar alt+F4
        check "failure: Alt+F4 on the dialog ends the program with exit code 0" \
            ended_with "$app_pid" 0 20
        check "the worker kept the computer awake (ES_CONTINUOUS | ES_SYSTEM_REQUIRED)" \
            grep -q 'NtSetThreadExecutionState (0x80000001,' "$log"
        check "the worker let the computer sleep again when it ended (ES_CONTINUOUS)" \
            grep -q 'NtSetThreadExecutionState (0x80000000,' "$log"
    else
        fail "failure: no \"Fail\" box within 60 s"
    fi
    alive "$app_pid" && kill "$app_pid"
    stop_receiver
else
    fail "failure: zelvar-receiver did not start"
fi
remove_port_driver_key
wineserver -w
echo "gui: $pass_count passed, $fail_count failed"
[[ $fail_count -eq 0 ]]
