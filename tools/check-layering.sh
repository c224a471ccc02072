#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks every #include of the product's sources against the layering:
#   app -> update -> boot/agent/image -> link -> platform (payloads: data, at the bottom)
# and the simulated receiver (receiver/) beside it all, sharing no code with the
# host it stands in for. Prints file:line of each include against a rule and
# exits 1 when there is one.
#
#   tools/check-layering.sh [root]     (root: the repository, by default this one)
set -euo pipefail

# The rules, one a line: files | may not include | except | why
#   files   folders whose sources the rule covers; "-folder/" leaves one out,
#           "*" is every folder
#   may not include
#           folders of the repository, or <os> for the operating system's
#           headers (OS_HEADERS below)
#   except  includes allowed all the same, as paths from the root
RULES=$(cat <<'END'
link/ boot/ agent/ image/ update/ | <os>                                  |  | the core reaches the operating system only through platform/
link/         | boot/ agent/ image/ update/ receiver/                     |  | link sits on the platform alone
boot/         | agent/ image/ update/ receiver/                           |  | boot sits on link and the platform
agent/        | boot/ image/ update/ receiver/                            |  | agent sits on link and the platform
image/        | boot/ agent/ update/ receiver/                            |  | image sits on link and the platform
update/       | receiver/                                                 |  | the simulator is no part of the update
platform/     | link/ boot/ agent/ image/ update/ receiver/               |  | the platform depends on nothing above it
payloads/     | link/ boot/ agent/ image/ update/ receiver/ platform/     |  | the payloads are data
platform/web/ | platform/posix/ platform/win32/ platform/linux_board/ platform/fake/ |  | the browser's back ends stand on the seam alone
app/web/      | app/win32/ platform/posix/ platform/win32/ platform/linux_board/ platform/fake/ | app/cli/trace.h | the page runs on the browser's back ends and shares only the trace with the terminal program
app/report/   | app/cli/ app/web/ app/win32/ platform/ receiver/ <os>    |  | the report renders the result; it decides nothing and reaches no OS
receiver/ -receiver/handheld/ | link/ boot/ agent/ image/ update/ payloads/ platform/ |  | the simulated receiver uses no host code
receiver/handheld/ | link/ boot/ agent/ image/ update/ payloads/ platform/ | platform/platform.h platform/board_codes.h platform/byte_order.h | the simulated handheld fills the platform's board table and nothing more
* -app/       | app/                                                      |  | nothing below the programs includes them
END
)

# What <os> stands for (shell patterns on the name inside <> or "").
OS_HEADERS='termios.h unistd.h fcntl.h poll.h pthread.h pty.h sys/* linux/* gpiod.h
            windows.h winioctl.h commctrl.h emscripten.h emscripten/*'

# Never checked: the tests and tools around the product may reach anything.
EXEMPT='tests/ fuzz/ bench/ build/'

root=${1:-$(dirname "$0")/..}
cd "$root"

list_sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1 &&
        [ "$(git rev-parse --show-toplevel)" = "$(pwd -P)" ]; then
        git ls-files --cached --others --exclude-standard
    else
        find . -type f | sed 's|^\./||'
    fi
}

list_sources | grep -E '\.(h|hh|hpp|c|cc|cpp|cxx|inl|rc)$' | sort | {
    files=()
    while IFS= read -r f; do
        skip=0
        for e in $EXEMPT; do [[ $f == "$e"* ]] && skip=1; done
        [ -f "$f" ] && [ $skip = 0 ] && files+=("$f")
    done
    [ ${#files[@]} -gt 0 ] || { echo "check-layering: no sources under $(pwd)" >&2; exit 2; }
    awk -v rules="$RULES" -v osHeaders="$OS_HEADERS" \
        -v topLevelList="$(find . -mindepth 1 -maxdepth 1 -type d -printf '%f ')" '
    function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
    # Shell pattern to an anchored regular expression (only * is used).
    function globToRegex(g,    r) {
        r = g
        gsub(/\./, "\\.", r)
        gsub(/\*/, ".*", r)
        return "^" r "$"
    }
    # a/b/../c/./d -> a/c/d
    function normalize(path,    parts, n, i, out, k, result) {
        n = split(path, parts, "/")
        k = 0
        for (i = 1; i <= n; i++) {
            if (parts[i] == "" || parts[i] == ".") continue
            if (parts[i] == ".." && k > 0 && out[k] != "..") { k--; continue }
            out[++k] = parts[i]
        }
        result = ""
        for (i = 1; i <= k; i++) result = result (i > 1 ? "/" : "") out[i]
        return result
    }
    function inScope(file, scope,    tokens, n, i, t, positive) {
        n = split(scope, tokens, /[ \t]+/)
        positive = 0
        for (i = 1; i <= n; i++) {
            t = tokens[i]
            if (t == "") continue
            if (substr(t, 1, 1) == "-") {
                if (index(file, substr(t, 2)) == 1) return 0
            } else if (t == "*" || index(file, t) == 1) {
                positive = 1
            }
        }
        return positive
    }
    BEGIN {
        nTop = split(trim(topLevelList), topList, /[ \t]+/)
        for (i = 1; i <= nTop; i++) topLevel[topList[i]] = 1
        nOs = split(trim(osHeaders), osList, /[ \t\n]+/)
        for (i = 1; i <= nOs; i++) osRegex[i] = globToRegex(osList[i])
        nRules = 0
        nLines = split(rules, ruleLines, "\n")
        for (i = 1; i <= nLines; i++) {
            if (trim(ruleLines[i]) == "") continue
            if (split(ruleLines[i], f, "|") != 4) {
                print "check-layering: bad rule line: " ruleLines[i] > "/dev/stderr"
                exit 2
            }
            nRules++
            scope[nRules] = trim(f[1])
            denied[nRules] = trim(f[2])
            allowed[nRules] = " " trim(f[3]) " "
            why[nRules] = trim(f[4])
        }
        violations = 0
    }
    FNR == 1 {
        file = FILENAME
        dir = file
        if (!sub(/\/[^\/]*$/, "", dir)) dir = ""
        inBlockComment = 0
    }
    {
        line = $0
        if (inBlockComment) {
            if (!sub(/^.*\*\//, "", line)) next
            inBlockComment = 0
        }
        if (line !~ /^[ \t]*#[ \t]*include[ \t]*[<"]/) {
            if (line ~ /\/\*/ && line !~ /\*\//) inBlockComment = 1
            next
        }
        target = line
        sub(/^[ \t]*#[ \t]*include[ \t]*/, "", target)
        angle = substr(target, 1, 1) == "<"
        target = substr(target, 2)
        if (angle) sub(/>.*$/, "", target)
        else sub(/".*$/, "", target)

        # A quoted include names a file beside this one or from the root.
        resolved = normalize(target)
        first = resolved
        sub(/\/.*$/, "", first)
        if (!angle && !(first in topLevel) && dir != "") resolved = normalize(dir "/" target)

        isOs = 0
        for (i = 1; i <= nOs; i++) if (target ~ osRegex[i]) isOs = 1

        for (r = 1; r <= nRules; r++) {
            if (!inScope(file, scope[r])) continue
            n = split(denied[r], d, /[ \t]+/)
            for (j = 1; j <= n; j++) {
                hit = 0
                if (d[j] == "<os>") hit = isOs
                else if (d[j] != "") hit = index(resolved, d[j]) == 1
                if (hit && index(allowed[r], " " resolved " ") == 0) {
                    printf "%s:%d: includes %s: %s\n", file, FNR, target, why[r]
                    violations++
                    next
                }
            }
        }
    }
    END {
        if (violations > 0) {
            printf "check-layering: %d include(s) against the layering\n", violations > "/dev/stderr"
            exit 1
        }
    }
    ' "${files[@]}"
}
