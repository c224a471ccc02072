# SPDX-License-Identifier: Apache-2.0
# Helpers shared by the Wine test scripts (sourced, not run).
# Expects WINEPREFIX, and for the receiver ZELVAR_RECEIVER (path of the Linux
# zelvar-receiver program).

pass_count=0
fail_count=0

pass() {
    pass_count=$((pass_count + 1))
    echo "PASS $*"
}

fail() {
    fail_count=$((fail_count + 1))
    echo "FAIL $*"
}

# check NAME COMMAND...: one pass or fail, by the command's status.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

# wait_for SECONDS COMMAND...: polls the command every 0.2 s until it succeeds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS >= deadline)) && return 1
        sleep 0.2
    done
}

# The binary image the receiver's flash must hold after an update: the data of
# the S3 records of the firmware text, in order.
srec_to_binary() {
    python3 - "$1" "$2" <<'PY'
import sys
out = bytearray()
for line in open(sys.argv[1], 'rb').read().split(b'\r\n'):
    if line.startswith(b'S3'):
        count = int(line[2:4], 16)
        out += bytes.fromhex(line[12:12 + 2 * (count - 5)].decode())
open(sys.argv[2], 'wb').write(out)
PY
}

# flash_holds_image DUMP IMAGE: the dump begins with the image.
flash_holds_image() {
    python3 - "$1" "$2" <<'PY'
import sys
dump = open(sys.argv[1], 'rb').read()
image = open(sys.argv[2], 'rb').read()
if dump[:len(image)] != image:
    first = next((i for i in range(min(len(dump), len(image))) if dump[i] != image[i]), None)
    print(f"flash ({len(dump)} bytes) differs from the image ({len(image)} bytes) at {first}")
    sys.exit(1)
PY
}

# The port driver's key, naming the port the stand-in driver exposes.
set_port_driver_key() {
    wine reg add 'HKLM\Drivers\PhysicalCOM' /v Port /d "$1" /f >/dev/null 2>&1
}

# set_port_driver_value NAME TEXT: a string value beside Port.
set_port_driver_value() {
    wine reg add 'HKLM\Drivers\PhysicalCOM' /v "$1" /d "$2" /f >/dev/null 2>&1
}

remove_port_driver_value() {
    wine reg delete 'HKLM\Drivers\PhysicalCOM' /v "$1" /f >/dev/null 2>&1 || true
}

remove_port_driver_key() {
    wine reg delete 'HKLM\Drivers\PhysicalCOM' /f >/dev/null 2>&1 || true
}

# The user's temporary folder (TEMP and TMP of HKCU\Environment) as the
# registry holds it, unexpanded.
wine_temp_setting() {
    wine reg query 'HKCU\Environment' /v TEMP 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *TEMP *REG_[A-Z_]* *//p'
}

# set_wine_temp PATH: points TEMP and TMP at PATH, which may hold \uXXXX
# escapes for letters outside ASCII (written through a UTF-16 .reg file, so
# that no code page is involved).
set_wine_temp() {
    local file
    file=$(mktemp --suffix=.reg)
    python3 - "$1" "$file" <<'PY'
import re
import sys
path = re.sub(r'\\u([0-9a-fA-F]{4})', lambda m: chr(int(m.group(1), 16)), sys.argv[1])
text = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Environment]\r\n'
        f'"TEMP"=hex(2):{",".join(f"{b:02x}" for b in (path + chr(0)).encode("utf-16-le"))}\r\n'
        f'"TMP"=hex(2):{",".join(f"{b:02x}" for b in (path + chr(0)).encode("utf-16-le"))}\r\n')
open(sys.argv[2], 'wb').write(b'\xff\xfe' + text.encode('utf-16-le'))
PY
    wine regedit /S "$(winepath -w "$file")" >/dev/null 2>&1
    rm -f "$file"
}
