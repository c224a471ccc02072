#!/usr/bin/env bash
# zelvar.exe driven as a user would, inside an X server (run by
# tools/wine-tests.sh under xvfb-run): on battery, a second copy, and a whole
# update against the simulated receiver with screenshots.
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
# message boxes and progress bar traced to LOG; sets app_pid.
run_zelvar() {
    local log=$1
    shift
    env "$@" WINEDEBUG=-all,trace+msgbox,trace+progress wine "$ZELVAR_EXE" 2>"$log" &
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

set_port_driver_key COM9

# --- On battery: the warning, and the update never starts. A second copy
# started meanwhile finds the first and ends at once without a window.
log=$work/battery.log
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
    alive "$first" && kill "$first"
else
    fail "battery: no \"Fail\" box within 30 s"
    kill "$first" 2>/dev/null
fi
wineserver -w

# --- A whole update against the simulated receiver, at the wire's own pace so
# that there is time to look at it.
dump=$work/flash-gui.bin
if start_receiver "$dump" --wire-timing; then
    log=$work/update.log
    run_zelvar "$log" ZELVAR_POWER=ac
    refused_checked=0
    shot=0
    finished=0
    deadline=$((SECONDS + 240))
    while ((SECONDS < deadline)) && alive "$app_pid"; do
        progress=$(last_progress "$log")
        if ((refused_checked == 0 && progress >= 35)); then
            # Enter is the dialog's done button; while the flash is written
            # the dialog refuses to go.
            press_enter_in Zelvar
            sleep 1.5
            check "progress dialog refuses to close while the flash is written" \
                has_window Zelvar
            refused_checked=1
        fi
        if ((shot == 0 && progress >= 60)); then
            screenshot "$ZELVAR_SCREENSHOTS/zelvar-progress.png"
            shot=1
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
        sleep 0.3
    done
    check "update: \"Download Finish\" in a box captioned \"Done\"" test $finished -eq 1
    texts=$(message_texts "$log")
    check "update: no other message (got: $texts)" test "$texts" = "Download Finish"
    check "update: screenshot of the progress dialog mid-update" test $shot -eq 1
    # The dialog stays until dismissed; the bar ends at 99.
    sleep 1.5
    check "update: bar ends at 99 (got $(last_progress "$log"))" test "$(last_progress "$log")" -eq 99
    wait_for 10 has_window Zelvar && dismiss Zelvar
    check "update: program ends with exit code 0" ended_with "$app_pid" 0 20
    alive "$app_pid" && kill "$app_pid"
    stop_receiver
    check "update: the receiver's flash holds the image" flash_holds_image "$dump" "$ZELVAR_IMAGE"
else
    fail "update: zelvar-receiver did not start"
fi
remove_port_driver_key
wineserver -w
echo "gui: $pass_count passed, $fail_count failed"
[[ $fail_count -eq 0 ]]
