# SPDX-License-Identifier: Apache-2.0
# GUI helpers for the Wine tests (sourced inside an X server, e.g. xvfb-run).

# The newest visible window whose title is exactly $1, or nothing.
window_named() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -1
}

has_window() {
    [[ -n $(window_named "$1") ]]
}

# Presses the default button of the window titled $1 as a user at the
# keyboard would: focus it, then Enter.
press_enter_in() {
    local id
    id=$(window_named "$1")
    [[ -n $id ]] || return 1
    xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
    sleep 0.2
    xdotool key --clearmodifiers Return
}

# dismiss NAME: presses Enter in the window until it has gone (two tries).
dismiss() {
    local try
    for try in 1 2; do
        press_enter_in "$1" || return 0
        wait_for 3 bash -c "[[ -z \$(xdotool search --onlyvisible --name '^$1\$' 2>/dev/null) ]]" &&
            return 0
    done
    return 1
}

# screenshot FILE: the whole (virtual) desktop.
screenshot() {
    import -window root "$1"
}

# Lines "MSGBOX_OnInit L"text"" of a Wine trace+msgbox log, as plain texts.
message_texts() {
    sed -n 's/.*MSGBOX_OnInit L"\(.*\)"$/\1/p' "$1"
}

# The last position the progress bar was set to (PBM_SETPOS), from a
# trace+progress log, in decimal; -1 when none yet.
last_progress() {
    local hex
    hex=$(grep -a 'msg 0402,' "$1" 2>/dev/null | tail -1 | sed -n 's/.*wparam \([0-9a-f]*\),.*/\1/p')
    if [[ -n $hex ]]; then echo $((16#$hex)); else echo -1; fi
}

# Makes the window titled $1 the active one, as a user would, by clicking
# the middle of its caption (Wine sends keys to its own active window, which
# X focus alone does not change when another window of it is in front).
activate() {
    local id width
    id=$(window_named "$1")
    [[ -n $id ]] || return 1
    width=$(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    xdotool mousemove --window "$id" $((width / 2)) 8 click 1
    xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
    sleep 0.3
}

# Activates the window titled $1 and presses KEYS (xdotool's names) there.
press_in() {
    activate "$1" || return 1
    xdotool key --clearmodifiers "$2"
}

# Clicks the close box of the window titled $1: the caption's last button,
# drawn by Wine in its own frame, a few pixels in from the top right corner.
click_close_box() {
    local id width
    id=$(window_named "$1")
    [[ -n $id ]] || return 1
    width=$(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    xdotool mousemove --window "$id" $((width - 13)) 11 click 1
}

# How many visible windows are titled exactly $1.
windows_named() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l
}

# The Unix path of the Wine prefix's temporary folder (%TEMP%).
wine_temp_folder() {
    winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null
}
