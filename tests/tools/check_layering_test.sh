#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# tools/check-layering.sh on small trees: a clean one passes, and each planted
# include is reported at its file and line with a non-zero exit.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/tools/check-layering.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# A tree every rule accepts, with the allowed edges of each layer.
clean_tree() {
    rm -rf "$work/tree" && mkdir -p "$work/tree" && cd "$work/tree" || exit 1
    mkdir -p platform/posix link boot agent image update app/win32 payloads receiver/handheld \
        tests fuzz
    echo '#include <cstdint>' >payloads/payloads.h
    printf '#include <termios.h>\n#include "platform/platform.h"\n' >platform/posix/serial.cpp
    echo '#include "payloads/payloads.h"' >platform/embedded.cpp
    echo '#include "platform/platform.h"' >link/packet.cpp
    printf '#include "link/packet.h"\n#include "payloads/payloads.h"\n' >boot/boot.cpp
    echo '#include "link/packet.h"' >agent/agent.cpp
    echo '#include "link/packet.h"' >image/image.cpp
    printf '#include "boot/boot.h"\n#include "agent/agent.h"\n#include "image/image.h"\n' \
        >update/update.cpp
    printf '#include <windows.h>\n#include "resource.h"\n#include "update/update.h"\n' \
        >app/win32/main.cpp
    echo '#include "receiver/handheld/handheld_sim.h"' >app/shell.cpp
    printf '#include <unistd.h>\n#include "receiver/line.h"\n' >receiver/pty.cpp
    printf '#include "platform/platform.h"\n#include "platform/board_codes.h"\n' \
        >receiver/handheld/handheld_sim.cpp
    printf '/*\n#include "link/packet.h"\n*/\n// #include "link/packet.h"\n' >receiver/notes.h
    echo '#include "app/shell.h"' >tests/shell_test.cpp
    echo '#include <unistd.h>' >fuzz/target.cpp
}

# expect_violation name file content where
expect_violation() {
    local name=$1 file=$2 content=$3 where=$4
    clean_tree
    mkdir -p "$(dirname "$file")"
    printf '%s' "$content" >>"$file"
    local output status
    output=$("$script" "$work/tree" 2>&1)
    status=$?
    if [ $status -ne 1 ] || ! grep -q "^$where: " <<<"$output"; then
        echo "FAIL $name: exit $status, wanted 1 and '$where'; output:"
        echo "$output"
        failures=$((failures + 1))
    fi
}

clean_tree
if ! output=$("$script" "$work/tree" 2>&1); then
    echo "FAIL clean tree refused:"
    echo "$output"
    failures=$((failures + 1))
fi

expect_violation "OS header in the core" link/serial.cpp $'#include <cstdint>\n#include <termios.h>\n' \
    link/serial.cpp:2
expect_violation "sys/ header in the core" update/board.cpp $'#  include <sys/ioctl.h>\n' \
    update/board.cpp:1
expect_violation "Windows header in the core" image/image.cpp $'#include <windows.h>\n' \
    image/image.cpp:2
expect_violation "boot includes agent" boot/boot.cpp $'#include "agent/agent.h"\n' boot/boot.cpp:3
expect_violation "image includes boot" image/image.cpp $'#include "boot/clock.h"\n' image/image.cpp:2
expect_violation "link includes update" link/packet.cpp $'#include "update/update.h"\n' \
    link/packet.cpp:2
expect_violation "core includes the simulator" agent/agent.cpp $'#include "receiver/receiver.h"\n' \
    agent/agent.cpp:2
expect_violation "platform includes link" platform/posix/serial.cpp \
    $'#include "link/serial_port.h"\n' platform/posix/serial.cpp:3
expect_violation "platform includes the simulator" platform/sim.h $'#include "receiver/receiver.h"\n' \
    platform/sim.h:1
expect_violation "simulator includes host code" receiver/pty.cpp $'#include "link/packet.h"\n' \
    receiver/pty.cpp:3
expect_violation "simulator includes the fake line" receiver/attach.cpp \
    $'#include "platform/fake/fake_line.h"\n' receiver/attach.cpp:1
expect_violation "simulator reaches up by a relative path" receiver/line/frame.cpp \
    $'#include "../../link/packet.h"\n' receiver/line/frame.cpp:1
expect_violation "handheld beyond the board headers" receiver/handheld/handheld_sim.cpp \
    $'#include "platform/fake/fake_line.h"\n' receiver/handheld/handheld_sim.cpp:3
expect_violation "update includes app" update/update.cpp $'#include "app/cli/shell.h"\n' \
    update/update.cpp:4
expect_violation "simulator includes app" receiver/pty.cpp $'#include <app/cli/shell.h>\n' \
    receiver/pty.cpp:3

if [ $failures -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all cases passed"
