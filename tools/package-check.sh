#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the packages and checks them as a user would meet them:
#   deb:     the Debian package built by CPack; lintian finds no error or
#            warning; unpacked with dpkg-deb -x into a scratch root, its
#            zelvar updates the simulated handheld and a zelvar-receiver on a
#            pseudo-terminal, and man renders both pages without a warning.
#   windows: the NSIS installer and the zip of the mingw-w64 cross build; the
#            installer runs silently (/S) under Wine, the installed zelvar.exe
#            goes through the GUI check of tests/win32/gui_tests.sh, and the
#            uninstaller removes the program, its Start-menu folder and its
#            registry key.
# Installs nothing: it needs the packages of tools/debian-packages.txt (and
# tools/debian-packages-win32.txt for the Windows part). Prints
# "N passed, N failed" last and exits non-zero when anything failed.
#
#   tools/package-check.sh [deb] [windows]        (both when none is named)
#
# Environment: ZELVAR_PACKAGE_BUILD (default build/package, configured without
# tests when missing), ZELVAR_WEB_SITE (a built page, e.g. build/web/site, that
# the Debian package then installs under /usr/share/zelvar/web), ZELVAR_WIN32_BUILD (default build/win32),
# ZELVAR_HOST_BUILD (default build/wine-host, for zelvar-receiver), WINEPREFIX
# (default <win32 build>/wine-prefix, created when missing).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tests/win32/wine_lib.sh"

parts=("$@")
((${#parts[@]})) || parts=(deb windows)

summary() {
    echo "$pass_count passed, $fail_count failed"
    [[ $fail_count -eq 0 ]]
}

# configure DIR ARGS...: configures DIR once, with Ninja and ARGS.
configure() {
    local dir=$1
    shift
    [[ -f $dir/CMakeCache.txt ]] || cmake -S "$root" -B "$dir" -G Ninja "$@"
}

# --- The Debian package.
check_deb() {
    local build=${ZELVAR_PACKAGE_BUILD:-$root/build/package}
    local work=$build/package-check
    rm -rf "$work"
    mkdir -p "$work"
    echo "== Debian package ($build)"
    rm -f "$build"/zelvar_*.deb{,.sha256}
    # The page goes in when a built one is named; an earlier package build
    # of the same folder must not keep or lose it by chance.
    local site=${ZELVAR_WEB_SITE:-}
    [[ -z $site ]] || site=$(cd "$site" && pwd)
    if ! { configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVAR_TESTS=OFF &&
        cmake "$build" -DZELVAR_WEB_SITE="$site" &&
        cmake --build "$build" -j2 --target package; } >"$work/build.log" 2>&1; then
        tail -n 30 "$work/build.log"
        fail "deb: package build"
        return
    fi
    local debs=("$build"/zelvar_*.deb)
    if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
        fail "deb: one zelvar_*.deb (got: ${debs[*]})"
        return
    fi
    local deb=${debs[0]}
    pass "deb: $(basename "$deb"), $(stat -c %s "$deb") bytes"

    # lintian's own exit status counts errors and warnings alike; the tags
    # are shown either way, and "info" tags do not fail.
    lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1
    local lintian_status=$?
    grep -v 'running with root privileges' "$work/lintian.log"
    check "deb: lintian finds no error or warning" test $lintian_status -eq 0

    local control
    control=$(dpkg-deb -f "$deb")
    check "deb: Section electronics" grep -qx 'Section: electronics' <<<"$control"
    check "deb: Depends found by dpkg-shlibdeps" grep -q '^Depends: .*libc6' <<<"$control"

    local scratch=$work/root
    dpkg-deb -x "$deb" "$scratch"
    local file
    for file in usr/bin/zelvar usr/bin/zelvar-receiver usr/share/man/man1/zelvar.1.gz \
        usr/share/man/man1/zelvar-receiver.1.gz usr/share/bash-completion/completions/zelvar \
        usr/share/doc/zelvar/copyright usr/share/doc/zelvar/changelog.gz \
        usr/share/doc/zelvar/README.md usr/share/doc/zelvar/exit-status.txt; do
        check "deb: holds /$file" test -s "$scratch/$file"
    done

    if [[ -n $site ]]; then
        check "deb: holds /usr/share/zelvar/web/index.html" \
            test -s "$scratch/usr/share/zelvar/web/index.html"
        check "deb: /usr/share/zelvar/web is the page as built" \
            diff -r "$site" "$scratch/usr/share/zelvar/web"
    else
        check "deb: no page without ZELVAR_WEB_SITE" test ! -e "$scratch/usr/share/zelvar/web"
    fi

    local version
    version=$(dpkg-deb -f "$deb" Version)
    check "deb: zelvar --version prints $version" \
        test "$("$scratch/usr/bin/zelvar" --version)" = "zelvar $version"
    check "deb: zelvar-receiver --version prints $version" \
        test "$("$scratch/usr/bin/zelvar-receiver" --version)" = "zelvar-receiver $version"

    # The unpacked program, on its own lock and temporary folder.
    local env=(env XDG_RUNTIME_DIR= TMPDIR="$work" ZELVAR_LOCK_FILE="$work/zelvar.lock")
    "${env[@]}" "$scratch/usr/bin/zelvar" --simulate --no-wait >"$work/simulate.log" 2>&1
    local status=$?
    check "deb: zelvar --simulate ends with status 0 (got $status)" test $status -eq 0
    check "deb: zelvar --simulate says \"Download Finish\"" grep -q 'Download Finish' "$work/simulate.log"

    # The README's receiver on a pseudo-terminal, both programs unpacked.
    "$scratch/usr/bin/zelvar-receiver" --link "$work/ttyGPS" --once --flash-dump "$work/flash.bin" \
        >"$work/receiver.log" 2>&1 &
    local receiver=$!
    if wait_for 10 test -L "$work/ttyGPS"; then
        "${env[@]}" timeout 120 "$scratch/usr/bin/zelvar" --port "$work/ttyGPS" --no-wait \
            >"$work/port.log" 2>&1
        status=$?
        check "deb: zelvar --port on zelvar-receiver ends with status 0 (got $status)" \
            test $status -eq 0
        wait_for 10 bash -c "! kill -0 $receiver 2>/dev/null"
        check "deb: the receiver's flash was written" test -s "$work/flash.bin"
    else
        fail "deb: zelvar-receiver made no link"
    fi
    kill "$receiver" 2>/dev/null
    wait "$receiver" 2>/dev/null

    local page rendered
    for page in zelvar zelvar-receiver; do
        rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l \
            "$scratch/usr/share/man/man1/$page.1.gz" 2>"$work/man-$page.log")
        check "deb: man -l renders $page(1) without a warning" test ! -s "$work/man-$page.log"
        cat "$work/man-$page.log"
        local section
        for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
            grep -qx "$section" <<<"$rendered" || fail "deb: $page(1) has no $section section"
        done
        check "deb: $page(1) names srec_cat(1)" grep -q 'srec_cat(1)' <<<"$rendered"
    done
    check "deb: zelvar(1) has an ENVIRONMENT section" \
        bash -c "man -l '$scratch/usr/share/man/man1/zelvar.1.gz' 2>/dev/null | grep -qx ENVIRONMENT"
}

# --- The Windows installer and zip.
check_windows() {
    local win_build=${ZELVAR_WIN32_BUILD:-$root/build/win32}
    local host_build=${ZELVAR_HOST_BUILD:-$root/build/wine-host}
    export WINEPREFIX=${WINEPREFIX:-$win_build/wine-prefix}
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    local work=$win_build/package-check
    rm -rf "$work"
    mkdir -p "$work"
    echo "== Windows installer ($win_build)"
    rm -f "$win_build"/zelvar-*-win64.{exe,zip}{,.sha256}
    if ! { configure "$win_build" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DZELVAR_WINE_TESTS=OFF &&
        cmake --build "$win_build" -j2 --target package &&
        configure "$host_build" -DCMAKE_BUILD_TYPE= -DZELVAR_TESTS=OFF &&
        cmake --build "$host_build" -j2 --target zelvar-receiver; } >"$work/build.log" 2>&1; then
        tail -n 30 "$work/build.log"
        fail "windows: package build"
        return
    fi
    local installers=("$win_build"/zelvar-*-win64.exe) zips=("$win_build"/zelvar-*-win64.zip)
    if [[ ! -f ${installers[0]} || ! -f ${zips[0]} ]]; then
        fail "windows: an installer and a zip (got: ${installers[*]} ${zips[*]})"
        return
    fi
    pass "windows: $(basename "${installers[0]}"), $(stat -c %s "${installers[0]}") bytes"
    pass "windows: $(basename "${zips[0]}"), $(stat -c %s "${zips[0]}") bytes"
    check "windows: the zip holds zelvar.exe, LICENSE.txt and README.md" \
        python3 -c 'import sys, zipfile
names = {n.split("/")[-1] for n in zipfile.ZipFile(sys.argv[1]).namelist()}
sys.exit(not {"zelvar.exe", "LICENSE.txt", "README.md"} <= names)' "${zips[0]}"

    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        WINEARCH=win64 wineboot --init >/dev/null 2>&1
    fi
    # The GUI check wants a virtual desktop: windows then have captions.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
    wineserver -w

    local drive=$WINEPREFIX/drive_c
    local folder="$drive/Program Files/Zelvar"
    local menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Zelvar"
    local key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelvar'
    wine "${installers[0]}" /S
    local status=$?
    wineserver -w
    check "windows: silent install ends with status 0 (got $status)" test $status -eq 0
    check "windows: installed C:\\Program Files\\Zelvar\\zelvar.exe" test -f "$folder/zelvar.exe"
    check "windows: installed the uninstaller" test -f "$folder/Uninstall.exe"
    check "windows: Start-menu entry Zelvar" test -f "$menu/Zelvar.lnk"
    check "windows: Start-menu entry for the uninstaller" test -f "$menu/Uninstall.lnk"
    check "windows: registered for uninstalling" \
        bash -c "wine reg query '$key' /v UninstallString >/dev/null 2>&1"

    # The installed program through the GUI check, as tools/wine-tests.sh runs it.
    # Only after the Wine server started outside X (by the checks above) has
    # ended: a program started on that server finds no display to open windows
    # on, and ends without a word.
    if [[ -f $folder/zelvar.exe ]]; then
        wineserver -w
        ZELVAR_EXE='C:\Program Files\Zelvar\zelvar.exe' ZELVAR_WORK=$work/gui \
            ZELVAR_SCREENSHOTS=$work/screenshots \
            ZELVAR_RECEIVER=$host_build/receiver/zelvar-receiver \
            ZELVAR_FIRMWARE=$root/payloads/firmware.s \
            timeout 420 xvfb-run -a -s "-screen 0 800x600x24" \
            bash "$root/tests/win32/gui_tests.sh" >"$work/gui.log" 2>&1
        grep -E '^(PASS|FAIL)' "$work/gui.log" | sed 's/^\(PASS\|FAIL\) /&installed: /'
        pass_count=$((pass_count + $(grep -c '^PASS' "$work/gui.log")))
        fail_count=$((fail_count + $(grep -c '^FAIL' "$work/gui.log")))
        grep -q '^gui: ' "$work/gui.log" ||
            { tail -n 20 "$work/gui.log"; fail "installed: GUI check did not finish"; }
        wineserver -k 2>/dev/null
        wineserver -w
    fi

    wine 'C:\Program Files\Zelvar\Uninstall.exe' /S
    status=$?
    # The uninstaller copies itself away and returns at once; its copy ends
    # with the last Wine process.
    wineserver -w
    check "windows: silent uninstall ends with status 0 (got $status)" test $status -eq 0
    check "windows: uninstall removed the program folder" test ! -e "$folder"
    check "windows: uninstall removed the Start-menu folder" test ! -e "$menu"
    check "windows: uninstall removed the registry key" bash -c "! wine reg query '$key' >/dev/null 2>&1"
}

for part in "${parts[@]}"; do
    case $part in
    deb) check_deb ;;
    windows) check_windows ;;
    *)
        echo "usage: tools/package-check.sh [deb] [windows]" >&2
        exit 2
        ;;
    esac
done
summary
