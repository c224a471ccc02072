#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Puts the licence identifier at the top of every source file that lacks it
# (after a #! line); tools/check-spdx.sh in CI names any file still without.
set -euo pipefail
cd "$(dirname "$0")/.."
tag='SPDX-License-Identifier: Apache-2.0'
git ls-files -- '*.cpp' '*.h' '*.hpp' '*.c' '*.py' '*.sh' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' \
    '*.rc' '.ci/run' 'tools/bash-completion/*' '*.nsi' '*.scd' |
while read -r file; do
    [ -f "$file" ] || continue
    grep -q "$tag" "$file" && continue
    case "$file" in
        *.cpp | *.h | *.hpp | *.c | *.rc) comment="// $tag" ;;
        *.scd) continue ;;
        *) comment="# $tag" ;;
    esac
    if head -n1 "$file" | grep -q '^#!'; then
        sed -i "1a $comment" "$file"
    else
        sed -i "1i $comment" "$file"
    fi
done
