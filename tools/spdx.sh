#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every source file carries the licence identifier on its first line (after a
# #! line). `tools/spdx.sh --check` names the files without it and fails (CI);
# `tools/spdx.sh --add` puts it in.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:---check}
tag='SPDX-License-Identifier: Apache-2.0'
missing=0
while read -r file; do
    [ -f "$file" ] || continue
    case "$file" in
        fuzz/corpus*) continue ;;
        *.cpp | *.h | *.rc) comment="// $tag" ;;
        *) comment="# $tag" ;;
    esac
    if head -n1 "$file" | grep -q '^#!'; then line=2; else line=1; fi
    sed -n "${line}p" "$file" | grep -qF "$tag" && continue
    if [ "$mode" = --add ]; then
        if [ "$line" = 2 ]; then sed -i "1a $comment" "$file"; else sed -i "1i $comment" "$file"; fi
    else
        echo "$file: no '$tag' on line $line" >&2
        missing=$((missing + 1))
    fi
done < <(git ls-files -- '*.cpp' '*.h' '*.py' '*.sh' '*.cmake' '*CMakeLists.txt' '*.rc' \
    .ci/run tools/bash-completion/zelvar)
if [ "$missing" -ne 0 ]; then
    echo "spdx: $missing file(s) without the licence identifier; tools/spdx.sh --add puts it in" >&2
    exit 1
fi
