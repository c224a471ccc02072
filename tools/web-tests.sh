#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The page in a real headless Chromium: installs what is missing (Debian's
# chromium, nodejs and emscripten; playwright-core from tests/web's lock file),
# builds the web preset, serves build/web/site on 127.0.0.1 (compressed, by
# tests/web/serve.py) and runs tests/web/web_tests.cjs (with axe-core's WCAG
# checks) against the simulated receiver in the page, then
# against zelvar-receiver on a pseudo-terminal through a WebSocket bridge
# (the frames compared with a native run's). Ends with
# "N passed, N failed"; exits 1 when any failed.
#   tools/web-tests.sh [--update-docs]   (--update-docs: the screenshots into docs/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

update_docs=0
for arg in "$@"; do
    case "$arg" in
        --update-docs) update_docs=1 ;;
        *) echo "usage: tools/web-tests.sh [--update-docs]" >&2; exit 2 ;;
    esac
done

missing=()
command -v chromium >/dev/null || missing+=(chromium)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
[ -f /usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake ] || missing+=(emscripten)
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# Debian's Emscripten finds its acorn there, also under another node.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
(cd tests/web && npm ci --no-audit --no-fund --loglevel=error)

cmake --preset web >/dev/null
cmake --build --preset web -j2
# The native programs for the bridge case (built already in CI).
[ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build build/default --target zelvar zelvar-receiver -j2

server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT INT TERM

# A free port, taken by the server itself: ask the kernel for one, then retry
# if someone took it in between.
for attempt in 1 2 3 4 5; do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
    # Serves each file's gzip form where the browser takes it, as a server in
    # front of an installed page would.
    python3 tests/web/serve.py "$port" build/web/site >/dev/null 2>&1 &
    server_pid=$!
    for _ in $(seq 50); do
        if python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.html', timeout=1)" 2>/dev/null; then
            break 2
        fi
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
done
[ -n "$server_pid" ] || { echo "web-tests: no server could be started"; echo "0 passed, 1 failed"; exit 1; }

docs_args=()
[ $update_docs = 1 ] && docs_args=(--update-docs "$root/docs")
node tests/web/web_tests.cjs --site "http://127.0.0.1:$port" \
    --receiver build/default/receiver/zelvar-receiver --zelvar build/default/app/cli/zelvar \
    "${docs_args[@]}"
