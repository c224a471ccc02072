#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds zelvar.exe and the Windows tests with mingw-w64 and runs them under
# Wine:
#   1. the core's unit tests and the Win32 back-end tests, cross-compiled;
#   2. whole updates through the Win32 serial back end against zelvar-receiver
#      (the Linux build) on a pseudo-terminal that Wine sees as COM9, also
#      through a temporary folder with a non-ASCII name, each failure's log
#      line, the registry's BootLines refused on the pseudo-terminal (it has no
#      DTR/RTS) or when it is no sequence, and the line settings the back end
#      makes and restores, seen from the terminal, also after a careless last
#      user;
#   3. zelvar.exe's manifest (comctl32 6, per-monitor DPI awareness);
#   4. the GUI under Xvfb, driven with xdotool: on battery (and its log
#      line), a second copy, two copies at once, closing at each phase of a
#      run, a failure's status, flash state and remedy in the log, and a whole
#      update with screenshots of the progress dialog and of the "Download
#      Finish" box.
# It needs the packages of tools/debian-packages.txt and
# tools/debian-packages-win32.txt; run as root (as CI is), it installs the
# latter with apt-get when one of their commands is missing. Prints "N passed,
# N failed" last and exits non-zero when anything failed.
#
#   tools/wine-tests.sh [--update-docs]
#
# --update-docs copies the screenshots to docs/. Environment: ZELVAR_WIN32_BUILD
# (default build/win32), ZELVAR_HOST_BUILD (default build/wine-host),
# WINEPREFIX (default <win32 build>/wine-prefix, created when missing).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tests/win32/wine_lib.sh"

update_docs=0
[[ ${1:-} == --update-docs ]] && update_docs=1

win_build=${ZELVAR_WIN32_BUILD:-$root/build/win32}
host_build=${ZELVAR_HOST_BUILD:-$root/build/wine-host}
export WINEPREFIX=${WINEPREFIX:-$win_build/wine-prefix}
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and asking for them costs time.
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$win_build/wine-work
screenshots=$win_build/screenshots
mkdir -p "$work" "$screenshots"

summary() {
    echo "$pass_count passed, $fail_count failed"
    [[ $fail_count -eq 0 ]]
}

# --- What it needs: the cross compiler, Wine, the X server and its tools.
missing=
for tool in x86_64-w64-mingw32-g++-posix wine xvfb-run xdotool import; do
    command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
done
if [[ -n $missing ]]; then
    echo "== installing tools/debian-packages-win32.txt (missing:$missing)"
    if [[ $(id -u) -ne 0 ]] ||
        ! { apt-get update >"$work/apt.log" 2>&1 &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
                $(grep -v '^#' "$root/tools/debian-packages-win32.txt") >>"$work/apt.log" 2>&1; }; then
        tail -n 20 "$work/apt.log" 2>/dev/null
        fail "packages of tools/debian-packages-win32.txt (missing:$missing)"
        summary
        exit 1
    fi
fi

# --- Build: the Windows program and tests, and the receiver for this host.
echo "== building"
# No build type: neither optimisation nor debug information, which cost more
# build time than they save here. Two jobs at most: the machines this runs on
# are often shared.
if ! { cmake -S "$root" -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE= \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DZELVAR_WINE_TESTS=OFF \
        >"$work/configure.log" 2>&1 &&
      cmake --build "$win_build" -j2 >"$work/build.log" 2>&1; }; then
    tail -n 30 "$work/configure.log" "$work/build.log"
    fail "cross build"
    summary
    exit 1
fi
pass "cross build"
if ! { cmake -S "$root" -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE= \
        -DZELVAR_TESTS=OFF >"$work/host-configure.log" 2>&1 &&
      cmake --build "$host_build" -j2 --target zelvar-receiver >"$work/host-build.log" 2>&1; }; then
    tail -n 30 "$work/host-configure.log" "$work/host-build.log"
    fail "host build of zelvar-receiver"
    summary
    exit 1
fi
export ZELVAR_RECEIVER=$host_build/receiver/zelvar-receiver
export ZELVAR_EXE=$win_build/app/win32/zelvar.exe
console=$win_build/tests/win32/zelvar-update-console.exe
export ZELVAR_IMAGE=$work/image.bin
srec_to_binary "$root/payloads/firmware.s" "$ZELVAR_IMAGE"

# --- The Wine prefix: a virtual desktop, so that windows have captions and
# programs still report their exit codes.
echo "== wine prefix $WINEPREFIX"
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    WINEARCH=win64 wineboot --init >/dev/null 2>&1
fi
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
wineserver -w

# --- 1. Unit tests, one CTest entry per test program.
echo "== unit tests under Wine"
ctest --test-dir "$win_build" -j2 --output-on-failure >"$work/ctest.log" 2>&1
while read -r name result; do
    if [[ $result == Passed ]]; then pass "unit: $name"; else fail "unit: $name ($result)"; fi
done < <(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) \.*[ *]*\([A-Za-z]*\).*/\1 \2/p' \
    "$work/ctest.log")
grep -q 'tests passed' "$work/ctest.log" || fail "unit: ctest did not finish"
grep -qE 'Failed|Timeout' "$work/ctest.log" && sed -n '/The following tests FAILED/,$p' "$work/ctest.log"

# --- 2. Whole updates through the Win32 serial back end, without a display.
echo "== updates over COM9"
# collect LOG: counts the PASS / FAIL lines of a part's log and shows them.
collect() {
    grep -E '^(PASS|FAIL)' "$1"
    pass_count=$((pass_count + $(grep -c '^PASS' "$1")))
    fail_count=$((fail_count + $(grep -c '^FAIL' "$1")))
}
ZELVAR_CONSOLE=$console ZELVAR_WORK=$work \
    bash "$root/tests/win32/console_updates.sh" >"$work/console.log" 2>&1
collect "$work/console.log"
grep -q '^console: ' "$work/console.log" || { tail -n 20 "$work/console.log"; fail "console: did not finish"; }

# The line settings the back end makes and restores, seen from the device.
python3 "$root/tests/win32/serial_settings.py" "$win_build/tests/win32/zelvar-serial-probe.exe" \
    >"$work/serial-settings.log" 2>&1
collect "$work/serial-settings.log"
grep -q '^PASS serial after close' "$work/serial-settings.log" ||
    { tail -5 "$work/serial-settings.log"; fail "serial settings: did not finish"; }

# --- 3. The manifest the loader applies to zelvar.exe.
python3 "$root/tests/win32/pe_manifest.py" "$ZELVAR_EXE" >"$work/manifest.log" 2>&1
collect "$work/manifest.log"

# --- 4. The GUI under Xvfb.
echo "== GUI under Xvfb"
ZELVAR_WORK=$work ZELVAR_SCREENSHOTS=$screenshots \
    timeout 600 xvfb-run -a -s "-screen 0 800x600x24" \
    bash "$root/tests/win32/gui_tests.sh" >"$work/gui.log" 2>&1
collect "$work/gui.log"
grep -q '^gui: ' "$work/gui.log" || { tail -n 20 "$work/gui.log"; fail "gui: did not finish"; }
wineserver -k 2>/dev/null

if ((update_docs)); then
    mkdir -p "$root/docs"
    cp "$screenshots"/zelvar-*.png "$root/docs/" 2>/dev/null
fi
echo "screenshots: $screenshots"
summary
