#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every C++ file of the project as .clang-format lays it out; with --fix,
# formats them in place.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format-check: clang-format is not installed" >&2; exit 2; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "${1:-}" == "--fix" ]]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/format-check.$$; then
    grep -o '^[^:]*:[0-9]*' /tmp/format-check.$$ | sort -u | head -20 >&2
    echo "format-check: the files above differ from .clang-format; tools/format-check.sh --fix" >&2
    rm -f /tmp/format-check.$$
    exit 1
fi
rm -f /tmp/format-check.$$
echo "format-check: ${#files[@]} files formatted"
